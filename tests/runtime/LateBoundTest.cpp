// Late-bound entries resolve once, under their lock, and never retry; the library's
// table of 80 entries is built in its row order and loads nothing.
#include "runtime/exceptions.h"
#include "runtime/late_bound.h"
#include "runtime/late_bound_table.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
// Counts the loads entries ask for and remembers the names, then loads for real.
std::atomic<int> g_loads{0};
std::atomic<DWORD> g_load_delay_ms{0};
std::vector<std::string> g_loaded_names; // written by one thread at a time (the entry's lock)

HMODULE WINAPI counting_loader(LPCSTR name)
{
    ++g_loads;
    g_loaded_names.emplace_back(name);
    Sleep(g_load_delay_ms.load());
    return LoadLibraryA(name);
}

class LateBoundTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_loads = 0;
        g_load_delay_ms = 0;
        g_loaded_names.clear();
        set_late_bound_loader_for_testing(counting_loader);
    }
    void TearDown() override { set_late_bound_loader_for_testing(nullptr); }
};

TEST_F(LateBoundTest, ResolvesOnFirstUseOnly)
{
    late_bound_t<decltype(::GetNativeSystemInfo)> entry("kernel32.dll", "GetNativeSystemInfo");
    EXPECT_FALSE(entry.attempted());
    EXPECT_EQ(entry.module(), nullptr);
    EXPECT_EQ(g_loads, 0) << "construction loads nothing";
    EXPECT_STREQ(entry.module_name(), "kernel32.dll");
    EXPECT_STREQ(entry.function_name(), "GetNativeSystemInfo");

    ASSERT_TRUE(entry.available());
    const FARPROC expected = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo");
    EXPECT_EQ(entry.address(), expected);
    EXPECT_EQ(reinterpret_cast<void (*)()>(entry.get()), reinterpret_cast<void (*)()>(expected));
    EXPECT_TRUE(static_cast<bool>(entry));
    EXPECT_TRUE(entry.attempted());
    EXPECT_EQ(entry.module(), GetModuleHandleA("kernel32.dll"));
    EXPECT_EQ(g_loads, 1);

    SYSTEM_INFO info{};
    entry.get()(&info);
    EXPECT_NE(info.dwPageSize, 0u) << "the pointer has the function's own type";
}

TEST_F(LateBoundTest, MissingExportFailsOnceAndForAll)
{
    late_bound_t<void WINAPI()> entry("kernel32.dll", "QvnNoSuchExport");
    EXPECT_FALSE(entry.available());
    EXPECT_EQ(entry.get(), nullptr);
    EXPECT_FALSE(static_cast<bool>(entry));
    EXPECT_FALSE(entry.available());
    EXPECT_EQ(g_loads, 1) << "a failed lookup is not retried";
    EXPECT_NE(entry.module(), nullptr) << "the module itself loaded";
}

TEST_F(LateBoundTest, MissingModuleFailsOnceAndForAll)
{
    {
        late_bound_t<void WINAPI()> entry("qvn-no-such-module.dll", "Anything");
        EXPECT_FALSE(entry.available());
        EXPECT_EQ(entry.get(), nullptr);
        EXPECT_FALSE(entry.available());
        EXPECT_EQ(entry.module(), nullptr);
        EXPECT_TRUE(entry.attempted());
    }
    EXPECT_EQ(g_loads, 1) << "a failed load is not retried, and destruction loads nothing";
}

TEST_F(LateBoundTest, DestructionFreesTheModuleTheEntryLoaded)
{
    ASSERT_EQ(GetModuleHandleA("qvn_no_resources.dll"), nullptr);
    {
        late_bound_t<int()> entry("qvn_no_resources.dll", "NoResourcesMarker");
        EXPECT_EQ(GetModuleHandleA("qvn_no_resources.dll"), nullptr) << "nothing mapped before first use";
        ASSERT_TRUE(entry.available());
        EXPECT_EQ(entry.get()(), 0);
        EXPECT_NE(GetModuleHandleA("qvn_no_resources.dll"), nullptr);
    }
    EXPECT_EQ(GetModuleHandleA("qvn_no_resources.dll"), nullptr);
}

TEST_F(LateBoundTest, ConcurrentFirstUseLoadsOnceAndAgrees)
{
    g_load_delay_ms = 100; // keeps the first caller inside the load while the second arrives
    late_bound_t<decltype(::GetTickCount)> entry("kernel32.dll", "GetTickCount");
    std::atomic<int> ready{0};
    decltype(::GetTickCount)* seen[2] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
    {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < 2)
            {
            }
            seen[i] = entry.get();
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(g_loads, 1);
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
}

TEST_F(LateBoundTest, EntryWithoutLockDoesNotExist)
{
    set_critical_section_initializer_for_testing([](LPCRITICAL_SECTION, DWORD) -> BOOL { return FALSE; });
    EXPECT_THROW((late_bound_t<void WINAPI()>("kernel32.dll", "GetTickCount")), sync_exception_shell_t);
    EXPECT_FALSE(late_bound_table_create()) << "the table is refused as a whole";
    EXPECT_EQ(late_bound_table_row(0), nullptr);
    set_critical_section_initializer_for_testing(nullptr);
    EXPECT_EQ(g_loads, 0);
}

// Rows whose names the build could change: the first (no extension), the narrow process
// functions the Unicode headers rename, the psapi functions its headers may rename, and
// the last.
const struct
{
    std::size_t row;
    const char* module;
    const char* function;
} spot_rows[] = {
    {0, "ntdll", "NtQuerySystemInformation"},   {8, "kernel32.dll", "GetNativeSystemInfo"},
    {22, "kernel32.dll", "Process32First"},     {23, "kernel32.dll", "Process32Next"},
    {24, "kernel32.dll", "Process32FirstW"},    {62, "psapi.dll", "EnumProcesses"},
    {66, "srclient.dll", "SRSetRestorePointA"}, {69, "wtsapi32.dll", "WTSFreeMemory"},
    {79, "psapi.dll", "GetPerformanceInfo"},
};

// Modules only the table names; a program like this one has none of them mapped.
const char* const table_only_modules[] = {"shell32.dll",  "userenv.dll", "psapi.dll",
                                          "srclient.dll", "wininet.dll", "wtsapi32.dll"};

TEST_F(LateBoundTest, TableHoldsTheRowsInOrderAndLoadsNothing)
{
    std::vector<const char*> mapped_before;
    for (const char* name : table_only_modules)
    {
        if (GetModuleHandleA(name) != nullptr)
        {
            mapped_before.push_back(name);
        }
    }
    EXPECT_EQ(late_bound_table_row(0), nullptr) << "no table before it is built";

    ASSERT_TRUE(late_bound_table_create());
    std::set<std::string> functions;
    for (std::size_t row = 0; row < late_bound_table_rows; ++row)
    {
        late_bound_entry_t* entry = late_bound_table_row(row);
        ASSERT_NE(entry, nullptr) << "row " << row;
        EXPECT_FALSE(entry->attempted()) << "row " << row;
        functions.insert(entry->function_name());
    }
    EXPECT_EQ(functions.size(), late_bound_table_rows) << "every row names a function of its own";
    for (const auto& spot : spot_rows)
    {
        EXPECT_STREQ(late_bound_table_row(spot.row)->module_name(), spot.module) << "row " << spot.row;
        EXPECT_STREQ(late_bound_table_row(spot.row)->function_name(), spot.function) << "row " << spot.row;
    }
    EXPECT_EQ(late_bound_table_row(late_bound_table_rows), nullptr);
    late_bound_table_destroy();

    EXPECT_EQ(g_loads, 0);
    EXPECT_EQ(late_bound_table_row(0), nullptr);
    for (const char* name : table_only_modules)
    {
        if (std::find(mapped_before.begin(), mapped_before.end(), name) == mapped_before.end())
        {
            EXPECT_EQ(GetModuleHandleA(name), nullptr) << name;
        }
    }
}

TEST_F(LateBoundTest, TableEntriesResolveLikeAnyOtherAndReleaseAtDestruction)
{
    ASSERT_TRUE(late_bound_table_create());
    late_bound_entry_t* first = late_bound_table_row(0);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->available());
    EXPECT_EQ(first->address(), GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation"));

    const bool wtsapi_mapped = GetModuleHandleA("wtsapi32.dll") != nullptr;
    late_bound_entry_t* wts = late_bound_table_row(69);
    ASSERT_NE(wts, nullptr);
    ASSERT_STREQ(wts->function_name(), "WTSFreeMemory");
    const bool wts_available = wts->available();
    late_bound_table_destroy();

    ASSERT_EQ(g_loaded_names.size(), 2u);
    EXPECT_EQ(g_loaded_names[0], "ntdll") << "the name goes to the loader as written, without extension";
    EXPECT_EQ(g_loaded_names[1], "wtsapi32.dll");
    if (wts_available && !wtsapi_mapped)
    {
        EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr) << "the table's destruction freed what it loaded";
    }
}
} // namespace
