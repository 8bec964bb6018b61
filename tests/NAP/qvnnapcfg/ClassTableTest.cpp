// The class table's cache of class factories, with a factory that counts its creations
// and its destruction.
#include "SHVConfigModule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <thread>

namespace
{
constexpr CLSID TestClsid = {0x5D1E9A3C, 0x7B42, 0x4F11, {0x9C, 0x0D, 0x3E, 0x61, 0x28, 0xA4, 0x55, 0x90}};
constexpr CLSID OtherClsid = {0x5D1E9A3C, 0x7B42, 0x4F11, {0x9C, 0x0D, 0x3E, 0x61, 0x28, 0xA4, 0x55, 0x91}};

int g_created = 0;
int g_destroyed = 0;

// Answers IUnknown only, so that a request for IClassFactory fails its QueryInterface.
class CountedFactory final : public IUnknown
{
public:
    CountedFactory() { ++g_created; }
    ~CountedFactory() { ++g_destroyed; }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) noexcept override
    {
        *out = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        if (*out == nullptr)
        {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() noexcept override { return ++m_refs; }
    STDMETHOD_(ULONG, Release)() noexcept override
    {
        const ULONG refs = --m_refs;
        if (refs == 0)
        {
            delete this;
        }
        return refs;
    }

private:
    ULONG m_refs = 1;
};

HRESULT CreateCountedFactory(InstanceCreator, REFIID iid, void** out) noexcept
{
    auto* factory = new CountedFactory();
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

ClassEntry g_entry = {&TestClsid, nullptr, CreateCountedFactory, nullptr, {nullptr}, nullptr, nullptr};
ClassEntry g_otherEntry = {&OtherClsid, nullptr, CreateCountedFactory, nullptr, {nullptr}, nullptr, nullptr};
ClassEntry* const g_entries[] = {&g_entry, &g_otherEntry};

TEST(ClassTableTest, FactoryStaysCachedAfterAFailedQueryAndGoesWithTheTable)
{
    {
        ClassTable table(std::begin(g_entries), std::end(g_entries));
        void* out = &out;
        EXPECT_EQ(table.GetClassObject(TestClsid, IID_IClassFactory, &out), E_NOINTERFACE) << "first request";
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(table.GetClassObject(TestClsid, IID_IClassFactory, &out), E_NOINTERFACE) << "cached factory";
        IUnknown* factory = nullptr;
        ASSERT_EQ(table.GetClassObject(TestClsid, IID_IUnknown, reinterpret_cast<void**>(&factory)), S_OK);
        EXPECT_EQ(g_created, 1) << "one factory, cached through the failed requests";
        EXPECT_EQ(factory->Release(), 1u) << "the table's own reference";
        EXPECT_EQ(g_destroyed, 0);

        // The first creation's lock is free again: another thread creates the other
        // class's factory (this thread could enter the lock again whatever it holds).
        std::atomic<bool> created{false};
        std::thread other([&] {
            IUnknown* otherFactory = nullptr;
            EXPECT_EQ(table.GetClassObject(OtherClsid, IID_IUnknown, reinterpret_cast<void**>(&otherFactory)), S_OK);
            otherFactory->Release();
            created = true;
        });
        for (int wait = 0; wait < 1000 && !created; ++wait)
        {
            Sleep(10);
        }
        if (!created)
        {
            other.detach(); // it waits for good
            FAIL() << "the lock of the first creation is still held";
        }
        other.join();
    }
    // The module's table goes when the DLL unloads.
    EXPECT_EQ(g_destroyed, 2) << "the table releases its factories when it goes";
}
} // namespace
