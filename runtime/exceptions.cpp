#include "exceptions.h"

#include "types.h"

#include <windows.h>

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

// Throws and catches once, so that the C++ runtime sets up what throwing needs.
[[gnu::noinline]] void prepare_exception_runtime() noexcept
{
    try
    {
        throw 0;
    }
    catch (int)
    {
    }
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

d_exception_t_shell_t::d_exception_t_shell_t(d_exception_t_shell_t&& other)
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
        exception.release();
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
    const DWORD slot = TlsAlloc();
    // The C++ runtime of this module takes a TLS index of its own when it first throws,
    // and ends the process if none is left. Let it take one now, while one is known to
    // be free, so that every later raise, on any thread, can be thrown and caught.
    const DWORD probe = slot != TLS_OUT_OF_INDEXES ? TlsAlloc() : TLS_OUT_OF_INDEXES;
    if (probe == TLS_OUT_OF_INDEXES)
    {
        if (slot != TLS_OUT_OF_INDEXES)
        {
            TlsFree(slot);
        }
        std::fputs("Cannot initialize exception engine", stdout);
        std::fflush(stdout);
        return false;
    }
    TlsFree(probe);
    prepare_exception_runtime();
    g_scope_slot.store(slot);
    return true;
}

void exception_engine_stop() noexcept
{
    const DWORD slot = g_scope_slot.exchange(TLS_OUT_OF_INDEXES);
    if (slot != TLS_OUT_OF_INDEXES)
    {
        TlsFree(slot);
    }
}

std::uint32_t exception_engine_slot() noexcept
{
    return g_scope_slot.load();
}
