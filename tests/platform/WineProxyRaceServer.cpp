// An in-process server with one class and nothing else, for wine-proxy-race.exe
// (WineProxyRace.cpp): its class factory is one object for the module's whole life, as
// most servers' are, so every apartment that asks for it gets the same object.
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <new>

namespace
{
// {9086BF07-D2DA-4663-830E-FE14912C848A}, as WineProxyRace.cpp registers it.
constexpr CLSID ClsidRaceObject = {0x9086BF07, 0xD2DA, 0x4663, {0x83, 0x0E, 0xFE, 0x14, 0x91, 0x2C, 0x84, 0x8A}};

// An object that answers for IUnknown only, so that COM marshals it without any
// proxy/stub of its own.
class RaceObject final : public IUnknown
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
        {
            return E_POINTER;
        }
        *object = iid == IID_IUnknown ? this : nullptr;
        if (*object == nullptr)
        {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0)
        {
            delete this;
        }
        return left;
    }

private:
    std::atomic<ULONG> m_references{1};
};

// The module's one factory; it lives as long as the module, so its count is not kept.
class RaceFactory final : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
        {
            return E_POINTER;
        }
        *object = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (object == nullptr)
        {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr)
        {
            return CLASS_E_NOAGGREGATION;
        }
        RaceObject* created = new (std::nothrow) RaceObject;
        if (created == nullptr)
        {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

RaceFactory factory;
} // namespace

// The factory for ClsidRaceObject; CLASS_E_CLASSNOTAVAILABLE for any other class.
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    if (object == nullptr)
    {
        return E_POINTER;
    }
    *object = nullptr;
    return clsid == ClsidRaceObject ? factory.QueryInterface(iid, object) : CLASS_E_CLASSNOTAVAILABLE;
}

// Never: the module stays until the process ends.
STDAPI DllCanUnloadNow()
{
    return S_FALSE;
}
