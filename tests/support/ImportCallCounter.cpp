#include "support/ImportCallCounter.h"

#include <objbase.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace
{
enum class Kind
{
    RegistryOpen,
    RegistryRead,
    RegistryWrite,
    RegistryClose,
    Allocation,
    Lock,
};

// Every counted function: (DLL, function, kind). Functions the module does not import
// are tried all the same and stay unhooked.
#define QVN_COUNTED_IMPORTS(X)                                                                                         \
    X("advapi32.dll", RegCreateKeyW, RegistryOpen)                                                                     \
    X("advapi32.dll", RegCreateKeyExW, RegistryOpen)                                                                   \
    X("advapi32.dll", RegCreateKeyExA, RegistryOpen)                                                                   \
    X("advapi32.dll", RegOpenKeyW, RegistryOpen)                                                                       \
    X("advapi32.dll", RegOpenKeyExW, RegistryOpen)                                                                     \
    X("advapi32.dll", RegOpenKeyExA, RegistryOpen)                                                                     \
    X("advapi32.dll", RegQueryValueExW, RegistryRead)                                                                  \
    X("advapi32.dll", RegQueryValueExA, RegistryRead)                                                                  \
    X("advapi32.dll", RegGetValueW, RegistryRead)                                                                      \
    X("advapi32.dll", RegQueryInfoKeyW, RegistryRead)                                                                  \
    X("advapi32.dll", RegEnumKeyExW, RegistryRead)                                                                     \
    X("advapi32.dll", RegEnumValueW, RegistryRead)                                                                     \
    X("advapi32.dll", RegSetValueExW, RegistryWrite)                                                                   \
    X("advapi32.dll", RegSetValueExA, RegistryWrite)                                                                   \
    X("advapi32.dll", RegDeleteKeyW, RegistryWrite)                                                                    \
    X("advapi32.dll", RegDeleteValueW, RegistryWrite)                                                                  \
    X("advapi32.dll", RegDeleteTreeW, RegistryWrite)                                                                   \
    X("advapi32.dll", RegCloseKey, RegistryClose)                                                                      \
    X("msvcrt.dll", malloc, Allocation)                                                                                \
    X("msvcrt.dll", calloc, Allocation)                                                                                \
    X("msvcrt.dll", realloc, Allocation)                                                                               \
    X("msvcrt.dll", _strdup, Allocation)                                                                               \
    X("kernel32.dll", HeapAlloc, Allocation)                                                                           \
    X("kernel32.dll", HeapReAlloc, Allocation)                                                                         \
    X("kernel32.dll", LocalAlloc, Allocation)                                                                          \
    X("kernel32.dll", GlobalAlloc, Allocation)                                                                         \
    X("ole32.dll", CoTaskMemAlloc, Allocation)                                                                         \
    X("ole32.dll", CoTaskMemRealloc, Allocation)                                                                       \
    X("kernel32.dll", EnterCriticalSection, Lock)                                                                      \
    X("kernel32.dll", TryEnterCriticalSection, Lock)                                                                   \
    X("kernel32.dll", AcquireSRWLockExclusive, Lock)                                                                   \
    X("kernel32.dll", AcquireSRWLockShared, Lock)                                                                      \
    X("kernel32.dll", WaitForSingleObject, Lock)                                                                       \
    X("kernel32.dll", WaitForSingleObjectEx, Lock)                                                                     \
    X("kernel32.dll", WaitForMultipleObjects, Lock)                                                                    \
    X("kernel32.dll", WaitForMultipleObjectsEx, Lock)

#define QVN_IMPORT_INDEX(dll, function, kind) Index_##function,
enum ImportIndex
{
    QVN_COUNTED_IMPORTS(QVN_IMPORT_INDEX) ImportCount
};
#undef QVN_IMPORT_INDEX

std::atomic<long> g_calls[ImportCount];
void* g_originals[ImportCount];
std::atomic<bool> g_counterAlive{false};
std::array<std::atomic<LSTATUS>, 16> g_setValueFailures; // [n - 1]: what the n-th RegSetValueExW returns, or 0

// The stand-in for import Index with the function's own signature: counts, then calls
// the system's function, or fails a RegSetValueExW chosen to fail. (x64 has one calling
// convention, so WINAPI and the C runtime's functions share this form.)
template <std::size_t Index, class Signature> struct Counting;

template <std::size_t Index, class Result, class... Arguments> struct Counting<Index, Result(Arguments...)>
{
    static Result Call(Arguments... arguments)
    {
        const long number = g_calls[Index].fetch_add(1, std::memory_order_relaxed) + 1;
        if constexpr (Index == Index_RegSetValueExW)
        {
            if (number <= 16 && g_setValueFailures[number - 1] != ERROR_SUCCESS)
            {
                return g_setValueFailures[number - 1];
            }
        }
        return reinterpret_cast<Result (*)(Arguments...)>(g_originals[Index])(arguments...);
    }
};

template <std::size_t Index, class Result, class... Arguments>
struct Counting<Index, Result(Arguments...) noexcept> : Counting<Index, Result(Arguments...)>
{
};

struct Row
{
    const char* dll;
    const char* function;
    Kind kind;
    const void* standIn;
};

// The C runtime's allocators carry attributes (malloc, alloc_size) that a function type
// used as a template argument cannot keep; the stand-ins do not need them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
#define QVN_IMPORT_ROW(dll, function, kind)                                                                            \
    {dll, #function, Kind::kind, reinterpret_cast<const void*>(&Counting<Index_##function, decltype(function)>::Call)},
const Row g_rows[ImportCount] = {QVN_COUNTED_IMPORTS(QVN_IMPORT_ROW)};
#undef QVN_IMPORT_ROW
#pragma GCC diagnostic pop
} // namespace

ImportCallCounter::ImportCallCounter(const char* moduleName)
{
    if (g_counterAlive.exchange(true))
    {
        throw std::logic_error("only one ImportCallCounter at a time");
    }
    Reset();
    for (std::size_t i = 0; i < ImportCount; ++i)
    {
        const Row& row = g_rows[i];
        g_originals[i] = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(row.dll), row.function));
        if (g_originals[i] == nullptr)
        {
            continue; // the system lacks it, so no module can import it
        }
        auto hook = std::make_unique<ApiHook>(row.standIn, row.dll, row.function, moduleName, api_hook_ignore);
        if (hook->installed())
        {
            m_hooked.push_back(std::string(row.dll) + "!" + row.function);
            m_hooks.push_back(std::move(hook));
        }
    }
}

ImportCallCounter::~ImportCallCounter()
{
    // Restore in reverse order, as stacked hooks require.
    while (!m_hooks.empty())
    {
        m_hooks.pop_back();
    }
    g_counterAlive = false;
}

void ImportCallCounter::Reset()
{
    for (std::atomic<long>& calls : g_calls)
    {
        calls = 0;
    }
    std::fill(g_setValueFailures.begin(), g_setValueFailures.end(), ERROR_SUCCESS);
}

void ImportCallCounter::FailSetValue(int number, LSTATUS error)
{
    g_setValueFailures.at(static_cast<std::size_t>(number - 1)) = error;
}

ImportCallCounts ImportCallCounter::Counts() const
{
    ImportCallCounts counts;
    for (std::size_t i = 0; i < ImportCount; ++i)
    {
        const long calls = g_calls[i].load();
        switch (g_rows[i].kind)
        {
        case Kind::RegistryOpen:
            counts.registryOpens += calls;
            break;
        case Kind::RegistryRead:
            counts.registryReads += calls;
            break;
        case Kind::RegistryWrite:
            counts.registryWrites += calls;
            break;
        case Kind::RegistryClose:
            counts.registryCloses += calls;
            break;
        case Kind::Allocation:
            counts.allocations += calls;
            break;
        case Kind::Lock:
            counts.locks += calls;
            break;
        }
    }
    return counts;
}

std::vector<std::string> ImportCallCounter::Hooked() const
{
    return m_hooked;
}
