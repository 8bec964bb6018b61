#include "FileVersion.h"

#include "PackagingError.h"
#include "Utf8.h"

#include <windows.h>

#include <vector>

std::wstring FileVersion::Text() const
{
    return std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + std::to_wstring(build) + L"." +
           std::to_wstring(revision);
}

FileVersion ReadProductVersion(const std::wstring& path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
    {
        throw PackagingError("'" + ToUtf8(path) + "' has no version record (error " + std::to_string(GetLastError()) +
                             ")");
    }
    std::vector<BYTE> record(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, record.data()))
    {
        throw PackagingError("cannot read the version record of '" + ToUtf8(path) + "' (error " +
                             std::to_string(GetLastError()) + ")");
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || fixed == nullptr ||
        fixedSize < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE)
    {
        throw PackagingError("the version record of '" + ToUtf8(path) + "' has no fixed part");
    }
    return {HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
            LOWORD(fixed->dwProductVersionLS)};
}
