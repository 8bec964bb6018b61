// The class factory that the class table creates once per class and caches.
#pragma once

#include "ComObject.h"

// IClassFactory around one class's instance creator. Its object lock is created by
// FinalConstruct but never taken: the factory has no state to protect.
class CComClassFactory : public IClassFactory, public CComObjectRootEx<CComMultiThreadModel>
{
public:
    virtual ~CComClassFactory() = default;

    static const InterfaceMapEntry* GetInterfaceMap() noexcept;

    void SetCreator(InstanceCreator creator) noexcept { m_creator = creator; }

    // Null out gives E_POINTER; an outer object with any IID but IUnknown gives
    // CLASS_E_NOAGGREGATION; otherwise the instance creator's result.
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** out) noexcept override;

    // Locks (nonzero) or unlocks the server once; always S_OK, balance is the caller's.
    STDMETHOD(LockServer)(BOOL lock) noexcept override;

private:
    InstanceCreator m_creator = nullptr;
};

// Factory creator of the class table: a new cached factory around creator, answered
// for iid. Null out gives E_POINTER; no memory for the object or its lock gives
// E_OUTOFMEMORY, and nothing is left behind on any failure.
HRESULT CreateClassFactory(InstanceCreator creator, REFIID iid, void** out) noexcept;
