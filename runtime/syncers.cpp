#include "syncers.h"

#include "exceptions.h"

#include <atomic>
#include <new>

namespace
{
// Replacements installed by tests; null means the system's own. (The system functions'
// addresses come from the import table at run time, so they cannot be the constant
// initial values.)
std::atomic<critical_section_initializer_t> g_initialize_section{nullptr};
std::atomic<mutex_creator_t> g_create_mutex{nullptr};

BOOL initialize_section(LPCRITICAL_SECTION section)
{
    const critical_section_initializer_t replacement = g_initialize_section.load();
    return replacement != nullptr ? replacement(section, 0) : InitializeCriticalSectionAndSpinCount(section, 0);
}

HANDLE create_mutex()
{
    const mutex_creator_t replacement = g_create_mutex.load();
    return replacement != nullptr ? replacement(nullptr, FALSE, nullptr) : CreateMutexA(nullptr, FALSE, nullptr);
}

// --- The interlocked set: one locked instruction each, full barrier. ---

LONG interlocked_compare_exchange32(volatile LONG* target, LONG comparand, LONG value)
{
    return InterlockedCompareExchange(target, value, comparand);
}

LONG interlocked_exchange32(volatile LONG* target, LONG value)
{
    return InterlockedExchange(target, value);
}

LONG interlocked_fetch_add32(volatile LONG* target, LONG addend)
{
    return InterlockedExchangeAdd(target, addend);
}

bool interlocked_add_test32(volatile LONG* target, LONG addend)
{
    // Added in unsigned arithmetic: the sum wraps, as the processor's does.
    const auto old = static_cast<ULONG>(InterlockedExchangeAdd(target, addend));
    return old + static_cast<ULONG>(addend) != 0;
}

LONG64 interlocked_compare_exchange64(volatile LONG64* target, LONG64 comparand, LONG64 value)
{
    return InterlockedCompareExchange64(target, value, comparand);
}

LONG64 interlocked_exchange64(volatile LONG64* target, LONG64 value)
{
    return InterlockedExchange64(target, value);
}

LONG64 interlocked_fetch_add64(volatile LONG64* target, LONG64 addend)
{
    return InterlockedExchangeAdd64(target, addend);
}

bool interlocked_add_test64(volatile LONG64* target, LONG64 addend)
{
    const auto old = static_cast<ULONG64>(InterlockedExchangeAdd64(target, addend));
    return old + static_cast<ULONG64>(addend) != 0;
}

// --- The lock-based set: plain accesses under a critical section of its own. ---

CRITICAL_SECTION g_atomic_section;
std::atomic<bool> g_atomic_section_ready{false};

// Holds the set's section for one operation. Before the section exists (and after it is
// gone) every user of the set falls back to the interlocked instructions, so the set's
// users still agree with each other.
class atomic_section_guard_t
{
public:
    atomic_section_guard_t() noexcept : m_locked(g_atomic_section_ready.load())
    {
        if (m_locked)
        {
            EnterCriticalSection(&g_atomic_section);
        }
    }
    ~atomic_section_guard_t()
    {
        if (m_locked)
        {
            LeaveCriticalSection(&g_atomic_section);
        }
    }
    atomic_section_guard_t(const atomic_section_guard_t&) = delete;
    atomic_section_guard_t& operator=(const atomic_section_guard_t&) = delete;

    bool locked() const noexcept { return m_locked; }

private:
    bool m_locked;
};

// Plain read-modify-write in the unsigned type, so that sums wrap without undefined
// behaviour.
template <class cell_t, class unsigned_t> cell_t wrapping_sum(cell_t a, cell_t b)
{
    return static_cast<cell_t>(static_cast<unsigned_t>(a) + static_cast<unsigned_t>(b));
}

// Each lock-based operation works in one cell width; Fallback is the interlocked
// operation of the same width, used while the set's section does not exist.
template <class cell_t, cell_t (*Fallback)(volatile cell_t*, cell_t, cell_t)>
cell_t locked_compare_exchange(volatile cell_t* target, cell_t comparand, cell_t value)
{
    const atomic_section_guard_t guard;
    if (!guard.locked())
    {
        return Fallback(target, comparand, value);
    }
    const cell_t old = *target;
    if (old == comparand)
    {
        *target = value;
    }
    return old;
}

template <class cell_t, cell_t (*Fallback)(volatile cell_t*, cell_t)>
cell_t locked_exchange(volatile cell_t* target, cell_t value)
{
    const atomic_section_guard_t guard;
    if (!guard.locked())
    {
        return Fallback(target, value);
    }
    const cell_t old = *target;
    *target = value;
    return old;
}

template <class cell_t, class unsigned_t, cell_t (*Fallback)(volatile cell_t*, cell_t)>
cell_t locked_fetch_add(volatile cell_t* target, cell_t addend)
{
    const atomic_section_guard_t guard;
    if (!guard.locked())
    {
        return Fallback(target, addend);
    }
    const cell_t old = *target;
    *target = wrapping_sum<cell_t, unsigned_t>(old, addend);
    return old;
}

template <class cell_t, class unsigned_t, bool (*Fallback)(volatile cell_t*, cell_t)>
bool locked_add_test(volatile cell_t* target, cell_t addend)
{
    const atomic_section_guard_t guard;
    if (!guard.locked())
    {
        return Fallback(target, addend);
    }
    const cell_t sum = wrapping_sum<cell_t, unsigned_t>(*target, addend);
    *target = sum;
    return sum != 0;
}
} // namespace

constexpr atomic_ops_t lock_based_atomic_ops = {
    locked_compare_exchange<LONG, interlocked_compare_exchange32>,
    locked_exchange<LONG, interlocked_exchange32>,
    locked_fetch_add<LONG, ULONG, interlocked_fetch_add32>,
    locked_add_test<LONG, ULONG, interlocked_add_test32>,
    locked_compare_exchange<LONG64, interlocked_compare_exchange64>,
    locked_exchange<LONG64, interlocked_exchange64>,
    locked_fetch_add<LONG64, ULONG64, interlocked_fetch_add64>,
    locked_add_test<LONG64, ULONG64, interlocked_add_test64>,
    "undefined",
};

constexpr atomic_ops_t interlocked_atomic_ops = {
    interlocked_compare_exchange32, interlocked_exchange32,         interlocked_fetch_add32,
    interlocked_add_test32,         interlocked_compare_exchange64, interlocked_exchange64,
    interlocked_fetch_add64,        interlocked_add_test64,         "Windows default",
};

namespace
{
// Static data, usable before any load-time code runs (constant-initialised: no code builds it).
// Switched once, at load.
std::atomic<const atomic_ops_t*> g_atomic_ops{&lock_based_atomic_ops};

std::atomic<if_lock_t*> g_default_logging_lock{nullptr};
} // namespace

const atomic_ops_t& atomic_ops() noexcept
{
    return *g_atomic_ops.load();
}

bool atomic_ops_lock_create() noexcept
{
    if (g_atomic_section_ready.load())
    {
        return true;
    }
    if (!InitializeCriticalSectionAndSpinCount(&g_atomic_section, 0))
    {
        return false;
    }
    g_atomic_section_ready.store(true);
    return true;
}

void atomic_ops_lock_destroy() noexcept
{
    if (g_atomic_section_ready.exchange(false))
    {
        DeleteCriticalSection(&g_atomic_section);
    }
}

bool atomic_ops_install_interlocked() noexcept
{
    g_atomic_ops.store(&interlocked_atomic_ops);
    return true;
}

critical_section_t::critical_section_t()
{
    scope_trace_t scope("syncers", 775, "__cdecl critical_section_t::critical_section_t(void)");
    // Unlike InitializeCriticalSection, this form reports a failure to get the section's
    // memory instead of raising a system exception.
    if (!initialize_section(&m_section))
    {
        sync_exception_shell_t shell;
        shell.message() = "cannot initialize critical section";
        raise_exception<sync_exception>(shell, "syncers", 782);
    }
}

critical_section_t::~critical_section_t()
{
    DeleteCriticalSection(&m_section);
}

std::uint32_t critical_section_t::lock() noexcept
{
    EnterCriticalSection(&m_section);
    return 0;
}

bool critical_section_t::unlock() noexcept
{
    LeaveCriticalSection(&m_section);
    return true;
}

mutex_t::mutex_t() : m_handle(create_mutex())
{
    // A mutex without a handle would lock "successfully" without excluding anyone.
    if (m_handle == nullptr)
    {
        sync_exception_shell_t shell;
        string_printf(shell.message(), "cannot initialize mutex because of %s", get_last_error().c_str());
        raise_exception<sync_exception>(shell, "syncers", __LINE__);
    }
}

mutex_t::~mutex_t()
{
    CloseHandle(m_handle);
}

std::uint32_t mutex_t::lock() noexcept
{
    return WaitForSingleObject(m_handle, INFINITE);
}

bool mutex_t::unlock() noexcept
{
    return ReleaseMutex(m_handle) != FALSE;
}

if_lock_t* default_logging_lock() noexcept
{
    return g_default_logging_lock.load();
}

bool default_logging_lock_create() noexcept
{
    if (g_default_logging_lock.load() != nullptr)
    {
        return true;
    }
    if_lock_t* lock = new (std::nothrow) log_mutex_t;
    g_default_logging_lock.store(lock);
    return lock != nullptr;
}

void default_logging_lock_destroy() noexcept
{
    delete g_default_logging_lock.exchange(nullptr);
}

critical_section_initializer_t set_critical_section_initializer_for_testing(
    critical_section_initializer_t initializer) noexcept
{
    const critical_section_initializer_t previous = g_initialize_section.exchange(initializer);
    return previous != nullptr ? previous : InitializeCriticalSectionAndSpinCount;
}

mutex_creator_t set_mutex_creator_for_testing(mutex_creator_t creator) noexcept
{
    const mutex_creator_t previous = g_create_mutex.exchange(creator);
    return previous != nullptr ? previous : CreateMutexA;
}
