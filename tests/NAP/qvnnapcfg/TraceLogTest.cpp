#include "TraceLog.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

namespace
{
class TraceLogTest : public ::testing::Test
{
protected:
    ScratchFolder folder;
    std::string path = folder.File("trace.log");

    void Install(std::int32_t limit = 1 << 20) { InstallTraceLogConfig(std::make_unique<TraceLogConfig>(path, limit)); }
    void TearDown() override { InstallTraceLogConfig(nullptr); }
};

TEST_F(TraceLogTest, SilentWithoutConfiguration)
{
    WriteTrace(L"[SHVValidator::GetConfig] Begins");
    EXPECT_FALSE(FileExists(path));
}

TEST_F(TraceLogTest, LineCarriesTimeThreadAndMessage)
{
    Install();
    const auto before = static_cast<long long>(time(nullptr));
    WriteTrace(L"[SHVValidator::%ws] Begins (hwndParent = 0x%08X)", L"InvokeUI", 0x1234u);
    const auto after = static_cast<long long>(time(nullptr));

    const std::string content = ReadWholeFile(path);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(content, match, std::regex(R"(\[(-?\d+)\.(\d+)\](.*)\r\n)"))) << content;
    EXPECT_GE(std::stoll(match[1]), before);
    EXPECT_LE(std::stoll(match[1]), after);
    EXPECT_EQ(std::stoul(match[2]), GetCurrentThreadId());
    EXPECT_EQ(match[3], "[SHVValidator::InvokeUI] Begins (hwndParent = 0x00001234)");
}

TEST_F(TraceLogTest, TrailingWhiteSpaceBecomesExactlyOneLineEnd)
{
    Install();
    WriteTrace(L"spaces   ");
    WriteTrace(L"tabs\t\t");
    WriteTrace(L"own line end\r\n");
    WriteTrace(L"   ");
    const std::string content = ReadWholeFile(path);
    const std::regex line(R"(\[-?\d+\.\d+\]([^\r\n]*)\r\n)");
    std::vector<std::string> messages;
    for (auto it = std::sregex_iterator(content.begin(), content.end(), line); it != std::sregex_iterator(); ++it)
    {
        messages.push_back((*it)[1]);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"spaces", "tabs", "own line end", ""}));
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 4);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\r'), 4);
}

TEST_F(TraceLogTest, AppendsUpToTheLimitAndStartsOverAboveIt)
{
    WriteWholeFile(path, std::string(100, 'x'));
    Install(100);
    WriteTrace(L"appended");
    std::string content = ReadWholeFile(path);
    EXPECT_EQ(content.substr(0, 100), std::string(100, 'x')) << "a file of exactly the limit is appended to";
    EXPECT_NE(content.find("]appended\r\n"), std::string::npos);

    WriteTrace(L"fresh");
    content = ReadWholeFile(path);
    EXPECT_EQ(content.find('x'), std::string::npos) << "a larger file is started over";
    EXPECT_EQ(content.find("appended"), std::string::npos);
    EXPECT_NE(content.find("]fresh\r\n"), std::string::npos);
}

TEST_F(TraceLogTest, LongMessageIsCutTo8189Characters)
{
    Install();
    const std::wstring message(9000, L'm');
    WriteTrace(L"%ws", message.c_str());
    const std::string content = ReadWholeFile(path);
    const auto start = content.find(']') + 1;
    EXPECT_EQ(content.substr(start), std::string(8189, 'm') + "\r\n");
}

TEST_F(TraceLogTest, UnrepresentableCharacterEndsTheLineThere)
{
    Install();
    WriteTrace(L"caf\u00e9 \u4e2d\u6587 rest");
    WriteTrace(L"next");
    const std::string content = ReadWholeFile(path);
    EXPECT_NE(content.find("]caf\xe9 "), std::string::npos);
    EXPECT_EQ(content.find("rest"), std::string::npos);
    EXPECT_NE(content.find("]next\r\n"), std::string::npos) << "the next call starts afresh";
}

TEST_F(TraceLogTest, BadPathLosesTheLineQuietly)
{
    InstallTraceLogConfig(std::make_unique<TraceLogConfig>(folder.File("missing\\dir\\trace.log"), 100));
    WriteTrace(L"lost");
    SUCCEED();
}

TEST_F(TraceLogTest, ConcurrentWritersNeverInterleaveLines)
{
    Install();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
            {
                WriteTrace(L"thread %d line %d %ws", t, i, std::wstring(200, L'a' + t).c_str());
            }
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    const std::string content = ReadWholeFile(path);
    const std::regex line(R"(\[-?\d+\.\d+\]thread (\d) line \d+ ([a-d])\2{199}\r\n)");
    std::size_t lines = 0;
    std::size_t consumed = 0;
    for (auto it = std::sregex_iterator(content.begin(), content.end(), line); it != std::sregex_iterator(); ++it)
    {
        EXPECT_EQ(static_cast<std::size_t>(it->position()), consumed) << "garbage between lines";
        consumed += it->length();
        ++lines;
    }
    EXPECT_EQ(lines, 200u);
    EXPECT_EQ(consumed, content.size());
}
} // namespace
