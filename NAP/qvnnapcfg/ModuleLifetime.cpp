// The order in which the module's process-wide objects are built when the DLL loads
// and destroyed when it unloads. This file is the only place that order is defined:
// C++ builds the objects of one translation unit in the order they are written and
// destroys them in reverse, whatever order the linker gives the units. Every other
// unit keeps its process-wide state constant-initialised (plain pointers, flags).
#include "ComBoundary.h"
#include "SHVConfig.h"
#include "SHVConfigModule.h"
#include "TraceLog.h"

#include "runtime/_kern.h"
#include "runtime/exceptions.h"
#include "runtime/late_bound_table.h"
#include "runtime/logger.h"
#include "runtime/os_info.h"
#include "runtime/syncers.h"

#include <stdexcept>

// libstdc++'s own clean-up entry; no public header declares it.
namespace __gnu_cxx
{
void __freeres();
}

namespace
{
ClassEntry* const g_classEntries[] = {&g_shvConfigClassEntry};

// Runs a clean-up function when the module unloads.
struct AtUnload
{
    void (*cleanUp)();
    ~AtUnload() { cleanUp(); }
};

// One start-up step of the runtime library and its clean-up at unload. A step that fails
// (returns false or throws) marks the module as failed with its reason, so DllMain
// refuses the load and says why; the DLL lives in someone else's process, so nothing
// here ends it or throws out of start-up. Once a step has failed the later ones, which
// build on it, are skipped. Only a step that succeeded is cleaned up.
class RuntimeStage
{
public:
    RuntimeStage(const char* name, bool (*start)(), void (*stop)()) noexcept : m_stop(stop)
    {
        if (g_moduleInitFailed)
        {
            return;
        }
        try
        {
            m_started = start();
            if (!m_started)
            {
                RefuseModuleLoad(name, "failed");
            }
        }
        catch (...)
        {
            const char* description = nullptr;
            HResultFromCurrentException(&description);
            RefuseModuleLoad(name, description != nullptr ? description : "failed with an unknown exception");
        }
    }
    ~RuntimeStage()
    {
        if (m_started && m_stop != nullptr)
        {
            m_stop();
        }
    }
    RuntimeStage(const RuntimeStage&) = delete;
    RuntimeStage& operator=(const RuntimeStage&) = delete;

private:
    void (*m_stop)();
    bool m_started = false;
};

// The C++ runtime linked into this DLL allocates an emergency pool for exceptions
// (about 72 KB) when the DLL loads and frees it only on request: without this, every
// load and unload of the DLL in a host's process would leak it.
void ReleaseExceptionPool()
{
    __gnu_cxx::__freeres();
}
} // namespace

// 0. Built first so that it runs last at unload, after every object that might still
//    throw.
static AtUnload g_exceptionPoolRelease{ReleaseExceptionPool};

// 1. Module records: the class table first, so it is torn down last and releases the
//    cached class factories after everything else is gone.
ClassTable g_classTable(std::begin(g_classEntries), std::end(g_classEntries));
BaseModuleRecord g_baseModule;
static WindowClassRecord g_windowClasses;

// 2. Runtime library services, in dependency order; unloading tears them down in reverse.
//    The interlocked set needs nothing, so it stays installed after the lock goes.
static RuntimeStage g_atomicSetLock{"atomic operations lock", atomic_ops_lock_create, atomic_ops_lock_destroy};
static RuntimeStage g_atomicSet{"atomic operations", atomic_ops_install_interlocked, nullptr};
static RuntimeStage g_exceptionEngine{"exception engine", exception_engine_start, exception_engine_stop};
static RuntimeStage g_defaultThreadName{"default thread name", default_thread_name_create, default_thread_name_destroy};
static RuntimeStage g_threadInfoSlot{"thread engine", thread_info_slot_reserve, thread_info_slot_release};
static RuntimeStage g_threadExtraSlot{"thread engine", thread_extra_slot_reserve, thread_extra_slot_release};
static RuntimeStage g_defaultLoggingLock{"default logging lock", default_logging_lock_create,
                                         default_logging_lock_destroy};
static RuntimeStage g_globalLogger{"runtime logger", global_logger_create, global_logger_destroy};
static RuntimeStage g_commonControls{"common controls", common_controls_start, nullptr};
static RuntimeStage g_osInfo{"operating-system identification", os_info_create, os_info_destroy};
static RuntimeStage g_banner{"banner", banner_create, banner_destroy};
#ifdef QVN_TEST_FAILING_START
// Test builds only: a last runtime step that raises, as a thread-engine step does when
// the process has no TLS index left, so that tests can watch the module refuse to load
// and take back every step before it.
// NOLINTNEXTLINE(cert-err58-cpp): the constructor is noexcept and catches what its step throws
static RuntimeStage g_failingStep{"test step", []() -> bool { throw std::runtime_error("simulated start-up failure"); },
                                  nullptr};
#endif

// 3. The module object with the server lock count.
SHVConfigModule g_module;

// 4. Clean-up of the trace configuration, should one have been installed.
static AtUnload g_traceLogCleanUp{DestroyTraceLogConfig};

// 5. The runtime library's late-bound system functions; building them loads no module.
static RuntimeStage g_lateBoundTable{"late-bound functions", late_bound_table_create, late_bound_table_destroy};
