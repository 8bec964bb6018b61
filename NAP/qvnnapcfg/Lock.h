// The configurator's own re-entrant lock and its scope guard.
#pragma once

#include <windows.h>

#include <atomic>

namespace System::Threading
{

// A critical section. Re-entrant: the owning thread may Enter again and must
// Leave as often as it entered. Used by the settings record and the trace writer.
class Lock
{
public:
    Lock() { InitializeCriticalSection(&m_section); }
    virtual ~Lock() { DeleteCriticalSection(&m_section); }

    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    virtual void Enter() { EnterCriticalSection(&m_section); }
    virtual void Leave() { LeaveCriticalSection(&m_section); }

    // Whether the calling thread holds the lock; for assertions. The section records its
    // owner's thread id.
    bool IsHeldByCurrentThread() const noexcept
    {
        return reinterpret_cast<ULONG_PTR>(m_section.OwningThread) == GetCurrentThreadId();
    }

private:
    CRITICAL_SECTION m_section;
};

// Holds a Lock from construction to destruction. The pointer is cleared with an
// atomic exchange so that the lock is left exactly once.
class ScopedLock
{
public:
    explicit ScopedLock(Lock* lock) : m_lock(lock) { lock->Enter(); }
    ~ScopedLock()
    {
        if (Lock* lock = m_lock.exchange(nullptr))
        {
            lock->Leave();
        }
    }

    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    std::atomic<Lock*> m_lock;
};

} // namespace System::Threading
