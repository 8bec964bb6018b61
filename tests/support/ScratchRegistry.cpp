#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace
{
std::atomic<unsigned> g_scratchCounter{0};
}

ScratchRegistry::ScratchRegistry(std::vector<HKEY> redirected) : m_redirected(std::move(redirected))
{
    m_path = L"Software\\QvnTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++g_scratchCounter);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     m_key.Put(), nullptr);
    if (status != ERROR_SUCCESS)
    {
        ADD_FAILURE() << "cannot create scratch key, error " << status;
        return;
    }
    for (HKEY root : m_redirected)
    {
        status = RegOverridePredefKey(root, m_key.Get());
        if (status != ERROR_SUCCESS)
        {
            ADD_FAILURE() << "RegOverridePredefKey failed, error " << status;
        }
    }
}

ScratchRegistry::~ScratchRegistry()
{
    for (HKEY root : m_redirected)
    {
        RegOverridePredefKey(root, nullptr);
    }
    m_key.Close();
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
}

void ScratchRegistry::MakeSoftwareVolatile() const
{
    HKEY software = nullptr;
    const LSTATUS status = RegCreateKeyExW(m_key.Get(), L"Software", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                           nullptr, &software, nullptr);
    ASSERT_EQ(status, ERROR_SUCCESS) << "creating a volatile Software key";
    RegCloseKey(software);
}

std::wstring RegistryValue::Text() const
{
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0')
    {
        text.pop_back();
    }
    return text;
}

DWORD RegistryValue::Dword() const
{
    DWORD value = 0;
    std::copy_n(data.begin(), std::min<std::size_t>(data.size(), sizeof(value)), reinterpret_cast<BYTE*>(&value));
    return value;
}

std::optional<RegistryValue> ReadRegistryValue(HKEY root, const std::wstring& subkey, const wchar_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    {
        return std::nullopt;
    }
    RegistryValue value;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    if (status == ERROR_SUCCESS)
    {
        value.data.resize(size);
        status = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
        value.data.resize(size);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
    {
        return std::nullopt;
    }
    return value;
}

void WriteRegistryValue(HKEY root, const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data,
                        DWORD size)
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    ASSERT_EQ(status, ERROR_SUCCESS) << "creating the key for a test value";
    status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS) << "writing a test value";
}

void WriteRegistryDword(HKEY root, const std::wstring& subkey, const wchar_t* name, DWORD value)
{
    WriteRegistryValue(root, subkey, name, REG_DWORD, &value, sizeof(value));
}

void WriteRegistryString(HKEY root, const std::wstring& subkey, const wchar_t* name, const std::wstring& text)
{
    WriteRegistryValue(root, subkey, name, REG_SZ, text.c_str(),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool RegistryKeyExists(HKEY root, const std::wstring& subkey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    RegCloseKey(key);
    return true;
}

namespace
{
std::vector<std::wstring> EnumerateNames(HKEY root, const std::wstring& subkey, bool values)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return names;
    }
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[16384];
        DWORD length = ARRAYSIZE(name);
        const LSTATUS status = values ? RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                                      : RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
        {
            break;
        }
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
}
} // namespace

std::vector<std::wstring> RegistryValueNames(HKEY root, const std::wstring& subkey)
{
    return EnumerateNames(root, subkey, true);
}

std::vector<std::wstring> RegistrySubkeyNames(HKEY root, const std::wstring& subkey)
{
    return EnumerateNames(root, subkey, false);
}
