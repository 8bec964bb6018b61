#include "exceptions.h"

#include "types.h"

#include <windows.h>

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace
{
const char set_reason_fallback[] = "d_exception_t::set_reason failed because of exception";

// A heap copy of text, or null for null text.
std::unique_ptr<char[]> copy_text(const char* text)
{
    if (text == nullptr)
    {
        return nullptr;
    }
    const std::size_t size = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new char[size]);
    std::memcpy(copy.get(), text, size);
    return copy;
}

// The C++ runtime's per-thread exception state: the stack of caught exceptions and the
// count of uncaught ones.
//
// Why the engine keeps it: libstdc++ keeps this state in emulated thread-local storage,
// which on this toolchain comes from the statically linked thread library: it takes a
// TLS index and two handles for the first thread that throws and never gives them back
// when the module unloads, so a host that unloads idle servers and loads them again runs
// out of TLS indexes after about a thousand cycles and ends. The engine therefore
// replaces libstdc++'s __cxa_get_globals and __cxa_get_globals_fast (below) and keeps
// the state itself, in a fiber-local slot it reserves at start and frees at stop. The
// slot's callback frees a thread's record when the thread ends; freeing the slot frees
// the records of the threads still running.
//
// What would break it: the runtime reads and writes this record as its own struct
// __cxa_eh_globals (libsupc++'s unwind-cxx.h, a header the toolchain does not install),
// so the layout here is a hand copy. A libstdc++ that adds, removes or reorders a field
// corrupts exception handling silently; a toolchain that stops resolving the runtime's
// calls to these definitions (another name, or its own eh_globals.o linked in besides)
// brings the leak back. Both fail the build instead: cmake/CxxRuntimeLayout.cmake reads
// the size and alignment of the runtime's own record from the toolchain's libstdc++.a
// for the static_assert below, <cxxabi.h> checks the functions' declarations, and the
// test dll_links_no_runtime_exception_state (tests/check-eh-globals.sh) fails when
// libstdc++'s record is linked into the DLL.
struct eh_state_t
{
    void* caught_exceptions;
    unsigned int uncaught_exceptions;
};
static_assert(sizeof(eh_state_t) == QVN_CXA_EH_GLOBALS_SIZE && alignof(eh_state_t) == QVN_CXA_EH_GLOBALS_ALIGN,
              "libstdc++'s __cxa_eh_globals changed: see the comment above");

std::atomic<DWORD> g_eh_state_slot{FLS_OUT_OF_INDEXES};

void WINAPI free_eh_state(void* state) noexcept
{
    HeapFree(GetProcessHeap(), 0, state);
}

eh_state_t* current_eh_state() noexcept
{
    const DWORD slot = g_eh_state_slot.load(std::memory_order_acquire);
    if (slot != FLS_OUT_OF_INDEXES)
    {
        // Handlers may read the last error of the failure that made them run.
        const DWORD last_error = GetLastError();
        auto* state = static_cast<eh_state_t*>(FlsGetValue(slot));
        if (state == nullptr)
        {
            state = static_cast<eh_state_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(eh_state_t)));
            if (state != nullptr && !FlsSetValue(slot, state))
            {
                free_eh_state(state);
                state = nullptr;
            }
        }
        SetLastError(last_error);
        if (state != nullptr)
        {
            return state;
        }
    }
    // Before the engine starts, after it stops, and when memory runs out: the runtime's
    // own per-thread storage.
    static thread_local eh_state_t fallback{};
    return &fallback;
}

// The scope chain's per-thread slot; read by any thread once the module is loaded.
std::atomic<DWORD> g_scope_slot{TLS_OUT_OF_INDEXES};
} // namespace

const char* source_name_after_backslash(const char* file) noexcept
{
    if (file == nullptr)
    {
        return "";
    }
    const char* last = std::strrchr(file, '\\');
    return last != nullptr ? last + 1 : file;
}

d_exception_t::d_exception_t(const char* file, std::int32_t line, const char* reason)
    : d_exception_t(file, line, nullptr, reason)
{
}

d_exception_t::d_exception_t(const char* file, std::int32_t line, std::unique_ptr<d_exception_t> cause,
                             const char* reason)
    : m_file(source_name_after_backslash(file)), m_line(line), m_cause(std::move(cause)), m_reason(copy_text(reason))
{
}

d_exception_t::~d_exception_t() = default;

void d_exception_t::set_reason(const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    try
    {
        std::string text;
        string_vprintf(text, format, args);
        m_reason = copy_text(text.c_str());
    }
    catch (...)
    {
        // Raising must always produce a usable text. If even the fallback cannot be
        // allocated, what() falls back to the cause or "NO REASON".
        m_reason.reset(new (std::nothrow) char[sizeof set_reason_fallback]);
        if (m_reason)
        {
            std::memcpy(m_reason.get(), set_reason_fallback, sizeof set_reason_fallback);
        }
    }
    va_end(args);
}

const char* d_exception_t::what() const noexcept
{
    if (m_reason)
    {
        return m_reason.get();
    }
    if (m_cause)
    {
        return m_cause->what();
    }
    return "NO REASON";
}

d_exception_t_shell_t::d_exception_t_shell_t(d_exception_t_shell_t& other)
    : std::exception(other), m_message(other.m_message), m_held(std::move(other.m_held))
{
}

// NOLINTNEXTLINE(performance-noexcept-move-constructor): copies the message, which can throw
d_exception_t_shell_t::d_exception_t_shell_t(d_exception_t_shell_t&& other)
    // NOLINTNEXTLINE(cert-oop11-cpp,performance-move-constructor-init): std::exception holds nothing to move
    : std::exception(other), m_message(other.m_message), m_held(std::move(other.m_held))
{
}

d_exception_t_shell_t::~d_exception_t_shell_t() = default;

void d_exception_t_shell_t::attach(std::unique_ptr<d_exception_t> exception) noexcept
{
    if (exception.get() != m_held.get())
    {
        m_held = std::move(exception);
    }
    else
    {
        // Already held: keep the one owner.
        exception.release(); // NOLINT(bugprone-unused-return-value): owned already, as said
    }
}

void d_exception_t_shell_t::attach(const char* file, std::int32_t line, std::unique_ptr<d_exception_t> cause)
{
    attach(std::make_unique<d_exception_t>(file, line, std::move(cause), nullptr));
    commit();
}

void d_exception_t_shell_t::commit() noexcept
{
    if (!m_held)
    {
        return;
    }
    m_held->set_reason("%s", m_message.c_str());
    clear_string(m_message);
}

const char* d_exception_t_shell_t::what() const noexcept
{
    return m_held ? m_held->what() : "NOTHING: I am cloned shell.";
}

BUG_exception_shell_t::BUG_exception_shell_t(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    try
    {
        string_vprintf(message(), format, args);
    }
    catch (...)
    {
        va_end(args);
        throw;
    }
    va_end(args);
}

void scope_trace_t::enter(const char* file, std::int32_t line, const char* function) noexcept
{
    m_file = source_name_after_backslash(file);
    m_line = line;
    m_function = function != nullptr ? function : "";
}

bool exception_engine_start() noexcept
{
    if (g_scope_slot.load() != TLS_OUT_OF_INDEXES)
    {
        return true;
    }
    const DWORD scope_slot = TlsAlloc();
    const DWORD eh_state_slot = scope_slot != TLS_OUT_OF_INDEXES ? FlsAlloc(free_eh_state) : FLS_OUT_OF_INDEXES;
    if (eh_state_slot == FLS_OUT_OF_INDEXES)
    {
        if (scope_slot != TLS_OUT_OF_INDEXES)
        {
            TlsFree(scope_slot);
        }
        // NOLINTBEGIN(cert-err33-c): a last word, written if it can be
        std::fputs("Cannot initialize exception engine", stdout);
        std::fflush(stdout);
        // NOLINTEND(cert-err33-c)
        return false;
    }
    g_eh_state_slot.store(eh_state_slot, std::memory_order_release);
    g_scope_slot.store(scope_slot);
    return true;
}

void exception_engine_stop() noexcept
{
    const DWORD scope_slot = g_scope_slot.exchange(TLS_OUT_OF_INDEXES);
    if (scope_slot != TLS_OUT_OF_INDEXES)
    {
        TlsFree(scope_slot);
    }
    const DWORD eh_state_slot = g_eh_state_slot.exchange(FLS_OUT_OF_INDEXES);
    if (eh_state_slot != FLS_OUT_OF_INDEXES)
    {
        FlsFree(eh_state_slot);
    }
}

std::uint32_t exception_engine_slot() noexcept
{
    return g_scope_slot.load();
}

// The C++ runtime asks for the calling thread's exception state through these two,
// declared in <cxxabi.h>: a declaration there that differs stops the build here.
namespace __cxxabiv1
{
extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept
{
    return reinterpret_cast<__cxa_eh_globals*>(current_eh_state());
}

extern "C" __cxa_eh_globals* __cxa_get_globals_fast() noexcept
{
    return reinterpret_cast<__cxa_eh_globals*>(current_eh_state());
}
} // namespace __cxxabiv1
