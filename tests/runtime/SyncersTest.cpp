// Locks, the scope guard and both sets of atomic operations.
#include "runtime/exceptions.h"
#include "runtime/syncers.h"
#include "support/RaisedException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace
{
using namespace std::chrono_literals;

template <class lock_type> class RecursiveLockTest : public ::testing::Test
{
};
using RecursiveLocks = ::testing::Types<critical_section_t, mutex_t>;
TYPED_TEST_SUITE(RecursiveLockTest, RecursiveLocks);

TYPED_TEST(RecursiveLockTest, OwnerRelocksOthersWaitForTheLastUnlock)
{
    TypeParam lock;
    if_lock_t& any = lock;
    EXPECT_EQ(any.lock(), 0u);
    EXPECT_EQ(any.acquire(), 0u) << "the owner does not block";

    std::atomic<bool> acquired{false};
    std::thread other([&] {
        lock_guard_t guard(&lock);
        acquired = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(acquired);
    EXPECT_TRUE(any.unlock());
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(acquired) << "still held once";
    EXPECT_TRUE(any.unlock());
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(MutexTest, LockReportsAnAbandonedMutex)
{
    mutex_t lock;
    std::thread owner([&] { lock.lock(); }); // ends without unlocking
    owner.join();
    EXPECT_EQ(lock.lock(), std::uint32_t{WAIT_ABANDONED});
    EXPECT_TRUE(lock.unlock());
    EXPECT_EQ(lock.acquire(), 0u);
    EXPECT_TRUE(lock.unlock());
    EXPECT_FALSE(lock.unlock()) << "not held any more";
}

TEST(LogMutexTest, NeverBlocks)
{
    log_mutex_t lock;
    EXPECT_EQ(lock.lock(), 0u);
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (int i = 0; i < 4; ++i)
    {
        threads.emplace_back([&] {
            for (int j = 0; j < 100; ++j)
            {
                lock.acquire();
            }
            lock.unlock();
            ++done;
        });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(done, 4);
}

class counting_lock : public if_lock_t
{
public:
    std::uint32_t lock() noexcept override { return ++locks, 7; }
    bool unlock() noexcept override { return ++unlocks, true; }
    int locks = 0;
    int unlocks = 0;
};

TEST(LockGuardTest, UnlocksOnUnwindingAndAcquireForwardsToLock)
{
    counting_lock lock;
    EXPECT_EQ(lock.acquire(), 7u);
    EXPECT_EQ(lock.locks, 1);
    try
    {
        lock_guard_t guard(&lock);
        EXPECT_EQ(lock.locks, 2);
        throw std::runtime_error("leave");
    }
    catch (const std::runtime_error&)
    {
    }
    EXPECT_EQ(lock.unlocks, 1);
    lock_guard_t nothing(nullptr);
}

BOOL WINAPI failing_initializer(LPCRITICAL_SECTION, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

HANDLE WINAPI failing_mutex_creator(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST(LockCreationTest, CriticalSectionFailureRaisesSyncException)
{
    set_critical_section_initializer_for_testing(failing_initializer);
    critical_section_t* built = nullptr;
    try
    {
        built = new critical_section_t;
        ADD_FAILURE() << "no exception";
    }
    catch (const sync_exception_shell_t& thrown)
    {
        ExpectRaised<sync_exception>(thrown, "syncers", 782, "cannot initialize critical section");
    }
    set_critical_section_initializer_for_testing(nullptr);
    EXPECT_EQ(built, nullptr);
    critical_section_t works;
    lock_guard_t guard(&works);
}

TEST(LockCreationTest, MutexFailureRaisesSyncException)
{
    set_mutex_creator_for_testing(failing_mutex_creator);
    try
    {
        mutex_t lock;
        ADD_FAILURE() << "no exception";
    }
    catch (const sync_exception_shell_t& thrown)
    {
        const auto* exception = thrown.exception();
        ASSERT_NE(exception, nullptr);
        EXPECT_EQ(typeid(*exception), typeid(sync_exception));
        EXPECT_STREQ(exception->file(), "syncers");
        // The system's text for the code lies between; its words are the platform's.
        EXPECT_TRUE(std::regex_match(thrown.what(), std::regex("cannot initialize mutex because of .+ \\(code=8\\)\\.")))
            << thrown.what();
    }
    set_mutex_creator_for_testing(nullptr);
    mutex_t works;
    EXPECT_EQ(works.lock(), 0u);
}

TEST(AtomicTableTest, HoldsTheLockBasedSetUntilLoadSwitchesIt)
{
    EXPECT_STREQ(atomic_ops().name, "undefined");
    EXPECT_EQ(atomic_ops().fetch_add32, lock_based_atomic_ops.fetch_add32);
    ASSERT_TRUE(atomic_ops_lock_create());
    ASSERT_TRUE(atomic_ops_install_interlocked());
    EXPECT_STREQ(atomic_ops().name, "Windows default");
    EXPECT_EQ(atomic_ops().compare_exchange64, interlocked_atomic_ops.compare_exchange64);
    atomic_ops_lock_destroy();
    volatile LONG cell = 1;
    EXPECT_EQ(atomic_ops().fetch_add32(&cell, 1), 1) << "usable after the lock is gone";
}

// Each set, and the lock-based one also before its lock exists.
struct atomic_case
{
    const atomic_ops_t* set;
    bool with_lock;
    const char* name;
};

void PrintTo(const atomic_case& tested, std::ostream* out)
{
    *out << tested.name;
}

class AtomicSetTest : public ::testing::TestWithParam<atomic_case>
{
protected:
    void SetUp() override
    {
        if (GetParam().with_lock)
        {
            ASSERT_TRUE(atomic_ops_lock_create());
        }
    }
    void TearDown() override { atomic_ops_lock_destroy(); }
    const atomic_ops_t& ops() const { return *GetParam().set; }
};

TEST_P(AtomicSetTest, ResultsAndWrapping)
{
    volatile LONG cell = 5;
    EXPECT_EQ(ops().compare_exchange32(&cell, 4, 9), 5);
    EXPECT_EQ(cell, 5) << "comparand differs: unchanged";
    EXPECT_EQ(ops().compare_exchange32(&cell, 5, 9), 5);
    EXPECT_EQ(cell, 9);
    EXPECT_EQ(ops().exchange32(&cell, 5), 9);
    EXPECT_EQ(ops().fetch_add32(&cell, 3), 5);
    EXPECT_EQ(cell, 8);
    cell = -3;
    EXPECT_FALSE(ops().add_test32(&cell, 3));
    EXPECT_EQ(cell, 0);
    EXPECT_TRUE(ops().add_test32(&cell, 1));
    cell = INT_MAX;
    EXPECT_EQ(ops().fetch_add32(&cell, 1), INT_MAX);
    EXPECT_EQ(cell, INT_MIN);
    EXPECT_TRUE(ops().add_test32(&cell, -1));
    EXPECT_EQ(cell, INT_MAX);

    volatile LONG64 wide = LLONG_MAX;
    EXPECT_EQ(ops().compare_exchange64(&wide, 0, 1), LLONG_MAX);
    EXPECT_EQ(ops().fetch_add64(&wide, 1), LLONG_MAX);
    EXPECT_EQ(wide, LLONG_MIN);
    EXPECT_EQ(ops().exchange64(&wide, 1LL << 40), LLONG_MIN);
    EXPECT_EQ(ops().compare_exchange64(&wide, 1LL << 40, -1), 1LL << 40);
    EXPECT_FALSE(ops().add_test64(&wide, 1));
    EXPECT_EQ(wide, 0);
}

TEST_P(AtomicSetTest, CountersUnderContentionLoseNoIncrement)
{
    // Threads start together and go on for a while, so that on a busy machine too their
    // operations overlap on several processors.
    constexpr int threads_count = 4;
    constexpr DWORD busy_ms = 300;
    volatile LONG counter = 0;
    volatile LONG added = 0;
    volatile LONG64 wide = 0;
    std::atomic<long> rounds{0};
    std::atomic<int> waiting{threads_count};
    std::vector<std::thread> threads;
    for (int i = 0; i < threads_count; ++i)
    {
        threads.emplace_back([&] {
            --waiting;
            while (waiting.load() > 0)
            {
            }
            const DWORD start = GetTickCount();
            long done = 0;
            while ((done & 255) != 0 || GetTickCount() - start < busy_ms)
            {
                LONG seen;
                do
                {
                    seen = counter;
                } while (ops().compare_exchange32(&counter, seen, seen + 1) != seen);
                ops().fetch_add32(&added, 1);
                ops().add_test32(&added, 1);
                ops().fetch_add64(&wide, 3);
                ++done;
            }
            rounds += done;
        });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(counter, rounds.load());
    EXPECT_EQ(added, 2 * rounds.load());
    EXPECT_EQ(wide, 3 * rounds.load());
}

INSTANTIATE_TEST_SUITE_P(Sets, AtomicSetTest,
                         ::testing::Values(atomic_case{&interlocked_atomic_ops, false, "Interlocked"},
                                           atomic_case{&lock_based_atomic_ops, true, "LockBased"},
                                           atomic_case{&lock_based_atomic_ops, false, "LockBasedBeforeItsLock"}),
                         [](const ::testing::TestParamInfo<atomic_case>& info) { return info.param.name; });
} // namespace
