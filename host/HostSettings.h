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

// The blob of the settings; a server name longer than the blob's 255 UTF-16 units is
// refused by the checks below before it gets here, and cut if it gets here all the same.
std::vector<std::uint8_t> EncodeBlob(const HostSettings& settings);

// Why settings are refused: the field (as the option that sets it is named, without
// "--"), the rule its value breaks and, where the rule does not say it all, the value.
struct SettingsRefusal
{
    std::string field;
    std::string rule;  // "must be 0 or 1"
    std::string value; // "7", shown after the rule; empty when the rule says it all

    // "rule, is value".
    std::string Reason() const;
    // "field: rule, is value", as the tool prints it.
    std::string Text() const;
};

// The refusals as one line, "; " between them.
std::string RefusalsText(const std::vector<SettingsRefusal>& refusals);

// The checks of the settings dialog's OK button, made on a whole set of settings: while
// validation is enabled, a server name that is empty or blanks only (white space
// carries no address, although the dialog itself refuses only an empty one) and port 0
// are refused; always refused are a port above 65535 (the dialog keeps 16 bits), a
// server name beyond the blob's 255 UTF-16 units or holding a control character (C0 or
// DEL: it would break the one line a field takes), and an "enabled" other than 0 or 1.
// Every refusal, in the order enabled, server, port; empty when all is well.
std::vector<SettingsRefusal> FindRefusals(const HostSettings& settings);

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

// The changes with their text turned into values.
struct ParsedChanges
{
    std::optional<std::wstring> server;
    std::optional<std::uint32_t> port;
    std::optional<std::uint32_t> timeout;
    std::optional<std::uint32_t> cacheTime;
    std::optional<std::uint32_t> enabled;
};

// Checks the form of each change without looking at stored settings, so that a typing
// error is reported before the component is asked for anything: numbers are ASCII
// decimal digits only (leading zeros allowed) within 32 bits, a port at most 65535;
// "enabled" takes yes/no, true/false, on/off or 1/0; a server name fits the blob and
// holds no control character.
// Fills `parsed` and returns nothing, or returns the refusal of the first bad change.
std::optional<SettingsRefusal> ParseChanges(const SettingsChanges& changes, ParsedChanges& parsed);

// Applies parsed changes to the stored settings and checks the result with FindRefusals.
// Returns every refusal, empty when the changes are applied; a refusal of a field the
// changes do not touch (a stored value refused as it is, or once validation is turned
// on) says that the stored value is the problem and names the option that mends it. On
// refusal the settings stay unchanged.
std::vector<SettingsRefusal> ApplyChanges(HostSettings& settings, const ParsedChanges& changes);

// Plain text, one "name: value" line per setting, or a JSON object. Each shows what is
// stored, whatever it is: a value FindRefusals refuses is marked "(invalid: rule)" in
// text and named with its rule in the JSON object's "invalid" member (present only
// then), and an "enabled" other than 0 or 1 is shown as its number. Control characters
// in the server name are escaped (\n, \t, \u001b ...), so each field keeps one line.
std::string FormatSettings(const HostSettings& settings);
std::string FormatSettingsJson(const HostSettings& settings);
