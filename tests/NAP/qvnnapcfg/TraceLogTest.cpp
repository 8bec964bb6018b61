#include "TraceLog.h"
#include "SHVConfig.h"

#include "runtime/win-utils.h"
#include "support/ScratchRegistry.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <memory>
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

    // The messages of the file's lines, without their time and thread.
    std::vector<std::string> Messages() const
    {
        const std::string content = ReadWholeFile(path);
        const std::regex line(R"(\[-?\d+\.\d+\]([^\r\n]*)\r\n)");
        std::vector<std::string> messages;
        for (auto it = std::sregex_iterator(content.begin(), content.end(), line); it != std::sregex_iterator(); ++it)
        {
            messages.push_back((*it)[1]);
        }
        return messages;
    }
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
    EXPECT_EQ(Messages(), (std::vector<std::string>{"spaces", "tabs", "own line end", ""}));
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

// Formatters disagree on the count they return for a message they cut (-1 here, the
// whole message's length elsewhere). Whatever count the formatter returns, the line ends
// within the buffer.
TEST_F(TraceLogTest, FormatterCountIsNotTrusted)
{
    using Formatter = int(__cdecl*)(wchar_t*, size_t, const wchar_t*, va_list);
    static Formatter format;
    format = reinterpret_cast<Formatter>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "_vsnwprintf")));
    ASSERT_NE(format, nullptr);
    struct Overcounting
    {
        static int __cdecl Format(wchar_t* buffer, size_t count, const wchar_t* text, va_list args)
        {
            format(buffer, count, text, args);
            return 1 << 24;
        }
    };
    Install();
    {
        // The trace writer's formatting goes through this program's import table.
        const ApiHook overcounting(Overcounting::Format, "msvcrt.dll", "_vsnwprintf", nullptr, api_hook_throw);
        WriteTrace(L"%ws", std::wstring(9000, L'm').c_str());
        WriteTrace(L"short  ");
    }
    const std::string content = ReadWholeFile(path);
    const std::string cut = std::string(8189, 'm') + "\r\n[";
    const auto first = content.find(']') + 1;
    EXPECT_EQ(content.substr(first, cut.size()), cut);
    const auto second = content.find(']', first + cut.size()) + 1;
    EXPECT_EQ(content.substr(second), "short\r\n");
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

// The line is lost without a folder being made for it, and the writer goes on with the
// next configuration.
TEST_F(TraceLogTest, BadPathLosesTheLineQuietly)
{
    InstallTraceLogConfig(std::make_unique<TraceLogConfig>(folder.File("missing\\dir\\trace.log"), 100));
    WriteTrace(L"lost");
    EXPECT_FALSE(FileExists(folder.File("missing")));
    Install();
    WriteTrace(L"kept");
    EXPECT_EQ(Messages(), std::vector<std::string>{"kept"});
}

// Other processes may trace into the same file: while a line is being written, the file
// can be opened for writing by another writer.
TEST_F(TraceLogTest, FileStaysOpenToOtherWritersWhileALineIsWritten)
{
    using Put = int(__cdecl*)(int, FILE*);
    static Put put;
    static const std::string* tracePath;
    static int opened;
    static int refused;
    put = reinterpret_cast<Put>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "fputc")));
    ASSERT_NE(put, nullptr);
    tracePath = &path;
    struct OtherWriter
    {
        static int __cdecl Put(int character, FILE* file)
        {
            HANDLE other = CreateFileA(tracePath->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
            if (other == INVALID_HANDLE_VALUE)
            {
                ++refused;
            }
            else
            {
                ++opened;
                CloseHandle(other);
            }
            return put(character, file);
        }
    };
    Install();
    {
        // The trace writer's output goes through this program's import table.
        const ApiHook otherWriter(OtherWriter::Put, "msvcrt.dll", "fputc", nullptr, api_hook_throw);
        WriteTrace(L"shared");
    }
    EXPECT_EQ(Messages(), std::vector<std::string>{"shared"});
    EXPECT_GT(opened, 0);
    EXPECT_EQ(refused, 0) << "another writer was shut out while a line was written";
}

// What GetConfig and SetConfig write: a begin line, then the end line or the line that
// names the failure.
TEST_F(TraceLogTest, ConfigurationMethodsTraceBeginEndAndEachFailure)
{
    ScratchRegistry scratch;
    scratch.MakeSoftwareVolatile(); // the settings key cannot be created
    INapComponentConfig* config = nullptr;
    ASSERT_EQ(CreateComObject<SHVConfig>(nullptr, IID_INapComponentConfig, reinterpret_cast<void**>(&config)), S_OK);
    Install();
    UINT16 count = 0;
    BYTE* data = nullptr;
    ASSERT_EQ(config->GetConfig(&count, &data), S_OK);
    std::vector<BYTE> blob(data, data + count);
    CoTaskMemFree(data);
    EXPECT_EQ(config->GetConfig(nullptr, &data), E_POINTER);
    EXPECT_EQ(config->SetConfig(531, blob.data()), E_FAIL);
    EXPECT_EQ(config->SetConfig(532, nullptr), E_POINTER);
    EXPECT_EQ(config->SetConfig(532, blob.data()), HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE));
    blob[0] = 2; // another version: ignored, and a success
    EXPECT_EQ(config->SetConfig(532, blob.data()), S_OK);
    config->Release();

    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "[SHVValidator::GetConfig] Begins",
                              "[SHVValidator::GetConfig] Ends",
                              "[SHVValidator::GetConfig] Begins",
                              "[SHVValidator::GetConfig] Failed. Null argument",
                              "[SHVValidator::SetConfig] Begins",
                              "[SHVValidator::SetConfig] Failed. bCount doesnt match serialized structure",
                              "[SHVValidator::SetConfig] Begins",
                              "[SHVValidator::SetConfig] Failed. Null argument",
                              "[SHVValidator::SetConfig] Begins",
                              "[SHVValidator::SetConfig] Failed. Settings not stored (0x800703FD)",
                              "[SHVValidator::SetConfig] Begins",
                              "[SHVValidator::SetConfig] Ends",
                          }));
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

// A configuration that notes when writers hold its lock, and any writer that takes it
// once it has been handed back.
class WatchedConfig : public TraceLogConfig
{
public:
    using TraceLogConfig::TraceLogConfig;

    void Enter() override
    {
        TraceLogConfig::Enter();
        ++holders;
        ++entries;
        if (handedBack)
        {
            ++entriesAfterHandBack;
        }
    }
    void Leave() override
    {
        --holders;
        TraceLogConfig::Leave();
    }

    std::atomic<int> holders{0};
    std::atomic<int> entries{0};
    std::atomic<bool> handedBack{false};
    std::atomic<int> entriesAfterHandBack{0};
};

// Writers trace while another thread keeps replacing the configuration. A configuration
// handed back is used by nobody any more, so its caller may free it at once. (The test
// keeps them all, so that a late use is counted rather than a crash.)
TEST_F(TraceLogTest, ReplacedConfigurationIsUnusedOnceHandedBack)
{
    constexpr int Writers = 4;
    constexpr int Replacements = 100;
    const std::string lost = folder.File("missing\\trace.log"); // no file work, only the lock
    std::vector<std::unique_ptr<TraceLogConfig>> handedBack;
    std::atomic<int> ready{0};
    std::atomic<bool> replacing{true};
    auto startTogether = [&ready] {
        ++ready;
        while (ready < Writers + 1)
        {
        }
    };

    std::vector<std::thread> writers;
    for (int w = 0; w < Writers; ++w)
    {
        writers.emplace_back([&, w] {
            startTogether();
            while (replacing)
            {
                WriteTrace(L"writer %d", w);
            }
        });
    }
    int busyWhenHandedBack = 0;
    int unused = 0;
    std::thread replacer([&] {
        startTogether();
        for (int r = 0; r < Replacements; ++r)
        {
            auto fresh = std::make_unique<WatchedConfig>(lost, 100);
            WatchedConfig* installed = fresh.get();
            auto old = InstallTraceLogConfig(std::move(fresh));
            if (auto* watched = static_cast<WatchedConfig*>(old.get()))
            {
                busyWhenHandedBack += watched->holders != 0 ? 1 : 0;
                watched->handedBack = true;
            }
            handedBack.push_back(std::move(old));
            // Replace it only once writers use it.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (installed->entries == 0 && std::chrono::steady_clock::now() < deadline)
            {
            }
            unused += installed->entries == 0 ? 1 : 0;
        }
        replacing = false;
    });
    replacer.join();
    for (auto& writer : writers)
    {
        writer.join();
    }

    int lateEntries = 0;
    for (const auto& config : handedBack)
    {
        if (config)
        {
            lateEntries += static_cast<const WatchedConfig&>(*config).entriesAfterHandBack;
        }
    }
    EXPECT_EQ(unused, 0) << "configurations the writers never used";
    EXPECT_EQ(busyWhenHandedBack, 0) << "configurations handed back while a writer held them";
    EXPECT_EQ(lateEntries, 0) << "writers that took a configuration after it was handed back";
}
} // namespace
