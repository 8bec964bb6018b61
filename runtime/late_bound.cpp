#include "late_bound.h"

#include <atomic>
#include <cstring>

namespace
{
// Null: LoadLibraryA, whose address the import table gives only at run time.
std::atomic<late_bound_loader_t> g_loader{nullptr};

std::unique_ptr<char[]> duplicate(const char* text)
{
    if (text == nullptr)
    {
        text = "";
    }
    const std::size_t size = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new char[size]);
    std::memcpy(copy.get(), text, size);
    return copy;
}
} // namespace

late_bound_loader_t set_late_bound_loader_for_testing(late_bound_loader_t loader) noexcept
{
    const late_bound_loader_t previous = g_loader.exchange(loader);
    return previous != nullptr ? previous : LoadLibraryA;
}

late_bound_entry_t::late_bound_entry_t(const char* module_name, const char* function_name)
    : m_module_name(duplicate(module_name)), m_function_name(duplicate(function_name))
{
}

late_bound_entry_t::~late_bound_entry_t()
{
    if (m_module != nullptr)
    {
        FreeLibrary(m_module);
    }
}

FARPROC late_bound_entry_t::address() noexcept
{
    lock_guard_t guard(&m_lock);
    if (!m_attempted)
    {
        m_attempted = true;
        const late_bound_loader_t loader = g_loader.load();
        m_module = loader != nullptr ? loader(m_module_name.get()) : LoadLibraryA(m_module_name.get());
        if (m_module != nullptr)
        {
            m_function = GetProcAddress(m_module, m_function_name.get());
        }
    }
    return m_function;
}

bool late_bound_entry_t::attempted() noexcept
{
    lock_guard_t guard(&m_lock);
    return m_attempted;
}

HMODULE late_bound_entry_t::module() noexcept
{
    lock_guard_t guard(&m_lock);
    return m_module;
}
