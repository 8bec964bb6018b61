// qvnharvest: the Windows half of scripts/package.sh, run under Wine at build time.
//
//   qvnharvest version DLL
//       prints the product version of the DLL's version record (major.minor.build.revision)
//   qvnharvest file-version FILE
//       prints the file version of the file's version record and its languages, as the
//       File table of a package takes them: "6.0.4.11200 0"
//   qvnharvest registry DLL FILEREF OUTPUT
//       runs the DLL's DllRegisterServer against scratch keys and writes what it
//       registered as a WiX include file, with the module path replaced by FILEREF
//
// Exit status 0 on success, otherwise 1 with one line on standard error.
#include "FileVersion.h"
#include "PackagingError.h"
#include "RegistryHarvest.h"
#include "Utf8.h"
#include "WixRegistry.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{
void WriteTextFile(const std::wstring& path, const std::string& text)
{
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr)
    {
        throw PackagingError("cannot create '" + ToUtf8(path) + "'");
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written)
    {
        throw PackagingError("cannot write '" + ToUtf8(path) + "'");
    }
}

int Run(const std::vector<std::wstring>& args)
{
    if (args.size() == 3 && args[1] == L"version")
    {
        std::printf("%s\n", ToUtf8(ReadProductVersion(args[2]).Text()).c_str());
        return 0;
    }
    if (args.size() == 3 && args[1] == L"file-version")
    {
        const VersionRecord record = ReadVersionRecord(args[2]);
        std::printf("%s %s\n", ToUtf8(record.file.Text()).c_str(), ToUtf8(record.LanguageList()).c_str());
        return 0;
    }
    if (args.size() == 5 && args[1] == L"registry")
    {
        const HarvestedRegistration harvest = HarvestRegistration(args[2]);
        WriteTextFile(args[4], WriteWixRegistryInclude(harvest, args[3]));
        std::size_t values = 0;
        for (const HarvestedKey& key : harvest.keys)
        {
            values += key.values.size();
        }
        std::printf("harvested %zu keys, %zu values\n", harvest.keys.size(), values);
        return 0;
    }
    // NOLINTNEXTLINE(cert-err33-c): nowhere left to report
    std::fprintf(stderr, "usage: qvnharvest version DLL | qvnharvest file-version FILE | qvnharvest registry DLL "
                         "FILEREF OUTPUT\n");
    return 1;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    try
    {
        return Run(std::vector<std::wstring>(argv, argv + argc));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "qvnharvest: %s\n", error.what()); // NOLINT(cert-err33-c): nowhere left to report
        return 1;
    }
}
