// The version record of a program file, read the way Windows reads it.
#pragma once

#include <string>
#include <vector>

struct FileVersion
{
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    unsigned revision = 0;

    // "major.minor.build.revision"
    std::wstring Text() const;
};

// What Windows Installer reads of a file's version record: the fixed part's file and
// product versions, and the languages of its translation table (0 for neutral).
struct VersionRecord
{
    FileVersion file;
    FileVersion product;
    std::vector<unsigned> languages;

    // The languages as Windows Installer lists them, decimal and comma-separated ("0").
    std::wstring LanguageList() const;
};

// The version record of the file. Throws PackagingError when the file cannot be read or
// has no version record with a fixed part.
VersionRecord ReadVersionRecord(const std::wstring& path);

// The product version of the file's version record, as ReadVersionRecord.
FileVersion ReadProductVersion(const std::wstring& path);
