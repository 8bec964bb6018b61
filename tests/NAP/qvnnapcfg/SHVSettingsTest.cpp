#include "RegistryKey.h"
#include "SHVSettings.h"
#include "TraceLog.h"

#include "support/ChildProcess.h"
#include "support/ImportCallCounter.h"
#include "support/ScratchRegistry.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{
const std::wstring Settings = SettingsKeyPath;

// A blob of version 1 whose values are neither the defaults nor the record's first ones.
SHVConfigBlob OtherBlob()
{
    SHVConfigBlob blob = {};
    blob.version = SHVConfigBlobVersion;
    blob.serverName[0] = u'x';
    blob.serverPort = 1;
    blob.serverTimeout = 2;
    blob.cacheTime = 3;
    blob.validationEnabled = 1;
    return blob;
}

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
    SHVSettings settings = SHVSettings::CreateForTesting();
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

    SHVSettings settings = SHVSettings::CreateForTesting();
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

    SHVSettings settings = SHVSettings::CreateForTesting();
    EXPECT_EQ(settings.GetServerPort(), 1234);
    EXPECT_EQ(settings.GetCacheTime(), 180u) << "a 6-byte value reads as missing";
    EXPECT_EQ(settings.GetServerName(), L"unspecified");
    EXPECT_EQ(settings.GetValidationEnabled(), 1u);
}

TEST_F(SHVSettingsTest, ShortNumberReplacesOnlyTheLowBytesWhateverItsType)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    // Two bytes of data. The character after them is no terminator: the platform would
    // count a terminator that follows a string's data in.
    const BYTE two[4] = {0xCD, 0xAB, 0xFF, 0xFF};
    for (DWORD type : {DWORD(REG_BINARY), DWORD(REG_SZ), DWORD(REG_DWORD)})
    {
        ASSERT_EQ(settings.SetCacheTime(0x12345678), S_OK);
        WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", type, two, 2);
        EXPECT_EQ(settings.GetCacheTime(), 0x1234ABCDu) << "registry type " << type;
    }
}

TEST_F(SHVSettingsTest, ServerNameOfOtherStringTypesReadsUpToFirstNul)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    const wchar_t expand[] = L"%HOST%.example";
    WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName", REG_EXPAND_SZ, expand, sizeof(expand));
    EXPECT_EQ(settings.GetServerName(), L"%HOST%.example") << "not expanded";

    const wchar_t multi[] = L"first\0second\0";
    WriteRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName", REG_MULTI_SZ, multi, sizeof(multi));
    EXPECT_EQ(settings.GetServerName(), L"first");
}

TEST_F(SHVSettingsTest, ServerNameLimits)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
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

TEST_F(SHVSettingsTest, SettersWriteAllFiveValuesInPlace)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    ASSERT_EQ(settings.SetServerName(L"av.example.org"), S_OK);
    ExpectStored(L"av.example.org", 2193, 10000, 180, 1);
    ASSERT_EQ(settings.SetServerPort(65535), S_OK);
    ASSERT_EQ(settings.SetCacheTime(0), S_OK);
    ASSERT_EQ(settings.SetValidationEnabled(false), S_OK);
    ExpectStored(L"av.example.org", 65535, 10000, 0, 0);

    ASSERT_EQ(settings.SetValidationEnabled(true), S_OK);
    ExpectStored(L"av.example.org", 65535, 10000, 0, 1);
}

TEST_F(SHVSettingsTest, PortZeroIsAcceptedAndWritten)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    ASSERT_EQ(settings.SetServerPort(0), S_OK);
    ExpectStored(L"unspecified", 0, 10000, 180, 1);
}

TEST_F(SHVSettingsTest, GettersSeeChangesMadeBehindTheRecord)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    ASSERT_EQ(settings.SetCacheTime(5), S_OK);
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", 777);
    WriteRegistryString(HKEY_LOCAL_MACHINE, Settings, L"ServerName", L"other");
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ValidationEnabled", 0);
    EXPECT_EQ(settings.GetCacheTime(), 777u);
    EXPECT_EQ(settings.GetServerName(), L"other");
    EXPECT_EQ(settings.GetValidationEnabled(), 0u);
}

TEST_F(SHVSettingsTest, GetterReturnsLowSixteenBitsOfPort)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ServerPort", 70000);
    EXPECT_EQ(settings.GetServerPort(), 4464);
}

TEST_F(SHVSettingsTest, AnotherProcessChangeIsSeenByTheNextGetter)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
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
        SHVSettings settings = SHVSettings::CreateForTesting();
        ASSERT_EQ(settings.SetCacheTime(100), S_OK);
        // Another program changes the value after this record last wrote it.
        WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", 900);
    }
    EXPECT_EQ(Value(L"CacheTime")->Dword(), 900u) << "the other program's change survives";

    RegDeleteTreeW(HKEY_LOCAL_MACHINE, Settings.c_str());
    {
        SHVSettings settings = SHVSettings::CreateForTesting();
    }
    EXPECT_TRUE(RegistryValueNames(HKEY_LOCAL_MACHINE, Settings).empty());
}

TEST_F(SHVSettingsTest, SaveWritesInMemoryValues)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    EXPECT_FALSE(settings.IsHeldByCurrentThread()) << "what Load and Save assert";
    {
        System::Threading::ScopedLock guard(&settings);
        EXPECT_TRUE(settings.IsHeldByCurrentThread());
        EXPECT_EQ(settings.Save(), S_OK);
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
        scratch.MakeSoftwareVolatile();
        ASSERT_FALSE(RegistryKey().IsOpen()) << "the platform let the key be created";
    }
};

TEST_F(SHVSettingsUnwritableTest, CreationKeepsPreLoadValues)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    SHVConfigBlob blob;
    settings.ToBlob(&blob);
    EXPECT_EQ(blob.serverName[0], u'\0');
    EXPECT_EQ(blob.serverPort, 0u);
    EXPECT_EQ(blob.serverTimeout, 20000u);
    EXPECT_EQ(blob.cacheTime, 0u);
    EXPECT_EQ(blob.validationEnabled, 0u);
}

// A store that fails is reported, and nothing that was not stored stays in memory:
// each setter, Save() and FromBlob() give the key's creation error and leave the record
// as it was.
TEST_F(SHVSettingsUnwritableTest, StoresReportTheFailureAndKeepTheRecord)
{
    const HRESULT cannotCreate = HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE);
    SHVSettings settings = SHVSettings::CreateForTesting();
    {
        System::Threading::ScopedLock guard(&settings);
        EXPECT_FALSE(settings.Load());
        EXPECT_EQ(settings.Save(), cannotCreate);
    }
    EXPECT_EQ(settings.SetServerName(L"lost"), cannotCreate);
    EXPECT_EQ(settings.SetServerPort(99), cannotCreate);
    EXPECT_EQ(settings.SetCacheTime(7), cannotCreate);
    EXPECT_EQ(settings.SetValidationEnabled(true), cannotCreate);
    SHVConfigBlob blob = OtherBlob();
    EXPECT_EQ(settings.FromBlob(&blob), cannotCreate);

    settings.ToBlob(&blob);
    EXPECT_EQ(blob.serverName[0], u'\0') << "the values from before the first load";
    EXPECT_EQ(blob.serverPort, 0u);
    EXPECT_EQ(blob.serverTimeout, 20000u);
    EXPECT_EQ(blob.cacheTime, 0u);
    EXPECT_EQ(blob.validationEnabled, 0u);
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, Settings));
}

// A put-back that fails is traced, naming the value, and the store returns its own first
// failure. (What the registry and the record then hold: SHVConfigTest.)
TEST_F(SHVSettingsTest, PutBackThatFailsIsTraced)
{
    SHVSettings settings = SHVSettings::CreateForTesting();
    ScratchFolder folder;
    const std::string trace = folder.File("trace.log");
    InstallTraceLogConfig(std::make_unique<TraceLogConfig>(trace, 1 << 20));
    SHVConfigBlob blob = OtherBlob();
    {
        ImportCallCounter writes(nullptr); // the record's writes go through this program's imports
        writes.FailSetValue(3, ERROR_NO_SYSTEM_RESOURCES);
        writes.FailSetValue(4, ERROR_ACCESS_DENIED);
        EXPECT_EQ(settings.FromBlob(&blob), HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES));
    }
    InstallTraceLogConfig(nullptr);
    EXPECT_NE(ReadWholeFile(trace).find(
                  "[SHVSettings::Store] Failed. ServerName not put back after a failed store (0x80070005)\r\n"),
              std::string::npos)
        << ReadWholeFile(trace);
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
