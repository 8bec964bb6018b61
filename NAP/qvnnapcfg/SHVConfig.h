// SHVConfig: the component's only COM class, driven by the NAP host through
// INapComponentConfig. It keeps no state: every method works on SHVSettings.
#pragma once

#include "ComObject.h"
#include "SHVConfigBlob.h"

#include <napcommon.h>

// {0C5C9CEC-1FF7-42E3-AC8F-4D9BAE296C5D}
inline constexpr CLSID CLSID_SHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};

template <class T, const CLSID* Clsid> class CComCoClass
{
public:
    static const CLSID& GetObjectCLSID() noexcept { return *Clsid; }
};

// Every method is noexcept: failures are HRESULTs, never exceptions.
class SHVConfig : public CComObjectRootEx<CComMultiThreadModelNoCS>,
                  public CComCoClass<SHVConfig, &CLSID_SHVConfig>,
                  public INapComponentConfig
{
public:
    virtual ~SHVConfig() = default;

    static const InterfaceMapEntry* GetInterfaceMap() noexcept;

    // Always TRUE. E_POINTER for a null argument.
    STDMETHOD(IsUISupported)(BOOL* isSupported) noexcept override;

    // Shows the settings dialog modally over the parent window (may be null) and
    // returns once it has ended. Always S_OK, also when the dialog cannot be created.
    STDMETHOD(InvokeUI)(HWND parent) noexcept override;

    // Hands out the current settings as a 532-byte blob in a CoTaskMemAlloc block
    // that the caller frees. E_POINTER for a null argument, E_OUTOFMEMORY when the
    // block cannot be allocated (arguments untouched).
    STDMETHOD(GetConfig)(UINT16* count, BYTE** data) noexcept override;

    // Applies a 532-byte blob and writes the registry. E_FAIL for any other size
    // (nothing read), E_POINTER for null data. A blob of another version is ignored and
    // still gives S_OK. When the settings cannot be stored (the key cannot be created or
    // a value not written), the HRESULT of that Win32 error, and the settings keep the
    // values they had.
    STDMETHOD(SetConfig)(UINT16 count, BYTE* data) noexcept override;
};

// The class table's entry for SHVConfig.
struct ClassEntry;
extern ClassEntry g_shvConfigClassEntry;
