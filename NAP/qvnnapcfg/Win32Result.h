// Win32 errors as HRESULTs, made where the error occurs so that it is never lost.
#pragma once

#include <windows.h>

// The HRESULT of a Win32 status (a registry function's result, say): S_OK for
// ERROR_SUCCESS, otherwise 0x8007xxxx.
inline HRESULT HResultFromStatus(LSTATUS status) noexcept
{
    return HRESULT_FROM_WIN32(static_cast<unsigned long>(status));
}

// The HRESULT of the calling thread's last error; E_FAIL when that error is 0, so that a
// failed call is never reported as success.
inline HRESULT HResultFromLastError() noexcept
{
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}
