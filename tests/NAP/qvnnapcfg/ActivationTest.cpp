// Real COM activation: Wine's regsvr32 registers the DLL in the prefix's own
// HKEY_CLASSES_ROOT, and this program, a client like the NAP host, creates the class
// through CoCreateInstance: in process from a single-threaded and from the multi-
// threaded apartment, and out of process in the system's surrogate. Every test leaves
// the prefix unregistered.
//
// Wine hosts "Neutral" classes in the process's main apartment (its first single-
// threaded one), or, when there is none, in a single-threaded apartment of its own, and
// hands other apartments a proxy. It has no proxy for INapComponentConfig, so the tests
// that need one register the tests' own (tests/proxy). Without it, creation from any
// apartment but the main one fails or waits for that one: the in-process tests without
// the proxy therefore keep the test's own thread outside COM, make each creating thread
// the main apartment in its turn, and show free-threaded use by calling the created
// object directly from many threads.
#include "RegistrationState.h"
#include "RegistryKey.h"
#include "SHVConfigBlob.h"

#include "support/ChildProcess.h"
#include "support/ComponentDll.h"
#include "support/OutOfProcess.h"

#include <gtest/gtest.h>
#include <napcommon.h>

#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace
{
constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};
const IID IidNapComponentConfig = __uuidof(INapComponentConfig);
const wchar_t* const ComponentFileName = L"qvnnapcfg64.dll";

// An export of the copy of the DLL that COM loaded into this process; null without one.
template <class Function> Function LoadedExport(const char* name)
{
    HMODULE module = GetModuleHandleW(ComponentFileName);
    return module != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)))
                             : nullptr;
}

// The DLL's own answer.
HRESULT DllCanUnloadNow()
{
    auto function = LoadedExport<HRESULT(WINAPI*)()>("DllCanUnloadNow");
    return function != nullptr ? function() : E_UNEXPECTED;
}

// The DLL's own class factory, straight from its export; null without one.
IClassFactory* LoadedFactory()
{
    auto function = LoadedExport<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
    IClassFactory* factory = nullptr;
    if (function != nullptr)
    {
        function(ClsidSHVConfig, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    }
    return factory;
}

// Sets a blob and reads one back; the port read is one some thread wrote.
void ExchangeBlobs(INapComponentConfig* config, std::uint32_t port)
{
    Blob blob = MakeBlob(u"nap.example.net", port);
    EXPECT_EQ(config->SetConfig(static_cast<UINT16>(blob.size()), blob.data()), S_OK);
    const Blob read = GetBlob(config);
    ASSERT_EQ(read.size(), sizeof(SHVConfigBlob));
    SHVConfigBlob fields;
    std::memcpy(&fields, read.data(), sizeof(fields));
    EXPECT_EQ(fields.version, 1u);
    EXPECT_GE(fields.serverPort, 1000u);
    EXPECT_LT(fields.serverPort, 2000u);
}

// Runs body on a new thread in an apartment of the given model.
template <class Body> void InApartment(COINIT model, Body body)
{
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, model), S_OK);
        body();
        CoUninitialize();
    }).join();
}

// The class registered by regsvr32 for each test, and unregistered after it.
class RegisteredClassTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(RunRegsvr32(L"/s \"" + dllPath + L"\""), 0u);
        ExpectRegistered(HKEY_CLASSES_ROOT, dllPath);
    }
    void TearDown() override
    {
        EXPECT_EQ(RunRegsvr32(L"/u /s \"" + dllPath + L"\""), 0u);
        ExpectUnregistered(HKEY_CLASSES_ROOT);
    }

    const std::wstring dllPath = PathBesideProgram(ComponentFileName);
};

class ActivationTest : public RegisteredClassTest
{
protected:
    ScratchRegistry settings; // the settings the objects write go to a scratch HKLM
};

TEST_F(ActivationTest, CreatedInApartmentsUsedFromManyThreads)
{
    if (!RunningUnderWine())
    {
        GTEST_SKIP() << "Windows creates a \"Neutral\" class in the neutral apartment and hands the creating "
                        "apartment a proxy that other threads may not call; the object itself, used here from "
                        "many threads, is what Wine hands out (CreatedInTheMultithreadedApartmentThroughTheProxy "
                        "covers Windows)";
    }
    for (std::uint32_t apartment = 0; apartment < 3; ++apartment)
    {
        InApartment(COINIT_APARTMENTTHREADED, [apartment] {
            INapComponentConfig* config = nullptr;
            ASSERT_EQ(CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, IidNapComponentConfig,
                                       reinterpret_cast<void**>(&config)),
                      S_OK);
            ExchangeBlobs(config, 1000 + apartment);

            std::vector<std::thread> users;
            for (std::uint32_t i = 0; i < 6; ++i)
            {
                users.emplace_back([config, i] {
                    for (std::uint32_t round = 0; round < 20; ++round)
                    {
                        ExchangeBlobs(config, 1100 + i * 20 + round);
                    }
                });
            }
            for (std::thread& thread : users)
            {
                thread.join();
            }
            EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "an object is alive";
            EXPECT_EQ(config->Release(), 0u);
            EXPECT_EQ(DllCanUnloadNow(), S_OK) << "everything is released";
        });
    }
}

// As a host's worker threads create the class on Windows, where the platform supplies
// the proxy/stub. Under Wine the object lives in the single-threaded apartment Wine
// makes for it, and every call below crosses to that apartment's thread.
TEST_F(ActivationTest, CreatedInTheMultithreadedApartmentThroughTheProxy)
{
    const TestProxyRegistration proxy;
    InApartment(COINIT_MULTITHREADED, [] {
        INapComponentConfig* config = nullptr;
        ASSERT_EQ(CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, IidNapComponentConfig,
                                   reinterpret_cast<void**>(&config)),
                  S_OK);
        BOOL supported = FALSE;
        EXPECT_EQ(config->IsUISupported(&supported), S_OK);
        EXPECT_EQ(supported, TRUE);
        ExchangeBlobs(config, 1000);

        std::vector<std::thread> users;
        for (std::uint32_t i = 0; i < 4; ++i)
        {
            users.emplace_back([config, i] {
                ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
                for (std::uint32_t round = 0; round < 5; ++round)
                {
                    ExchangeBlobs(config, 1100 + i * 5 + round);
                }
                CoUninitialize();
            });
        }
        for (std::thread& thread : users)
        {
            thread.join();
        }
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "an object is alive";
        EXPECT_EQ(config->Release(), 0u);
        // Wine took one reference to the factory for hosting the creation; without
        // it, the server unloads only if the release reached the object.
        IClassFactory* factory = LoadedFactory();
        ASSERT_NE(factory, nullptr);
        EXPECT_EQ(GiveBackFactoryReferencesHeldByWine(factory), RunningUnderWine() ? 1u : 0u);
        factory->Release();
        EXPECT_EQ(DllCanUnloadNow(), S_OK) << "the release reached the object";
    });
}

TEST_F(ActivationTest, UnregisteredClassIsNotFound)
{
    ASSERT_EQ(RunRegsvr32(L"/u /s \"" + dllPath + L"\""), 0u);
    ExpectUnregistered(HKEY_CLASSES_ROOT);
    InApartment(COINIT_APARTMENTTHREADED, [] {
        void* config = reinterpret_cast<void*>(1);
        EXPECT_EQ(CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, IidNapComponentConfig, &config),
                  REGDB_E_CLASSNOTREG);
        EXPECT_EQ(config, nullptr);
    });
}

// Out of process, as a console without administrator rights uses the class: COM loads
// the DLL into the system's surrogate (dllhost.exe) and every call crosses the process
// boundary through the proxy/stub. The test's thread creates from the multi-threaded
// apartment.
//
// The surrogate reads and writes the prefix's real settings key, not a scratch key of
// this process; the test keeps that key as it found it. Under Wine every activation
// starts a surrogate of its own that never ends, so the test ends those it started.
class OutOfProcessTest : public RegisteredClassTest
{
protected:
    void SetUp() override
    {
        RegisteredClassTest::SetUp();
        if (HasFatalFailure())
        {
            return;
        }
        // Registration writes DllSurrogate empty ("the system's surrogate"); Wine 8 then
        // starts the 32-bit surrogate, which needs 32-bit Wine, and the creation fails
        // with 0x80070002. So under Wine the test names the 64-bit one.
        UseSixtyFourBitSurrogate();
        surrogates.emplace();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, SettingsKeyPath); // no settings stored: the defaults
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        inApartment = true;
    }
    void TearDown() override
    {
        if (config != nullptr)
        {
            config->Release();
        }
        surrogates.reset();
        if (inApartment)
        {
            CoUninitialize();
        }
        RegisteredClassTest::TearDown();
    }

    // An object in the surrogate, as INapComponentConfig, in config.
    void CreateInSurrogate()
    {
        ASSERT_EQ(CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER,
                                   IidNapComponentConfig, reinterpret_cast<void**>(&config)),
                  S_OK);
    }

    RegistrySnapshot StoredSettings() const { return TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, SettingsKeyPath); }

    const TestProxyRegistration proxy;
    std::optional<SurrogateScope> surrogates; // from registration on
    bool inApartment = false;
    INapComponentConfig* config = nullptr;
};

TEST_F(OutOfProcessTest, BlobsCrossTheProcessBoundaryBothWays)
{
    CreateInSurrogate();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(GetModuleHandleW(ComponentFileName), nullptr) << "the DLL must not be loaded in the client";
    EXPECT_FALSE(SurrogatesHosting(ComponentFileName).empty()) << "no surrogate hosts the DLL";

    BOOL supported = FALSE;
    EXPECT_EQ(config->IsUISupported(&supported), S_OK);
    EXPECT_EQ(supported, TRUE);
    EXPECT_EQ(GetBlob(config), MakeBlob(u"unspecified", 2193)) << "no settings stored: the default blob";

    Blob written = MakeBlob(u"oop.example.net", 8443, 15000, 600, 0);
    ASSERT_EQ(config->SetConfig(static_cast<UINT16>(written.size()), written.data()), S_OK);
    EXPECT_EQ(GetBlob(config), written);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, SettingsKeyPath, L"ServerName")->Text(), L"oop.example.net");
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, SettingsKeyPath, L"CacheTime")->Dword(), 600u);

    // A wrong count is refused in the surrogate as in process, and changes nothing.
    const RegistrySnapshot stored = StoredSettings();
    Blob refused = MakeBlob(u"refused.example.net", 1);
    refused.resize(600);
    for (UINT16 count : {UINT16(0), UINT16(531), UINT16(533)})
    {
        EXPECT_EQ(config->SetConfig(count, refused.data()), E_FAIL) << "count " << count;
    }
    EXPECT_EQ(StoredSettings(), stored);
    EXPECT_EQ(GetBlob(config), written);

    // What the surrogate wrote, a process of this program's own reads: the DLL loaded
    // here for the first time takes the settings from the registry.
    ASSERT_EQ(GetModuleHandleW(ComponentFileName), nullptr);
    const ComponentDll inProcess;
    INapComponentConfig* local = inProcess.CreateConfig();
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(GetBlob(local), written);
    local->Release();
}

// Under Wine the surrogate never ends: dllhost.exe ends only when COM calls its
// ISurrogate::FreeSurrogate, and Wine 8's COM never does (its CoRegisterSurrogate does
// nothing), whatever DllCanUnloadNow answers. On Windows COM ends it once the DLL
// answers S_OK and its unload delay (minutes for the free-threaded surrogate) has
// passed: too long for the test run.
TEST_F(OutOfProcessTest, SurrogateOutlivesItsLastClientUnderWine)
{
    if (!RunningUnderWine())
    {
        GTEST_SKIP() << "Windows ends the surrogate only minutes after the last release";
    }
    CreateInSurrogate();
    ASSERT_NE(config, nullptr);
    const std::vector<DWORD> started = surrogates->Started();
    ASSERT_EQ(started.size(), 1u) << "one activation, one surrogate";
    EXPECT_EQ(GetBlob(config).size(), sizeof(SHVConfigBlob));
    EXPECT_EQ(std::exchange(config, nullptr)->Release(), 0u);

    constexpr DWORD Wait = 2000;
    HANDLE surrogate = OpenProcess(SYNCHRONIZE, FALSE, started.front());
    ASSERT_NE(surrogate, nullptr) << "the surrogate ended (a Wine that ends it: update this test and the README)";
    const DWORD waited = WaitForSingleObject(surrogate, Wait);
    CloseHandle(surrogate);
    EXPECT_EQ(waited, static_cast<DWORD>(WAIT_TIMEOUT))
        << "the surrogate ended after the last release (a Wine that ends it: update this test and the README)";
    RecordProperty("surrogate_running_ms_after_last_release", static_cast<int>(Wait));
}
} // namespace
