#include "HostSettings.h"
#include "HostText.h"

#include <gtest/gtest.h>

namespace
{
HostSettings Enabled()
{
    return HostSettings{L"upd.example", 2193, 10000, 180, 1};
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
    const RefusedChange cases[] = {
        {"port 0 while enabled", Enabled(), {{}, L"0"}, "port: must be 1 to 65535 while validation is enabled, is 0"},
        {"port 65536", Enabled(), {{}, L"65536"}, "port: must be 1 to 65535 while validation is enabled, is 65536"},
        {"port 65536 while disabled", disabled, {{}, L"65536"}, "port: must be 0 to 65535, is 65536"},
        {"port not a number", Enabled(), {{}, L"80a"}, "port: expected an unsigned number, got '80a'"},
        {"negative port", Enabled(), {{}, L"-1"}, "port: expected an unsigned number, got '-1'"},
        {"empty port", Enabled(), {{}, L""}, "port: expected an unsigned number, got ''"},
        {"cache time beyond 32 bits",
         Enabled(),
         {{}, {}, {}, L"4294967296"},
         "cache-time: expected an unsigned number, got '4294967296'"},
        {"timeout with sign", Enabled(), {{}, {}, L"+5"}, "timeout: expected an unsigned number, got '+5'"},
        {"empty server while enabled", Enabled(), {L""}, "server: must not be empty while validation is enabled"},
        {"enabling with empty server",
         emptyServer,
         {{}, {}, {}, {}, L"yes"},
         "server: must not be empty while validation is enabled"},
        {"server too long", Enabled(), {std::wstring(256, L's')}, "server: at most 255 characters"},
        {"unknown switch", Enabled(), {{}, {}, {}, {}, L"maybe"}, "enabled: expected yes or no, got 'maybe'"},
    };
    for (const RefusedChange& refused : cases)
    {
        HostSettings settings = refused.start;
        const auto error = ApplyChanges(settings, refused.changes);
        ASSERT_TRUE(error) << refused.label;
        EXPECT_EQ(*error, refused.error) << refused.label;
        EXPECT_EQ(EncodeBlob(settings), EncodeBlob(refused.start)) << refused.label;
    }
}

TEST(ApplyChangesTest, AcceptedInput)
{
    HostSettings settings = Enabled();
    SettingsChanges changes;
    changes.port = L"65535";
    changes.cacheTime = L"0";
    changes.timeout = L"4294967295";
    changes.server = L"\u0441\u0435\u0440\u0432\u0435\u0440.example";
    ASSERT_FALSE(ApplyChanges(settings, changes));
    EXPECT_EQ(settings.port, 65535u);
    EXPECT_EQ(settings.cacheTime, 0u);
    EXPECT_EQ(settings.timeout, 4294967295u);
    EXPECT_EQ(settings.server, L"\u0441\u0435\u0440\u0432\u0435\u0440.example");

    // Switching validation off allows what the dialog allows with the box cleared.
    SettingsChanges off;
    off.enabled = L"No";
    off.server = L"";
    off.port = L"0";
    ASSERT_FALSE(ApplyChanges(settings, off));
    EXPECT_EQ(settings.enabled, 0u);
    EXPECT_EQ(settings.server, L"");
    EXPECT_EQ(settings.port, 0u);
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
}

TEST(HresultTextTest, SystemTextOrBareCode)
{
    EXPECT_EQ(DescribeHresult(E_ACCESSDENIED).substr(0, 12), "0x80070005 (");
    EXPECT_EQ(DescribeHresult(static_cast<HRESULT>(0x8FFF1234)), "0x8FFF1234");
}
} // namespace
