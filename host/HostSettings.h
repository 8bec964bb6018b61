// The settings as the host tool sees them: decoded from and encoded into the 532-byte
// blob, changed from command-line text with the checks the settings dialog applies.
#pragma once

#include "SHVConfigBlob.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct HostSettings
{
    std::wstring server;
    std::uint32_t port = 0;
    std::uint32_t timeout = 0;
    std::uint32_t cacheTime = 0;
    std::uint32_t enabled = 0;
};

// A blob as the component hands it out, or an error text saying why the bytes are not
// one (size other than 532, version other than 1).
struct DecodedBlob
{
    std::optional<HostSettings> settings;
    std::string error;
};
DecodedBlob DecodeBlob(const std::vector<std::uint8_t>& bytes);

// The blob of the settings; a server name longer than 255 characters is refused by
// ApplyChanges before it gets here.
std::vector<std::uint8_t> EncodeBlob(const HostSettings& settings);

// Changes requested on the command line, as typed. Absent fields stay as they are.
struct SettingsChanges
{
    std::optional<std::wstring> server;
    std::optional<std::wstring> port;
    std::optional<std::wstring> timeout;
    std::optional<std::wstring> cacheTime;
    std::optional<std::wstring> enabled;

    bool Empty() const { return !server && !port && !timeout && !cacheTime && !enabled; }
};

// Applies the changes to the settings, checking them as the settings dialog does:
// numbers are unsigned decimal digits only; while validation is enabled the server must
// not be empty and the port must lie in 1-65535 (0-65535 otherwise); "enabled" takes
// yes/no, true/false, on/off or 1/0. On failure returns a one-line error that names the
// field and leaves the settings unchanged.
std::optional<std::string> ApplyChanges(HostSettings& settings, const SettingsChanges& changes);

// Plain text, one "name: value" line per setting, or a JSON object.
std::string FormatSettings(const HostSettings& settings);
std::string FormatSettingsJson(const HostSettings& settings);
