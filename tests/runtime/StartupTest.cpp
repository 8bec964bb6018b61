// The runtime's start-up steps when the process has no TLS index left for them, and the
// exception engine's per-thread state.
#include "runtime/_kern.h"
#include "runtime/exceptions.h"
#include "support/RaisedException.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

namespace
{
// Takes every free TLS index but `leave` for the life of the object.
class tls_exhaustion
{
public:
    explicit tls_exhaustion(std::size_t leave = 0)
    {
        for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
        {
            m_slots.push_back(slot);
        }
        for (; leave > 0 && !m_slots.empty(); --leave)
        {
            TlsFree(m_slots.back());
            m_slots.pop_back();
        }
    }
    ~tls_exhaustion()
    {
        for (DWORD slot : m_slots)
        {
            TlsFree(slot);
        }
    }

private:
    std::vector<DWORD> m_slots;
};

TEST(RuntimeStartupTest, ExceptionEngineWithoutTlsIndexReportsFailure)
{
    testing::internal::CaptureStdout();
    bool started = true;
    {
        tls_exhaustion exhausted;
        started = exception_engine_start();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot initialize exception engine");
    EXPECT_FALSE(started);
    EXPECT_EQ(exception_engine_slot(), TLS_OUT_OF_INDEXES);
}

TEST(RuntimeStartupTest, ThreadEngineWithoutTlsIndexRaises)
{
    struct
    {
        bool (*reserve)();
        std::uint32_t (*slot)();
    } const slots[] = {{thread_info_slot_reserve, thread_info_slot}, {thread_extra_slot_reserve, thread_extra_slot}};
    for (const auto& slot : slots)
    {
        tls_exhaustion exhausted;
        try
        {
            slot.reserve();
            FAIL() << "no exception";
        }
        catch (const d_exception_t_shell_t& thrown)
        {
            ExpectRaised<d_exception_t>(thrown, "_kern", 318, "cannot initialize thread engine");
        }
        EXPECT_EQ(slot.slot(), TLS_OUT_OF_INDEXES);
    }
}

TEST(RuntimeStartupTest, BannerText)
{
    EXPECT_EQ(banner(), nullptr);
    ASSERT_TRUE(banner_create());
    const char* text = banner();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Quorvane runtime (WinNT 6.0/x64)");
    ASSERT_TRUE(banner_create());
    EXPECT_EQ(banner(), text) << "built once";
    banner_destroy();
    EXPECT_EQ(banner(), nullptr);
    banner_destroy();
}

TEST(RuntimeStartupTest, ExceptionStateBelongsToEachThread)
{
    ASSERT_TRUE(exception_engine_start());
    // One thread sits in a handler while others throw, catch and rethrow; each must see
    // its own exceptions only.
    std::atomic<bool> holding{false};
    std::atomic<bool> others_done{false};
    std::thread holder([&] {
        try
        {
            throw std::runtime_error("holder");
        }
        catch (const std::exception&)
        {
            holding = true;
            while (!others_done)
            {
                Sleep(1);
            }
            try
            {
                throw; // still the holder's own exception
            }
            catch (const std::runtime_error& again)
            {
                EXPECT_STREQ(again.what(), "holder");
            }
            EXPECT_EQ(std::uncaught_exceptions(), 0);
        }
    });
    while (!holding)
    {
        Sleep(1);
    }
    std::vector<std::thread> others;
    std::atomic<int> caught{0};
    std::atomic<int> last_errors_lost{0};
    for (int i = 0; i < 8; ++i)
    {
        others.emplace_back([&, i] {
            for (int round = 0; round < 200; ++round)
            {
                // A handler may read the last error of the failure that raised; the first
                // round also builds the thread's exception state.
                const DWORD failure = 1000u + static_cast<DWORD>(i * 200 + round);
                try
                {
                    SetLastError(failure);
                    throw i;
                }
                catch (int value)
                {
                    if (GetLastError() != failure)
                    {
                        ++last_errors_lost;
                    }
                    EXPECT_EQ(value, i);
                    EXPECT_TRUE(std::current_exception() != nullptr);
                    ++caught;
                }
                EXPECT_TRUE(std::current_exception() == nullptr);
            }
        });
    }
    for (auto& other : others)
    {
        other.join();
    }
    others_done = true;
    holder.join();
    EXPECT_EQ(caught, 8 * 200);
    EXPECT_EQ(last_errors_lost, 0) << "handlers that saw another last error than their failure's";
    exception_engine_stop();

    try
    {
        throw 1; // the C++ runtime's own state again
    }
    catch (int)
    {
        EXPECT_TRUE(std::current_exception() != nullptr);
    }
}

TEST(RuntimeStartupTest, ComponentRefusesToLoadWhateverTlsIndexesAreMissing)
{
    // The component sits beside this program; its start-up needs a few TLS indexes (how
    // many the platform's loader and the C++ runtime take besides is theirs to decide).
    // With one index fewer than needed, the last step that takes one, the thread
    // engine's, runs short and raises; with fewer still, the exception engine reports
    // failure. Every time the load must be refused and this process go on.
    testing::internal::CaptureStdout();
    HMODULE module = nullptr;
    std::size_t loaded_with = 0; // free indexes at the first successful load
    for (std::size_t left = 0; left <= 8 && module == nullptr; ++left)
    {
        tls_exhaustion exhausted(left);
        module = LoadLibraryW(L"qvnnapcfg64.dll");
        loaded_with = left;
    }
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_NE(module, nullptr) << "loads once enough indexes are free";
    EXPECT_GE(loaded_with, 3u) << "the scope slot and both thread-engine slots at least";
    EXPECT_NE(printed.find("Cannot initialize exception engine"), std::string::npos);
    EXPECT_NE(GetProcAddress(module, "DllGetClassObject"), nullptr);
    FreeLibrary(module);
}
} // namespace
