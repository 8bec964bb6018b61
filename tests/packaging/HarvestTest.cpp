// The harvest of a module's own registration, run against a stand-in module that writes
// every kind of entry, and its refusals. The machine's registry must come out as it was.
#include "PackagingError.h"
#include "RegistryHarvest.h"
#include "Utf8.h"

#include "support/ComponentDll.h"
#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
const std::wstring FakeRoot = L"QvnFakeRegistrar";

class FakeHarvestTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, FakeRoot)) << "left over from an earlier run";
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"QVN_FAKE_REGISTRATION", nullptr);
        ExpectMachineRegistryUntouched();
    }

    static void SetMode(const wchar_t* mode) { SetEnvironmentVariableW(L"QVN_FAKE_REGISTRATION", mode); }

    // Nothing reached the real keys, the predefined keys are back and no scratch is left.
    static void ExpectMachineRegistryUntouched()
    {
        EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, FakeRoot));
        EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"Software\\QvnFakeRegistrar"));
        EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, L"Software\\QvnFakeRegistrar"));
        EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion"));
        EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
        // Only this process's: a harvest in another process may be running.
        const std::wstring ours = L"QvnHarvest-" + std::to_wstring(GetCurrentProcessId()) + L"-";
        for (const std::wstring& name : RegistrySubkeyNames(HKEY_CURRENT_USER, L"Software"))
        {
            EXPECT_NE(name.rfind(ours, 0), 0u) << "scratch key left: " << ToUtf8(name);
        }
    }

    static std::string RefusalOf(const std::wstring& path)
    {
        try
        {
            HarvestRegistration(path);
        }
        catch (const PackagingError& error)
        {
            return error.what();
        }
        return "(no refusal)";
    }

    const std::wstring fakePath = PathBesideProgram(L"qvn_fake_registrar.dll");
};

std::vector<BYTE> TextBytes(const std::wstring& text)
{
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(bytes, bytes + text.size() * sizeof(wchar_t));
}

TEST_F(FakeHarvestTest, EveryTypeDefaultValuesAndEmptyKeysComeThrough)
{
    const HarvestedRegistration harvest = HarvestRegistration(fakePath);
    EXPECT_EQ(CompareStringOrdinal(harvest.modulePath.c_str(), -1, fakePath.c_str(), -1, TRUE), CSTR_EQUAL)
        << ToUtf8(harvest.modulePath);

    // Keys that only hold subkeys ("QvnFakeRegistrar", "...\Nested") are implied.
    ASSERT_EQ(harvest.keys.size(), 3u);
    EXPECT_EQ(harvest.keys[0].path, L"QvnFakeRegistrar\\Empty");
    EXPECT_TRUE(harvest.keys[0].values.empty());
    EXPECT_EQ(harvest.keys[1].path, L"QvnFakeRegistrar\\Nested\\Deeper");
    EXPECT_TRUE(harvest.keys[1].values.empty());
    ASSERT_EQ(harvest.keys[2].path, L"QvnFakeRegistrar\\Values");

    const std::vector<HarvestedValue> expected = {
        {L"", REG_SZ, TextBytes(harvest.modulePath + L'\0')},
        {L"Bytes", REG_BINARY, {0x0A, 0xFF}},
        {L"Expand", REG_EXPAND_SZ, TextBytes(std::wstring(L"%SystemRoot%\\[x]") + L'\0')},
        {L"Multi", REG_MULTI_SZ, TextBytes(L"first" + std::wstring(1, L'\0') + harvest.modulePath + L'\0' + L'\0')},
        {L"Number", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    const std::vector<HarvestedValue>& values = harvest.keys[2].values;
    ASSERT_EQ(values.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(values[i].name, expected[i].name);
        EXPECT_EQ(values[i].type, expected[i].type) << ToUtf8(values[i].name);
        EXPECT_EQ(values[i].data, expected[i].data) << ToUtf8(values[i].name);
    }
}

TEST_F(FakeHarvestTest, RegistrationOutsideClassesRootIsRefused)
{
    SetMode(L"hklm");
    EXPECT_NE(RefusalOf(fakePath).find("wrote under HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER"), std::string::npos);
    SetMode(L"hkcu");
    EXPECT_NE(RefusalOf(fakePath).find("wrote under HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER"), std::string::npos);
}

TEST_F(FakeHarvestTest, FailedRegistrationIsReported)
{
    SetMode(L"fail");
    EXPECT_NE(RefusalOf(fakePath).find("DllRegisterServer of '"), std::string::npos);
    EXPECT_NE(RefusalOf(fakePath).find("failed with 0x80004005"), std::string::npos);
}

TEST_F(FakeHarvestTest, ModulesThatCannotRegisterAreRefused)
{
    EXPECT_NE(RefusalOf(PathBesideProgram(L"qvn_no_resources.dll")).find("exports no DllRegisterServer"),
              std::string::npos);
    EXPECT_NE(RefusalOf(PathBesideProgram(L"no-such-module.dll")).find("cannot load"), std::string::npos);
}
} // namespace
