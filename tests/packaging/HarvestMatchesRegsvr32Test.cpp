// The entries the package carries are harvested from the module's own registration:
// here the harvest of the built DLL is compared with what Wine's regsvr32 writes into
// the prefix's real HKEY_CLASSES_ROOT for the same file, so the two cannot drift apart.
#include "support/ChildProcess.h"

#include "RegistryHarvest.h"
#include "Utf8.h"

#include "NAP/qvnnapcfg/RegistrationState.h"
#include "support/ComponentDll.h"
#include "support/RegistrySnapshot.h"

#include <gtest/gtest.h>

namespace
{
class HarvestMatchesRegsvr32Test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(RunRegsvr32(L"/u /s \"" + dllPath + L"\""), 0u);
        ExpectUnregistered(HKEY_CLASSES_ROOT);
    }
    void TearDown() override
    {
        EXPECT_EQ(RunRegsvr32(L"/u /s \"" + dllPath + L"\""), 0u);
        ExpectUnregistered(HKEY_CLASSES_ROOT);
    }

    const std::wstring dllPath = PathBesideProgram(L"qvnnapcfg64.dll");
};

// Every key that is new in `after`, and every value that is new or changed, by key.
RegistrySnapshot Written(const RegistrySnapshot& before, const RegistrySnapshot& after)
{
    RegistrySnapshot written;
    for (const auto& [path, values] : after)
    {
        const auto old = before.find(path);
        if (old == before.end())
        {
            written[path] = values;
            continue;
        }
        for (const auto& [name, value] : values)
        {
            const auto oldValue = old->second.find(name);
            if (oldValue == old->second.end() || oldValue->second != value)
            {
                written[path][name] = value;
            }
        }
    }
    return written;
}

// Whether `path` is a proper ancestor of one of the harvested keys.
bool IsAncestorOfHarvestedKey(const std::wstring& path, const HarvestedRegistration& harvest)
{
    for (const HarvestedKey& key : harvest.keys)
    {
        if (key.path.size() > path.size() && key.path.compare(0, path.size(), path) == 0 &&
            key.path[path.size()] == L'\\')
        {
            return true;
        }
    }
    return false;
}

TEST_F(HarvestMatchesRegsvr32Test, HarvestIsExactlyWhatRegsvr32Writes)
{
    const HarvestedRegistration harvest = HarvestRegistration(dllPath);
    ExpectUnregistered(HKEY_CLASSES_ROOT); // the harvest went to scratch keys

    const RegistrySnapshot before = TakeRegistrySnapshot(HKEY_CLASSES_ROOT);
    ASSERT_EQ(RunRegsvr32(L"/s \"" + dllPath + L"\""), 0u);
    const RegistrySnapshot after = TakeRegistrySnapshot(HKEY_CLASSES_ROOT);
    ExpectRegistered(HKEY_CLASSES_ROOT, harvest.modulePath);

    // Keys created only to hold the harvested keys (none in a prefix that has "CLSID"
    // and "AppID" already) are implied by the harvest, not listed in it. The 32-bit view
    // (Wow6432Node) shows keys that both views share, such as AppID's, a second time; a
    // 64-bit module writes nothing there of its own.
    RegistrySnapshot written = Written(before, after);
    for (auto entry = written.begin(); entry != written.end();)
    {
        const bool implied = entry->second.empty() && IsAncestorOfHarvestedKey(entry->first, harvest);
        const bool otherView = entry->first == L"Wow6432Node" || entry->first.rfind(L"Wow6432Node\\", 0) == 0;
        entry = implied || otherView ? written.erase(entry) : std::next(entry);
    }

    RegistrySnapshot harvested;
    for (const HarvestedKey& key : harvest.keys)
    {
        auto& values = harvested[key.path];
        for (const HarvestedValue& value : key.values)
        {
            values[value.name] = {value.type, value.data};
        }
    }
    EXPECT_EQ(written, harvested) << "regsvr32 wrote:\n"
                                  << DescribeRegistrySnapshot(written) << "harvested:\n"
                                  << DescribeRegistrySnapshot(harvested);
}
} // namespace
