#include "_kern.h"

#include "exceptions.h"
#include "utilities.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <memory>
#include <new>

namespace
{
std::atomic<DWORD> g_thread_info_slot{TLS_OUT_OF_INDEXES};
std::atomic<DWORD> g_thread_extra_slot{TLS_OUT_OF_INDEXES};
std::atomic<std::string*> g_default_thread_name{nullptr};
std::atomic<std::string*> g_banner{nullptr};

// The Windows release and processor the library was built for, as the banner names them.
constexpr std::int32_t built_for_major = 6;
constexpr std::int32_t built_for_minor = 0;

bool reserve_slot(std::atomic<DWORD>& slot)
{
    if (slot.load() != TLS_OUT_OF_INDEXES)
    {
        return true;
    }
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES)
    {
        d_exception_t_shell_t shell;
        shell.message() = "cannot initialize thread engine";
        raise_exception(shell, "_kern", 318, nullptr);
    }
    slot.store(index);
    return true;
}

// A host may unload the module and load it again many times; an index kept would be
// lost to the process for good.
void release_slot(std::atomic<DWORD>& slot) noexcept
{
    const DWORD index = slot.exchange(TLS_OUT_OF_INDEXES);
    if (index != TLS_OUT_OF_INDEXES)
    {
        TlsFree(index);
    }
}
} // namespace

bool thread_info_slot_reserve()
{
    return reserve_slot(g_thread_info_slot);
}

void thread_info_slot_release() noexcept
{
    release_slot(g_thread_info_slot);
}

std::uint32_t thread_info_slot() noexcept
{
    return g_thread_info_slot.load();
}

bool thread_extra_slot_reserve()
{
    return reserve_slot(g_thread_extra_slot);
}

void thread_extra_slot_release() noexcept
{
    release_slot(g_thread_extra_slot);
}

std::uint32_t thread_extra_slot() noexcept
{
    return g_thread_extra_slot.load();
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

bool common_controls_start() noexcept
{
    InitCommonControls();
    return true;
}

bool banner_create() noexcept
{
    if (g_banner.load() != nullptr)
    {
        return true;
    }
    try
    {
        auto text = std::make_unique<std::string>("Quorvane runtime (");
        *text += "WinNT " + int_to_string(built_for_major) + "." + int_to_string(built_for_minor);
        *text += "/x64)";
        g_banner.store(text.release());
        return true;
    }
    catch (...)
    {
        return false;
    }
}

void banner_destroy() noexcept
{
    delete g_banner.exchange(nullptr);
}

const char* banner() noexcept
{
    const std::string* text = g_banner.load();
    return text != nullptr ? text->c_str() : nullptr;
}
