#include "support/RegistrySnapshot.h"

namespace
{
void Capture(HKEY key, const std::wstring& path, RegistrySnapshot& snapshot)
{
    auto& values = snapshot[path];
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[16384];
        DWORD nameLength = ARRAYSIZE(name);
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        {
            break;
        }
        std::vector<BYTE> data(size);
        nameLength = ARRAYSIZE(name);
        RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size);
        data.resize(size);
        values[std::wstring(name, nameLength)] = {type, data};
    }
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256];
        DWORD nameLength = ARRAYSIZE(name);
        if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        {
            break;
        }
        HKEY subkey = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &subkey) == ERROR_SUCCESS)
        {
            Capture(subkey, path.empty() ? name : path + L"\\" + name, snapshot);
            RegCloseKey(subkey);
        }
    }
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
    {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}
} // namespace

RegistrySnapshot TakeRegistrySnapshot(HKEY root, const std::wstring& subkey)
{
    RegistrySnapshot snapshot;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS)
    {
        Capture(key, L"", snapshot);
        RegCloseKey(key);
    }
    return snapshot;
}

LSTATUS RestoreRegistrySnapshot(HKEY root, const std::wstring& subkey, const RegistrySnapshot& snapshot)
{
    LSTATUS status = RegDeleteTreeW(root, subkey.c_str());
    if (status == ERROR_FILE_NOT_FOUND)
    {
        status = ERROR_SUCCESS;
    }
    for (const auto& [path, values] : snapshot)
    {
        HKEY key = nullptr;
        const std::wstring keyPath = path.empty() ? subkey : subkey + L"\\" + path;
        LSTATUS created = RegCreateKeyExW(root, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
        for (const auto& [name, value] : values)
        {
            if (created == ERROR_SUCCESS)
            {
                created = RegSetValueExW(key, name.c_str(), 0, value.first, value.second.data(),
                                         static_cast<DWORD>(value.second.size()));
            }
        }
        if (key != nullptr)
        {
            RegCloseKey(key);
        }
        if (status == ERROR_SUCCESS)
        {
            status = created;
        }
    }
    return status;
}

std::string DescribeRegistrySnapshot(const RegistrySnapshot& snapshot)
{
    std::string text;
    for (const auto& [path, values] : snapshot)
    {
        text += "[" + Narrow(path) + "]\n";
        for (const auto& [name, value] : values)
        {
            text += "  " + Narrow(name) + " type " + std::to_string(value.first) + ", " +
                    std::to_string(value.second.size()) + " bytes\n";
        }
    }
    return text;
}
