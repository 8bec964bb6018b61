#include "Regsvr32.h"

#include <gtest/gtest.h>

DWORD RunRegsvr32(const std::wstring& arguments)
{
    std::wstring commandLine = L"regsvr32.exe " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        ADD_FAILURE() << "cannot start regsvr32, error " << GetLastError();
        return DWORD(-1);
    }
    CloseHandle(process.hThread);
    DWORD exitCode = DWORD(-1);
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
    {
        GetExitCodeProcess(process.hProcess, &exitCode);
    }
    else
    {
        ADD_FAILURE() << "regsvr32 did not end within a minute";
    }
    CloseHandle(process.hProcess);
    return exitCode;
}
