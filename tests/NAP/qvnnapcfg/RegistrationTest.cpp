// DllRegisterServer and DllUnregisterServer of the shipped DLL, with HKEY_CLASSES_ROOT
// redirected to a scratch key.
#include "RegistrationState.h"

#include "support/ComponentDll.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{
std::wstring ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

class RegistrationTest : public ::testing::Test
{
protected:
    ScratchRegistry scratch{{HKEY_CLASSES_ROOT}};
    ComponentDll dll;
};

TEST_F(RegistrationTest, RegisterAndUnregisterKeepTheThreadLocale)
{
    const LCID russian = MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(russian));

    ASSERT_EQ(dll.DllRegisterServer(), S_OK);
    EXPECT_EQ(GetThreadLocale(), russian);
    ExpectRegistered(HKEY_CLASSES_ROOT, ModulePath(dll.Module()));

    EXPECT_EQ(dll.DllUnregisterServer(), S_OK);
    EXPECT_EQ(GetThreadLocale(), russian);
    ExpectUnregistered(HKEY_CLASSES_ROOT);
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_EQ(dll.DllUnregisterServer(), S_OK);
}

TEST_F(RegistrationTest, FailedRegistrationRemovesWhatItWrote)
{
    // Only volatile keys can be created below a volatile one: the class key is written,
    // then the AppID keys fail.
    HKEY appId = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"AppID", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &appId, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(appId);
    EXPECT_EQ(dll.DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE));
    ExpectUnregistered(HKEY_CLASSES_ROOT);
}

TEST_F(RegistrationTest, ConcurrentRegistrationsEndRegistered)
{
    std::vector<HRESULT> results(4, E_UNEXPECTED);
    std::vector<std::thread> threads;
    for (HRESULT& result : results)
    {
        threads.emplace_back([&] { result = dll.DllRegisterServer(); });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    for (HRESULT result : results)
    {
        // Registrations racing on the same keys may fail on each other's deletions.
        EXPECT_TRUE(result == S_OK || HRESULT_FACILITY(result) == FACILITY_WIN32) << std::hex << result;
    }
    EXPECT_EQ(dll.DllRegisterServer(), S_OK);
    ExpectRegistered(HKEY_CLASSES_ROOT, ModulePath(dll.Module()));
}

// The module path goes into the script quoted; whatever it holds is stored as it is.
TEST(RegistrationPathTest, ModulePathIsStoredUnchanged)
{
    ScratchRegistry scratch({HKEY_CLASSES_ROOT});
    ScratchFolder folder;
    for (const char* name : {"it's", "100%", "%MODULE%", "a''b", "%%x"})
    {
        SCOPED_TRACE(name);
        const std::string directory = folder.File(name);
        ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr));
        const std::string copy = directory + "\\qvnnapcfg64.dll";
        ASSERT_TRUE(CopyFileW(PathBesideProgram(L"qvnnapcfg64.dll").c_str(),
                              std::wstring(copy.begin(), copy.end()).c_str(), TRUE));
        HMODULE module = LoadLibraryA(copy.c_str());
        ASSERT_NE(module, nullptr);
        const auto registerServer = reinterpret_cast<HRESULT(WINAPI*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllRegisterServer")));
        const auto unregisterServer = reinterpret_cast<HRESULT(WINAPI*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllUnregisterServer")));
        EXPECT_EQ(ModulePath(module), std::wstring(copy.begin(), copy.end()));
        EXPECT_EQ(registerServer(), S_OK);
        ExpectRegistered(HKEY_CLASSES_ROOT, ModulePath(module));
        EXPECT_EQ(unregisterServer(), S_OK);
        ExpectUnregistered(HKEY_CLASSES_ROOT);
        FreeLibrary(module);
    }
}
} // namespace
