#include "HostCheck.h"

#include "HostComponent.h"
#include "HostText.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <optional>

namespace
{
// A program that cannot allocate these at its start could do nothing else either.
// NOLINTBEGIN(cert-err58-cpp)
const std::wstring ClassKey = L"CLSID\\{0C5C9CEC-1FF7-42e3-AC8F-4D9BAE296C5D}";
const std::wstring AppId = L"{73D1100C-337E-4de7-84B9-8F5B10202693}";
const std::wstring SettingsKey = L"Software\\Quorvane\\ZARUZARA\\Settings";
// NOLINTEND(cert-err58-cpp)

struct Value
{
    DWORD type = REG_NONE;
    std::wstring text;
    DWORD number = 0;
};

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::optional<Value> ReadValue(HKEY root, const std::wstring& path, const wchar_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    {
        return std::nullopt;
    }
    Value value;
    BYTE data[4096] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    const LSTATUS status = RegQueryValueExW(key, name, nullptr, &value.type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
    {
        return std::nullopt;
    }
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ)
    {
        value.text = reinterpret_cast<const wchar_t*>(data);
    }
    else if (value.type == REG_DWORD)
    {
        value.number = *reinterpret_cast<const DWORD*>(data);
    }
    return value;
}

// The file version of a module's version record ("6.0.4.11200"), read as the console
// reads a component's resources; nothing when the file has no version record.
std::optional<std::string> FileVersion(const std::wstring& path)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
    {
        return std::nullopt;
    }
    std::optional<std::string> version;
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16)); // RT_VERSION
    HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const auto* data = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    const DWORD size = resource != nullptr ? SizeofResource(module, resource) : 0;
    // The fixed part follows the record's header, aligned to 4 bytes; find it by its signature.
    for (DWORD offset = 0; data != nullptr && offset + sizeof(VS_FIXEDFILEINFO) <= size; offset += 4)
    {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, data + offset, sizeof(info));
        if (info.dwSignature == VS_FFI_SIGNATURE)
        {
            version = std::to_string(HIWORD(info.dwFileVersionMS)) + "." +
                      std::to_string(LOWORD(info.dwFileVersionMS)) + "." +
                      std::to_string(HIWORD(info.dwFileVersionLS)) + "." + std::to_string(LOWORD(info.dwFileVersionLS));
            break;
        }
    }
    FreeLibrary(module);
    return version;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// A text value compared with what registration writes.
CheckFinding CheckText(const std::string& subject, const std::wstring& path, const wchar_t* name,
                       const std::wstring& expected)
{
    const auto value = ReadValue(HKEY_CLASSES_ROOT, path, name);
    if (!value)
    {
        return {false, subject, "missing"};
    }
    if (value->type != REG_SZ)
    {
        return {false, subject, "not a string value"};
    }
    if (!EqualsNoCase(value->text, expected))
    {
        return {false, subject, "is '" + ToUtf8(value->text) + "', expected '" + ToUtf8(expected) + "'"};
    }
    return {true, subject, "'" + ToUtf8(value->text) + "'"};
}
} // namespace

CheckFinding CheckProxyStub()
{
    const std::string subject = "proxy/stub of INapComponentConfig";
    wchar_t iid[40] = {};
    StringFromGUID2(__uuidof(INapComponentConfig), iid, 40);
    const std::wstring interfaceKey = L"Interface\\" + std::wstring(iid) + L"\\ProxyStubClsid32";
    const auto proxyClass = ReadValue(HKEY_CLASSES_ROOT, interfaceKey, nullptr);
    if (!proxyClass || proxyClass->type != REG_SZ)
    {
        return {false, subject,
                "not registered (HKCR\\" + ToUtf8(interfaceKey) + "): calls cannot cross the process boundary"};
    }
    const std::wstring serverKey = L"CLSID\\" + proxyClass->text + L"\\InprocServer32";
    const auto server = ReadValue(HKEY_CLASSES_ROOT, serverKey, nullptr);
    if (!server || server->text.empty())
    {
        return {false, subject, "HKCR\\" + ToUtf8(serverKey) + " is missing"};
    }
    // The system's own is often written "%SystemRoot%\\System32\\..." or as a bare name,
    // which the loader's search finds.
    wchar_t file[MAX_PATH] = {};
    const DWORD length = ExpandEnvironmentStringsW(server->text.c_str(), file, MAX_PATH);
    if (length != 0 && length <= MAX_PATH && std::wcspbrk(file, L"\\/") != nullptr &&
        GetFileAttributesW(file) == INVALID_FILE_ATTRIBUTES)
    {
        return {false, subject, ToUtf8(file) + " does not exist"};
    }
    return {true, subject, ToUtf8(server->text)};
}

CheckFinding CheckSurrogate()
{
    const HRESULT hr = StartInSurrogate();
    if (FAILED(hr))
    {
        return {false, "COM surrogate", "cannot start the component: " + DescribeHresult(hr)};
    }
    return {true, "COM surrogate", "starts the component"};
}

std::vector<CheckFinding> CheckInstallation()
{
    std::vector<CheckFinding> findings;
    const std::string classKey = "HKCR\\" + ToUtf8(ClassKey);
    const bool registered = KeyExists(HKEY_CLASSES_ROOT, ClassKey);
    if (!registered)
    {
        findings.push_back({false, classKey, "missing: the component is not registered"});
    }
    else
    {
        findings.push_back({true, classKey, "present"});
        const auto server = ReadValue(HKEY_CLASSES_ROOT, ClassKey + L"\\InprocServer32", nullptr);
        if (!server || server->type != REG_SZ || server->text.empty())
        {
            findings.push_back({false, "server file (InprocServer32)", "missing"});
        }
        else if (GetFileAttributesW(server->text.c_str()) == INVALID_FILE_ATTRIBUTES)
        {
            findings.push_back({false, "server file (InprocServer32)", ToUtf8(server->text) + " does not exist"});
        }
        else
        {
            findings.push_back({true, "server file (InprocServer32)", ToUtf8(server->text)});
            const auto version = FileVersion(server->text);
            findings.push_back({version.has_value(), "server version",
                                version ? *version : std::string("the file has no version record")});
            findings.push_back(
                CheckText("LocalizedString", ClassKey, L"LocalizedString", L"@" + server->text + L",-100"));
        }
        findings.push_back(CheckText("ThreadingModel", ClassKey + L"\\InprocServer32", L"ThreadingModel", L"Neutral"));
        const auto elevation = ReadValue(HKEY_CLASSES_ROOT, ClassKey + L"\\Elevation", L"Enabled");
        if (!elevation || elevation->type != REG_DWORD || elevation->number != 1)
        {
            findings.push_back({false, "Elevation\\Enabled", elevation ? "not the number 1" : "missing"});
        }
        else
        {
            findings.push_back({true, "Elevation\\Enabled", "1"});
        }
        findings.push_back(CheckText("class AppID", ClassKey, L"AppID", AppId));
    }

    const std::wstring appIdKey = L"AppID\\" + AppId;
    if (!KeyExists(HKEY_CLASSES_ROOT, appIdKey))
    {
        findings.push_back({false, "HKCR\\" + ToUtf8(appIdKey), "missing"});
    }
    else
    {
        findings.push_back({true, "HKCR\\" + ToUtf8(appIdKey), "present"});
        findings.push_back(CheckText("DllSurrogate", appIdKey, L"DllSurrogate", L""));
    }
    const std::wstring dllAppIdKey = L"AppID\\qvnnapcfg64.dll";
    if (!KeyExists(HKEY_CLASSES_ROOT, dllAppIdKey))
    {
        findings.push_back({false, "HKCR\\" + ToUtf8(dllAppIdKey), "missing"});
    }
    else
    {
        findings.push_back(CheckText("HKCR\\" + ToUtf8(dllAppIdKey), dllAppIdKey, L"AppID", AppId));
    }
    if (registered)
    {
        findings.push_back(CheckSurrogate());
    }
    findings.push_back(CheckProxyStub());

    HKEY settings = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SettingsKey.c_str(), 0, KEY_READ, &settings);
    const std::string settingsKey = "HKLM\\" + ToUtf8(SettingsKey);
    if (status == ERROR_SUCCESS)
    {
        RegCloseKey(settings);
        findings.push_back({true, settingsKey, "readable"});
    }
    else if (status == ERROR_FILE_NOT_FOUND)
    {
        findings.push_back({true, settingsKey, "not created yet; the defaults apply until the first change"});
    }
    else
    {
        findings.push_back({false, settingsKey, "cannot be read: " + DescribeHresult(HRESULT_FROM_WIN32(status))});
    }
    return findings;
}
