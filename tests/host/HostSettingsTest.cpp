#include "HostFile.h"
#include "HostSettings.h"
#include "HostText.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace
{
HostSettings Enabled()
{
    return HostSettings{L"upd.example", 2193, 10000, 180, 1};
}

// ParseChanges, then ApplyChanges on the stored settings, as the set command does; the
// refusal's line, or nothing.
std::optional<std::string> Change(HostSettings& settings, const SettingsChanges& changes)
{
    ParsedChanges parsed;
    if (const auto refusal = ParseChanges(changes, parsed))
    {
        return refusal->Text();
    }
    const auto refusals = ApplyChanges(settings, parsed);
    return refusals.empty() ? std::nullopt : std::optional<std::string>(RefusalsText(refusals));
}

struct RefusedChange
{
    const char* label;
    HostSettings start;
    SettingsChanges changes;
    const char* error;
};

TEST(ApplyChangesTest, RefusedInputNamesTheFieldAndChangesNothing)
{
    HostSettings disabled = Enabled();
    disabled.enabled = 0;
    HostSettings emptyServer = disabled;
    emptyServer.server.clear();
    emptyServer.port = 0;
    HostSettings storedPort = Enabled();
    storedPort.port = 70000;
    HostSettings storedSwitch = Enabled();
    storedSwitch.enabled = 5;
    HostSettings storedServer = Enabled();
    storedServer.server.clear();
    const std::wstring outsideBmp = L"\U0001F600";
    const RefusedChange cases[] = {
        {"port 0 while enabled", Enabled(), {{}, L"0"}, "port: must be 1 to 65535 while validation is enabled, is 0"},
        {"port 65536", Enabled(), {{}, L"65536"}, "port: must be at most 65535, is 65536"},
        {"port 65536 while disabled", disabled, {{}, L"65536"}, "port: must be at most 65535, is 65536"},
        {"port beyond 32 bits", disabled, {{}, L"99999999999"}, "port: must be at most 65535, is 99999999999"},
        {"port not a number",
         Enabled(),
         {{}, L"80a"},
         "port: expected an unsigned number (ASCII digits 0-9), got '80a'"},
        {"negative port", Enabled(), {{}, L"-1"}, "port: expected an unsigned number (ASCII digits 0-9), got '-1'"},
        {"empty port", Enabled(), {{}, L""}, "port: expected an unsigned number (ASCII digits 0-9), got ''"},
        {"blank around a port",
         Enabled(),
         {{}, L" 80"},
         "port: expected an unsigned number (ASCII digits 0-9), got ' 80'"},
        {"fullwidth digits",
         Enabled(),
         {{}, L"\uFF11\uFF12\uFF13"},
         "port: expected an unsigned number (ASCII digits 0-9), got '\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x93'"},
        {"Arabic-Indic digit",
         Enabled(),
         {{}, {}, {}, L"\u0663"},
         "cache-time: expected an unsigned number (ASCII digits 0-9), got '\xD9\xA3'"},
        {"superscript digit",
         Enabled(),
         {{}, {}, L"\u00B2"},
         "timeout: expected an unsigned number (ASCII digits 0-9), got '\xC2\xB2'"},
        {"cache time beyond 32 bits",
         Enabled(),
         {{}, {}, {}, L"4294967296"},
         "cache-time: must be at most 4294967295, is 4294967296"},
        {"timeout with sign",
         Enabled(),
         {{}, {}, L"+5"},
         "timeout: expected an unsigned number (ASCII digits 0-9), got '+5'"},
        {"empty server while enabled",
         Enabled(),
         {L""},
         "server: must not be empty or blank while validation is enabled"},
        {"blank server while enabled",
         Enabled(),
         {L"   "},
         "server: must not be empty or blank while validation is enabled"},
        {"control character in the server",
         disabled,
         {L"a\tb"},
         "server: must not hold control characters (U+0000 to U+001F, U+007F), is 'a\\tb'"},
        {"enabling with empty server and port 0 stored",
         emptyServer,
         {{}, {}, {}, {}, L"yes"},
         "server: the stored value is invalid (must not be empty or blank while validation is enabled), give --server "
         "too; port: the stored value is invalid (must be 1 to 65535 while validation is enabled, is 0), give --port "
         "too"},
        {"server too long",
         Enabled(),
         {std::wstring(256, L's')},
         "server: at most 255 UTF-16 units (a character outside the BMP takes two), is 256"},
        {"128 characters outside the BMP",
         Enabled(),
         {[&] {
             std::wstring name;
             for (int i = 0; i < 128; ++i)
             {
                 name += outsideBmp;
             }
             return name;
         }()},
         "server: at most 255 UTF-16 units (a character outside the BMP takes two), is 256"},
        {"unknown switch", Enabled(), {{}, {}, {}, {}, L"maybe"}, "enabled: expected yes or no, got 'maybe'"},
        {"stored port refused",
         storedPort,
         {{}, {}, {}, L"5"},
         "port: the stored value is invalid (must be at most 65535, is 70000), give --port too"},
        {"stored switch refused",
         storedSwitch,
         {L"other.example"},
         "enabled: the stored value is invalid (must be 0 or 1, is 5), give --enabled too"},
        {"stored empty server while enabling again",
         storedServer,
         {{}, L"80", {}, {}, L"on"},
         "server: the stored value is invalid (must not be empty or blank while validation is enabled), give "
         "--server too"},
    };
    for (const RefusedChange& refused : cases)
    {
        HostSettings settings = refused.start;
        const auto error = Change(settings, refused.changes);
        ASSERT_TRUE(error) << refused.label;
        EXPECT_EQ(*error, refused.error) << refused.label;
        EXPECT_EQ(EncodeBlob(settings), EncodeBlob(refused.start)) << refused.label;
    }
}

TEST(ApplyChangesTest, AcceptedInput)
{
    HostSettings settings = Enabled();
    SettingsChanges changes;
    changes.port = L"00000000080";
    changes.cacheTime = L"0";
    changes.timeout = L"000000000004294967295";
    changes.server = L"\u0441\u0435\u0440\u0432\u0435\u0440.example";
    ASSERT_FALSE(Change(settings, changes));
    EXPECT_EQ(settings.port, 80u);
    EXPECT_EQ(settings.cacheTime, 0u);
    EXPECT_EQ(settings.timeout, 4294967295u);
    EXPECT_EQ(settings.server, L"\u0441\u0435\u0440\u0432\u0435\u0440.example");

    // Switching validation off allows what the dialog allows with the box cleared.
    SettingsChanges off;
    off.enabled = L"No";
    off.server = L" ";
    off.port = L"0";
    ASSERT_FALSE(Change(settings, off));
    EXPECT_EQ(settings.enabled, 0u);
    EXPECT_EQ(settings.server, L" ");
    EXPECT_EQ(settings.port, 0u);

    // A refused stored value is mended by giving it.
    settings.port = 70000;
    SettingsChanges port;
    port.port = L"65535";
    ASSERT_FALSE(Change(settings, port));
    EXPECT_EQ(settings.port, 65535u);
}

// What import refuses and show marks: every field the dialog would refuse, or nothing.
TEST(FindRefusalsTest, NamesEveryRefusedField)
{
    const struct
    {
        HostSettings settings;
        const char* refusal; // null: accepted
    } cases[] = {
        {{L"unspecified", 2193, 10000, 180, 1}, nullptr},
        {{L"", 0, 0, 0, 0}, nullptr},
        {{L"a", 65535, 0, 0, 1}, nullptr},
        {{L"a", 70000, 0, 0, 1}, "port: must be at most 65535, is 70000"},
        {{L"a", 70000, 0, 0, 0}, "port: must be at most 65535, is 70000"},
        {{L"a", 0, 0, 0, 1}, "port: must be 1 to 65535 while validation is enabled, is 0"},
        {{L"", 2193, 0, 0, 1}, "server: must not be empty or blank while validation is enabled"},
        {{L"", 0, 0, 0, 5},
         "enabled: must be 0 or 1, is 5; server: must not be empty or blank while validation is enabled; port: must "
         "be 1 to 65535 while validation is enabled, is 0"},
        {{L"a\x7f", 2193, 0, 0, 0},
         "server: must not hold control characters (U+0000 to U+001F, U+007F), is 'a\\u007f'"},
        {{std::wstring(256, L'x'), 2193, 0, 0, 0},
         "server: at most 255 UTF-16 units (a character outside the BMP takes two), is 256"},
    };
    for (const auto& c : cases)
    {
        const auto refusals = FindRefusals(c.settings);
        EXPECT_EQ(refusals.empty() ? std::string("(accepted)") : RefusalsText(refusals),
                  c.refusal ? c.refusal : "(accepted)")
            << ToUtf8(c.settings.server) << " " << c.settings.port << " " << c.settings.enabled;
    }
}

TEST(BlobTest, EncodeDecodeRoundTrip)
{
    const HostSettings settings{L"10.0.0.1", 70000, 1, 2, 0};
    const auto bytes = EncodeBlob(settings);
    ASSERT_EQ(bytes.size(), 532u);
    const DecodedBlob decoded = DecodeBlob(bytes);
    ASSERT_TRUE(decoded.settings) << decoded.error;
    EXPECT_EQ(EncodeBlob(*decoded.settings), bytes);
    EXPECT_EQ(decoded.settings->port, 70000u);
}

TEST(BlobTest, DecodeRefusesOtherSizesAndVersions)
{
    EXPECT_EQ(DecodeBlob(std::vector<std::uint8_t>(531)).error, "not a settings blob: 531 bytes, expected 532");
    EXPECT_EQ(DecodeBlob({}).error, "not a settings blob: 0 bytes, expected 532");
    auto bytes = EncodeBlob(Enabled());
    bytes[0] = 2;
    EXPECT_EQ(DecodeBlob(bytes).error, "not a settings blob: version 2, expected 1");
}

TEST(BlobTest, NameFillingTheWholeFieldStaysInside)
{
    auto bytes = EncodeBlob(Enabled());
    for (std::size_t i = 4; i < 516; i += 2)
    {
        bytes[i] = 'x';
        bytes[i + 1] = 0;
    }
    EXPECT_EQ(DecodeBlob(bytes).settings->server, std::wstring(256, L'x'));
}

TEST(FormatTest, PlainAndJson)
{
    const HostSettings settings{L"a\"b\\c\u00e9", 1, 2, 3, 1};
    EXPECT_EQ(FormatSettings(settings),
              "server:     a\"b\\c\xc3\xa9\nport:       1\ntimeout:    2\ncache-time: 3\nenabled:    yes\n");
    EXPECT_EQ(FormatSettingsJson(settings),
              "{\"server\": \"a\\\"b\\\\c\xc3\xa9\", \"port\": 1, \"timeout\": 2, \"cacheTime\": 3, "
              "\"enabled\": true}\n");
    EXPECT_EQ(JsonString(L"\x01\t"), "\"\\u0001\\t\"");

    // What is stored is shown as it is, an invalid value marked, a control character escaped.
    const HostSettings invalid{L"a\nb", 70000, 2, 3, 7};
    EXPECT_EQ(FormatSettings(invalid),
              "server:     a\\nb (invalid: must not hold control characters (U+0000 to U+001F, U+007F))\n"
              "port:       70000 (invalid: must be at most 65535)\ntimeout:    2\ncache-time: 3\n"
              "enabled:    7 (invalid: must be 0 or 1)\n");
    EXPECT_EQ(FormatSettingsJson(invalid),
              "{\"server\": \"a\\nb\", \"port\": 70000, \"timeout\": 2, \"cacheTime\": 3, \"enabled\": 7, \"invalid\": "
              "{\"enabled\": \"must be 0 or 1\", \"server\": \"must not hold control characters (U+0000 to U+001F, "
              "U+007F)\", \"port\": \"must be at most 65535\"}}\n");
}

TEST(HresultTextTest, SystemTextOrBareCode)
{
    EXPECT_EQ(DescribeHresult(E_ACCESSDENIED).substr(0, 12), "0x80070005 (");
    EXPECT_EQ(DescribeHresult(static_cast<HRESULT>(0x8FFF1234)), "0x8FFF1234");
}

// A text with an insert (the platform's English text for ERROR_BAD_EXE_FORMAT, which the
// tool asks for, has one) never shows the placeholder.
TEST(HresultTextTest, InsertsAreFilledOrDropped)
{
    const HRESULT badFormat = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    wchar_t* raw = nullptr;
    ASSERT_NE(
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, static_cast<DWORD>(badFormat), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                       reinterpret_cast<wchar_t*>(&raw), 0, nullptr),
        0u);
    const std::string platformText = ToUtf8(raw);
    LocalFree(raw);
    ASSERT_NE(platformText.find("%1"), std::string::npos) << "the platform's text has no insert: " << platformText;

    const std::string filled = DescribeHresult(badFormat, L"notadll.txt");
    EXPECT_NE(filled.find("notadll.txt"), std::string::npos) << filled;
    const std::string dropped = DescribeHresult(badFormat);
    for (const std::string& text : {filled, dropped})
    {
        EXPECT_EQ(text.find('%'), std::string::npos) << text;
        EXPECT_EQ(text.find(" )"), std::string::npos) << text;
    }
}

// A temporary file that an earlier run, killed midway, left under the name this process
// would once have used (Wine gives process ids out again) stands in no export's way.
TEST(WriteFileBytesTest, TemporaryFileOfAnEarlierRunIsNoObstacle)
{
    ScratchFolder folder;
    const std::string path = folder.File("policy.bin");
    WriteWholeFile(path + "." + std::to_string(GetCurrentProcessId()) + ".tmp", "left by a killed run");
    EXPECT_EQ(WriteFileBytes(std::wstring(path.begin(), path.end()), {1, 2, 3}), std::nullopt);
    EXPECT_EQ(ReadWholeFile(path), "\x01\x02\x03");
}
} // namespace
