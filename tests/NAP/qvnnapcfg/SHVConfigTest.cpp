// INapComponentConfig of the shipped DLL, driven as the NAP host drives it.
#include "RegistryKey.h"
#include "SHVConfigBlob.h"

#include "support/ComponentDll.h"
#include "support/ImportCallCounter.h"
#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>
#include <napcommon.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
const std::wstring Settings = SettingsKeyPath;

class SHVConfigTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        config = dll.CreateConfig();
        ASSERT_NE(config, nullptr);
    }
    void TearDown() override
    {
        if (config != nullptr)
        {
            config->Release();
        }
    }

    Blob Get(INapComponentConfig* object = nullptr) { return GetBlob(object ? object : config); }
    HRESULT Set(Blob blob, UINT16 count = 532) { return config->SetConfig(count, blob.data()); }
    std::vector<std::wstring> StoredValues() const { return RegistryValueNames(HKEY_LOCAL_MACHINE, Settings); }

    FreshComponentLoad fresh;
    ScratchRegistry scratch;
    ComponentDll dll;
    INapComponentConfig* config = nullptr;
};

TEST_F(SHVConfigTest, IsUISupportedAlwaysTrue)
{
    BOOL supported = FALSE;
    EXPECT_EQ(config->IsUISupported(&supported), S_OK);
    EXPECT_EQ(supported, TRUE);
    EXPECT_EQ(config->IsUISupported(nullptr), E_POINTER);
}

TEST_F(SHVConfigTest, GetConfigWithoutValuesGivesTheDefaultBlob)
{
    EXPECT_EQ(Get(), MakeBlob(u"unspecified", 2193, 10000, 180, 1));
}

TEST_F(SHVConfigTest, SetThenGetReturnsTheBlobJustApplied)
{
    const Blob blob = MakeBlob(u"nap.example.net", 5000, 15000, 60, 0);
    EXPECT_EQ(Set(blob), S_OK);
    EXPECT_EQ(Get(), blob);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName")->Text(), L"nap.example.net");
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerTimeout")->Dword(), 15000u);
    EXPECT_EQ(StoredValues().size(), 5u);
}

TEST_F(SHVConfigTest, OtherVersionIsIgnoredButSucceeds)
{
    EXPECT_EQ(Set(MakeBlob(u"ignored", 1, 1, 1, 0, 2)), S_OK);
    EXPECT_TRUE(StoredValues().empty());
    EXPECT_EQ(Get(), MakeBlob(u"unspecified", 2193, 10000, 180, 1));
}

TEST_F(SHVConfigTest, NullPointersAreRefused)
{
    UINT16 count = 7;
    BYTE* data = reinterpret_cast<BYTE*>(1);
    EXPECT_EQ(config->GetConfig(nullptr, &data), E_POINTER);
    EXPECT_EQ(config->GetConfig(&count, nullptr), E_POINTER);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(config->SetConfig(532, nullptr), E_POINTER);
    EXPECT_EQ(config->SetConfig(0, nullptr), E_FAIL) << "the count is checked first";
    EXPECT_TRUE(StoredValues().empty());
}

// A host that cannot write the settings hears so, with the first failure, and is never
// handed values the registry does not hold: a store that fails midway puts back what it
// wrote, and when putting back fails too, the record takes the registry's mix.
TEST_F(SHVConfigTest, SettingsThatCannotBeStoredAreReportedAndNotKept)
{
    const Blob before = MakeBlob(u"old.example.org", 1, 2, 3, 1);
    ASSERT_EQ(Set(before), S_OK);
    const RegistrySnapshot stored = TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, Settings);
    const Blob changed = MakeBlob(u"new.example.org", 10, 20, 30, 0);
    const HRESULT noResources = HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES);
    {
        ImportCallCounter writes("qvnnapcfg64.dll");
        writes.FailSetValue(3, ERROR_NO_SYSTEM_RESOURCES); // ServerTimeout
        EXPECT_EQ(Set(changed), noResources);
        EXPECT_EQ(TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, Settings), stored);
        EXPECT_EQ(Get(), before);

        writes.Reset();
        writes.FailSetValue(3, ERROR_NO_SYSTEM_RESOURCES);
        writes.FailSetValue(4, ERROR_ACCESS_DENIED); // putting ServerName back
        EXPECT_EQ(Set(changed), noResources);
        EXPECT_EQ(Get(), MakeBlob(u"new.example.org", 10, 2, 3, 1)) << "what the registry holds";
    }

    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software");
    scratch.MakeSoftwareVolatile(); // the settings key cannot be created
    const Blob record = Get();
    EXPECT_EQ(Set(changed), HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE));
    EXPECT_EQ(Get(), record);
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, Settings));
}

TEST_F(SHVConfigTest, ObjectsShareTheOneRecord)
{
    INapComponentConfig* other = dll.CreateConfig();
    ASSERT_NE(other, nullptr);
    const Blob blob = MakeBlob(u"shared", 1, 2, 3, 0);
    EXPECT_EQ(Set(blob), S_OK);
    EXPECT_EQ(Get(other), blob);
    other->Release();
}

// Every blob a reader sees is one that some writer applied: fields derived from one
// seed always travel together.
TEST_F(SHVConfigTest, ConcurrentSetAndGetNeverTearABlob)
{
    constexpr int Writers = 3;
    constexpr int Readers = 3;
    constexpr int Rounds = 40;
    auto seeded = [](std::uint32_t seed) {
        const std::u16string name = u"server-" + std::u16string(1 + seed % 50, u'a' + seed % 26);
        return MakeBlob(name, seed, seed * 3, seed * 7, seed % 2);
    };
    std::set<Blob> valid{MakeBlob(u"unspecified", 2193, 10000, 180, 1)};
    for (std::uint32_t seed = 1; seed <= Writers * Rounds; ++seed)
    {
        valid.insert(seeded(seed));
    }

    // Objects are shared between threads, as a free-threaded host would share them.
    INapComponentConfig* second = dll.CreateConfig();
    ASSERT_NE(second, nullptr);
    INapComponentConfig* objects[] = {config, second};

    std::atomic<int> torn{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < Writers; ++w)
    {
        threads.emplace_back([&, w] {
            for (int r = 0; r < Rounds; ++r)
            {
                Blob blob = seeded(static_cast<std::uint32_t>(w * Rounds + r + 1));
                if (objects[r % 2]->SetConfig(532, blob.data()) != S_OK)
                {
                    ++failures;
                }
            }
        });
    }
    for (int reader = 0; reader < Readers; ++reader)
    {
        threads.emplace_back([&, reader] {
            for (int r = 0; r < Rounds * 2; ++r)
            {
                UINT16 count = 0;
                BYTE* data = nullptr;
                if (objects[(r + reader) % 2]->GetConfig(&count, &data) != S_OK || count != 532)
                {
                    ++failures;
                    continue;
                }
                if (valid.count(Blob(data, data + count)) == 0)
                {
                    ++torn;
                }
                CoTaskMemFree(data);
            }
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(torn, 0);

    // The registry holds exactly the record's final blob.
    const Blob last = Get();
    SHVConfigBlob stored;
    std::memcpy(&stored, last.data(), sizeof(stored));
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerPort")->Dword(), stored.serverPort);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"CacheTime")->Dword(), stored.cacheTime);
    second->Release();
}
} // namespace
