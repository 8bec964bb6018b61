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

CapturedProcess::CapturedProcess(const std::wstring& commandLine) : m_outputPath(m_folder.File("output.txt"))
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE output = CreateFileA(m_outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                CREATE_ALWAYS, 0, nullptr);
    HANDLE input =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring writable = commandLine; // CreateProcessW may write into it
    if (output == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE ||
        !CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &m_process))
    {
        ADD_FAILURE() << "cannot start '" << commandLine << "', error " << GetLastError();
        m_process = {};
    }
    CloseHandle(input);
    CloseHandle(output);
}

CapturedProcess::~CapturedProcess()
{
    if (!Started())
    {
        return;
    }
    if (Running())
    {
        TerminateProcess(m_process.hProcess, 99);
        WaitForSingleObject(m_process.hProcess, 30000);
    }
    CloseHandle(m_process.hThread);
    CloseHandle(m_process.hProcess);
}

std::optional<DWORD> CapturedProcess::WaitExit(DWORD timeoutMilliseconds) const
{
    DWORD status = 0;
    if (!Started() || WaitForSingleObject(m_process.hProcess, timeoutMilliseconds) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(m_process.hProcess, &status))
    {
        return std::nullopt;
    }
    return status;
}

DWORD RunProgramCapturingOutput(const std::wstring& commandLine, std::string& output, DWORD timeoutMilliseconds)
{
    const CapturedProcess process(commandLine);
    const std::optional<DWORD> status = process.WaitExit(timeoutMilliseconds);
    if (process.Started() && !status)
    {
        ADD_FAILURE() << "'" << commandLine << "' did not end in time";
    }
    output = process.Output();
    return status.value_or(DWORD(-1));
}

DWORD RunRegsvr32(const std::wstring& arguments)
{
    return RunProgram(L"regsvr32.exe " + arguments);
}
