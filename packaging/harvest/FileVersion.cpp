#include "FileVersion.h"

#include "PackagingError.h"
#include "Utf8.h"

#include <windows.h>

namespace
{
FileVersion FromFixed(DWORD mostSignificant, DWORD leastSignificant)
{
    return {HIWORD(mostSignificant), LOWORD(mostSignificant), HIWORD(leastSignificant), LOWORD(leastSignificant)};
}
} // namespace

std::wstring FileVersion::Text() const
{
    return std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + std::to_wstring(build) + L"." +
           std::to_wstring(revision);
}

std::wstring VersionRecord::LanguageList() const
{
    std::wstring list;
    for (unsigned language : languages)
    {
        list += (list.empty() ? L"" : L",") + std::to_wstring(language);
    }
    return list;
}

VersionRecord ReadVersionRecord(const std::wstring& path)
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
    VersionRecord result;
    result.file = FromFixed(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    result.product = FromFixed(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    // Pairs of language and code page.
    WORD* translations = nullptr;
    UINT translationSize = 0;
    if (VerQueryValueW(record.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                       &translationSize) &&
        translations != nullptr)
    {
        for (UINT i = 0; i + 1 < translationSize / sizeof(WORD); i += 2)
        {
            result.languages.push_back(translations[i]);
        }
    }
    return result;
}

FileVersion ReadProductVersion(const std::wstring& path)
{
    return ReadVersionRecord(path).product;
}
