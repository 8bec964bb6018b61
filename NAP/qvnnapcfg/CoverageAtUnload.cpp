// Linked into the DLL of the coverage build only (QVN_COVERAGE), with the linker's
// --wrap=__gcov_exit: the counters are written once, at the very end of process detach,
// so that what runs while the DLL unloads counts too.
//
// Without it they are written too early: each instrumented object has a destructor
// function that writes them (__gcov_exit), and the C runtime registers those functions
// with atexit after the DLL's constructors have registered the destructors of its static
// objects; atexit runs the last registered first, so the static objects' destructors
// ran after the counters were written.
#include <cstdlib>

// The early write, replaced: it does nothing. The linker's --wrap gives the name.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" void __wrap___gcov_exit() {}

// libgcov's own dump without its lock. The lock (a winpthreads mutex set up through
// pthread_once) takes a TLS index at first use that nothing gives back, so every load of
// the DLL would cost the process one index (the 2,000-load test runs out at about the
// 1,060th) and, with none free, winpthreads aborts the process. At the end of process
// detach the loader lock already keeps every other dump out.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): libgcov's name
extern "C" void __gcov_dump_int();

namespace
{
void WriteCounters()
{
    __gcov_dump_int();
}

// The first of the DLL's constructors: the handler it registers runs after every other.
__attribute__((constructor(101))) void RegisterFirst()
{
    std::atexit(WriteCounters);
}
} // namespace
