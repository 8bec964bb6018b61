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
        for (const InterfaceMapEntry* entry = map; entry->iid != nullptr; ++entry)
        {
            if (IsEqualIID(iid, *entry->iid))
            {
                found = entry;
                break;
            }
        }
    }
    if (found == nullptr || found->iid == nullptr)
    {
        return E_NOINTERFACE;
    }
    IUnknown* unknown = found->cast(object);
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
