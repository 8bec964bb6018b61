// Registry helpers for tests: a scratch root that stands in for a predefined key, and
// direct reads and writes of values.
#pragma once

#include <windows.h>

#include "UniqueHandle.h"

#include <optional>
#include <string>
#include <vector>

// Redirects the given predefined keys of this process (HKEY_LOCAL_MACHINE by default)
// to one fresh key under HKEY_CURRENT_USER\Software\QvnTests for the life of the
// object; restores them and deletes the scratch tree afterwards.
class ScratchRegistry
{
public:
    explicit ScratchRegistry(std::vector<HKEY> redirected = {HKEY_LOCAL_MACHINE});
    ~ScratchRegistry();
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

    // Makes the scratch key's "Software" subkey volatile. Below a volatile key no stored
    // key can be created, so the stored keys under the redirected root's Software (the
    // settings key, say) can no longer be created. Fails the test on error.
    void MakeSoftwareVolatile() const;

    // The scratch key's path under HKEY_CURRENT_USER, and an open handle to it.
    const std::wstring& Path() const { return m_path; }
    HKEY Key() const { return m_key.Get(); }

private:
    std::wstring m_path;
    UniqueRegistryKey m_key;
    std::vector<HKEY> m_redirected;
};

struct RegistryValue
{
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    std::wstring Text() const; // REG_SZ data without its terminator
    DWORD Dword() const;       // the first 4 bytes
};

// The value, or nothing when the key or the value is missing.
std::optional<RegistryValue> ReadRegistryValue(HKEY root, const std::wstring& subkey, const wchar_t* name);

// Writes raw data of any type; the key is created when absent. Fails the test on error.
void WriteRegistryValue(HKEY root, const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data,
                        DWORD size);
void WriteRegistryDword(HKEY root, const std::wstring& subkey, const wchar_t* name, DWORD value);
void WriteRegistryString(HKEY root, const std::wstring& subkey, const wchar_t* name, const std::wstring& text);

bool RegistryKeyExists(HKEY root, const std::wstring& subkey);

// Names of the values and the subkeys of a key, sorted; empty when it is missing.
std::vector<std::wstring> RegistryValueNames(HKEY root, const std::wstring& subkey);
std::vector<std::wstring> RegistrySubkeyNames(HKEY root, const std::wstring& subkey);
