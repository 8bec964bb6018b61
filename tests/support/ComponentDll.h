// The shipped DLL, loaded the way a COM host loads it: by path, through its exports.
#pragma once

#include <windows.h>
#include <napcommon.h>
#include <unknwn.h>

#include "UniqueHandle.h"

#include <cstdint>
#include <string>
#include <vector>

// Path of a file that sits beside the running test program.
std::wstring PathBesideProgram(const wchar_t* fileName);

// A settings blob as INapComponentConfig carries it.
using Blob = std::vector<BYTE>;

// A blob with these values (the server name zero-filled to its end).
Blob MakeBlob(const std::u16string& name, std::uint32_t port, std::uint32_t timeout = 10000, std::uint32_t cache = 180,
              std::uint32_t enabled = 1, std::uint32_t version = 1);

// GetConfig's blob, its block freed; fails the test and returns an empty one when the
// call fails.
Blob GetBlob(INapComponentConfig* config);

class ComponentDll
{
public:
    // Loads qvnnapcfg64.dll from beside the test program; fails the test if it cannot.
    ComponentDll();
    // Frees the DLL (the host's reference; the module stays while others hold it).
    ~ComponentDll();
    ComponentDll(const ComponentDll&) = delete;
    ComponentDll& operator=(const ComponentDll&) = delete;

    HMODULE Module() const { return m_module.Get(); }

    HRESULT DllCanUnloadNow() const;
    HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) const;
    HRESULT DllRegisterServer() const;
    HRESULT DllUnregisterServer() const;

    // The class factory of SHVConfig; fails the test if it cannot be had.
    IClassFactory* Factory() const;

    // A new SHVConfig object from the class factory, as INapComponentConfig; fails the
    // test and returns null if it cannot be had.
    INapComponentConfig* CreateConfig() const;

private:
    FARPROC Export(const char* name) const;

    UniqueModule m_module;
};

// Declared before a ComponentDll member, makes that member's load a fresh one.
struct FreshComponentLoad
{
    FreshComponentLoad();
};

// Frees every reference this process holds to the DLL, so that the next load builds
// its process-wide state afresh. Returns whether the DLL is gone afterwards.
bool UnloadComponentDllCompletely();
