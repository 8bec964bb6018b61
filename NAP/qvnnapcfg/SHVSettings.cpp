#include "SHVSettings.h"

#include "RegistryKey.h"
#include "TraceLog.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

using System::Threading::ScopedLock;

namespace
{
// Value names and the defaults that replace unreadable values, in the fixed write order.
constexpr const wchar_t* ServerNameValue = L"ServerName";
constexpr const wchar_t* ServerPortValue = L"ServerPort";
constexpr const wchar_t* ServerTimeoutValue = L"ServerTimeout";
constexpr const wchar_t* CacheTimeValue = L"CacheTime";
constexpr const wchar_t* ValidationEnabledValue = L"ValidationEnabled";
constexpr const wchar_t* ValueNames[] = {ServerNameValue, ServerPortValue, ServerTimeoutValue, CacheTimeValue,
                                         ValidationEnabledValue};

constexpr const wchar_t* DefaultServerName = L"unspecified";
constexpr std::uint32_t DefaultServerPort = 2193;
constexpr std::uint32_t DefaultServerTimeout = 10000;
constexpr std::uint32_t DefaultCacheTime = 180;
constexpr std::uint32_t DefaultValidationEnabled = 1;

constexpr std::size_t MaxBlobNameLength = SHVConfigBlobNameUnits - 1;
} // namespace

SHVSettings& SHVSettings::Instance()
{
    static SHVSettings settings;
    return settings;
}

SHVSettings::SHVSettings()
{
    ScopedLock guard(this);
    Load();
}

bool SHVSettings::Load()
{
    assert(IsHeldByCurrentThread());
    RegistryKey key;
    if (!key.IsOpen())
    {
        return false;
    }
    if (!key.ReadString(ServerNameValue, values.serverName))
    {
        values.serverName = DefaultServerName;
    }
    if (!key.ReadDword(ServerPortValue, values.serverPort))
    {
        values.serverPort = DefaultServerPort;
    }
    if (!key.ReadDword(ServerTimeoutValue, values.serverTimeout))
    {
        values.serverTimeout = DefaultServerTimeout;
    }
    if (!key.ReadDword(CacheTimeValue, values.cacheTime))
    {
        values.cacheTime = DefaultCacheTime;
    }
    if (!key.ReadDword(ValidationEnabledValue, values.validationEnabled))
    {
        values.validationEnabled = DefaultValidationEnabled;
    }
    mustReload = false;
    return true;
}

HRESULT SHVSettings::Write(const RegistryKey& key, const Values& from, std::size_t count, std::size_t& written)
{
    // One writer a value, in the write order that the put-back after a failure relies on.
    using ValueWriter = HRESULT (*)(const RegistryKey&, const Values&);
    static constexpr ValueWriter writers[ValueCount] = {
        [](const RegistryKey& k, const Values& v) { return k.WriteString(ServerNameValue, v.serverName); },
        [](const RegistryKey& k, const Values& v) { return k.WriteDword(ServerPortValue, v.serverPort); },
        [](const RegistryKey& k, const Values& v) { return k.WriteDword(ServerTimeoutValue, v.serverTimeout); },
        [](const RegistryKey& k, const Values& v) { return k.WriteDword(CacheTimeValue, v.cacheTime); },
        [](const RegistryKey& k, const Values& v) { return k.WriteDword(ValidationEnabledValue, v.validationEnabled); },
    };
    for (written = 0; written < count && written < ValueCount; ++written)
    {
        const HRESULT hr = writers[written](key, from);
        if (FAILED(hr))
        {
            return hr;
        }
    }
    return S_OK;
}

HRESULT SHVSettings::Save()
{
    assert(IsHeldByCurrentThread());
    RegistryKey key;
    if (!key.IsOpen())
    {
        return key.OpenResult();
    }
    std::size_t written = 0;
    return Write(key, values, ValueCount, written);
}

HRESULT SHVSettings::Store(Values& changed)
{
    RegistryKey key;
    if (!key.IsOpen())
    {
        return key.OpenResult();
    }
    std::size_t written = 0;
    const HRESULT hr = Write(key, changed, ValueCount, written);
    if (FAILED(hr))
    {
        // Put back the values this store already replaced, so that the registry holds
        // the record's values again. Only the first failure is returned.
        std::size_t restored = 0;
        const HRESULT putBack = Write(key, values, written, restored);
        if (FAILED(putBack))
        {
            // The registry now holds a mix of old and new values, which the record must
            // not hide: the next read takes them from the registry.
            WriteTrace(L"[SHVSettings::Store] Failed. %ws not put back after a failed store (0x%08X)",
                       ValueNames[restored], static_cast<unsigned>(putBack));
            mustReload = true;
        }
        return hr;
    }
    std::swap(values, changed);
    mustReload = false;
    return S_OK;
}

std::wstring SHVSettings::GetServerName()
{
    ScopedLock guard(this);
    Load();
    return values.serverName;
}

std::uint16_t SHVSettings::GetServerPort()
{
    ScopedLock guard(this);
    Load();
    return static_cast<std::uint16_t>(values.serverPort);
}

std::uint32_t SHVSettings::GetCacheTime()
{
    ScopedLock guard(this);
    Load();
    return values.cacheTime;
}

std::uint32_t SHVSettings::GetValidationEnabled()
{
    ScopedLock guard(this);
    Load();
    return values.validationEnabled;
}

HRESULT SHVSettings::SetServerName(const std::wstring& name)
{
    ScopedLock guard(this);
    Values changed = values;
    changed.serverName = name;
    return Store(changed);
}

HRESULT SHVSettings::SetServerPort(std::uint16_t port)
{
    ScopedLock guard(this);
    Values changed = values;
    changed.serverPort = port;
    return Store(changed);
}

HRESULT SHVSettings::SetCacheTime(std::uint32_t seconds)
{
    ScopedLock guard(this);
    Values changed = values;
    changed.cacheTime = seconds;
    return Store(changed);
}

HRESULT SHVSettings::SetValidationEnabled(bool enabled)
{
    ScopedLock guard(this);
    Values changed = values;
    changed.validationEnabled = enabled ? 1 : 0;
    return Store(changed);
}

HRESULT SHVSettings::SetEditable(const std::wstring& name, std::uint16_t port, std::uint32_t seconds, bool enabled)
{
    ScopedLock guard(this);
    Values changed = values;
    changed.serverName = name;
    changed.serverPort = port;
    changed.cacheTime = seconds;
    changed.validationEnabled = enabled ? 1 : 0;
    return Store(changed);
}

SHVConfigBlob* SHVSettings::ToBlob(SHVConfigBlob* blob)
{
    ScopedLock guard(this);
    if (mustReload)
    {
        Load();
    }
    blob->version = SHVConfigBlobVersion;
    blob->serverPort = values.serverPort;
    blob->serverTimeout = values.serverTimeout;
    blob->cacheTime = values.cacheTime;
    blob->validationEnabled = values.validationEnabled;
    std::memset(blob->serverName, 0, sizeof(blob->serverName));
    const std::size_t length = std::min(values.serverName.size(), MaxBlobNameLength);
    std::copy_n(values.serverName.begin(), length, blob->serverName);
    return blob;
}

HRESULT SHVSettings::FromBlob(const SHVConfigBlob* blob)
{
    ScopedLock guard(this);
    if (blob->version != SHVConfigBlobVersion)
    {
        return S_OK;
    }
    const char16_t* name = blob->serverName;
    const char16_t* end = std::find(name, name + SHVConfigBlobNameUnits, u'\0');
    Values changed;
    changed.serverName.assign(name, end);
    changed.serverPort = blob->serverPort;
    changed.serverTimeout = blob->serverTimeout;
    changed.cacheTime = blob->cacheTime;
    changed.validationEnabled = blob->validationEnabled;
    return Store(changed);
}
