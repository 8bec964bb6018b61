// What a COM server's own DllRegisterServer writes under HKEY_CLASSES_ROOT, captured
// without touching the machine's registry, so that an installer can carry the same
// entries as data.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct HarvestedValue
{
    std::wstring name; // empty: the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data; // exactly the bytes registration wrote
};

struct HarvestedKey
{
    std::wstring path;                  // below HKEY_CLASSES_ROOT, parts joined by "\"
    std::vector<HarvestedValue> values; // sorted by name; empty: a key created with neither values nor subkeys
};

struct HarvestedRegistration
{
    std::wstring modulePath;        // the module's path as the module itself saw it while registering
    std::vector<HarvestedKey> keys; // parents before their subkeys, siblings by name
};

// Loads the module at dllPath, redirects this process's HKEY_CLASSES_ROOT,
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER to scratch keys, calls the module's
// DllRegisterServer, reads back everything it wrote under HKEY_CLASSES_ROOT, restores
// the predefined keys and deletes the scratch keys. The result lists every key that
// holds values and every key left with neither values nor subkeys; keys that only hold
// subkeys (such as "CLSID") are not listed, as creating their subkeys creates them.
//
// Redirection is process-wide: call it while no other thread of the process uses the
// registry. Afterwards the three predefined keys are the machine's again, even if the
// process had redirected them before. Throws PackagingError when the module cannot be
// loaded, has no DllRegisterServer, registration fails, or registration writes under
// HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER (which an HKEY_CLASSES_ROOT harvest would
// silently drop). The machine's registry is left as it was on every path.
HarvestedRegistration HarvestRegistration(const std::wstring& dllPath);
