// One move-only owner for every kind of Windows handle, parameterised by the function
// that closes it, so that each kind is an alias here rather than a class of its own.
#pragma once

#include <windows.h>

#include <utility>

template <class Handle, auto CloseFunction> class UniqueHandle
{
public:
    using CloseResult = decltype(CloseFunction(Handle{}));

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : m_handle(handle) {}
    ~UniqueHandle() { Close(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
        {
            Close();
            m_handle = other.Release();
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }

    // For the out parameter of an open or create call; closes what was held before.
    Handle* Put() noexcept
    {
        Close();
        return &m_handle;
    }

    // Gives up ownership without closing.
    Handle Release() noexcept { return std::exchange(m_handle, nullptr); }

    // Closes what is held and answers what the close function answered; with nothing
    // held it answers a value-initialised result (ERROR_SUCCESS for registry keys).
    CloseResult Close() noexcept { return m_handle != nullptr ? CloseFunction(Release()) : CloseResult{}; }

private:
    Handle m_handle = nullptr;
};

using UniqueRegistryKey = UniqueHandle<HKEY, &RegCloseKey>;
using UniqueModule = UniqueHandle<HMODULE, &FreeLibrary>;
