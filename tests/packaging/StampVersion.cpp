// qvn_stamp_version IN OUT VERSION: copies a program file and sets the file and product
// version of its fixed version record (VS_FIXEDFILEINFO) to VERSION, "a.b.c.d". The
// upgrade test makes a newer DLL this way, without a second build. The version strings
// of the record stay as they were; Windows Installer and the packaging read the fixed
// part only. Exit status 0 on success, 1 with a message otherwise.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace
{
bool ReadWholeFile(const wchar_t* path, std::vector<char>& bytes)
{
    FILE* file = _wfopen(path, L"rb");
    if (file == nullptr)
    {
        return false;
    }
    char buffer[65536];
    std::size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
    {
        bytes.insert(bytes.end(), buffer, buffer + read);
    }
    std::fclose(file);
    return true;
}

bool WriteWholeFile(const wchar_t* path, const std::vector<char>& bytes)
{
    FILE* file = _wfopen(path, L"wb");
    if (file == nullptr)
    {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    unsigned parts[4] = {};
    if (argc != 4 || swscanf(argv[3], L"%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) != 4 ||
        parts[0] > 0xFFFF || parts[1] > 0xFFFF || parts[2] > 0xFFFF || parts[3] > 0xFFFF)
    {
        std::fprintf(stderr, "usage: qvn_stamp_version IN OUT a.b.c.d\n");
        return 1;
    }
    std::vector<char> bytes;
    if (!ReadWholeFile(argv[1], bytes))
    {
        std::fprintf(stderr, "cannot read the input file\n");
        return 1;
    }
    // The fixed record is the only place that holds its signature; it must be there once.
    const DWORD signature = VS_FFI_SIGNATURE;
    std::size_t found = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; i + sizeof(VS_FIXEDFILEINFO) <= bytes.size(); i += 4)
    {
        if (std::memcmp(&bytes[i], &signature, sizeof(signature)) == 0)
        {
            ++found;
            at = i;
        }
    }
    if (found != 1)
    {
        std::fprintf(stderr, "expected one fixed version record, found %zu\n", found);
        return 1;
    }
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, &bytes[at], sizeof(fixed));
    fixed.dwFileVersionMS = fixed.dwProductVersionMS = MAKELONG(parts[1], parts[0]);
    fixed.dwFileVersionLS = fixed.dwProductVersionLS = MAKELONG(parts[3], parts[2]);
    std::memcpy(&bytes[at], &fixed, sizeof(fixed));
    if (!WriteWholeFile(argv[2], bytes))
    {
        std::fprintf(stderr, "cannot write the output file\n");
        return 1;
    }
    return 0;
}
