#include "HostSettings.h"

#include "HostText.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

namespace
{
constexpr std::size_t MaxServerUnits = SHVConfigBlobNameUnits - 1;
constexpr std::uint32_t MaxPort = 65535;
constexpr std::uint64_t MaxNumber = 0xFFFFFFFFull;

// A number typed on the command line: ASCII decimal digits only (other scripts' digits,
// signs and blanks are refused), any count of leading zeros; its value saturates just
// above 32 bits, which is enough to tell "too large".
struct TypedNumber
{
    bool isNumber = false;
    std::uint64_t value = 0;
};

TypedNumber ParseNumber(const std::wstring& text)
{
    TypedNumber number;
    number.isNumber = !text.empty();
    for (wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
        {
            number.isNumber = false;
            break;
        }
        number.value = std::min(number.value * 10 + static_cast<std::uint64_t>(c - L'0'), MaxNumber + 1);
    }
    return number;
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

std::string AtMost(std::uint64_t limit, const std::string& value)
{
    return "must be at most " + std::to_string(limit) + ", is " + value;
}

std::string ServerTooLong(std::size_t units)
{
    return "at most " + std::to_string(MaxServerUnits) + " UTF-16 units (a character outside the BMP takes two), is " +
           std::to_string(units);
}

bool IsBlank(const std::wstring& text)
{
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return std::iswspace(c) != 0; });
}

// Every refusal of the settings, in the order enabled, server, port.
std::vector<SettingsRefusal> AllRefusals(const HostSettings& settings)
{
    std::vector<SettingsRefusal> refusals;
    if (settings.enabled > 1)
    {
        refusals.push_back({"enabled", "must be 0 or 1, is " + std::to_string(settings.enabled)});
    }
    const bool enabled = settings.enabled != 0;
    if (settings.server.size() > MaxServerUnits)
    {
        refusals.push_back({"server", ServerTooLong(settings.server.size())});
    }
    else if (enabled && IsBlank(settings.server))
    {
        refusals.push_back({"server", "must not be empty or blank while validation is enabled"});
    }
    if (settings.port > MaxPort)
    {
        refusals.push_back({"port", AtMost(MaxPort, std::to_string(settings.port))});
    }
    else if (enabled && settings.port == 0)
    {
        refusals.push_back({"port", "must be 1 to 65535 while validation is enabled, is 0"});
    }
    return refusals;
}

// A number change: its value, or the refusal of its text.
std::optional<SettingsRefusal> ParseNumberChange(const std::optional<std::wstring>& text, const char* field,
                                                 std::uint64_t limit, std::optional<std::uint32_t>& value)
{
    if (!text)
    {
        return std::nullopt;
    }
    const TypedNumber number = ParseNumber(*text);
    if (!number.isNumber)
    {
        return SettingsRefusal{field, "expected an unsigned number (ASCII digits 0-9), got '" + ToUtf8(*text) + "'"};
    }
    if (number.value > limit)
    {
        return SettingsRefusal{field, AtMost(limit, ToUtf8(*text))};
    }
    value = static_cast<std::uint32_t>(number.value);
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
    const std::size_t length = std::min(settings.server.size(), MaxServerUnits);
    std::copy_n(settings.server.begin(), length, blob.serverName);
    blob.serverPort = settings.port;
    blob.serverTimeout = settings.timeout;
    blob.cacheTime = settings.cacheTime;
    blob.validationEnabled = settings.enabled;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&blob);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof(blob));
}

std::optional<SettingsRefusal> FindRefusal(const HostSettings& settings)
{
    const std::vector<SettingsRefusal> refusals = AllRefusals(settings);
    return refusals.empty() ? std::nullopt : std::optional<SettingsRefusal>(refusals.front());
}

std::optional<SettingsRefusal> ParseChanges(const SettingsChanges& changes, ParsedChanges& parsed)
{
    ParsedChanges result;
    if (changes.enabled)
    {
        result.enabled = ParseSwitch(*changes.enabled);
        if (!result.enabled)
        {
            return SettingsRefusal{"enabled", "expected yes or no, got '" + ToUtf8(*changes.enabled) + "'"};
        }
    }
    if (changes.server)
    {
        if (changes.server->size() > MaxServerUnits)
        {
            return SettingsRefusal{"server", ServerTooLong(changes.server->size())};
        }
        result.server = changes.server;
    }
    if (auto refusal = ParseNumberChange(changes.port, "port", MaxPort, result.port))
    {
        return refusal;
    }
    if (auto refusal = ParseNumberChange(changes.timeout, "timeout", MaxNumber, result.timeout))
    {
        return refusal;
    }
    if (auto refusal = ParseNumberChange(changes.cacheTime, "cache-time", MaxNumber, result.cacheTime))
    {
        return refusal;
    }
    parsed = result;
    return std::nullopt;
}

std::optional<SettingsRefusal> ApplyChanges(HostSettings& settings, const ParsedChanges& changes)
{
    HostSettings result = settings;
    result.server = changes.server.value_or(result.server);
    result.port = changes.port.value_or(result.port);
    result.timeout = changes.timeout.value_or(result.timeout);
    result.cacheTime = changes.cacheTime.value_or(result.cacheTime);
    result.enabled = changes.enabled.value_or(result.enabled);

    std::optional<SettingsRefusal> refusal = FindRefusal(result);
    if (!refusal)
    {
        settings = result;
        return std::nullopt;
    }
    // A field the user did not give, refused already as stored: the stored value is the
    // problem, and giving the option mends it.
    const bool given = (refusal->field == "enabled" && changes.enabled) ||
                       (refusal->field == "server" && changes.server) || (refusal->field == "port" && changes.port);
    if (!given)
    {
        for (const SettingsRefusal& stored : AllRefusals(settings))
        {
            if (stored.field == refusal->field)
            {
                refusal->reason =
                    "the stored value is invalid (" + stored.reason + "); give --" + stored.field + " too";
                break;
            }
        }
    }
    return refusal;
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
