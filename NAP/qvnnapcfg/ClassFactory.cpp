#include "ClassFactory.h"

#include "SHVConfigModule.h"

const InterfaceMapEntry* CComClassFactory::GetInterfaceMap() noexcept
{
    static constexpr InterfaceMapEntry map[] = {
        InterfaceEntry<CComClassFactory, IClassFactory>(IID_IClassFactory),
        InterfaceMapEnd,
    };
    return map;
}

HRESULT CComClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept
{
    if (out == nullptr)
    {
        return E_POINTER;
    }
    *out = nullptr;
    if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown))
    {
        return CLASS_E_NOAGGREGATION;
    }
    return m_creator(outer, iid, out);
}

HRESULT CComClassFactory::LockServer(BOOL lock) noexcept
{
    if (lock)
    {
        ModuleLock();
    }
    else
    {
        ModuleUnlock();
    }
    return S_OK;
}

HRESULT CreateClassFactory(InstanceCreator creator, REFIID iid, void** out) noexcept
{
    if (out == nullptr)
    {
        return E_POINTER;
    }
    *out = nullptr;
    auto* factory = new (std::nothrow) CComObjectCached<CComClassFactory>();
    if (factory == nullptr)
    {
        return E_OUTOFMEMORY;
    }
    factory->SetCreator(creator);
    HRESULT hr = factory->FinalConstruct();
    if (SUCCEEDED(hr))
    {
        hr = factory->QueryInterface(iid, out);
    }
    if (FAILED(hr))
    {
        delete factory;
    }
    return hr;
}
