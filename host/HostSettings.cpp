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

std::string AtMost(std::uint64_t limit)
{
    return "must be at most " + std::to_string(limit);
}

bool IsBlank(const std::wstring& text)
{
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return std::iswspace(c) != 0; });
}

bool IsControl(wchar_t c)
{
    return c < 0x20 || c == 0x7F;
}

// What a server name must be whether validation is enabled or not: it fits the blob and
// keeps to one line.
std::optional<SettingsRefusal> ServerFormRefusal(const std::wstring& server)
{
    if (server.size() > MaxServerUnits)
    {
        return SettingsRefusal{"server",
                               "at most " + std::to_string(MaxServerUnits) +
                                   " UTF-16 units (a character outside the BMP takes two)",
                               std::to_string(server.size())};
    }
    if (std::any_of(server.begin(), server.end(), IsControl))
    {
        return SettingsRefusal{"server", "must not hold control characters (U+0000 to U+001F, U+007F)",
                               "'" + ShownText(server) + "'"};
    }
    return std::nullopt;
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
        return SettingsRefusal{field, AtMost(limit), ToUtf8(*text)};
    }
    value = static_cast<std::uint32_t>(number.value);
    return std::nullopt;
}

// The stored value as shown, marked when it is refused.
std::string Shown(const std::vector<SettingsRefusal>& refusals, const char* field, const std::string& value)
{
    for (const SettingsRefusal& refusal : refusals)
    {
        if (refusal.field == field)
        {
            return value + " (invalid: " + refusal.rule + ")";
        }
    }
    return value;
}

// "enabled" in words when it is 0 or 1, otherwise its number.
std::string EnabledText(std::uint32_t enabled, const char* yes, const char* no)
{
    return enabled > 1 ? std::to_string(enabled) : enabled == 1 ? yes : no;
}
} // namespace

std::string SettingsRefusal::Reason() const
{
    return rule + (value.empty() ? "" : ", is " + value);
}

std::string SettingsRefusal::Text() const
{
    return field + ": " + Reason();
}

std::string RefusalsText(const std::vector<SettingsRefusal>& refusals)
{
    std::string text;
    for (const SettingsRefusal& refusal : refusals)
    {
        text += (text.empty() ? "" : "; ") + refusal.Text();
    }
    return text;
}

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

std::vector<SettingsRefusal> FindRefusals(const HostSettings& settings)
{
    std::vector<SettingsRefusal> refusals;
    if (settings.enabled > 1)
    {
        refusals.push_back({"enabled", "must be 0 or 1", std::to_string(settings.enabled)});
    }
    const bool enabled = settings.enabled != 0;
    if (auto refusal = ServerFormRefusal(settings.server))
    {
        refusals.push_back(*refusal);
    }
    else if (enabled && IsBlank(settings.server))
    {
        refusals.push_back({"server", "must not be empty or blank while validation is enabled"});
    }
    if (settings.port > MaxPort)
    {
        refusals.push_back({"port", AtMost(MaxPort), std::to_string(settings.port)});
    }
    else if (enabled && settings.port == 0)
    {
        refusals.push_back({"port", "must be 1 to 65535 while validation is enabled", "0"});
    }
    return refusals;
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
        if (auto refusal = ServerFormRefusal(*changes.server))
        {
            return refusal;
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

std::vector<SettingsRefusal> ApplyChanges(HostSettings& settings, const ParsedChanges& changes)
{
    HostSettings result = settings;
    result.server = changes.server.value_or(result.server);
    result.port = changes.port.value_or(result.port);
    result.timeout = changes.timeout.value_or(result.timeout);
    result.cacheTime = changes.cacheTime.value_or(result.cacheTime);
    result.enabled = changes.enabled.value_or(result.enabled);

    std::vector<SettingsRefusal> refusals = FindRefusals(result);
    if (refusals.empty())
    {
        settings = result;
    }
    // A field the user did not give: its stored value is the problem (refused as it is,
    // or once validation is on), and giving the option mends it.
    for (SettingsRefusal& refusal : refusals)
    {
        const bool given = (refusal.field == "enabled" && changes.enabled) ||
                           (refusal.field == "server" && changes.server) || (refusal.field == "port" && changes.port);
        if (!given)
        {
            refusal.rule = "the stored value is invalid (" + refusal.Reason() + "), give --" + refusal.field + " too";
            refusal.value.clear();
        }
    }
    return refusals;
}

std::string FormatSettings(const HostSettings& settings)
{
    const std::vector<SettingsRefusal> refusals = FindRefusals(settings);
    return "server:     " + Shown(refusals, "server", ShownText(settings.server)) + "\n" +
           "port:       " + Shown(refusals, "port", std::to_string(settings.port)) + "\n" +
           "timeout:    " + std::to_string(settings.timeout) + "\n" +
           "cache-time: " + std::to_string(settings.cacheTime) + "\n" +
           "enabled:    " + Shown(refusals, "enabled", EnabledText(settings.enabled, "yes", "no")) + "\n";
}

std::string FormatSettingsJson(const HostSettings& settings)
{
    std::string invalid;
    for (const SettingsRefusal& refusal : FindRefusals(settings))
    {
        invalid += (invalid.empty() ? ", \"invalid\": {" : ", ") + JsonString(FromUtf8(refusal.field)) + ": " +
                   JsonString(FromUtf8(refusal.rule));
    }
    return "{\"server\": " + JsonString(settings.server) + ", \"port\": " + std::to_string(settings.port) +
           ", \"timeout\": " + std::to_string(settings.timeout) +
           ", \"cacheTime\": " + std::to_string(settings.cacheTime) +
           ", \"enabled\": " + EnabledText(settings.enabled, "true", "false") + invalid + (invalid.empty() ? "" : "}") +
           "}\n";
}
