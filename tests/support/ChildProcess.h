// Other programs run from a test, the way an administrator runs them, in the current
// Wine prefix.
#pragma once

#include <windows.h>

#include "support/TestFiles.h"

#include <optional>
#include <string>

// Runs the command line and waits for it to end; returns its exit code. Fails the test
// and returns DWORD(-1) when it cannot be started or does not end within the time-out.
DWORD RunProgram(const std::wstring& commandLine, DWORD timeoutMilliseconds = 60000);

// A program started with nothing on standard input and its standard output and error
// caught in a file. Ended by force should it still run when the object goes.
class CapturedProcess
{
public:
    // Starts the command line; fails the test when it cannot.
    explicit CapturedProcess(const std::wstring& commandLine);
    ~CapturedProcess();
    CapturedProcess(const CapturedProcess&) = delete;
    CapturedProcess& operator=(const CapturedProcess&) = delete;

    bool Started() const { return m_process.hProcess != nullptr; }
    DWORD Id() const { return m_process.dwProcessId; }
    bool Running() const { return WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT; }

    // The exit status, or nothing when the process is still running after the wait.
    std::optional<DWORD> WaitExit(DWORD timeoutMilliseconds = 60000) const;

    // What the program wrote so far.
    std::string Output() const { return ReadWholeFile(m_outputPath); }

private:
    ScratchFolder m_folder;
    std::string m_outputPath;
    PROCESS_INFORMATION m_process = {};
};

// As RunProgram, with nothing on standard input; what the program writes on standard
// output and error goes to output.
DWORD RunProgramCapturingOutput(const std::wstring& commandLine, std::string& output,
                                DWORD timeoutMilliseconds = 60000);

// "regsvr32.exe <arguments>", as RunProgram.
DWORD RunRegsvr32(const std::wstring& arguments);
