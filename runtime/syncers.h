// The runtime library's locks: one lock interface with a critical section, a kernel
// mutex and a null lock behind it, a scope guard, and the process-wide table of atomic
// operations. Every lock either succeeds or blocks until it does: no try-lock, no
// time-outs, no shared mode.
#pragma once

#include "types.h"

#include <windows.h>

#include <cstdint>

// An exclusive lock. The real locks are recursive for the owning thread: it may lock
// again without blocking and must unlock as often as it locked. Unlocking a lock the
// thread does not hold is not allowed.
class if_lock_t : public virtual if_root_t
{
public:
    // Forwards to lock() and returns its result.
    virtual std::uint32_t acquire() noexcept { return lock(); }
    // Blocks until the lock is held. 0 (WAIT_OBJECT_0) means held; see each class.
    virtual std::uint32_t lock() noexcept = 0;
    // Releases one level of holding; true unless the system refused.
    virtual bool unlock() noexcept = 0;
};

// A Win32 critical section.
class critical_section_t : public if_lock_t, public virtual noncopyable_t
{
public:
    // Raises sync_exception_shell_t ("cannot initialize critical section") when the
    // section cannot be initialized; no object exists then.
    critical_section_t();
    ~critical_section_t() override;

    std::uint32_t lock() noexcept override; // always 0
    bool unlock() noexcept override;        // always true

private:
    CRITICAL_SECTION m_section;
};

// An unnamed kernel mutex: synchronizes the threads of this process only.
class mutex_t : public if_lock_t, public virtual noncopyable_t
{
public:
    // Raises sync_exception_shell_t ("cannot initialize mutex because of <error>") when
    // the mutex cannot be created; no object exists then.
    mutex_t();
    ~mutex_t() override;

    // The wait result: 0 when acquired, 0x80 (WAIT_ABANDONED) when acquired from an owner
    // thread that ended without unlocking, WAIT_FAILED otherwise.
    std::uint32_t lock() noexcept override;
    bool unlock() noexcept override; // ReleaseMutex's result

private:
    HANDLE m_handle;
};

// A lock that does nothing: lock() returns 0 and unlock() true at once, on any thread.
class log_mutex_t : public if_lock_t
{
public:
    std::uint32_t lock() noexcept override { return 0; }
    bool unlock() noexcept override { return true; }
};

// Holds a lock for one scope: locks at construction, unlocks at destruction (normal exit
// or unwinding). A null lock is ignored.
class lock_guard_t
{
public:
    explicit lock_guard_t(if_lock_t* lock) noexcept : m_lock(lock)
    {
        if (m_lock != nullptr)
        {
            m_lock->lock();
        }
    }
    ~lock_guard_t()
    {
        if (m_lock != nullptr)
        {
            m_lock->unlock();
        }
    }
    lock_guard_t(const lock_guard_t&) = delete;
    lock_guard_t& operator=(const lock_guard_t&) = delete;

private:
    if_lock_t* m_lock;
};

// The process-wide atomic operations. Each returns what it describes and acts as a full
// barrier; arithmetic wraps around without error.
struct atomic_ops_t
{
    // Previous content; value is stored only when the previous content equals comparand.
    LONG (*compare_exchange32)(volatile LONG* target, LONG comparand, LONG value);
    // Previous content; value stored.
    LONG (*exchange32)(volatile LONG* target, LONG value);
    // Previous content; content increased by addend.
    LONG (*fetch_add32)(volatile LONG* target, LONG addend);
    // Content increased by addend; true when the new content is not zero.
    bool (*add_test32)(volatile LONG* target, LONG addend);
    LONG64 (*compare_exchange64)(volatile LONG64* target, LONG64 comparand, LONG64 value);
    LONG64 (*exchange64)(volatile LONG64* target, LONG64 value);
    LONG64 (*fetch_add64)(volatile LONG64* target, LONG64 addend);
    bool (*add_test64)(volatile LONG64* target, LONG64 addend);
    const char* name;
};

// The two sets. The lock-based one ("undefined") runs each operation under a critical
// section of its own (see atomic_ops_lock_create) and is correct only among its own
// users; the interlocked one ("Windows default") is one processor instruction each.
extern const atomic_ops_t lock_based_atomic_ops;
extern const atomic_ops_t interlocked_atomic_ops;

// The process-wide table. It holds the lock-based set until
// atomic_ops_install_interlocked() runs during module load, before any other thread can
// use it, and the interlocked set from then on.
const atomic_ops_t& atomic_ops() noexcept;

// Creates the lock-based set's critical section; false when it cannot be created. Until
// it exists the lock-based operations use the interlocked instructions.
bool atomic_ops_lock_create() noexcept;
// Deletes that critical section. The lock-based set must not be in use.
void atomic_ops_lock_destroy() noexcept;
// Switches the table to the interlocked set. Not to be called while other threads use
// the table. Returns true.
bool atomic_ops_install_interlocked() noexcept;

// The default logging lock: a process-wide log_mutex_t that callers of the global logger
// hold around each line. Null before default_logging_lock_create() and after
// default_logging_lock_destroy().
if_lock_t* default_logging_lock() noexcept;
bool default_logging_lock_create() noexcept; // false when out of memory
void default_logging_lock_destroy() noexcept;

// --- Test seams ---------------------------------------------------------------------
// Process-wide replacements of the system calls that create the locks' objects, for
// tests that need creation to fail; nothing else installs one. As every seam of the
// library: null restores the system's function, and the call returns the function
// installed before (the system's own when none was), never null.
using critical_section_initializer_t = BOOL(WINAPI*)(LPCRITICAL_SECTION section, DWORD spin_count);
using mutex_creator_t = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCSTR name);
critical_section_initializer_t set_critical_section_initializer_for_testing(
    critical_section_initializer_t initializer) noexcept;
mutex_creator_t set_mutex_creator_for_testing(mutex_creator_t creator) noexcept;
