#include "late_bound_table.h"

// The declarations of the table's functions give each entry its function's type.
#define PSAPI_VERSION 1 // the functions under their own names, as psapi.dll exports them
#include <windows.h>
#include <aclapi.h>
#include <psapi.h>
#include <rpc.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <srrestoreptapi.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wininet.h>
#include <winsvc.h>
#include <winternl.h>
#include <wtsapi32.h>

#include <atomic>
#include <new>

// The table lists the narrow process functions, which the Unicode build otherwise
// renames to their wide forms.
#undef Process32First
#undef Process32Next

// The rows in order: the order the entries are built in at load, and in reverse the
// order they are destroyed in at unload. Module names are passed to LoadLibraryA
// exactly as written here (the first has no extension).
#define LATE_BOUND_ROWS(ROW)                                                                                           \
    ROW("ntdll", NtQuerySystemInformation)                                                                             \
    ROW("kernel32.dll", DeleteFileW)                                                                                   \
    ROW("kernel32.dll", GetModuleHandleW)                                                                              \
    ROW("kernel32.dll", CreateDirectoryW)                                                                              \
    ROW("kernel32.dll", CreateJobObjectW)                                                                              \
    ROW("kernel32.dll", AssignProcessToJobObject)                                                                      \
    ROW("kernel32.dll", CreateIoCompletionPort)                                                                        \
    ROW("kernel32.dll", SetInformationJobObject)                                                                       \
    ROW("kernel32.dll", GetNativeSystemInfo)                                                                           \
    ROW("kernel32.dll", GetQueuedCompletionStatus)                                                                     \
    ROW("kernel32.dll", SignalObjectAndWait)                                                                           \
    ROW("kernel32.dll", GetProcessIoCounters)                                                                          \
    ROW("kernel32.dll", OpenThread)                                                                                    \
    ROW("kernel32.dll", GlobalMemoryStatusEx)                                                                          \
    ROW("kernel32.dll", GetProcessHandleCount)                                                                         \
    ROW("kernel32.dll", ProcessIdToSessionId)                                                                          \
    ROW("kernel32.dll", GetComputerNameExA)                                                                            \
    ROW("kernel32.dll", MoveFileExA)                                                                                   \
    ROW("kernel32.dll", Wow64EnableWow64FsRedirection)                                                                 \
    ROW("kernel32.dll", Wow64DisableWow64FsRedirection)                                                                \
    ROW("kernel32.dll", Wow64RevertWow64FsRedirection)                                                                 \
    ROW("kernel32.dll", CreateToolhelp32Snapshot)                                                                      \
    ROW("kernel32.dll", Process32First)                                                                                \
    ROW("kernel32.dll", Process32Next)                                                                                 \
    ROW("kernel32.dll", Process32FirstW)                                                                               \
    ROW("kernel32.dll", Process32NextW)                                                                                \
    ROW("kernel32.dll", ExpandEnvironmentStringsW)                                                                     \
    ROW("user32.dll", AppendMenuW)                                                                                     \
    ROW("shell32.dll", SHGetPathFromIDListW)                                                                           \
    ROW("shell32.dll", SHFileOperationW)                                                                               \
    ROW("userenv.dll", CreateEnvironmentBlock)                                                                         \
    ROW("userenv.dll", DestroyEnvironmentBlock)                                                                        \
    ROW("userenv.dll", ExpandEnvironmentStringsForUserA)                                                               \
    ROW("advapi32.dll", AddAccessAllowedAceEx)                                                                         \
    ROW("advapi32.dll", AddAccessDeniedAceEx)                                                                          \
    ROW("advapi32.dll", GetSecurityInfo)                                                                               \
    ROW("advapi32.dll", SetSecurityInfo)                                                                               \
    ROW("advapi32.dll", InitiateSystemShutdownA)                                                                       \
    ROW("advapi32.dll", InitiateSystemShutdownExA)                                                                     \
    ROW("advapi32.dll", ChangeServiceConfig2A)                                                                         \
    ROW("advapi32.dll", RegOpenKeyExW)                                                                                 \
    ROW("advapi32.dll", RegCreateKeyExW)                                                                               \
    ROW("advapi32.dll", RegDeleteValueW)                                                                               \
    ROW("advapi32.dll", RegDeleteKeyW)                                                                                 \
    ROW("advapi32.dll", RegDeleteKeyExA)                                                                               \
    ROW("advapi32.dll", RegDeleteKeyExW)                                                                               \
    ROW("advapi32.dll", RegEnumKeyExW)                                                                                 \
    ROW("advapi32.dll", RegEnumValueW)                                                                                 \
    ROW("advapi32.dll", RegQueryInfoKeyW)                                                                              \
    ROW("advapi32.dll", RegQueryValueExW)                                                                              \
    ROW("advapi32.dll", RegSetValueExW)                                                                                \
    ROW("advapi32.dll", RegSaveKeyExA)                                                                                 \
    ROW("advapi32.dll", RegSaveKeyExW)                                                                                 \
    ROW("advapi32.dll", GetNamedSecurityInfoA)                                                                         \
    ROW("advapi32.dll", OpenEventLogA)                                                                                 \
    ROW("advapi32.dll", CloseEventLog)                                                                                 \
    ROW("advapi32.dll", BackupEventLogA)                                                                               \
    ROW("advapi32.dll", ReadEventLogA)                                                                                 \
    ROW("advapi32.dll", GetOldestEventLogRecord)                                                                       \
    ROW("advapi32.dll", ConvertSecurityDescriptorToStringSecurityDescriptorA)                                          \
    ROW("advapi32.dll", ConvertSidToStringSidA)                                                                        \
    ROW("psapi.dll", GetProcessMemoryInfo)                                                                             \
    ROW("psapi.dll", EnumProcesses)                                                                                    \
    ROW("psapi.dll", GetModuleBaseNameA)                                                                               \
    ROW("psapi.dll", GetModuleBaseNameW)                                                                               \
    ROW("psapi.dll", EnumProcessModules)                                                                               \
    ROW("srclient.dll", SRSetRestorePointA)                                                                            \
    ROW("wininet.dll", InternetGetConnectedStateExA)                                                                   \
    ROW("wininet.dll", InternetGetConnectedState)                                                                      \
    ROW("wtsapi32.dll", WTSFreeMemory)                                                                                 \
    ROW("wtsapi32.dll", WTSEnumerateSessionsA)                                                                         \
    ROW("wtsapi32.dll", WTSQueryUserToken)                                                                             \
    ROW("wtsapi32.dll", WTSEnumerateProcessesA)                                                                        \
    ROW("wtsapi32.dll", WTSQuerySessionInformationA)                                                                   \
    ROW("user32.dll", GetMenuInfo)                                                                                     \
    ROW("user32.dll", SetMenuInfo)                                                                                     \
    ROW("kernel32.dll", QueryPerformanceCounter)                                                                       \
    ROW("kernel32.dll", QueryPerformanceFrequency)                                                                     \
    ROW("rpcrt4.dll", RpcServerRegisterIfEx)                                                                           \
    ROW("psapi.dll", GetPerformanceInfo)

namespace
{
#define COUNT_ROW(module, function) +1 // NOLINT(bugprone-macro-parentheses): a term of a sum
static_assert(0 LATE_BOUND_ROWS(COUNT_ROW) == late_bound_table_rows, "one row per entry of the table");
#undef COUNT_ROW

// One member per row, named after its function; members are built in the order they are
// declared and destroyed in reverse.
struct late_bound_table_t
{
// NOLINTNEXTLINE(bugprone-macro-parentheses): declares a member named after the function
#define DECLARE_ROW(module, function) late_bound_t<decltype(::function)> function{module, #function};
    LATE_BOUND_ROWS(DECLARE_ROW)
#undef DECLARE_ROW

    late_bound_entry_t* rows[late_bound_table_rows] = {
#define ROW_ADDRESS(module, function) &function, // NOLINT(bugprone-macro-parentheses): a member's name
        LATE_BOUND_ROWS(ROW_ADDRESS)
#undef ROW_ADDRESS
    };
};

std::atomic<late_bound_table_t*> g_table{nullptr};
} // namespace

bool late_bound_table_create() noexcept
{
    if (g_table.load() != nullptr)
    {
        return true;
    }
    try
    {
        g_table.store(new late_bound_table_t);
        return true;
    }
    catch (...)
    {
        return false;
    }
}

void late_bound_table_destroy() noexcept
{
    delete g_table.exchange(nullptr);
}

late_bound_entry_t* late_bound_table_row(std::size_t row) noexcept
{
    late_bound_table_t* table = g_table.load();
    return table != nullptr && row < late_bound_table_rows ? table->rows[row] : nullptr;
}
