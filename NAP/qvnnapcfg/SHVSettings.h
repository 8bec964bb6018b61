// The validator's settings: the one process-wide record and its registry store.
#pragma once

#include "Lock.h"
#include "SHVConfigBlob.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

class RegistryKey;

// Write-through record of the five settings kept under HKEY_LOCAL_MACHINE
// "Software\Quorvane\ZARUZARA\Settings". Every getter reloads all values from the
// registry first; every setter stores its field and writes all five values at once.
// The registry, not the memory, is the authority. Unreadable values take their
// defaults, and a key that can be opened for reading only still serves the getters.
//
// A store that fails is reported, and the record then keeps the values it had: memory
// never holds a value that did not reach the registry. Stores write the values in their
// fixed order and stop at the first write that fails; the values written before it are
// then put back as the record holds them, so that the validator does not run on a mix
// of old and new settings. Should putting them back fail as well, the registry keeps
// the mix: the trace says so, and the next read (a getter or ToBlob) takes the record's
// values from the registry again, so that the record never shows what it does not hold.
//
// Thread safety: every access to the fields holds the record's (re-entrant) lock,
// registry calls included. Load() and Save() expect the caller to hold it.
class SHVSettings : public System::Threading::Lock
{
public:
    // The process-wide record, created and loaded from the registry on first use.
    static SHVSettings& Instance();

    // Writes nothing: the registry already holds every change (write-through), and a
    // last write here could only put stale values over another process's changes.
    ~SHVSettings() override = default;

    // Reads all five values, each unreadable one taking its default. Returns false,
    // changing nothing, when the key cannot be created or opened. The caller holds the
    // lock (asserted in debug builds).
    bool Load();

    // Writes all five values in their fixed order, the lock held as for Load. S_OK, or the HRESULT of the Win32
    // error of the key's creation or of the first write that failed (nothing is put back:
    // the record holds these very values).
    [[nodiscard]] HRESULT Save();

    std::wstring GetServerName();
    std::uint16_t GetServerPort(); // the low 16 bits of the stored port
    std::uint32_t GetCacheTime();
    std::uint32_t GetValidationEnabled();

    // Each stores its field and writes all five values. S_OK, or the HRESULT of the
    // Win32 error of the key's creation or of the first write that failed; the field then
    // keeps its previous value. In a sequence of setters, the ones that succeeded stay
    // stored.
    [[nodiscard]] HRESULT SetServerName(const std::wstring& name);
    [[nodiscard]] HRESULT SetServerPort(std::uint16_t port);
    [[nodiscard]] HRESULT SetCacheTime(std::uint32_t seconds);
    [[nodiscard]] HRESULT SetValidationEnabled(bool enabled);

    // The settings dialog's OK: stores the four values it edits (the time-out keeps its
    // value) in one store of all five, so they are stored all together or not at all.
    // Returns as the setters do.
    [[nodiscard]] HRESULT SetEditable(const std::wstring& name, std::uint16_t port, std::uint32_t seconds,
                                      bool enabled);

    // Serialises the in-memory values into the caller's buffer (no registry read, unless
    // a failed put-back left the registry holding other values); the name is cut to 255
    // characters and every unused byte is zero. Returns the buffer.
    SHVConfigBlob* ToBlob(SHVConfigBlob* blob);

    // Applies a blob whose version is 1 and writes all five values; any other version
    // is ignored (S_OK, nothing changed). The name is taken from within its field only.
    // A store that fails is returned as for the setters, and the record keeps its values.
    [[nodiscard]] HRESULT FromBlob(const SHVConfigBlob* blob);

    // ---- Test seams -------------------------------------------------------------------
    // A record of its own, built as Instance() builds the process-wide one, so that tests
    // can watch creation and work on a record the component does not share.
    static SHVSettings CreateForTesting() { return SHVSettings(); }
    // ---- End of test seams --------------------------------------------------------------

private:
    // A record loaded from the registry: the fields start as empty name, port 0,
    // time-out 20000, cache time 0, validation 0; if the key can be opened (it is
    // created when absent) each value is then read, unreadable ones taking their
    // defaults. Private: the component has one record, Instance().
    SHVSettings();

    // The five stored values, in their write order.
    struct Values
    {
        std::wstring serverName;
        std::uint32_t serverPort = 0;
        std::uint32_t serverTimeout = 20000;
        std::uint32_t cacheTime = 0;
        std::uint32_t validationEnabled = 0;
    };

    static constexpr std::size_t ValueCount = 5;

    // Writes changed and, when every write succeeded, makes it the record's values.
    // Otherwise puts back what it wrote and returns the first failure; a put-back that
    // fails is traced and marks the record for reloading.
    HRESULT Store(Values& changed);

    // Writes the first count values of from in their fixed order, stopping at the first
    // failure; written tells how many reached the registry.
    static HRESULT Write(const RegistryKey& key, const Values& from, std::size_t count, std::size_t& written);

    Values values;
    bool mustReload = false; // the registry may hold other values than the record
};
