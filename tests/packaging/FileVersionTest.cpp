// The product version read from a file's version record: the package takes its
// version from there.
#include "FileVersion.h"
#include "PackagingError.h"
#include "Utf8.h"

#include "support/ComponentDll.h"

#include <gtest/gtest.h>

namespace
{
TEST(FileVersionTest, BuiltDllCarriesTheProjectVersion)
{
    const FileVersion version = ReadProductVersion(PathBesideProgram(L"qvnnapcfg64.dll"));
    EXPECT_EQ(ToUtf8(version.Text()), QVN_PROJECT_VERSION);
}

TEST(FileVersionTest, FilesWithoutVersionRecordAreRefused)
{
    EXPECT_THROW(ReadProductVersion(PathBesideProgram(L"qvn_no_resources.dll")), PackagingError);
    EXPECT_THROW(ReadProductVersion(PathBesideProgram(L"no-such-file.dll")), PackagingError);
}
} // namespace
