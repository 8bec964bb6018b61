#include "ComObject.h"

#include "SHVConfigModule.h"

HRESULT CComObjectRootBase::InternalQueryInterface(void* object, const InterfaceMapEntry* map, REFIID iid,
                                                   void** out) noexcept
{
    if (out == nullptr)
    {
        return E_POINTER;
    }
    *out = nullptr;
    const InterfaceMapEntry* found = nullptr;
    if (IsEqualIID(iid, IID_IUnknown))
    {
        found = map;
    }
    else
    {
        for (const InterfaceMapEntry* entry = map; entry->kind != 0; ++entry)
        {
            if (IsEqualIID(iid, *entry->iid))
            {
                found = entry;
                break;
            }
        }
    }
    if (found == nullptr || found->kind == 0)
    {
        return E_NOINTERFACE;
    }
    auto* unknown = reinterpret_cast<IUnknown*>(static_cast<BYTE*>(object) + found->offset);
    unknown->AddRef();
    *out = unknown;
    return S_OK;
}

LONG ModuleLock() noexcept
{
    CAtlModule* module = CAtlModule::Current();
    return module != nullptr ? module->Lock() : 0;
}

LONG ModuleUnlock() noexcept
{
    CAtlModule* module = CAtlModule::Current();
    return module != nullptr ? module->Unlock() : 0;
}
