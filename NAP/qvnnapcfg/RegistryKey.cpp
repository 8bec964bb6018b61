#include "RegistryKey.h"

#include "Win32Result.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace
{
constexpr DWORD StringBufferBytes = 2048;
} // namespace

RegistryKey::RegistryKey() : m_status(RegCreateKeyW(HKEY_LOCAL_MACHINE, SettingsKeyPath, &m_key)) {}

RegistryKey::~RegistryKey()
{
    if (IsOpen())
    {
        RegCloseKey(m_key);
    }
}

HRESULT RegistryKey::OpenResult() const
{
    return HResultFromStatus(m_status);
}

bool RegistryKey::ReadDword(const wchar_t* name, std::uint32_t& field) const
{
    if (!IsOpen())
    {
        return false;
    }
    // Query into a scratch buffer and copy only the bytes the value holds: some
    // registry implementations terminate short string data inside the buffer.
    BYTE value[sizeof(field)] = {};
    DWORD size = sizeof(value);
    if (RegQueryValueExW(m_key, name, nullptr, nullptr, value, &size) != ERROR_SUCCESS)
    {
        return false;
    }
    std::memcpy(&field, value, std::min<DWORD>(size, sizeof(field)));
    return true;
}

bool RegistryKey::ReadString(const wchar_t* name, std::wstring& text) const
{
    if (!IsOpen())
    {
        return false;
    }
    wchar_t buffer[StringBufferBytes / sizeof(wchar_t)] = {};
    DWORD size = StringBufferBytes;
    if (RegQueryValueExW(m_key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
    {
        return false;
    }
    // The data need not be terminated; never read past what the registry returned.
    const std::size_t units = size / sizeof(wchar_t);
    text.assign(buffer, wcsnlen(buffer, units));
    return true;
}

HRESULT RegistryKey::WriteDword(const wchar_t* name, std::uint32_t value) const
{
    if (!IsOpen())
    {
        return OpenResult();
    }
    return HResultFromStatus(
        RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

HRESULT RegistryKey::WriteString(const wchar_t* name, const std::wstring& text) const
{
    if (!IsOpen())
    {
        return OpenResult();
    }
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return HResultFromStatus(
        RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes));
}
