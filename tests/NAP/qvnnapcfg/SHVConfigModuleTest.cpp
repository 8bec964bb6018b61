// The shipped DLL as a COM host sees it: exports, class factory, object identity and
// the server lock count.
#include "support/ComponentDll.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>
#include <napcommon.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{
constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};
const IID IidNapComponentConfig = __uuidof(INapComponentConfig);
constexpr IID IidOther = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

class SHVConfigModuleTest : public ::testing::Test
{
protected:
    FreshComponentLoad fresh;
    ScratchRegistry scratch;
    ComponentDll dll;
};

TEST_F(SHVConfigModuleTest, CanUnloadRightAfterLoad)
{
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK);
}

TEST_F(SHVConfigModuleTest, FactoryHeldByClientKeepsServerLoaded)
{
    IClassFactory* factory = dll.Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(dll.DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->Release(), 1u) << "the class table keeps its own reference";
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK);
}

TEST_F(SHVConfigModuleTest, SameFactoryEveryTime)
{
    IClassFactory* first = dll.Factory();
    IClassFactory* second = dll.Factory();
    IUnknown* unknown = nullptr;
    ASSERT_EQ(dll.DllGetClassObject(ClsidSHVConfig, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(static_cast<IUnknown*>(first), unknown);
    unknown->Release();
    second->Release();
    first->Release();
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK);
}

TEST_F(SHVConfigModuleTest, GetClassObjectRejections)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.DllGetClassObject(ClsidSHVConfig, IidOther, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(dll.DllGetClassObject(ClsidSHVConfig, IidNapComponentConfig, &out), E_NOINTERFACE)
        << "the factory is not the object";

    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.DllGetClassObject(IidOther, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);

    EXPECT_EQ(dll.DllGetClassObject(ClsidSHVConfig, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK) << "the cached factory alone does not lock the server";
}

TEST_F(SHVConfigModuleTest, CreateInstanceRefusesAggregationAndNullOut)
{
    IClassFactory* factory = dll.Factory();
    ASSERT_NE(factory, nullptr);
    IUnknown* outer = factory; // any non-null object will do
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(outer, IidNapComponentConfig, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, nullptr), E_POINTER) << "checked before the outer";
    EXPECT_EQ(factory->CreateInstance(nullptr, IidNapComponentConfig, nullptr), E_POINTER);

    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    factory->Release();
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK) << "the refused object was destroyed and unlocked";
}

TEST_F(SHVConfigModuleTest, ObjectIdentityAndLifetime)
{
    IClassFactory* factory = dll.Factory();
    ASSERT_NE(factory, nullptr);
    INapComponentConfig* config = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IidNapComponentConfig, reinterpret_cast<void**>(&config)), S_OK);
    factory->Release();
    EXPECT_EQ(dll.DllCanUnloadNow(), S_FALSE) << "a live object locks the server";

    IUnknown* unknown = nullptr;
    INapComponentConfig* again = nullptr;
    ASSERT_EQ(config->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    ASSERT_EQ(config->QueryInterface(IidNapComponentConfig, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(config));
    EXPECT_EQ(again, config);
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(config->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(config->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    EXPECT_EQ(unknown->Release(), 2u);
    EXPECT_EQ(again->Release(), 1u);
    EXPECT_EQ(config->AddRef(), 2u);
    EXPECT_EQ(config->Release(), 1u);
    EXPECT_EQ(config->Release(), 0u) << "the last release destroys the object";
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK);
}

TEST_F(SHVConfigModuleTest, LockServerCountsWithoutBalanceCheck)
{
    IClassFactory* factory = dll.Factory();
    ASSERT_NE(factory, nullptr);
    factory->Release();

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(dll.DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK);

    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(dll.DllCanUnloadNow(), S_FALSE) << "a negative count is not zero";
    factory->LockServer(TRUE);
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK);
}

TEST_F(SHVConfigModuleTest, ConcurrentFirstRequestsShareOneFactory)
{
    constexpr int Threads = 8;
    std::vector<IClassFactory*> factories(Threads, nullptr);
    std::vector<HRESULT> results(Threads, E_FAIL);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < Threads; ++i)
    {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready < Threads)
            {
            }
            results[i] =
                dll.DllGetClassObject(ClsidSHVConfig, IID_IClassFactory, reinterpret_cast<void**>(&factories[i]));
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    for (int i = 0; i < Threads; ++i)
    {
        EXPECT_EQ(results[i], S_OK);
        EXPECT_EQ(factories[i], factories[0]) << "thread " << i << " got another factory";
    }
    for (IClassFactory* factory : factories)
    {
        factory->Release();
    }
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK);
}

TEST_F(SHVConfigModuleTest, UnloadAndReloadStartsAfresh)
{
    IClassFactory* factory = dll.Factory();
    ASSERT_NE(factory, nullptr);
    factory->Release();
    ASSERT_TRUE(UnloadComponentDllCompletely());
    ComponentDll reloaded;
    EXPECT_EQ(reloaded.DllCanUnloadNow(), S_OK);
    IClassFactory* fresh = reloaded.Factory();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->Release(), 1u);
}
} // namespace
