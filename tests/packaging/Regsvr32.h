// Wine's regsvr32, run the way an administrator runs it, in the current prefix.
#pragma once

#include <windows.h>

#include <string>

// Runs "regsvr32.exe <arguments>" and returns its exit code. Fails the test and returns
// DWORD(-1) when it cannot be started or does not end within a minute.
DWORD RunRegsvr32(const std::wstring& arguments);
