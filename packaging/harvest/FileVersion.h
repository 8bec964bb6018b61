// The version record of a program file, read the way Windows reads it.
#pragma once

#include <string>

struct FileVersion
{
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    unsigned revision = 0;

    // "major.minor.build.revision"
    std::wstring Text() const;
};

// The product version of the file's fixed version record (VS_FIXEDFILEINFO). Throws
// PackagingError when the file cannot be read or has no version record.
FileVersion ReadProductVersion(const std::wstring& path);
