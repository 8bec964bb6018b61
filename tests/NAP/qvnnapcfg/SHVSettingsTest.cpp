#include "RegistryKey.h"
#include "SHVSettings.h"

#include "support/ChildProcess.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{
const std::wstring Settings = SettingsKeyPath;

// Each test sees HKEY_LOCAL_MACHINE as an empty scratch key.
class SHVSettingsTest : public ::testing::Test
{
protected:
    ScratchRegistry scratch;

    std::optional<RegistryValue> Value(const wchar_t* name) const
    {
        return ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, name);
    }
    void ExpectStored(const std::wstring& name, DWORD port, DWORD timeout, DWORD cache, DWORD enabled) const
    {
        ASSERT_TRUE(Value(L"ServerName"));
        EXPECT_EQ(Value(L"ServerName")->type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(Value(L"ServerName")->data.size(), (name.size() + 1) * 2) << "length includes the terminator";
        EXPECT_EQ(Value(L"ServerName")->Text(), name);
        const std::pair<const wchar_t*, DWORD> numbers[] = {
            {L"ServerPort", port}, {L"ServerTimeout", timeout}, {L"CacheTime", cache}, {L"ValidationEnabled", enabled}};
        for (const auto& [valueName, expected] : numbers)
        {
            ASSERT_TRUE(Value(valueName)) << "missing value";
            EXPECT_EQ(Value(valueName)->type, static_cast<DWORD>(REG_DWORD));
            EXPECT_EQ(Value(valueName)->Dword(), expected);
        }
    }
};

TEST_F(SHVSettingsTest, CreationWithoutKeyCreatesItAndTakesDefaultsWithoutWriting)
{
    SHVSettings settings;
    EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, Settings));
    EXPECT_TRUE(RegistryValueNames(HKEY_LOCAL_MACHINE, Settings).empty()) << "nothing written until a change";

    SHVConfigBlob blob;
    settings.ToBlob(&blob);
    EXPECT_EQ(std::u16string(blob.serverName), u"unspecified");
    EXPECT_EQ(blob.serverPort, 2193u);
    EXPECT_EQ(blob.serverTimeout, 10000u);
    EXPECT_EQ(blob.cacheTime, 180u);
    EXPECT_EQ(blob.validationEnabled, 1u);
}

TEST_F(SHVSettingsTest, CreationReadsStoredValues)
{
    WriteRegistryString(HKEY_LOCAL_MACHINE, Settings, L"ServerName", L"updates.example.com");
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ServerPort", 8080);
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ServerTimeout", 42);
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", 600);
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ValidationEnabled", 0);

    SHVSettings settings;
    SHVConfigBlob blob;
    settings.ToBlob(&blob);
    EXPECT_EQ(std::u16string(blob.serverName), u"updates.example.com");
    EXPECT_EQ(blob.serverPort, 8080u);
    EXPECT_EQ(blob.serverTimeout, 42u);
    EXPECT_EQ(blob.cacheTime, 600u);
    EXPECT_EQ(blob.validationEnabled, 0u);
}

TEST_F(SHVSettingsTest, EachUnreadableValueTakesItsOwnDefault)
{
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ServerPort", 1234);
    const BYTE six[6] = {1, 2, 3, 4, 5, 6};
    WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", REG_BINARY, six, sizeof(six));

    SHVSettings settings;
    EXPECT_EQ(settings.GetServerPort(), 1234);
    EXPECT_EQ(settings.GetCacheTime(), 180u) << "a 6-byte value reads as missing";
    EXPECT_EQ(settings.GetServerName(), L"unspecified");
    EXPECT_EQ(settings.GetValidationEnabled(), 1u);
}

TEST_F(SHVSettingsTest, ShortNumberReplacesOnlyTheLowBytesWhateverItsType)
{
    SHVSettings settings;
    settings.SetCacheTime(0x12345678);
    const BYTE two[2] = {0xCD, 0xAB};
    for (DWORD type : {DWORD(REG_BINARY), DWORD(REG_SZ), DWORD(REG_DWORD)})
    {
        settings.SetCacheTime(0x12345678);
        WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", type, two, sizeof(two));
        EXPECT_EQ(settings.GetCacheTime(), 0x1234ABCDu) << "registry type " << type;
    }
}

TEST_F(SHVSettingsTest, ServerNameOfOtherStringTypesReadsUpToFirstNul)
{
    SHVSettings settings;
    const wchar_t expand[] = L"%HOST%.example";
    WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName", REG_EXPAND_SZ, expand, sizeof(expand));
    EXPECT_EQ(settings.GetServerName(), L"%HOST%.example") << "not expanded";

    const wchar_t multi[] = L"first\0second\0";
    WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName", REG_MULTI_SZ, multi, sizeof(multi));
    EXPECT_EQ(settings.GetServerName(), L"first");
}

TEST_F(SHVSettingsTest, ServerNameLimits)
{
    SHVSettings settings;
    // 1024 characters without a terminator fill the 2048-byte buffer exactly. (The
    // registry adds a terminator itself when the character after the data is NUL.)
    const std::wstring full(1025, L'n');
    WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName", REG_SZ, full.data(), 2048);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName")->data.size(), 2048u);
    EXPECT_EQ(settings.GetServerName(), full.substr(0, 1024));

    // Anything longer is unreadable and takes the default.
    const std::wstring longer(1100, L'x');
    WriteRegistryString(HKEY_LOCAL_MACHINE, Settings, L"ServerName", longer);
    EXPECT_EQ(settings.GetServerName(), L"unspecified");

    // An odd byte count never reads a half character.
    const wchar_t odd[] = L"abc";
    WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName", REG_BINARY, odd, 5);
    EXPECT_EQ(settings.GetServerName(), L"ab");
}

TEST_F(SHVSettingsTest, SettersWriteAllFiveValuesInPlaceAndChain)
{
    SHVSettings settings;
    settings.SetServerName(L"av.example.org").SetServerPort(65535).SetCacheTime(0).SetValidationEnabled(false);
    ExpectStored(L"av.example.org", 65535, 10000, 0, 0);

    settings.SetValidationEnabled(true);
    ExpectStored(L"av.example.org", 65535, 10000, 0, 1);
}

TEST_F(SHVSettingsTest, PortZeroIsAcceptedAndWritten)
{
    SHVSettings settings;
    settings.SetServerPort(0);
    ExpectStored(L"unspecified", 0, 10000, 180, 1);
}

TEST_F(SHVSettingsTest, GettersSeeChangesMadeBehindTheRecord)
{
    SHVSettings settings;
    settings.SetCacheTime(5);
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", 777);
    WriteRegistryString(HKEY_LOCAL_MACHINE, Settings, L"ServerName", L"other");
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ValidationEnabled", 0);
    EXPECT_EQ(settings.GetCacheTime(), 777u);
    EXPECT_EQ(settings.GetServerName(), L"other");
    EXPECT_EQ(settings.GetValidationEnabled(), 0u);
}

TEST_F(SHVSettingsTest, GetterReturnsLowSixteenBitsOfPort)
{
    SHVSettings settings;
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ServerPort", 70000);
    EXPECT_EQ(settings.GetServerPort(), 4464);
}

TEST_F(SHVSettingsTest, AnotherProcessChangeIsSeenByTheNextGetter)
{
    SHVSettings settings;
    EXPECT_EQ(settings.GetCacheTime(), 180u);

    // reg.exe writes where this process's HKEY_LOCAL_MACHINE really points.
    std::wstring command =
        L"reg.exe add \"HKCU\\" + scratch.Path() + L"\\" + Settings + L"\" /v CacheTime /t REG_DWORD /d 4242 /f";
    ASSERT_EQ(RunProgram(command), 0u);

    EXPECT_EQ(settings.GetCacheTime(), 4242u);
}

TEST_F(SHVSettingsTest, DestructionWritesNothing)
{
    {
        SHVSettings settings;
        settings.SetCacheTime(100);
        // Another program changes the value after this record last wrote it.
        WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", 900);
    }
    EXPECT_EQ(Value(L"CacheTime")->Dword(), 900u) << "the other program's change survives";

    RegDeleteTreeW(HKEY_LOCAL_MACHINE, Settings.c_str());
    {
        SHVSettings settings;
    }
    EXPECT_TRUE(RegistryValueNames(HKEY_LOCAL_MACHINE, Settings).empty());
}

TEST_F(SHVSettingsTest, SaveWritesInMemoryValues)
{
    SHVSettings settings;
    {
        System::Threading::ScopedLock guard(&settings);
        settings.Save();
    }
    ExpectStored(L"unspecified", 2193, 10000, 180, 1);
}

// The settings key cannot be created: its parent is volatile, and a non-volatile key
// cannot be created below a volatile one.
class SHVSettingsUnwritableTest : public SHVSettingsTest
{
protected:
    void SetUp() override
    {
        HKEY software = nullptr;
        ASSERT_EQ(RegCreateKeyExW(scratch.Key(), L"Software", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                  &software, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(software);
        ASSERT_FALSE(RegistryKey().IsOpen()) << "the platform let the key be created";
    }
};

TEST_F(SHVSettingsUnwritableTest, CreationKeepsPreLoadValues)
{
    SHVSettings settings;
    SHVConfigBlob blob;
    settings.ToBlob(&blob);
    EXPECT_EQ(blob.serverName[0], u'\0');
    EXPECT_EQ(blob.serverPort, 0u);
    EXPECT_EQ(blob.serverTimeout, 20000u);
    EXPECT_EQ(blob.cacheTime, 0u);
    EXPECT_EQ(blob.validationEnabled, 0u);
}

TEST_F(SHVSettingsUnwritableTest, LoadFailsAndSettersChangeMemoryOnly)
{
    SHVSettings settings;
    {
        System::Threading::ScopedLock guard(&settings);
        EXPECT_FALSE(settings.Load());
    }
    settings.SetServerName(L"kept").SetServerPort(99).SetCacheTime(7).SetValidationEnabled(true);
    EXPECT_EQ(settings.GetServerName(), L"kept");
    EXPECT_EQ(settings.GetServerPort(), 99);
    EXPECT_EQ(settings.GetCacheTime(), 7u);
    EXPECT_EQ(settings.GetValidationEnabled(), 1u);
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, Settings));
}

TEST(SHVSettingsInstanceTest, OneRecordForTheProcess)
{
    ScratchRegistry scratch;
    EXPECT_EQ(&SHVSettings::Instance(), &SHVSettings::Instance());
}

TEST(LockTest, AnotherThreadWaitsUntilEveryEnterIsLeft)
{
    System::Threading::Lock lock;
    lock.Enter();
    lock.Enter(); // re-entrant: returns at once
    std::atomic<bool> entered{false};
    std::thread other([&] {
        System::Threading::ScopedLock guard(&lock);
        entered = true;
    });
    Sleep(100);
    EXPECT_FALSE(entered);
    lock.Leave();
    Sleep(100);
    EXPECT_FALSE(entered) << "still held once";
    lock.Leave();
    other.join();
    EXPECT_TRUE(entered);
}
} // namespace
