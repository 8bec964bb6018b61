// The shipped DLL loaded and unloaded the way COM hosts do it, again and again: it maps
// nothing beyond its imports, and leaves no module, TLS index, handle or private memory
// behind, also when its start-up fails and the load is refused.
#include "support/ComponentDll.h"
#include "support/ProcessProbes.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace
{
// Private memory may move a little while the platform's own caches warm up (heap blocks
// it keeps for reuse); a leak of 32 bytes a cycle over 2000 cycles would not fit.
constexpr std::size_t PrivateBytesSlack = 64 * 1024;

int free_tls_indexes()
{
    std::vector<DWORD> taken;
    for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
    {
        taken.push_back(index);
    }
    for (DWORD index : taken)
    {
        TlsFree(index);
    }
    return static_cast<int>(taken.size());
}

// What a host's process has: the component's imports are mapped before the component
// is, as they would be by the host's own use of them.
class ComponentLoadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(UnloadComponentDllCompletely());
        m_imports.emplace(m_path);
    }

    const std::wstring m_path = PathBesideProgram(L"qvnnapcfg64.dll");
    std::optional<ImportsHeldLoaded> m_imports;
};

TEST_F(ComponentLoadTest, LoadingMapsNothingBeyondTheImports)
{
    const std::vector<std::string> imports = ImportedDllNames(m_path);
    const char* const late_bound_only[] = {"wtsapi32.dll", "srclient.dll", "wininet.dll",
                                           "userenv.dll",  "psapi.dll",    "shell32.dll"};
    for (const char* name : late_bound_only)
    {
        ASSERT_EQ(std::count(imports.begin(), imports.end(), name), 0) << name << " is imported";
    }

    const std::set<std::string> before = MappedModuleNames();
    HMODULE module = LoadLibraryW(m_path.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    const std::set<std::string> after = MappedModuleNames();
    FreeLibrary(module);

    std::vector<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    EXPECT_EQ(added, std::vector<std::string>{"qvnnapcfg64.dll"});
    for (const char* name : late_bound_only)
    {
        EXPECT_EQ(before.count(name), after.count(name)) << name;
    }
}

TEST_F(ComponentLoadTest, TwoThousandLoadsAndUnloadsLeaveNothingBehind)
{
    constexpr int Cycles = 2000;

    for (int cycle = 0; cycle < 20; ++cycle) // whatever the platform sets up once
    {
        FreeLibrary(LoadLibraryW(m_path.c_str()));
    }
    const std::set<std::string> modules = MappedModuleNames();
    const int tls_indexes = free_tls_indexes();
    const DWORD handles = CountOpenHandles();
    ASSERT_GT(handles, 0u);
    const std::size_t privateBytes = CountPrivateBytes();
    std::size_t mostPrivateBytes = privateBytes;

    const auto start = std::chrono::steady_clock::now();
    for (int cycle = 1; cycle <= Cycles; ++cycle)
    {
        HMODULE module = LoadLibraryW(m_path.c_str());
        ASSERT_NE(module, nullptr) << "load " << cycle << " failed, error " << GetLastError();
        ASSERT_TRUE(FreeLibrary(module));
        if (cycle % 100 == 0)
        {
            mostPrivateBytes = std::max(mostPrivateBytes, CountPrivateBytes());
        }
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const std::size_t privateBytesAfter = CountPrivateBytes();
    const DWORD handlesAfter = CountOpenHandles();
    RecordProperty("milliseconds", static_cast<int>(elapsed.count()));
    RecordProperty("cycles", Cycles);
    RecordProperty("handles_before", static_cast<int>(handles));
    RecordProperty("handles_after", static_cast<int>(handlesAfter));
    RecordProperty("private_bytes_before", std::to_string(privateBytes));
    RecordProperty("private_bytes_after", std::to_string(privateBytesAfter));
    RecordProperty("private_bytes_most", std::to_string(mostPrivateBytes));

    EXPECT_EQ(GetModuleHandleW(L"qvnnapcfg64.dll"), nullptr);
    EXPECT_EQ(MappedModuleNames(), modules);
    EXPECT_EQ(free_tls_indexes(), tls_indexes);
    EXPECT_EQ(handlesAfter, handles);
    EXPECT_LE(mostPrivateBytes, privateBytes + PrivateBytesSlack)
        << "private bytes grew from " << privateBytes << " to " << mostPrivateBytes;
}

TEST_F(ComponentLoadTest, FailedStartRefusesTheLoadAndTakesEverythingBack)
{
    const std::wstring failing = PathBesideProgram(L"qvnnapcfg64_failing_start.dll");
    ASSERT_NE(GetFileAttributesW(failing.c_str()), INVALID_FILE_ATTRIBUTES);

    auto refused_once = [&failing] {
        SetLastError(0);
        HMODULE module = LoadLibraryW(failing.c_str());
        const DWORD error = GetLastError();
        if (module != nullptr)
        {
            FreeLibrary(module);
        }
        return module == nullptr && error == ERROR_DLL_INIT_FAILED;
    };
    ASSERT_TRUE(refused_once());
    const std::set<std::string> modules = MappedModuleNames();
    const int tls_indexes = free_tls_indexes();
    const DWORD handles = CountOpenHandles();
    const std::size_t privateBytes = CountPrivateBytes();

    for (int attempt = 0; attempt < 200; ++attempt)
    {
        ASSERT_TRUE(refused_once()) << "attempt " << attempt;
    }
    EXPECT_EQ(GetModuleHandleW(L"qvnnapcfg64_failing_start.dll"), nullptr);
    EXPECT_EQ(MappedModuleNames(), modules);
    EXPECT_EQ(free_tls_indexes(), tls_indexes) << "the steps that had started were taken back";
    EXPECT_EQ(CountOpenHandles(), handles);
    EXPECT_LE(CountPrivateBytes(), privateBytes + PrivateBytesSlack);

    HMODULE shipped = LoadLibraryW(m_path.c_str());
    EXPECT_NE(shipped, nullptr) << "the shipped component is unaffected";
    FreeLibrary(shipped);
}
} // namespace
