// The COM object machinery of the module: reference-counted roots, table-driven
// QueryInterface, the object wrappers that bind a class to the module's lock count,
// and the creators that the class table calls.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <cstdint>
#include <new>

// One row of an interface map: the interface's IID and the cast that finds that
// interface within the object. A row without an IID ends the map. Rows are constant
// data: the map of a class is built by the compiler, never at first use.
struct InterfaceMapEntry
{
    const IID* iid;
    IUnknown* (*cast)(void* object) noexcept; // object: the class's object, as void*
};

// The cast of an interface map row: object is a Class, passed as void*.
template <class Class, class Interface> IUnknown* InterfaceCast(void* object) noexcept
{
    return static_cast<Interface*>(static_cast<Class*>(object));
}

// The map row of Interface within Class.
template <class Class, class Interface> constexpr InterfaceMapEntry InterfaceEntry(const IID& iid) noexcept
{
    return {&iid, &InterfaceCast<Class, Interface>};
}

inline constexpr InterfaceMapEntry InterfaceMapEnd = {nullptr, nullptr};

// A freed object's count; a stray AddRef or Release after destruction shows up at once.
inline constexpr LONG DestroyedRefCount = static_cast<LONG>(0xC0000001);

// Threading models of CComObjectRootEx. Both count references with interlocked
// operations; only CComMultiThreadModel carries an object lock.
struct CComMultiThreadModelNoCS
{
};
struct CComMultiThreadModel
{
};

// The reference count shared by every COM object of the module, and the table-driven
// QueryInterface.
class CComObjectRootBase
{
public:
    // Answers iid from the map of object's class (object is that class's object, as
    // void*): null out gives E_POINTER; IUnknown gives the map's first interface; an IID
    // not in the map gives E_NOINTERFACE with *out null. A found interface is AddRef'ed
    // and stored in *out.
    static HRESULT InternalQueryInterface(void* object, const InterfaceMapEntry* map, REFIID iid, void** out) noexcept;

protected:
    std::atomic<LONG> m_refCount{0};
};

template <class ThreadModel> class CComObjectRootEx;

template <> class CComObjectRootEx<CComMultiThreadModelNoCS> : public CComObjectRootBase
{
public:
    // Nothing to prepare: an object without a lock cannot fail to construct.
    HRESULT FinalConstruct() noexcept { return S_OK; }
};

template <> class CComObjectRootEx<CComMultiThreadModel> : public CComObjectRootBase
{
public:
    CComObjectRootEx() = default;
    ~CComObjectRootEx()
    {
        if (m_lockInitialized)
        {
            DeleteCriticalSection(&m_objectLock);
        }
    }
    CComObjectRootEx(const CComObjectRootEx&) = delete;
    CComObjectRootEx& operator=(const CComObjectRootEx&) = delete;

    // Creates the object lock; E_OUTOFMEMORY when the system has no memory for it.
    HRESULT FinalConstruct() noexcept
    {
        if (!InitializeCriticalSectionAndSpinCount(&m_objectLock, 0))
        {
            return E_OUTOFMEMORY;
        }
        m_lockInitialized = true;
        return S_OK;
    }

private:
    CRITICAL_SECTION m_objectLock{};
    bool m_lockInitialized = false;
};

// Increments and decrements the server's lock count (the module object's) and return
// the new count. Without a module object (before it is built or after it is destroyed)
// they do nothing and return 0.
LONG ModuleLock() noexcept;
LONG ModuleUnlock() noexcept;

// A creatable object: holds one module lock for its lifetime and frees itself when its
// last reference goes. Base must provide a static GetInterfaceMap().
template <class Base> class CComObject final : public Base
{
public:
    CComObject() noexcept { ModuleLock(); }
    ~CComObject() override
    {
        this->m_refCount.store(DestroyedRefCount);
        ModuleUnlock();
    }

    STDMETHOD_(ULONG, AddRef)() noexcept override { return static_cast<ULONG>(++this->m_refCount); }
    STDMETHOD_(ULONG, Release)() noexcept override
    {
        const LONG count = --this->m_refCount;
        if (count == 0)
        {
            delete this;
        }
        return static_cast<ULONG>(count);
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** out) noexcept override
    {
        return CComObjectRootBase::InternalQueryInterface(static_cast<Base*>(this), Base::GetInterfaceMap(), iid, out);
    }
};

// The class table's cached object (the class factory): the table's own reference does
// not keep the server loaded, so the module is locked only while a second reference
// exists.
template <class Base> class CComObjectCached final : public Base
{
public:
    ~CComObjectCached() override { this->m_refCount.store(DestroyedRefCount); }

    STDMETHOD_(ULONG, AddRef)() noexcept override
    {
        const LONG count = ++this->m_refCount;
        if (count == 2)
        {
            ModuleLock();
        }
        return static_cast<ULONG>(count);
    }
    STDMETHOD_(ULONG, Release)() noexcept override
    {
        const LONG count = --this->m_refCount;
        if (count == 0)
        {
            delete this;
        }
        else if (count == 1)
        {
            ModuleUnlock();
        }
        return static_cast<ULONG>(count);
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** out) noexcept override
    {
        return CComObjectRootBase::InternalQueryInterface(static_cast<Base*>(this), Base::GetInterfaceMap(), iid, out);
    }
};

// Creates an instance of a class (outer object, IID, out pointer); refuses aggregation.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// Creates the class factory of a class around its instance creator.
using FactoryCreator = HRESULT (*)(InstanceCreator creator, REFIID iid, void** out);

// The instance creator of a class implemented as CComObject<Class>: never aggregated.
// Null out gives E_POINTER, an outer object CLASS_E_NOAGGREGATION, no memory
// E_OUTOFMEMORY; an unsupported iid destroys the new object again.
template <class Class> HRESULT CreateComObject(IUnknown* outer, REFIID iid, void** out) noexcept
{
    if (outer != nullptr)
    {
        if (out == nullptr)
        {
            return E_POINTER;
        }
        *out = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    if (out == nullptr)
    {
        return E_POINTER;
    }
    *out = nullptr;
    auto* object = new (std::nothrow) CComObject<Class>();
    if (object == nullptr)
    {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = object->QueryInterface(iid, out);
    if (hr != S_OK)
    {
        delete object;
    }
    return hr;
}
