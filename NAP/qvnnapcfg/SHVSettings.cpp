#include "SHVSettings.h"

#include "RegistryKey.h"

#include <algorithm>
#include <cstring>

using System::Threading::ScopedLock;

namespace
{
// Value names and the defaults that replace unreadable values, in the fixed write order.
constexpr const wchar_t* ServerNameValue = L"ServerName";
constexpr const wchar_t* ServerPortValue = L"ServerPort";
constexpr const wchar_t* ServerTimeoutValue = L"ServerTimeout";
constexpr const wchar_t* CacheTimeValue = L"CacheTime";
constexpr const wchar_t* ValidationEnabledValue = L"ValidationEnabled";

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
    RegistryKey key;
    if (!key.IsOpen())
    {
        return false;
    }
    if (!key.ReadString(ServerNameValue, serverName))
    {
        serverName = DefaultServerName;
    }
    if (!key.ReadDword(ServerPortValue, serverPort))
    {
        serverPort = DefaultServerPort;
    }
    if (!key.ReadDword(ServerTimeoutValue, serverTimeout))
    {
        serverTimeout = DefaultServerTimeout;
    }
    if (!key.ReadDword(CacheTimeValue, cacheTime))
    {
        cacheTime = DefaultCacheTime;
    }
    if (!key.ReadDword(ValidationEnabledValue, validationEnabled))
    {
        validationEnabled = DefaultValidationEnabled;
    }
    return true;
}

void SHVSettings::Save()
{
    RegistryKey key;
    if (!key.IsOpen())
    {
        return;
    }
    key.WriteString(ServerNameValue, serverName);
    key.WriteDword(ServerPortValue, serverPort);
    key.WriteDword(ServerTimeoutValue, serverTimeout);
    key.WriteDword(CacheTimeValue, cacheTime);
    key.WriteDword(ValidationEnabledValue, validationEnabled);
}

std::wstring SHVSettings::GetServerName()
{
    ScopedLock guard(this);
    Load();
    return serverName;
}

std::uint16_t SHVSettings::GetServerPort()
{
    ScopedLock guard(this);
    Load();
    return static_cast<std::uint16_t>(serverPort);
}

std::uint32_t SHVSettings::GetCacheTime()
{
    ScopedLock guard(this);
    Load();
    return cacheTime;
}

std::uint32_t SHVSettings::GetValidationEnabled()
{
    ScopedLock guard(this);
    Load();
    return validationEnabled;
}

SHVSettings& SHVSettings::SetServerName(const std::wstring& name)
{
    ScopedLock guard(this);
    serverName = name;
    Save();
    return *this;
}

SHVSettings& SHVSettings::SetServerPort(std::uint16_t port)
{
    ScopedLock guard(this);
    serverPort = port;
    Save();
    return *this;
}

SHVSettings& SHVSettings::SetCacheTime(std::uint32_t seconds)
{
    ScopedLock guard(this);
    cacheTime = seconds;
    Save();
    return *this;
}

SHVSettings& SHVSettings::SetValidationEnabled(bool enabled)
{
    ScopedLock guard(this);
    validationEnabled = enabled ? 1 : 0;
    Save();
    return *this;
}

SHVConfigBlob* SHVSettings::ToBlob(SHVConfigBlob* blob)
{
    ScopedLock guard(this);
    blob->version = SHVConfigBlobVersion;
    blob->serverPort = serverPort;
    blob->serverTimeout = serverTimeout;
    blob->cacheTime = cacheTime;
    blob->validationEnabled = validationEnabled;
    std::memset(blob->serverName, 0, sizeof(blob->serverName));
    const std::size_t length = std::min(serverName.size(), MaxBlobNameLength);
    std::copy_n(serverName.begin(), length, blob->serverName);
    return blob;
}

void SHVSettings::FromBlob(const SHVConfigBlob* blob)
{
    ScopedLock guard(this);
    if (blob->version != SHVConfigBlobVersion)
    {
        return;
    }
    const char16_t* name = blob->serverName;
    const char16_t* end = std::find(name, name + SHVConfigBlobNameUnits, u'\0');
    // Build the new name before touching any field, so that a failed allocation
    // leaves the record as it was.
    std::wstring newName(name, end);
    serverName.swap(newName);
    serverPort = blob->serverPort;
    serverTimeout = blob->serverTimeout;
    cacheTime = blob->cacheTime;
    validationEnabled = blob->validationEnabled;
    Save();
}
