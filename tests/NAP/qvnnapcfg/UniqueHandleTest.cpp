// The handle owner: each handle is closed exactly once, whoever ends up holding it.
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
std::vector<int> g_closed;

LSTATUS CloseFake(int* handle)
{
    g_closed.push_back(*handle);
    return *handle == 13 ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}

using UniqueFake = UniqueHandle<int*, &CloseFake>;

class UniqueHandleTest : public ::testing::Test
{
protected:
    void SetUp() override { g_closed.clear(); }
    int first = 1;
    int second = 2;
    int failing = 13;
};

TEST_F(UniqueHandleTest, MovesHandOverWithoutClosingAndAssignmentClosesTheOldHandle)
{
    {
        UniqueFake a(&first);
        UniqueFake b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.Get(), &first);
        UniqueFake c(&second);
        c = std::move(b);
        EXPECT_EQ(g_closed, std::vector<int>{2});
        EXPECT_EQ(c.Get(), &first);
    }
    EXPECT_EQ(g_closed, (std::vector<int>{2, 1}));
}

TEST_F(UniqueHandleTest, PutClosesWhatWasHeldAndReleaseGivesUpOwnership)
{
    UniqueFake owner(&first);
    *owner.Put() = &second;
    EXPECT_EQ(g_closed, std::vector<int>{1});
    EXPECT_EQ(owner.Release(), &second);
    EXPECT_FALSE(owner);
    EXPECT_EQ(g_closed, std::vector<int>{1});
}

TEST_F(UniqueHandleTest, CloseAnswersTheCloseFunctionsResultOnceThenSuccess)
{
    UniqueFake owner(&failing);
    EXPECT_EQ(owner.Close(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(owner.Close(), ERROR_SUCCESS);
    EXPECT_EQ(g_closed, std::vector<int>{13});
}

TEST(UniqueRegistryKeyTest, ClosesARealKey)
{
    UniqueRegistryKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.Put()), ERROR_SUCCESS);
    const HKEY raw = key.Get();
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
}
} // namespace
