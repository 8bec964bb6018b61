#include "support/ChildProcess.h"

#include <gtest/gtest.h>

DWORD RunProgram(const std::wstring& commandLine, DWORD timeoutMilliseconds)
{
    std::wstring writable = commandLine; // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        ADD_FAILURE() << "cannot start '" << commandLine << "', error " << GetLastError();
        return DWORD(-1);
    }
    CloseHandle(process.hThread);
    DWORD exitCode = DWORD(-1);
    if (WaitForSingleObject(process.hProcess, timeoutMilliseconds) == WAIT_OBJECT_0)
    {
        GetExitCodeProcess(process.hProcess, &exitCode);
    }
    else
    {
        ADD_FAILURE() << "'" << commandLine << "' did not end in time";
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    return exitCode;
}

DWORD RunRegsvr32(const std::wstring& arguments)
{
    return RunProgram(L"regsvr32.exe " + arguments);
}
