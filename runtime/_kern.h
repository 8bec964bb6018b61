// The thread engine's process-wide state: the two per-thread slots (the logger reads
// the thread-information slot), the default thread name, and the library's banner.
#pragma once

#include <cstdint>
#include <string>

// What the thread engine keeps about a thread, in the thread-information slot.
struct thread_info_t
{
    std::string name; // shown in log lines
};

// Reserves the thread-information slot (a TLS index, empty on every thread). Returns
// true, or raises d_exception_t_shell_t ("cannot initialize thread engine") when no TLS
// index is left. Harmless when the slot is already reserved.
bool thread_info_slot_reserve();
// Gives the slot back; harmless when none is held.
void thread_info_slot_release() noexcept;
// The slot's TLS index, or TLS_OUT_OF_INDEXES when none is held.
std::uint32_t thread_info_slot() noexcept;

// The thread engine's second per-thread slot: reserved with the first, used by nothing
// in this module. Same contracts as the thread-information slot above.
bool thread_extra_slot_reserve();
void thread_extra_slot_release() noexcept;
std::uint32_t thread_extra_slot() noexcept;

// Creates the process-wide default thread name "noname"; false when out of memory.
bool default_thread_name_create() noexcept;
void default_thread_name_destroy() noexcept;

// The calling thread's name: the name in its information record when the slot holds
// one, else the default thread name. Valid until that record or the default name goes
// away. Leaves the thread's last error unchanged. Never fails: "noname" when neither
// exists.
const char* current_thread_name() noexcept;

// Readies the common controls (InitCommonControls) for the module's dialogs. Returns
// true; the call cannot fail.
bool common_controls_start() noexcept;

// Builds the library's identification banner, "Quorvane runtime (WinNT 6.0/x64)": no
// line end, printed by nothing in this module. False when out of memory. Harmless
// when the banner exists already.
bool banner_create() noexcept;
// Releases the banner; harmless when there is none.
void banner_destroy() noexcept;
// The banner, or null outside the time between banner_create and banner_destroy.
const char* banner() noexcept;
