// Checks an installation of qvnnapcfg64.msi from inside the Wine prefix it went into.
// The end-to-end scripts run it after each step, one phase at a time:
//
//   qvn_install_check --gtest_filter=Installed.*   --upgrade-code=GUID --expect-version=V
//   qvn_install_check --gtest_filter=Uninstalled.* --upgrade-code=GUID [--expect-server=NAME]
//
// and the FakeInstalled and FakeUninstalled phases for the package of the stand-in
// module qvn_fake_registrar.dll, which carries every value type and keys without values.
//
// It is not run by CTest directly: the prefix it checks is not the test prefix.
#include "support/ChildProcess.h"

#include "FileVersion.h"
#include "Utf8.h"

#include "NAP/qvnnapcfg/RegistrationState.h"
#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>
#include <msi.h>
#include <napcommon.h>
#include <objbase.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{
struct Expectations
{
    std::wstring upgradeCode;
    std::wstring version; // Installed: the product version installed
    std::wstring server;  // Uninstalled: the server name the settings must still hold
};
Expectations g_expect;

constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};
const wchar_t* const ProductName = L"Quorvane SHV Configurator";
const wchar_t* const SettingsKey = L"Software\\Quorvane\\ZARUZARA\\Settings";
const wchar_t* const UninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::vector<std::wstring> InstalledFiles = {L"qvnnapcfg64.dll", L"qvnnaphost.exe", L"INSTALL.txt"};

std::wstring InstallFolder()
{
    wchar_t folder[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%ProgramFiles%\\Quorvane\\qvnnapcfg64", folder, MAX_PATH);
    return folder;
}

std::wstring InstalledDll()
{
    return InstallFolder() + L"\\qvnnapcfg64.dll";
}

const std::wstring FakeRoot = L"QvnFakeRegistrar";

std::wstring InstalledFake()
{
    wchar_t path[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%ProgramFiles%\\QvnFakeRegistrar\\qvn_fake_registrar.dll", path, MAX_PATH);
    return path;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Products that Windows Installer knows under the package's upgrade code.
std::vector<std::wstring> RelatedProducts()
{
    std::vector<std::wstring> products;
    for (DWORD index = 0;; ++index)
    {
        wchar_t product[39] = {};
        if (MsiEnumRelatedProductsW(g_expect.upgradeCode.c_str(), 0, index, product) != ERROR_SUCCESS)
        {
            break;
        }
        products.emplace_back(product);
    }
    return products;
}

// Entries of "Programs and Features" that carry the product's name.
int UninstallEntries()
{
    int count = 0;
    for (const std::wstring& entry : RegistrySubkeyNames(HKEY_LOCAL_MACHINE, UninstallKey))
    {
        const auto name =
            ReadRegistryValue(HKEY_LOCAL_MACHINE, std::wstring(UninstallKey) + L"\\" + entry, L"DisplayName");
        count += name && name->Text() == ProductName ? 1 : 0;
    }
    return count;
}

RegistrySnapshot ClassEntries()
{
    RegistrySnapshot entries;
    for (const std::wstring& key : {ClassKey, AppIdKey, AppIdDllKey})
    {
        for (const auto& [path, values] : TakeRegistrySnapshot(HKEY_CLASSES_ROOT, key))
        {
            entries[path.empty() ? key : key + L"\\" + path] = values;
        }
    }
    return entries;
}

TEST(Installed, FilesAreInTheProgramFilesFolder)
{
    for (const std::wstring& file : InstalledFiles)
    {
        EXPECT_TRUE(FileExists(InstallFolder() + L"\\" + file)) << ToUtf8(file);
    }
    EXPECT_EQ(ToUtf8(ReadProductVersion(InstalledDll()).Text()), ToUtf8(g_expect.version));
}

TEST(Installed, OneProductOfTheExpectedVersion)
{
    const std::vector<std::wstring> products = RelatedProducts();
    ASSERT_EQ(products.size(), 1u);
    wchar_t version[64] = {};
    DWORD length = ARRAYSIZE(version);
    ASSERT_EQ(MsiGetProductInfoW(products[0].c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length),
              static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(ToUtf8(version), ToUtf8(g_expect.version));
    EXPECT_EQ(UninstallEntries(), 1);
}

TEST(Installed, RegistryHoldsExactlyWhatRegsvr32WritesForTheInstalledFile)
{
    ExpectRegistered(HKEY_CLASSES_ROOT, InstalledDll());
    const RegistrySnapshot installed = ClassEntries();

    // Unregistering takes away everything the package wrote, and registering again
    // writes the same entries, value for value.
    ASSERT_EQ(RunRegsvr32(L"/u /s \"" + InstalledDll() + L"\""), 0u);
    ExpectUnregistered(HKEY_CLASSES_ROOT);
    ASSERT_EQ(RunRegsvr32(L"/s \"" + InstalledDll() + L"\""), 0u);
    const RegistrySnapshot registered = ClassEntries();
    EXPECT_EQ(installed, registered) << "installed:\n"
                                     << DescribeRegistrySnapshot(installed) << "regsvr32:\n"
                                     << DescribeRegistrySnapshot(registered);
}

TEST(Installed, ClassIsCreatedFromTheInstalledFileInAnApartment)
{
    std::thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        INapComponentConfig* config = nullptr;
        EXPECT_EQ(CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INapComponentConfig),
                                   reinterpret_cast<void**>(&config)),
                  S_OK);
        if (config != nullptr)
        {
            UINT16 count = 0;
            BYTE* data = nullptr;
            EXPECT_EQ(config->GetConfig(&count, &data), S_OK);
            EXPECT_EQ(count, 532u);
            CoTaskMemFree(data);

            wchar_t loaded[MAX_PATH] = {};
            GetModuleFileNameW(GetModuleHandleW(L"qvnnapcfg64.dll"), loaded, MAX_PATH);
            EXPECT_TRUE(EqualNoCase(loaded, InstalledDll())) << ToUtf8(loaded);
            config->Release();
        }
        CoUninitialize();
    }).join();
}

TEST(Uninstalled, ClassRegistrationAndFilesAreGone)
{
    ExpectUnregistered(HKEY_CLASSES_ROOT);
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    for (const std::wstring& file : InstalledFiles)
    {
        EXPECT_FALSE(FileExists(InstallFolder() + L"\\" + file)) << ToUtf8(file);
    }
    EXPECT_FALSE(FileExists(InstallFolder()));
    EXPECT_TRUE(RelatedProducts().empty());
    EXPECT_EQ(UninstallEntries(), 0);
}

TEST(Uninstalled, SettingsStay)
{
    if (g_expect.server.empty())
    {
        GTEST_SKIP() << "no --expect-server given";
    }
    const auto server = ReadRegistryValue(HKEY_LOCAL_MACHINE, SettingsKey, L"ServerName");
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(ToUtf8(server->Text()), ToUtf8(g_expect.server));
    EXPECT_EQ(RegistryValueNames(HKEY_LOCAL_MACHINE, SettingsKey).size(), 5u);
}

TEST(FakeInstalled, RegistryHoldsWhatTheModuleRegistersForTheInstalledFile)
{
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, FakeRoot + L"\\Empty"));
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, FakeRoot + L"\\Nested\\Deeper"));
    const RegistrySnapshot installed = TakeRegistrySnapshot(HKEY_CLASSES_ROOT, FakeRoot);

    // The module's own registration of the installed file, against a scratch key.
    RegistrySnapshot registered;
    {
        ScratchRegistry scratch({HKEY_CLASSES_ROOT});
        HMODULE module = LoadLibraryW(InstalledFake().c_str());
        ASSERT_NE(module, nullptr) << "cannot load " << ToUtf8(InstalledFake());
        auto registerServer = reinterpret_cast<HRESULT(WINAPI*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllRegisterServer")));
        EXPECT_EQ(registerServer != nullptr ? registerServer() : E_UNEXPECTED, S_OK);
        registered = TakeRegistrySnapshot(HKEY_CLASSES_ROOT, FakeRoot);
        FreeLibrary(module);
    }
    EXPECT_EQ(installed, registered) << "installed:\n"
                                     << DescribeRegistrySnapshot(installed) << "registered:\n"
                                     << DescribeRegistrySnapshot(registered);
}

TEST(FakeUninstalled, EntriesAndFileAreGone)
{
    EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, FakeRoot));
    EXPECT_FALSE(FileExists(InstalledFake()));
}

// "--name=value" options left over after GoogleTest took its own.
bool TakeOption(const std::wstring& argument, const wchar_t* name, std::wstring& value)
{
    const std::wstring prefix = std::wstring(L"--") + name + L"=";
    if (argument.compare(0, prefix.size(), prefix) != 0)
    {
        return false;
    }
    value = argument.substr(prefix.size());
    return true;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring argument = argv[i];
        if (!TakeOption(argument, L"upgrade-code", g_expect.upgradeCode) &&
            !TakeOption(argument, L"expect-version", g_expect.version) &&
            !TakeOption(argument, L"expect-server", g_expect.server))
        {
            std::fprintf(stderr, "unknown argument: %s\n", ToUtf8(argument).c_str());
            return 2;
        }
    }
    if (g_expect.upgradeCode.empty())
    {
        std::fprintf(stderr, "--upgrade-code is required\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
