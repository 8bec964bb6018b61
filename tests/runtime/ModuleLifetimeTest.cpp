// What the module's load builds, seen from a program that starts the same way: it
// links the component's load order statically, so every step ran before main.
#include "ClassFactory.h"
#include "SHVConfig.h"
#include "SHVConfigModule.h"

#include "runtime/_kern.h"
#include "runtime/exceptions.h"
#include "runtime/late_bound_table.h"
#include "runtime/logger.h"
#include "runtime/os_info.h"
#include "runtime/syncers.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{
std::string formatted_line(if_logger_t& logger, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string line;
    logger.format_line(log_level_info, line, format, args);
    va_end(args);
    return line;
}

TEST(ModuleLoadStateTest, RuntimeServicesExistAfterLoad)
{
    EXPECT_FALSE(g_moduleInitFailed.load());
    EXPECT_EQ(g_module.GetLockCount(), 0);
    EXPECT_STREQ(atomic_ops().name, "Windows default");
    EXPECT_NE(exception_engine_slot(), TLS_OUT_OF_INDEXES);
    EXPECT_NE(thread_info_slot(), TLS_OUT_OF_INDEXES);
    EXPECT_NE(thread_extra_slot(), TLS_OUT_OF_INDEXES);
    EXPECT_NE(default_logging_lock(), nullptr);
    auto* logger = dynamic_cast<fd_logger_t*>(global_logger());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->descriptor(), 2) << "standard error";
    EXPECT_EQ(logger->get_level(), log_level_info);
    EXPECT_STREQ(banner(), "Quorvane runtime (WinNT 6.0/x64)");

    const os_info_t* record = os_info();
    ASSERT_NE(record, nullptr);
    os_info_t fresh{};
    detect_os(fresh);
    EXPECT_EQ(record->code, fresh.code);
    EXPECT_STREQ(record->description, fresh.description);

    for (std::size_t row = 0; row < late_bound_table_rows; ++row)
    {
        late_bound_entry_t* entry = late_bound_table_row(row);
        ASSERT_NE(entry, nullptr) << "row " << row;
        EXPECT_FALSE(entry->attempted()) << "row " << row << " " << entry->function_name();
    }
    EXPECT_STREQ(late_bound_table_row(0)->module_name(), "ntdll");
    EXPECT_STREQ(late_bound_table_row(79)->function_name(), "GetPerformanceInfo");
    for (const char* module : {"wtsapi32.dll", "srclient.dll", "wininet.dll"})
    {
        EXPECT_EQ(GetModuleHandleA(module), nullptr) << module;
    }
}

// The order the load took, as it shows in what the steps took from the process: TLS
// indexes come lowest free first, so the steps that reserve one hold them in the order
// they ran. The exception engine starts before the thread engine, whose steps may raise.
TEST(ModuleLoadStateTest, StepsRanInLoadOrder)
{
    EXPECT_LT(exception_engine_slot(), thread_info_slot());
    EXPECT_LT(thread_info_slot(), thread_extra_slot());
    EXPECT_STREQ(atomic_ops().name, "Windows default") << "the interlocked set replaced the lock-based one";
}

TEST(ModuleLoadStateTest, EveryThreadIsNamedNoname)
{
    if_logger_t* logger = global_logger();
    ASSERT_NE(logger, nullptr);
    auto check = [logger](int thread) {
        EXPECT_EQ(TlsGetValue(thread_info_slot()), nullptr);
        EXPECT_STREQ(current_thread_name(), "noname");
        lock_guard_t guard(default_logging_lock());
        const std::string line = formatted_line(*logger, "thread %d", thread);
        EXPECT_NE(line.find("] noname "), std::string::npos) << line;
    };
    check(0);
    std::vector<std::thread> threads;
    for (int i = 1; i <= 4; ++i)
    {
        threads.emplace_back(check, i);
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
}

// At process exit a leaky host may release a class factory after the module object is
// gone (the class table, torn down last, drops its reference then). Such a release must
// not reach the module. A module object of the test's own stands in for the process's.
TEST(ModuleTeardownTest, ReleasesAfterTheModuleIsGoneLeaveItAlone)
{
    auto* module = new CAtlModule();
    ASSERT_EQ(CAtlModule::Current(), module);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CreateClassFactory(CreateComObject<SHVConfig>, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    factory->AddRef(); // the host's reference, which locks the module
    EXPECT_EQ(module->GetLockCount(), 1);

    delete module;
    EXPECT_EQ(CAtlModule::Current(), nullptr);
    EXPECT_EQ(factory->Release(), 1u) << "would unlock the module";
    EXPECT_EQ(ModuleLock(), 0);
    EXPECT_EQ(ModuleUnlock(), 0);
    EXPECT_EQ(factory->Release(), 0u);
}
} // namespace
