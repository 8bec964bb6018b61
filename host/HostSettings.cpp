#include "HostSettings.h"

#include "HostText.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

namespace
{
constexpr std::size_t MaxServerLength = SHVConfigBlobNameUnits - 1;

// Unsigned decimal digits only, within 32 bits.
std::optional<std::uint32_t> ParseNumber(const std::wstring& text)
{
    if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), iswdigit))
    {
        return std::nullopt;
    }
    const unsigned long long value = std::stoull(text);
    if (value > 0xFFFFFFFFull)
    {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> ParseSwitch(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), towlower);
    if (text == L"yes" || text == L"true" || text == L"on" || text == L"1")
    {
        return 1;
    }
    if (text == L"no" || text == L"false" || text == L"off" || text == L"0")
    {
        return 0;
    }
    return std::nullopt;
}
} // namespace

DecodedBlob DecodeBlob(const std::vector<std::uint8_t>& bytes)
{
    DecodedBlob result;
    if (bytes.size() != sizeof(SHVConfigBlob))
    {
        result.error = "not a settings blob: " + std::to_string(bytes.size()) + " bytes, expected " +
                       std::to_string(sizeof(SHVConfigBlob));
        return result;
    }
    SHVConfigBlob blob;
    std::memcpy(&blob, bytes.data(), sizeof(blob));
    if (blob.version != SHVConfigBlobVersion)
    {
        result.error = "not a settings blob: version " + std::to_string(blob.version) + ", expected " +
                       std::to_string(SHVConfigBlobVersion);
        return result;
    }
    const char16_t* end = std::find(blob.serverName, blob.serverName + SHVConfigBlobNameUnits, u'\0');
    HostSettings settings;
    settings.server = std::wstring(static_cast<const char16_t*>(blob.serverName), end);
    settings.port = blob.serverPort;
    settings.timeout = blob.serverTimeout;
    settings.cacheTime = blob.cacheTime;
    settings.enabled = blob.validationEnabled;
    result.settings = settings;
    return result;
}

std::vector<std::uint8_t> EncodeBlob(const HostSettings& settings)
{
    SHVConfigBlob blob;
    std::memset(&blob, 0, sizeof(blob));
    blob.version = SHVConfigBlobVersion;
    const std::size_t length = std::min(settings.server.size(), MaxServerLength);
    std::copy_n(settings.server.begin(), length, blob.serverName);
    blob.serverPort = settings.port;
    blob.serverTimeout = settings.timeout;
    blob.cacheTime = settings.cacheTime;
    blob.validationEnabled = settings.enabled;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&blob);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof(blob));
}

std::optional<std::string> ApplyChanges(HostSettings& settings, const SettingsChanges& changes)
{
    HostSettings result = settings;
    if (changes.enabled)
    {
        const auto value = ParseSwitch(*changes.enabled);
        if (!value)
        {
            return "enabled: expected yes or no, got '" + ToUtf8(*changes.enabled) + "'";
        }
        result.enabled = *value;
    }
    if (changes.server)
    {
        if (changes.server->size() > MaxServerLength)
        {
            return "server: at most " + std::to_string(MaxServerLength) + " characters";
        }
        result.server = *changes.server;
    }
    const std::pair<const std::optional<std::wstring>*, std::pair<std::uint32_t*, const char*>> numbers[] = {
        {&changes.port, {&result.port, "port"}},
        {&changes.timeout, {&result.timeout, "timeout"}},
        {&changes.cacheTime, {&result.cacheTime, "cache-time"}},
    };
    for (const auto& [text, target] : numbers)
    {
        if (*text)
        {
            const auto value = ParseNumber(**text);
            if (!value)
            {
                return std::string(target.second) + ": expected an unsigned number, got '" + ToUtf8(**text) + "'";
            }
            *target.first = *value;
        }
    }
    // The checks of the settings dialog's OK button, on the settings as they would be saved.
    if (result.enabled != 0 && result.server.empty())
    {
        return "server: must not be empty while validation is enabled";
    }
    const std::uint32_t lowestPort = result.enabled != 0 ? 1 : 0;
    if (result.port < lowestPort || result.port > 65535)
    {
        return "port: must be " + std::to_string(lowestPort) + " to 65535" +
               (result.enabled != 0 ? " while validation is enabled" : "") + ", is " + std::to_string(result.port);
    }
    settings = result;
    return std::nullopt;
}

std::string FormatSettings(const HostSettings& settings)
{
    return "server:     " + ToUtf8(settings.server) + "\n" + "port:       " + std::to_string(settings.port) + "\n" +
           "timeout:    " + std::to_string(settings.timeout) + "\n" +
           "cache-time: " + std::to_string(settings.cacheTime) + "\n" +
           "enabled:    " + (settings.enabled != 0 ? "yes" : "no") + "\n";
}

std::string FormatSettingsJson(const HostSettings& settings)
{
    return "{\"server\": " + JsonString(settings.server) + ", \"port\": " + std::to_string(settings.port) +
           ", \"timeout\": " + std::to_string(settings.timeout) +
           ", \"cacheTime\": " + std::to_string(settings.cacheTime) +
           ", \"enabled\": " + (settings.enabled != 0 ? "true" : "false") + "}\n";
}
