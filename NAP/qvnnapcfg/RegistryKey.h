// Scoped access to the settings key HKEY_LOCAL_MACHINE\Software\Quorvane\ZARUZARA\Settings.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

inline constexpr const wchar_t* SettingsKeyPath = L"Software\\Quorvane\\ZARUZARA\\Settings";

// Opens (creating it when absent) the settings key for the lifetime of the object, with
// the access the caller has: a key that can only be read still opens. Every operation
// fails when the key could not be opened.
class RegistryKey
{
public:
    RegistryKey();
    ~RegistryKey();

    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool IsOpen() const { return m_status == ERROR_SUCCESS; }
    // S_OK when the key is open, else the HRESULT of the Win32 error that kept it closed.
    HRESULT OpenResult() const;

    // Reads a value of any type holding at most 4 bytes into the field, byte for byte:
    // a shorter value replaces only the field's leading bytes. Returns false, leaving
    // the field unchanged, when the value is missing, longer or unreadable.
    bool ReadDword(const wchar_t* name, std::uint32_t& field) const;

    // Reads a value of any type holding at most 2048 bytes as text up to its first NUL
    // (at most 1024 characters). Returns false, leaving the text unchanged, otherwise.
    bool ReadString(const wchar_t* name, std::wstring& text) const;

    // Write REG_DWORD, or REG_SZ with the terminator. S_OK, or the HRESULT of the Win32
    // error of the write (OpenResult() when the key is not open).
    HRESULT WriteDword(const wchar_t* name, std::uint32_t value) const;
    HRESULT WriteString(const wchar_t* name, const std::wstring& text) const;

private:
    HKEY m_key = nullptr;
    LSTATUS m_status;
};
