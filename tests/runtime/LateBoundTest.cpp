// Late-bound entries resolve once, under their lock, and never retry; the library's
// table of 80 entries is built in its row order and loads nothing.
#include "runtime/exceptions.h"
#include "runtime/late_bound.h"
#include "runtime/late_bound_table.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace
{
// Counts the loads entries ask for and remembers the names, then loads for real.
std::atomic<int> g_loads{0};
std::atomic<DWORD> g_load_delay_ms{0};
std::vector<std::string> g_loaded_names; // written by one thread at a time (the entry's lock)

HMODULE WINAPI counting_loader(LPCSTR name)
{
    ++g_loads;
    g_loaded_names.emplace_back(name);
    Sleep(g_load_delay_ms.load());
    return LoadLibraryA(name);
}

// Entries with the counting loader in place of LoadLibraryA.
class LateBoundTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_loads = 0;
        g_load_delay_ms = 0;
        g_loaded_names.clear();
        set_late_bound_loader_for_testing(counting_loader);
    }
    void TearDown() override { set_late_bound_loader_for_testing(nullptr); }
};

TEST_F(LateBoundTest, ResolvesOnFirstUseOnly)
{
    late_bound_t<decltype(::GetNativeSystemInfo)> entry("kernel32.dll", "GetNativeSystemInfo");
    EXPECT_FALSE(entry.attempted());
    EXPECT_EQ(entry.module(), nullptr);
    EXPECT_EQ(g_loads, 0) << "construction loads nothing";
    EXPECT_STREQ(entry.module_name(), "kernel32.dll");
    EXPECT_STREQ(entry.function_name(), "GetNativeSystemInfo");

    ASSERT_TRUE(entry.available());
    const FARPROC expected = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo");
    EXPECT_EQ(entry.address(), expected);
    EXPECT_EQ(reinterpret_cast<void (*)()>(entry.get()), reinterpret_cast<void (*)()>(expected));
    EXPECT_TRUE(static_cast<bool>(entry));
    EXPECT_TRUE(entry.attempted());
    EXPECT_EQ(entry.module(), GetModuleHandleA("kernel32.dll"));
    EXPECT_EQ(g_loads, 1);

    SYSTEM_INFO info{};
    entry.get()(&info);
    EXPECT_NE(info.dwPageSize, 0u) << "the pointer has the function's own type";
}

TEST_F(LateBoundTest, MissingExportFailsOnceAndForAll)
{
    late_bound_t<void WINAPI()> entry("kernel32.dll", "QvnNoSuchExport");
    EXPECT_FALSE(entry.available());
    EXPECT_EQ(entry.get(), nullptr);
    EXPECT_FALSE(static_cast<bool>(entry));
    EXPECT_FALSE(entry.available());
    EXPECT_EQ(g_loads, 1) << "a failed lookup is not retried";
    EXPECT_NE(entry.module(), nullptr) << "the module itself loaded";
}

TEST_F(LateBoundTest, MissingModuleFailsOnceAndForAll)
{
    {
        late_bound_t<void WINAPI()> entry("qvn-no-such-module.dll", "Anything");
        EXPECT_FALSE(entry.available());
        EXPECT_EQ(entry.get(), nullptr);
        EXPECT_FALSE(entry.available());
        EXPECT_EQ(entry.module(), nullptr);
        EXPECT_TRUE(entry.attempted());
    }
    EXPECT_EQ(g_loads, 1) << "a failed load is not retried, and destruction loads nothing";
}

// Through the entry's own LoadLibraryA, no loader installed: the module is loaded at
// first use and freed with the entry, also when it lacks the export.
TEST(LateBoundSystemLoaderTest, DestructionFreesTheModuleTheEntryLoaded)
{
    ASSERT_EQ(GetModuleHandleA("qvn_no_resources.dll"), nullptr);
    {
        late_bound_t<int()> entry("qvn_no_resources.dll", "NoResourcesMarker");
        EXPECT_EQ(GetModuleHandleA("qvn_no_resources.dll"), nullptr) << "nothing mapped before first use";
        ASSERT_TRUE(entry.available());
        EXPECT_EQ(entry.get()(), 0);
        EXPECT_EQ(entry.module(), GetModuleHandleA("qvn_no_resources.dll"));
        EXPECT_NE(entry.module(), nullptr);
    }
    EXPECT_EQ(GetModuleHandleA("qvn_no_resources.dll"), nullptr);

    {
        late_bound_t<int()> entry("qvn_no_resources.dll", "QvnNoSuchExport");
        EXPECT_FALSE(entry.available());
        EXPECT_NE(entry.module(), nullptr);
        EXPECT_EQ(entry.module(), GetModuleHandleA("qvn_no_resources.dll"));
    }
    EXPECT_EQ(GetModuleHandleA("qvn_no_resources.dll"), nullptr) << "freed although its export was missing";
}

TEST_F(LateBoundTest, ConcurrentFirstUseLoadsOnceAndAgrees)
{
    g_load_delay_ms = 100; // keeps the first caller inside the load while the second arrives
    late_bound_t<decltype(::GetTickCount)> entry("kernel32.dll", "GetTickCount");
    std::atomic<int> ready{0};
    decltype(::GetTickCount)* seen[2] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
    {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < 2)
            {
            }
            seen[i] = entry.get();
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(g_loads, 1);
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
}

TEST_F(LateBoundTest, EntryWithoutLockDoesNotExist)
{
    set_critical_section_initializer_for_testing([](LPCRITICAL_SECTION, DWORD) -> BOOL { return FALSE; });
    EXPECT_THROW((late_bound_t<void WINAPI()>("kernel32.dll", "GetTickCount")), sync_exception_shell_t);
    EXPECT_FALSE(late_bound_table_create()) << "the table is refused as a whole";
    EXPECT_EQ(late_bound_table_row(0), nullptr);
    set_critical_section_initializer_for_testing(nullptr);
    EXPECT_EQ(g_loads, 0);
}

// Every row of the table in order: the order entries are built in at load and destroyed
// in at unload, and each module name exactly as the loader gets it.
const struct
{
    const char* module;
    const char* function;
} table_rows[] = {
    {"ntdll", "NtQuerySystemInformation"},
    {"kernel32.dll", "DeleteFileW"},
    {"kernel32.dll", "GetModuleHandleW"},
    {"kernel32.dll", "CreateDirectoryW"},
    {"kernel32.dll", "CreateJobObjectW"},
    {"kernel32.dll", "AssignProcessToJobObject"},
    {"kernel32.dll", "CreateIoCompletionPort"},
    {"kernel32.dll", "SetInformationJobObject"},
    {"kernel32.dll", "GetNativeSystemInfo"},
    {"kernel32.dll", "GetQueuedCompletionStatus"},
    {"kernel32.dll", "SignalObjectAndWait"},
    {"kernel32.dll", "GetProcessIoCounters"},
    {"kernel32.dll", "OpenThread"},
    {"kernel32.dll", "GlobalMemoryStatusEx"},
    {"kernel32.dll", "GetProcessHandleCount"},
    {"kernel32.dll", "ProcessIdToSessionId"},
    {"kernel32.dll", "GetComputerNameExA"},
    {"kernel32.dll", "MoveFileExA"},
    {"kernel32.dll", "Wow64EnableWow64FsRedirection"},
    {"kernel32.dll", "Wow64DisableWow64FsRedirection"},
    {"kernel32.dll", "Wow64RevertWow64FsRedirection"},
    {"kernel32.dll", "CreateToolhelp32Snapshot"},
    {"kernel32.dll", "Process32First"},
    {"kernel32.dll", "Process32Next"},
    {"kernel32.dll", "Process32FirstW"},
    {"kernel32.dll", "Process32NextW"},
    {"kernel32.dll", "ExpandEnvironmentStringsW"},
    {"user32.dll", "AppendMenuW"},
    {"shell32.dll", "SHGetPathFromIDListW"},
    {"shell32.dll", "SHFileOperationW"},
    {"userenv.dll", "CreateEnvironmentBlock"},
    {"userenv.dll", "DestroyEnvironmentBlock"},
    {"userenv.dll", "ExpandEnvironmentStringsForUserA"},
    {"advapi32.dll", "AddAccessAllowedAceEx"},
    {"advapi32.dll", "AddAccessDeniedAceEx"},
    {"advapi32.dll", "GetSecurityInfo"},
    {"advapi32.dll", "SetSecurityInfo"},
    {"advapi32.dll", "InitiateSystemShutdownA"},
    {"advapi32.dll", "InitiateSystemShutdownExA"},
    {"advapi32.dll", "ChangeServiceConfig2A"},
    {"advapi32.dll", "RegOpenKeyExW"},
    {"advapi32.dll", "RegCreateKeyExW"},
    {"advapi32.dll", "RegDeleteValueW"},
    {"advapi32.dll", "RegDeleteKeyW"},
    {"advapi32.dll", "RegDeleteKeyExA"},
    {"advapi32.dll", "RegDeleteKeyExW"},
    {"advapi32.dll", "RegEnumKeyExW"},
    {"advapi32.dll", "RegEnumValueW"},
    {"advapi32.dll", "RegQueryInfoKeyW"},
    {"advapi32.dll", "RegQueryValueExW"},
    {"advapi32.dll", "RegSetValueExW"},
    {"advapi32.dll", "RegSaveKeyExA"},
    {"advapi32.dll", "RegSaveKeyExW"},
    {"advapi32.dll", "GetNamedSecurityInfoA"},
    {"advapi32.dll", "OpenEventLogA"},
    {"advapi32.dll", "CloseEventLog"},
    {"advapi32.dll", "BackupEventLogA"},
    {"advapi32.dll", "ReadEventLogA"},
    {"advapi32.dll", "GetOldestEventLogRecord"},
    {"advapi32.dll", "ConvertSecurityDescriptorToStringSecurityDescriptorA"},
    {"advapi32.dll", "ConvertSidToStringSidA"},
    {"psapi.dll", "GetProcessMemoryInfo"},
    {"psapi.dll", "EnumProcesses"},
    {"psapi.dll", "GetModuleBaseNameA"},
    {"psapi.dll", "GetModuleBaseNameW"},
    {"psapi.dll", "EnumProcessModules"},
    {"srclient.dll", "SRSetRestorePointA"},
    {"wininet.dll", "InternetGetConnectedStateExA"},
    {"wininet.dll", "InternetGetConnectedState"},
    {"wtsapi32.dll", "WTSFreeMemory"},
    {"wtsapi32.dll", "WTSEnumerateSessionsA"},
    {"wtsapi32.dll", "WTSQueryUserToken"},
    {"wtsapi32.dll", "WTSEnumerateProcessesA"},
    {"wtsapi32.dll", "WTSQuerySessionInformationA"},
    {"user32.dll", "GetMenuInfo"},
    {"user32.dll", "SetMenuInfo"},
    {"kernel32.dll", "QueryPerformanceCounter"},
    {"kernel32.dll", "QueryPerformanceFrequency"},
    {"rpcrt4.dll", "RpcServerRegisterIfEx"},
    {"psapi.dll", "GetPerformanceInfo"},
};
static_assert(std::size(table_rows) == late_bound_table_rows, "one expected row per entry");

// Modules only the table names; a program like this one has none of them mapped.
const char* const table_only_modules[] = {"shell32.dll",  "userenv.dll", "psapi.dll",
                                          "srclient.dll", "wininet.dll", "wtsapi32.dll"};

TEST_F(LateBoundTest, TableHoldsTheRowsInOrderAndLoadsNothing)
{
    std::vector<const char*> mapped_before;
    for (const char* name : table_only_modules)
    {
        if (GetModuleHandleA(name) != nullptr)
        {
            mapped_before.push_back(name);
        }
    }
    EXPECT_EQ(late_bound_table_row(0), nullptr) << "no table before it is built";

    ASSERT_TRUE(late_bound_table_create());
    for (std::size_t row = 0; row < late_bound_table_rows; ++row)
    {
        late_bound_entry_t* entry = late_bound_table_row(row);
        ASSERT_NE(entry, nullptr) << "row " << row;
        EXPECT_FALSE(entry->attempted()) << "row " << row;
        EXPECT_STREQ(entry->module_name(), table_rows[row].module) << "row " << row;
        EXPECT_STREQ(entry->function_name(), table_rows[row].function) << "row " << row;
    }
    EXPECT_EQ(late_bound_table_row(late_bound_table_rows), nullptr);
    late_bound_table_destroy();

    EXPECT_EQ(g_loads, 0);
    EXPECT_EQ(late_bound_table_row(0), nullptr);
    for (const char* name : table_only_modules)
    {
        if (std::find(mapped_before.begin(), mapped_before.end(), name) == mapped_before.end())
        {
            EXPECT_EQ(GetModuleHandleA(name), nullptr) << name;
        }
    }
}

TEST_F(LateBoundTest, TableEntriesResolveLikeAnyOtherAndReleaseAtDestruction)
{
    ASSERT_TRUE(late_bound_table_create());
    late_bound_entry_t* first = late_bound_table_row(0);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->available());
    EXPECT_EQ(first->address(), GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation"));

    const bool wtsapi_mapped = GetModuleHandleA("wtsapi32.dll") != nullptr;
    late_bound_entry_t* wts = late_bound_table_row(69);
    ASSERT_NE(wts, nullptr);
    ASSERT_STREQ(wts->function_name(), "WTSFreeMemory");
    const bool wts_available = wts->available();
    late_bound_table_destroy();

    ASSERT_EQ(g_loaded_names.size(), 2u);
    EXPECT_EQ(g_loaded_names[0], "ntdll") << "the name goes to the loader as written, without extension";
    EXPECT_EQ(g_loaded_names[1], "wtsapi32.dll");
    if (wts_available && !wtsapi_mapped)
    {
        EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr) << "the table's destruction freed what it loaded";
    }
}
} // namespace
