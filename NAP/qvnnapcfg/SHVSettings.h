// The validator's settings: the one process-wide record and its registry store.
#pragma once

#include "Lock.h"
#include "SHVConfigBlob.h"

#include <cstdint>
#include <string>

// Write-through record of the five settings kept under HKEY_LOCAL_MACHINE
// "Software\Quorvane\ZARUZARA\Settings". Every getter reloads all values from the
// registry first; every setter stores its field and writes all five values at once.
// The registry, not the memory, is the authority. Registry failures are never
// reported: unreadable values take their defaults, failed writes are ignored.
//
// Thread safety: every access to the fields holds the record's (re-entrant) lock,
// registry calls included. Load() and Save() expect the caller to hold it.
class SHVSettings : public System::Threading::Lock
{
public:
    // The process-wide record, created and loaded from the registry on first use.
    static SHVSettings& Instance();

    // A record loaded from the registry: the fields start as empty name, port 0,
    // time-out 20000, cache time 0, validation 0; if the key can be opened (it is
    // created when absent) each value is then read, unreadable ones taking their
    // defaults. Only the process-wide record is used by the component; tests build
    // their own to observe creation.
    SHVSettings();

    // Writes nothing: the registry already holds every change (write-through), and a
    // last write here could only put stale values over another process's changes.
    ~SHVSettings() override = default;

    // Reads all five values, each unreadable one taking its default. Returns false,
    // changing nothing, when the key cannot be created or opened.
    bool Load();

    // Writes all five values in their fixed order; nothing when the key cannot be opened.
    void Save();

    std::wstring GetServerName();
    std::uint16_t GetServerPort(); // the low 16 bits of the stored port
    std::uint32_t GetCacheTime();
    std::uint32_t GetValidationEnabled();

    SHVSettings& SetServerName(const std::wstring& name);
    SHVSettings& SetServerPort(std::uint16_t port);
    SHVSettings& SetCacheTime(std::uint32_t seconds);
    SHVSettings& SetValidationEnabled(bool enabled);

    // Serialises the in-memory values (no registry read) into the caller's buffer; the
    // name is cut to 255 characters and every unused byte is zero. Returns the buffer.
    SHVConfigBlob* ToBlob(SHVConfigBlob* blob);

    // Applies a blob whose version is 1 and writes all five values; any other version
    // is ignored. The name is taken from within its field only.
    void FromBlob(const SHVConfigBlob* blob);

private:
    std::wstring serverName;
    std::uint32_t serverPort = 0;
    std::uint32_t serverTimeout = 20000;
    std::uint32_t cacheTime = 0;
    std::uint32_t validationEnabled = 0;
};
