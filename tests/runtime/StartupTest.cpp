// The runtime's start-up steps in load order and their clean-up in reverse, and what
// happens when the process has no TLS index left for them.
#include "runtime/_kern.h"
#include "runtime/exceptions.h"
#include "runtime/logger.h"
#include "runtime/os_info.h"
#include "runtime/syncers.h"

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

TEST(RuntimeStartupTest, StepsBuildTheServicesAndCleanUpInReverse)
{
    EXPECT_STREQ(atomic_ops().name, "undefined");
    EXPECT_EQ(global_logger(), nullptr);
    EXPECT_STREQ(current_thread_name(), "noname");

    ASSERT_TRUE(atomic_ops_lock_create());
    ASSERT_TRUE(atomic_ops_install_interlocked());
    ASSERT_TRUE(exception_engine_start());
    ASSERT_TRUE(default_thread_name_create());
    ASSERT_TRUE(thread_info_slot_reserve());
    ASSERT_TRUE(thread_extra_slot_reserve());
    ASSERT_TRUE(default_logging_lock_create());
    ASSERT_TRUE(global_logger_create());
    ASSERT_TRUE(common_controls_start());
    ASSERT_TRUE(os_info_create());
    ASSERT_TRUE(banner_create());

    EXPECT_STREQ(atomic_ops().name, "Windows default");
    EXPECT_NE(exception_engine_slot(), TLS_OUT_OF_INDEXES);
    EXPECT_EQ(TlsGetValue(exception_engine_slot()), nullptr);
    ASSERT_NE(thread_info_slot(), TLS_OUT_OF_INDEXES);
    ASSERT_NE(thread_extra_slot(), TLS_OUT_OF_INDEXES);
    EXPECT_NE(thread_extra_slot(), thread_info_slot());
    std::thread([] {
        EXPECT_EQ(TlsGetValue(thread_info_slot()), nullptr);
        EXPECT_STREQ(current_thread_name(), "noname");
    }).join();
    EXPECT_STREQ(current_thread_name(), "noname");

    ASSERT_NE(default_logging_lock(), nullptr);
    {
        lock_guard_t outer(default_logging_lock());
        std::thread([] { lock_guard_t inner(default_logging_lock()); }).join();
    }
    auto* logger = dynamic_cast<fd_logger_t*>(global_logger());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->descriptor(), 2);
    EXPECT_EQ(logger->get_level(), 4);
    EXPECT_FALSE(logger->is_enabled(8));
    ASSERT_NE(os_info(), nullptr);
    EXPECT_NE(os_info()->code, 0u);
    EXPECT_STREQ(banner(), "Quorvane runtime (WinNT 6.0/x64)");

    banner_destroy();
    os_info_destroy();
    global_logger_destroy();
    default_logging_lock_destroy();
    thread_extra_slot_release();
    thread_info_slot_release();
    default_thread_name_destroy();
    exception_engine_stop();
    atomic_ops_lock_destroy();

    EXPECT_EQ(global_logger(), nullptr);
    EXPECT_EQ(default_logging_lock(), nullptr);
    EXPECT_EQ(thread_info_slot(), TLS_OUT_OF_INDEXES);
    EXPECT_EQ(thread_extra_slot(), TLS_OUT_OF_INDEXES);
    EXPECT_EQ(exception_engine_slot(), TLS_OUT_OF_INDEXES);
    EXPECT_EQ(os_info(), nullptr);
    EXPECT_EQ(banner(), nullptr);
    EXPECT_STREQ(current_thread_name(), "noname");
    EXPECT_STREQ(atomic_ops().name, "Windows default");
}

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
            ASSERT_NE(thrown.exception(), nullptr);
            EXPECT_EQ(typeid(*thrown.exception()), typeid(d_exception_t));
            EXPECT_STREQ(thrown.exception()->file(), "_kern");
            EXPECT_EQ(thrown.exception()->line(), 318);
            EXPECT_STREQ(thrown.what(), "cannot initialize thread engine");
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
    for (int i = 0; i < 8; ++i)
    {
        others.emplace_back([&, i] {
            for (int round = 0; round < 200; ++round)
            {
                try
                {
                    throw i;
                }
                catch (int value)
                {
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
