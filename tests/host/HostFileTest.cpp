#include "HostFile.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace
{
// A temporary file that an earlier run, killed midway, left under the name this process
// would once have used (Wine gives process ids out again) stands in no export's way.
TEST(WriteFileBytesTest, TemporaryFileOfAnEarlierRunIsNoObstacle)
{
    ScratchFolder folder;
    const std::string path = folder.File("policy.bin");
    const std::string stale = path + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
    WriteWholeFile(stale, "left by a killed run");
    EXPECT_EQ(WriteFileBytes(std::wstring(path.begin(), path.end()), {1, 2, 3}), std::nullopt);
    EXPECT_EQ(ReadWholeFile(path), std::string("\x01\x02\x03"));
    EXPECT_EQ(ReadWholeFile(stale), "left by a killed run");
}
} // namespace
