#include "_kern.h"

#include "exceptions.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace
{
std::atomic<DWORD> g_thread_info_slot{TLS_OUT_OF_INDEXES};
std::atomic<std::string*> g_default_thread_name{nullptr};
} // namespace

bool thread_info_slot_reserve()
{
    if (g_thread_info_slot.load() != TLS_OUT_OF_INDEXES)
    {
        return true;
    }
    const DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES)
    {
        d_exception_t_shell_t shell;
        shell.message() = "cannot initialize thread engine";
        raise_exception(shell, "_kern", 318, nullptr);
    }
    g_thread_info_slot.store(slot);
    return true;
}

void thread_info_slot_release() noexcept
{
    const DWORD slot = g_thread_info_slot.exchange(TLS_OUT_OF_INDEXES);
    if (slot != TLS_OUT_OF_INDEXES)
    {
        TlsFree(slot);
    }
}

std::uint32_t thread_info_slot() noexcept
{
    return g_thread_info_slot.load();
}

bool default_thread_name_create() noexcept
{
    if (g_default_thread_name.load() != nullptr)
    {
        return true;
    }
    std::string* name = new (std::nothrow) std::string;
    if (name == nullptr)
    {
        return false;
    }
    *name = "noname"; // fits the string's own room: no allocation
    g_default_thread_name.store(name);
    return true;
}

void default_thread_name_destroy() noexcept
{
    delete g_default_thread_name.exchange(nullptr);
}

const char* current_thread_name() noexcept
{
    const DWORD slot = g_thread_info_slot.load();
    if (slot != TLS_OUT_OF_INDEXES)
    {
        // TlsGetValue clears the last error; a caller logging a failure still needs it.
        const DWORD last_error = GetLastError();
        const auto* info = static_cast<const thread_info_t*>(TlsGetValue(slot));
        SetLastError(last_error);
        if (info != nullptr)
        {
            return info->name.c_str();
        }
    }
    const std::string* name = g_default_thread_name.load();
    return name != nullptr ? name->c_str() : "noname";
}
