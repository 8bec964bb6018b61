#include "SHVConfig.h"

#include "ClassFactory.h"
#include "ComBoundary.h"
#include "SHVConfigModule.h"
#include "SHVSettings.h"
#include "SettingsDialog.h"
#include "TraceLog.h"

#include <cstring>
#include <memory>

namespace
{
HRESULT NoRegistryEntries(BOOL) noexcept
{
    return S_OK; // the registration script writes the class's entries
}

void NoStartStop(bool) noexcept {}

struct CoTaskMemDeleter
{
    void operator()(void* block) const noexcept { CoTaskMemFree(block); }
};
} // namespace

ClassEntry g_shvConfigClassEntry = {
    &CLSID_SHVConfig,           // class
    NoRegistryEntries,          // update-registry function
    CreateClassFactory,         // factory creator
    CreateComObject<SHVConfig>, // instance creator
    {nullptr},                  // cached factory
    nullptr,                    // component categories: none
    NoStartStop,                // start/stop hook
};

const InterfaceMapEntry* SHVConfig::GetInterfaceMap() noexcept
{
    static constexpr InterfaceMapEntry map[] = {
        InterfaceEntry<SHVConfig, INapComponentConfig>(IID_INapComponentConfig),
        InterfaceMapEnd,
    };
    return map;
}

HRESULT SHVConfig::IsUISupported(BOOL* isSupported) noexcept
{
    if (isSupported == nullptr)
    {
        return E_POINTER;
    }
    *isSupported = TRUE;
    return S_OK;
}

HRESULT SHVConfig::InvokeUI(HWND parent) noexcept
{
    return InvokeSettingsDialog(parent);
}

HRESULT SHVConfig::GetConfig(UINT16* count, BYTE** data) noexcept
{
    WriteTrace(L"[SHVValidator::GetConfig] Begins");
    if (count == nullptr || data == nullptr)
    {
        WriteTrace(L"[SHVValidator::GetConfig] Failed. Null argument");
        return E_POINTER;
    }
    return ComBoundary([&] {
        std::unique_ptr<BYTE, CoTaskMemDeleter> block(static_cast<BYTE*>(CoTaskMemAlloc(SHVConfigBlobSize)));
        if (!block)
        {
            return E_OUTOFMEMORY;
        }
        SHVConfigBlob blob;
        SHVSettings::Instance().ToBlob(&blob);
        std::memcpy(block.get(), &blob, sizeof(blob));
        *count = SHVConfigBlobSize;
        *data = block.release();
        WriteTrace(L"[SHVValidator::GetConfig] Ends");
        return S_OK;
    });
}

HRESULT SHVConfig::SetConfig(UINT16 count, BYTE* data) noexcept
{
    WriteTrace(L"[SHVValidator::SetConfig] Begins");
    if (count != SHVConfigBlobSize)
    {
        WriteTrace(L"[SHVValidator::SetConfig] Failed. bCount doesnt match serialized structure");
        return E_FAIL;
    }
    if (data == nullptr)
    {
        WriteTrace(L"[SHVValidator::SetConfig] Failed. Null argument");
        return E_POINTER;
    }
    return ComBoundary([&] {
        // The host's bytes need not be aligned; work on a copy.
        SHVConfigBlob blob;
        std::memcpy(&blob, data, sizeof(blob));
        const HRESULT hr = SHVSettings::Instance().FromBlob(&blob);
        if (FAILED(hr))
        {
            WriteTrace(L"[SHVValidator::SetConfig] Failed. Settings not stored (0x%08X)", static_cast<unsigned>(hr));
            return hr;
        }
        WriteTrace(L"[SHVValidator::SetConfig] Ends");
        return S_OK;
    });
}
