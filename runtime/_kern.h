// The thread engine's process-wide state that the logger reads: the thread-information
// slot and the default thread name.
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

// Creates the process-wide default thread name "noname"; false when out of memory.
bool default_thread_name_create() noexcept;
void default_thread_name_destroy() noexcept;

// The calling thread's name: the name in its information record when the slot holds
// one, else the default thread name. Valid until that record or the default name goes
// away. Leaves the thread's last error unchanged. Never fails: "noname" when neither
// exists.
const char* current_thread_name() noexcept;
