// rand_s, the C runtime's generator that draws from the system's.
#define _CRT_RAND_S

#include "HostFile.h"

#include "HostText.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace
{
// CreateFileW's failure value is INVALID_HANDLE_VALUE, not null: kept as null here.
using UniqueFile = UniqueHandle<HANDLE, &CloseHandle>;

UniqueFile OpenFile(const std::wstring& path, DWORD access, DWORD disposition)
{
    const HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return UniqueFile(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

// WriteFile of every byte; a short write without an error counts as a write fault.
bool WriteAll(HANDLE file, const std::vector<std::uint8_t>& bytes)
{
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
    {
        return false;
    }
    if (written != bytes.size())
    {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

// A file that exists and is not on a disk (a character device or a pipe): nothing can be
// renamed over it.
bool IsDevice(const std::wstring& path)
{
    const UniqueFile file = OpenFile(path, 0, OPEN_EXISTING);
    return file && GetFileType(file.Get()) != FILE_TYPE_DISK;
}

// Creates a new file beside path under a name that no earlier run can have left behind,
// not even one killed by a process of the same id: a random suffix, drawn again while a
// file of that name exists. Returns the file and its name; null (with the last error set)
// when it cannot be created.
UniqueFile CreateTemporary(const std::wstring& path, std::wstring& temporary)
{
    for (unsigned attempt = 0; attempt < 100; ++attempt)
    {
        unsigned int suffix = 0;
        if (rand_s(&suffix) != 0)
        {
            suffix = GetTickCount() + attempt;
        }
        wchar_t name[16];
        if (std::swprintf(name, std::size(name), L".%08x.tmp", suffix) < 0)
        {
            continue; // cannot happen with this format and size; no name, no file
        }
        temporary = path + name;
        UniqueFile file = OpenFile(temporary, GENERIC_WRITE, CREATE_NEW);
        if (file || (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS))
        {
            return file;
        }
    }
    return UniqueFile();
}

std::string Failure(const std::wstring& path, const std::string& step, DWORD error)
{
    return "cannot write '" + ToUtf8(path) + "': " + step + " failed: " + DescribeHresult(HRESULT_FROM_WIN32(error));
}
} // namespace

std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::wstring& path, std::string& error)
{
    const UniqueFile file = OpenFile(path, GENERIC_READ, OPEN_EXISTING);
    if (!file)
    {
        const DWORD reason = GetLastError();
        // Opening a folder as a file is refused as access denied, which misleads.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        error = "cannot open '" + ToUtf8(path) + "': " +
                (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                     ? "it is a folder"
                     : DescribeHresult(HRESULT_FROM_WIN32(reason)));
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[4096];
    DWORD read = 0;
    do
    {
        if (!ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr))
        {
            error = "cannot read '" + ToUtf8(path) + "': " + DescribeHresult(HRESULT_FROM_WIN32(GetLastError()));
            return std::nullopt;
        }
        bytes.insert(bytes.end(), buffer, buffer + read);
    } while (read > 0 && bytes.size() <= 65536);
    return bytes;
}

std::optional<std::string> WriteFileBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes)
{
    // Windows refuses to rename over a read-only file; Wine does not, so ask first.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    {
        return Failure(path, "replacing it (read-only)", ERROR_ACCESS_DENIED);
    }
    if (IsDevice(path))
    {
        const UniqueFile device = OpenFile(path, GENERIC_WRITE, OPEN_EXISTING);
        if (!device || !WriteAll(device.Get(), bytes))
        {
            return Failure(path, device ? "writing" : "opening", GetLastError());
        }
        return std::nullopt;
    }

    std::wstring temporary;
    UniqueFile file = CreateTemporary(path, temporary);
    if (!file)
    {
        const DWORD error = GetLastError();
        return Failure(path, "creating '" + ToUtf8(temporary) + "' beside it", error);
    }
    const char* step = nullptr;
    if (!WriteAll(file.Get(), bytes))
    {
        step = "writing";
    }
    else if (!FlushFileBuffers(file.Get()))
    {
        step = "flushing";
    }
    else if (!file.Close())
    {
        step = "closing";
    }
    else if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    {
        step = "replacing it";
    }
    if (step == nullptr)
    {
        return std::nullopt;
    }
    const DWORD error = GetLastError();
    file.Close();
    DeleteFileW(temporary.c_str());
    return Failure(path, step, error);
}
