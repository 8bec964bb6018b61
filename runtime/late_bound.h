// Late-bound system functions. An entry names a module and one of its exports and
// finds the function the first time it is asked for, so that the library can use
// functions older Windows releases lack, and maps a module only when something uses it.
//
//     late_bound_t<decltype(::GetNativeSystemInfo)> entry("kernel32.dll", "GetNativeSystemInfo");
//     if (entry.available())
//         entry.get()(&info);
//     else
//         ... fall back ...
#pragma once

#include "syncers.h"

#include <windows.h>

#include <memory>
#include <type_traits>

// An entry without its function's type. Resolution happens once, on the first
// available() or address() from any thread, under the entry's own lock: the module is
// loaded and the export looked up. Whatever that gives stays for the entry's life; a
// failed load or lookup is never retried and reported by nothing but a null address.
class late_bound_entry_t
{
public:
    // Copies both names (null is taken as "") and loads nothing. Throws std::bad_alloc
    // when the copies cannot be made and sync_exception_shell_t ("cannot initialize
    // critical section") when the lock cannot be created; no entry exists then.
    late_bound_entry_t(const char* module_name, const char* function_name);
    // Frees the module when the entry loaded one (also when its export was missing).
    ~late_bound_entry_t();
    late_bound_entry_t(const late_bound_entry_t&) = delete;
    late_bound_entry_t& operator=(const late_bound_entry_t&) = delete;

    // The function's address, resolving first if needed; null when the module cannot
    // be loaded or lacks the export.
    FARPROC address() noexcept;
    // Whether address() is non-null.
    bool available() noexcept { return address() != nullptr; }

    const char* module_name() const noexcept { return m_module_name.get(); }
    const char* function_name() const noexcept { return m_function_name.get(); }
    // Whether resolution has happened, and the module it loaded (null: none). Neither
    // resolves.
    bool attempted() noexcept;
    HMODULE module() noexcept;

private:
    std::unique_ptr<char[]> m_module_name;
    std::unique_ptr<char[]> m_function_name;
    HMODULE m_module = nullptr;
    FARPROC m_function = nullptr;
    bool m_attempted = false;
    critical_section_t m_lock; // guards the three fields above
};

// An entry for a function of type Signature, such as decltype(::GetProductInfo).
template <class Signature> class late_bound_t : public late_bound_entry_t
{
    static_assert(std::is_function_v<Signature>, "late_bound_t takes a function type");

public:
    using late_bound_entry_t::late_bound_entry_t;

    // The function, resolving first if needed; null when it is not available.
    Signature* get() noexcept { return reinterpret_cast<Signature*>(reinterpret_cast<void (*)()>(address())); }
    explicit operator bool() noexcept { return available(); }
};

// --- Test seams ---------------------------------------------------------------------
// Process-wide replacements of a system function the library calls, for tests that need
// the call to fail or want to watch it; nothing else installs one. Every seam of the
// library behaves alike: null restores the system's function, and the call returns the
// function installed before (the system's own when none was), never null.

// What an entry calls to load its module: LoadLibraryA with the name exactly as given.
using late_bound_loader_t = HMODULE(WINAPI*)(LPCSTR module_name);
late_bound_loader_t set_late_bound_loader_for_testing(late_bound_loader_t loader) noexcept;
