#include "RegistryKey.h"
#include "SHVSettings.h"

#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{
const std::wstring Settings = SettingsKeyPath;

std::vector<BYTE> Bytes(const SHVConfigBlob& blob)
{
    const auto* begin = reinterpret_cast<const BYTE*>(&blob);
    return std::vector<BYTE>(begin, begin + sizeof(blob));
}

SHVConfigBlob MakeBlob(const std::u16string& name, std::uint32_t port, std::uint32_t timeout, std::uint32_t cache,
                       std::uint32_t enabled, std::uint32_t version = 1)
{
    SHVConfigBlob blob;
    std::memset(&blob, 0, sizeof(blob));
    blob.version = version;
    std::memcpy(blob.serverName, name.data(), std::min<std::size_t>(name.size(), 256) * 2);
    blob.serverPort = port;
    blob.serverTimeout = timeout;
    blob.cacheTime = cache;
    blob.validationEnabled = enabled;
    return blob;
}

class SHVConfigBlobTest : public ::testing::Test
{
protected:
    ScratchRegistry scratch;
    SHVSettings settings = SHVSettings::CreateForTesting();

    SHVConfigBlob Current()
    {
        SHVConfigBlob blob;
        std::memset(&blob, 0xCC, sizeof(blob)); // every byte must be written
        settings.ToBlob(&blob);
        return blob;
    }
    DWORD Stored(const wchar_t* name) const { return ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, name)->Dword(); }
};

TEST_F(SHVConfigBlobTest, DefaultBlobByteForByte)
{
    std::vector<BYTE> expected(532, 0);
    expected[0] = 0x01;
    const char* name = "unspecified";
    for (std::size_t i = 0; name[i] != '\0'; ++i)
    {
        expected[4 + 2 * i] = static_cast<BYTE>(name[i]);
    }
    const BYTE tail[] = {0x91, 0x08, 0, 0, 0x10, 0x27, 0, 0, 0xB4, 0, 0, 0, 0x01, 0, 0, 0};
    std::copy(std::begin(tail), std::end(tail), expected.begin() + 516);

    EXPECT_EQ(Bytes(Current()), expected);
}

TEST_F(SHVConfigBlobTest, DefaultBlobFedBackWritesTheDefaults)
{
    const SHVConfigBlob before = Current();
    ASSERT_EQ(settings.FromBlob(&before), S_OK);
    EXPECT_EQ(Bytes(Current()), Bytes(before));
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName")->Text(), L"unspecified");
    EXPECT_EQ(Stored(L"ServerPort"), 2193u);
    EXPECT_EQ(Stored(L"ServerTimeout"), 10000u);
    EXPECT_EQ(Stored(L"CacheTime"), 180u);
    EXPECT_EQ(Stored(L"ValidationEnabled"), 1u);
}

TEST_F(SHVConfigBlobTest, RoundTripCarriesEveryField)
{
    const SHVConfigBlob in = MakeBlob(u"10.1.2.3", 4444, 30000, 3600, 0);
    ASSERT_EQ(settings.FromBlob(&in), S_OK);
    EXPECT_EQ(Bytes(Current()), Bytes(in));
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName")->Text(), L"10.1.2.3");
    EXPECT_EQ(Stored(L"ServerTimeout"), 30000u) << "the time-out travels only through blobs";
}

TEST_F(SHVConfigBlobTest, OtherVersionsChangeNothing)
{
    for (std::uint32_t version : {0u, 2u, 0xFFFFFFFFu})
    {
        const SHVConfigBlob before = Current();
        const SHVConfigBlob other = MakeBlob(u"ignored", 1, 2, 3, 0, version);
        ASSERT_EQ(settings.FromBlob(&other), S_OK);
        EXPECT_EQ(Bytes(Current()), Bytes(before)) << "version " << version;
        EXPECT_TRUE(RegistryValueNames(HKEY_LOCAL_MACHINE, Settings).empty()) << "version " << version;
    }
}

TEST_F(SHVConfigBlobTest, EmptyNameWritesTerminatorOnly)
{
    const SHVConfigBlob in = MakeBlob(u"", 1, 2, 3, 1);
    ASSERT_EQ(settings.FromBlob(&in), S_OK);
    const auto name = ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->data.size(), 2u);
    EXPECT_EQ(settings.GetServerName(), L"");
}

TEST_F(SHVConfigBlobTest, LongNameIsCutTo255WithIntegersIntact)
{
    ASSERT_EQ(settings.SetServerName(std::wstring(300, L'w')), S_OK);
    ASSERT_EQ(settings.SetServerPort(99), S_OK);
    ASSERT_EQ(settings.SetCacheTime(77), S_OK);
    const SHVConfigBlob blob = Current();
    EXPECT_EQ(std::u16string(blob.serverName), std::u16string(255, u'w'));
    EXPECT_EQ(blob.serverName[255], u'\0');
    EXPECT_EQ(blob.serverPort, 99u);
    EXPECT_EQ(blob.cacheTime, 77u);
}

TEST_F(SHVConfigBlobTest, NameFieldWithoutNulGivesAllOfIt)
{
    SHVConfigBlob in = MakeBlob(std::u16string(256, u'z'), 1, 2, 3, 1);
    ASSERT_EQ(settings.FromBlob(&in), S_OK);
    EXPECT_EQ(settings.GetServerName(), std::wstring(256, L'z')) << "never read beyond the field";
    EXPECT_EQ(settings.GetServerPort(), 1);
}

TEST_F(SHVConfigBlobTest, IntegersAreTakenUnchecked)
{
    const SHVConfigBlob in = MakeBlob(u"s", 70000, 0, 0, 7);
    ASSERT_EQ(settings.FromBlob(&in), S_OK);
    EXPECT_EQ(Stored(L"ServerPort"), 70000u);
    EXPECT_EQ(Stored(L"CacheTime"), 0u);
    EXPECT_EQ(Stored(L"ValidationEnabled"), 7u);
    EXPECT_EQ(Current().serverPort, 70000u) << "the blob carries all 32 bits";
    EXPECT_EQ(settings.GetServerPort(), 4464) << "the getter gives the low 16 bits";
}

TEST_F(SHVConfigBlobTest, ToBlobDoesNotReadTheRegistry)
{
    ASSERT_EQ(settings.SetCacheTime(5), S_OK);
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", 6);
    EXPECT_EQ(Current().cacheTime, 5u);
}
} // namespace
