// DllRegisterServer and DllUnregisterServer of the shipped DLL, with HKEY_CLASSES_ROOT
// redirected to a scratch key.
#include "RegistrationState.h"

#include "support/ComponentDll.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Registration reads the module's path into a buffer of MAX_PATH characters: a path of
// MAX_PATH - 1 characters fits with its terminator, a longer one would be cut short and
// is refused.
TEST(RegistrationPathTest, PathThatFillsTheBufferIsRefused)
{
    ScratchRegistry scratch({HKEY_CLASSES_ROOT});
    ScratchFolder folder;
    const std::string base = folder.File("");
    const std::wstring file = L"qvnnapcfg64.dll";
    for (const std::size_t length : {std::size_t{MAX_PATH - 1}, std::size_t{MAX_PATH}})
    {
        SCOPED_TRACE(length);
        // Folders of at most 100 characters, until the file's path has the length wanted.
        std::wstring path(base.begin(), base.end());
        path += length == MAX_PATH ? L"b" : L"a";
        if ((length - path.size() - 1 - file.size()) % 101 == 1)
        {
            path += L'_'; // no folder of its own for a single character
        }
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        for (std::size_t left; (left = length - path.size() - 1 - file.size()) > 0;)
        {
            path += L"\\" + std::wstring(std::min<std::size_t>(left - 1, 100), L'd');
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
        }
        path += L"\\" + file;
        ASSERT_EQ(path.size(), length);
        ASSERT_TRUE(CopyFileW(PathBesideProgram(L"qvnnapcfg64.dll").c_str(), path.c_str(), TRUE)) << GetLastError();
        HMODULE module = LoadLibraryW(path.c_str());
        ASSERT_NE(module, nullptr) << GetLastError();
        const auto registerServer = reinterpret_cast<HRESULT(WINAPI*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllRegisterServer")));
        if (length < MAX_PATH)
        {
            EXPECT_EQ(registerServer(), S_OK);
            ExpectRegistered(HKEY_CLASSES_ROOT, path);
        }
        else
        {
            EXPECT_EQ(registerServer(), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
            ExpectUnregistered(HKEY_CLASSES_ROOT);
        }
        FreeLibrary(module);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, nullptr);
    }
}
} // namespace
