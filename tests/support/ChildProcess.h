// Other programs run from a test, the way an administrator runs them, in the current
// Wine prefix.
#pragma once

#include <windows.h>

#include <string>

// Runs the command line and waits for it to end; returns its exit code. Fails the test
// and returns DWORD(-1) when it cannot be started or does not end within the time-out.
DWORD RunProgram(const std::wstring& commandLine, DWORD timeoutMilliseconds = 60000);

// "regsvr32.exe <arguments>", as RunProgram.
DWORD RunRegsvr32(const std::wstring& arguments);
