#include "RegistryHarvest.h"

#include "PackagingError.h"
#include "UniqueHandle.h"
#include "Utf8.h"

#include <algorithm>
#include <utility>

namespace
{
std::string Win32Text(LSTATUS status)
{
    return "error " + std::to_string(status);
}

UniqueRegistryKey CreateKey(HKEY parent, const std::wstring& name)
{
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
    {
        throw PackagingError("cannot create the scratch key '" + ToUtf8(name) + "': " + Win32Text(status));
    }
    return UniqueRegistryKey(key);
}

// Scratch keys under HKEY_CURRENT_USER\Software that stand in for the predefined keys
// while the module registers. The whole scratch tree is deleted on destruction.
class ScratchRoots
{
public:
    ScratchRoots()
        : m_path(L"Software\\QvnHarvest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(GetTickCount64())),
          m_root(CreateKey(HKEY_CURRENT_USER, m_path)), m_classesRoot(CreateKey(m_root.Get(), L"ClassesRoot")),
          m_localMachine(CreateKey(m_root.Get(), L"LocalMachine")),
          m_currentUser(CreateKey(m_root.Get(), L"CurrentUser"))
    {
    }
    ~ScratchRoots()
    {
        RegDeleteTreeW(m_root.Get(), nullptr);
        RegDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
    }
    ScratchRoots(const ScratchRoots&) = delete;
    ScratchRoots& operator=(const ScratchRoots&) = delete;

    HKEY ClassesRoot() const { return m_classesRoot.Get(); }
    HKEY LocalMachine() const { return m_localMachine.Get(); }
    HKEY CurrentUser() const { return m_currentUser.Get(); }

private:
    std::wstring m_path;
    UniqueRegistryKey m_root;
    UniqueRegistryKey m_classesRoot;
    UniqueRegistryKey m_localMachine;
    UniqueRegistryKey m_currentUser;
};

// Points the predefined keys of this process at the scratch keys for its lifetime.
class PredefinedKeyRedirect
{
public:
    explicit PredefinedKeyRedirect(const ScratchRoots& scratch)
    {
        Redirect(HKEY_CLASSES_ROOT, scratch.ClassesRoot());
        Redirect(HKEY_LOCAL_MACHINE, scratch.LocalMachine());
        Redirect(HKEY_CURRENT_USER, scratch.CurrentUser());
    }
    ~PredefinedKeyRedirect()
    {
        for (HKEY predefined : m_redirected)
        {
            RegOverridePredefKey(predefined, nullptr);
        }
    }
    PredefinedKeyRedirect(const PredefinedKeyRedirect&) = delete;
    PredefinedKeyRedirect& operator=(const PredefinedKeyRedirect&) = delete;

private:
    void Redirect(HKEY predefined, HKEY scratch)
    {
        const LSTATUS status = RegOverridePredefKey(predefined, scratch);
        if (status != ERROR_SUCCESS)
        {
            // The destructor does not run for a throwing constructor: undo what was done.
            for (HKEY done : m_redirected)
            {
                RegOverridePredefKey(done, nullptr);
            }
            throw PackagingError("cannot redirect a predefined registry key: " + Win32Text(status));
        }
        m_redirected.push_back(predefined);
    }

    std::vector<HKEY> m_redirected;
};

// Loads the module for the harvest, or says why it cannot.
UniqueModule LoadModule(const std::wstring& path)
{
    UniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module)
    {
        throw PackagingError("cannot load '" + ToUtf8(path) + "' (error " + std::to_string(GetLastError()) + ")");
    }
    return module;
}

std::wstring ModuleFileName(HMODULE module)
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

struct KeyCounts
{
    DWORD subkeys = 0;
    DWORD values = 0;
};

KeyCounts CountEntries(HKEY key)
{
    KeyCounts counts;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &counts.subkeys, nullptr, nullptr, &counts.values, nullptr,
                     nullptr, nullptr, nullptr);
    return counts;
}

std::vector<HarvestedValue> ReadValues(HKEY key)
{
    std::vector<HarvestedValue> values;
    DWORD longestName = 0;
    DWORD largestData = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName, &largestData,
                     nullptr, nullptr);
    for (DWORD index = 0;; ++index)
    {
        std::wstring name(longestName + 1, L'\0');
        DWORD nameLength = static_cast<DWORD>(name.size());
        HarvestedValue value;
        value.data.resize(largestData);
        DWORD dataSize = largestData;
        const LSTATUS status =
            RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &value.type, value.data.data(), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS)
        {
            break;
        }
        if (status != ERROR_SUCCESS)
        {
            throw PackagingError("cannot read a registry value back: " + Win32Text(status));
        }
        name.resize(nameLength);
        value.name = name;
        value.data.resize(dataSize);
        values.push_back(std::move(value));
    }
    std::sort(values.begin(), values.end(),
              [](const HarvestedValue& a, const HarvestedValue& b) { return a.name < b.name; });
    return values;
}

std::vector<std::wstring> SubkeyNames(HKEY key)
{
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256];
        DWORD length = ARRAYSIZE(name);
        const LSTATUS status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
        {
            break;
        }
        if (status != ERROR_SUCCESS)
        {
            throw PackagingError("cannot read a registry key back: " + Win32Text(status));
        }
        names.emplace_back(name, length);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Appends the keys below `key` (whose path is `path`, empty for the root) that hold
// values or are empty leaves.
void CaptureTree(HKEY key, const std::wstring& path, std::vector<HarvestedKey>& keys)
{
    std::vector<HarvestedValue> values = ReadValues(key);
    const std::vector<std::wstring> subkeys = SubkeyNames(key);
    if (!path.empty() && (!values.empty() || subkeys.empty()))
    {
        keys.push_back({path, std::move(values)});
    }
    for (const std::wstring& name : subkeys)
    {
        HKEY subkey = nullptr;
        const LSTATUS status = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &subkey);
        if (status != ERROR_SUCCESS)
        {
            throw PackagingError("cannot open the registry key '" + ToUtf8(name) + "' again: " + Win32Text(status));
        }
        UniqueRegistryKey handle(subkey);
        // NOLINTNEXTLINE(performance-inefficient-string-concatenation): once a key, when packaging
        CaptureTree(handle.Get(), path.empty() ? name : path + L"\\" + name, keys);
    }
}
} // namespace

HarvestedRegistration HarvestRegistration(const std::wstring& dllPath)
{
    // The module is loaded before the redirection, so that whatever it reads while it
    // starts comes from the real registry.
    const UniqueModule module = LoadModule(dllPath);
    using RegisterFunction = HRESULT(WINAPI*)();
    auto registerServer = reinterpret_cast<RegisterFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module.Get(), "DllRegisterServer")));
    if (registerServer == nullptr)
    {
        throw PackagingError("'" + ToUtf8(dllPath) + "' exports no DllRegisterServer");
    }

    HarvestedRegistration harvest;
    harvest.modulePath = ModuleFileName(module.Get());
    ScratchRoots scratch;
    HRESULT hr = E_UNEXPECTED;
    {
        PredefinedKeyRedirect redirect(scratch);
        hr = registerServer();
    }
    if (FAILED(hr))
    {
        char code[16];
        wsprintfA(code, "0x%08lX", static_cast<unsigned long>(hr));
        throw PackagingError("DllRegisterServer of '" + ToUtf8(dllPath) + "' failed with " + code);
    }
    const KeyCounts localMachine = CountEntries(scratch.LocalMachine());
    const KeyCounts currentUser = CountEntries(scratch.CurrentUser());
    if (localMachine.subkeys + localMachine.values != 0 || currentUser.subkeys + currentUser.values != 0)
    {
        throw PackagingError("DllRegisterServer of '" + ToUtf8(dllPath) +
                             "' wrote under HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER; only HKEY_CLASSES_ROOT "
                             "entries are carried into the package");
    }
    CaptureTree(scratch.ClassesRoot(), L"", harvest.keys);
    return harvest;
}
