// The order in which the module's process-wide objects are built when the DLL loads
// and destroyed when it unloads. This file is the only place that order is defined:
// C++ builds the objects of one translation unit in the order they are written and
// destroys them in reverse, whatever order the linker gives the units. Every other
// unit keeps its process-wide state constant-initialised (plain pointers, flags).
#include "SHVConfig.h"
#include "SHVConfigModule.h"
#include "TraceLog.h"

namespace
{
ClassEntry* const g_classEntries[] = {&g_shvConfigClassEntry};

// Runs a clean-up function when the module unloads.
struct AtUnload
{
    void (*cleanUp)();
    ~AtUnload() { cleanUp(); }
};
} // namespace

// 1. Module records: the class table first, so it is torn down last and releases the
//    cached class factories after everything else is gone.
ClassTable g_classTable(std::begin(g_classEntries), std::end(g_classEntries));
BaseModuleRecord g_baseModule;
static WindowClassRecord g_windowClasses;

// 2. The module object with the server lock count.
SHVConfigModule g_module;

// 3. Clean-up of the trace configuration, should one have been installed.
static AtUnload g_traceLogCleanUp{DestroyTraceLogConfig};
