// The registrar: runs registration scripts against the registry.
//
// A script lists root keys, each followed by a block of entries in braces:
//   [ForceRemove | NoRemove] keyname [= type value] [{ entries }]
//   [NoRemove] Val name = type value
//   Delete keyname [= type value]
// with the types s (REG_SZ), m (REG_MULTI_SZ, strings separated by \0), d (REG_DWORD)
// and b (REG_BINARY, hexadecimal digit pairs); a value or Delete entry has no block, and
// both passes refuse one before they change anything for it. The register pass creates
// what the script lists; the unregister pass removes the values it lists and every
// listed key that is not marked NoRemove and has no subkeys left. Placeholders "%name%"
// are replaced first (RegScript.h).
#pragma once

#include "RegScript.h"

#include <unknwn.h>

#include <string>
#include <vector>

// What a module hands the registrar: the replacements a script may use.
struct IRegistrarBase : public IUnknown
{
    // Adds the pair (name, value); duplicates are kept and the first one wins.
    // E_INVALIDARG for a null name or value, E_OUTOFMEMORY when it cannot be stored.
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR name, LPCOLESTR value) noexcept = 0;
    // Forgets every replacement; always S_OK.
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() noexcept = 0;
};

// A registrar for one registration run. It is a plain local object, not a COM object:
// QueryInterface answers E_NOTIMPL and leaves the out pointer alone, AddRef returns 1 and
// Release 0. Not shared between threads.
class CRegObject final : public IRegistrarBase
{
public:
    CRegObject() = default;
    virtual ~CRegObject();
    CRegObject(const CRegObject&) = delete;
    CRegObject& operator=(const CRegObject&) = delete;

    STDMETHOD(QueryInterface)(REFIID iid, void** out) noexcept override;
    STDMETHOD_(ULONG, AddRef)() noexcept override;
    STDMETHOD_(ULONG, Release)() noexcept override;
    STDMETHOD(AddReplacement)(LPCOLESTR name, LPCOLESTR value) noexcept override;
    STDMETHOD(ClearReplacements)() noexcept override;

    // Runs the script stored as resource (resourceType, resourceId) in the module file at
    // modulePath (loaded as a data file), converting its 8-bit text with the thread's
    // ANSI code page. The HRESULT of the last error when the file, the resource or the
    // conversion fails; otherwise RunScript's result.
    HRESULT RunResourceScript(LPCOLESTR modulePath, UINT resourceId, LPCOLESTR resourceType, BOOL doRegister) noexcept;

    // Expands the placeholders of text and runs every root block in the register or the
    // unregister pass. S_OK when all blocks ran. The first failing block ends the run
    // with its error (DISP_E_EXCEPTION for any syntax error, E_FAIL or E_OUTOFMEMORY as
    // ExpandPlaceholders and value writing give them, E_OUTOFMEMORY when the registrar
    // runs out of memory, the Win32 error of a registry call as HRESULT). In the register
    // pass a failing block (whatever the failure) is unregistered again, until the
    // unregister pass finds nothing more to remove, before the error is returned; blocks
    // before it stay registered, blocks after it are not read. E_INVALIDARG for a null
    // text.
    HRESULT RunScript(LPCOLESTR text, BOOL doRegister) noexcept;

private:
    std::vector<Replacement> m_replacements;
};
