// Soak: eight threads share SHVConfig objects for a bounded time, creating them,
// exchanging blobs, asking for interfaces and counting references, all at once.
// Afterwards no blob read was torn, the registry holds the last blob applied, and the
// server can unload.
//
// The threads take every way a host has to create the class, each in the apartment a
// host would use:
// - Thread 0 is the process's main apartment, single-threaded for the whole run, as a
//   console's main thread is. It creates through CoCreateInstance; Wine creates the
//   "Neutral" class in this apartment directly, so these are the objects themselves
//   (checked), shared with every thread. Between its actions it pumps its messages, as
//   a main thread does, which serves what the other apartment sends it.
// - Threads 1 to 3 live in the multi-threaded apartment and create through
//   CoCreateInstance: COM creates the object in the main apartment and hands them a
//   proxy (the tests' proxy/stub is registered; Windows ships its own). The proxies are
//   shared among the multi-threaded threads, and each of their calls crosses to
//   thread 0. The test holds one proxy to the class factory meanwhile, to keep clear of
//   a race in Wine 8.0 (see TakeFactoryProxy).
// - Threads 4 to 7 live in the multi-threaded apartment too and create through the
//   class factory that DllGetClassObject hands out, as a host does that does not go
//   through COM's activation: the objects themselves, shared with every thread.
// No apartment waits on one that does not pump, so no thread needs to wait for another
// to create.
//
// The threads run for 0.6 seconds in the ordinary run; QVN_FUZZ_SCALE=N runs N times as
// long (one minute at 100).
#include "RegistrationState.h"
#include "SHVConfigBlob.h"

#include "support/ComponentDll.h"
#include "support/FuzzScale.h"
#include "support/OutOfProcess.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>
#include <napcommon.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{
constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};
const IID IidNapComponentConfig = __uuidof(INapComponentConfig);
const std::wstring SettingsPath = L"Software\\Quorvane\\ZARUZARA\\Settings";
constexpr int Threads = 8;
constexpr int MainApartmentThread = 0;
constexpr int ActivatingThreads = 4; // 1 to 3 activate from the multi-threaded apartment
// The main apartment serves at most this many calls from the other apartment between
// two actions of its own, so that it gets to act while the others keep it busy.
constexpr int PumpedPerAction = 4;
constexpr std::chrono::milliseconds RunPerScale{600};
constexpr unsigned Seed = 0x50A4u;

using Bytes = std::vector<BYTE>;

// The blob of sequence number n: every field follows from n, so a blob mixed from two
// writes cannot pass for one.
SHVConfigBlob SoakBlob(std::uint32_t n)
{
    SHVConfigBlob blob;
    std::memset(&blob, 0, sizeof blob);
    blob.version = 1;
    const std::u16string prefix = u"soak-" + std::u16string(1, char16_t(u'a' + n % 26)) + u"-";
    std::u16string name = prefix;
    for (std::uint32_t digits = n; digits != 0 || name.size() == prefix.size(); digits /= 10)
    {
        name += char16_t(u'0' + digits % 10);
    }
    name.resize(std::min<std::size_t>(name.size() + n % 200, 255), char16_t(u'A' + n % 26));
    std::memcpy(blob.serverName, name.data(), name.size() * 2);
    blob.serverPort = n;
    blob.serverTimeout = n ^ 0x5A5A5A5Au;
    blob.cacheTime = n * 2654435761u;
    blob.validationEnabled = n & 1;
    return blob;
}

// Whether a blob read is whole: exactly the blob of the number its port names.
bool IsWhole(const Bytes& read)
{
    if (read.size() != sizeof(SHVConfigBlob))
    {
        return false;
    }
    SHVConfigBlob blob;
    std::memcpy(&blob, read.data(), sizeof blob);
    const SHVConfigBlob expected = SoakBlob(blob.serverPort);
    return std::memcmp(&blob, &expected, sizeof blob) == 0;
}

// Objects shared by all threads. Each slot holds one reference of its own; a thread
// borrows an object by taking a reference of its own under the pool's lock.
class SharedObjects
{
public:
    ~SharedObjects() { ReleaseAll(); }

    // Takes over the caller's reference; an object pushed out is released.
    void Put(INapComponentConfig* object, std::mt19937& random)
    {
        INapComponentConfig* pushedOut = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            pushedOut = std::exchange(m_slots[random() % m_slots.size()], object);
        }
        if (pushedOut != nullptr)
        {
            pushedOut->Release();
        }
    }

    // A new reference to some shared object, or null when there is none.
    INapComponentConfig* Borrow(std::mt19937& random)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        INapComponentConfig* object = m_slots[random() % m_slots.size()];
        if (object != nullptr)
        {
            object->AddRef();
        }
        return object;
    }

    // Releases the reference of one slot.
    void Drop(std::mt19937& random)
    {
        INapComponentConfig* object = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            object = std::exchange(m_slots[random() % m_slots.size()], nullptr);
        }
        if (object != nullptr)
        {
            object->Release();
        }
    }

    void ReleaseAll()
    {
        for (INapComponentConfig*& object : m_slots)
        {
            if (object != nullptr)
            {
                object->Release();
                object = nullptr;
            }
        }
    }

private:
    std::mutex m_lock;
    std::vector<INapComponentConfig*> m_slots = std::vector<INapComponentConfig*>(12, nullptr);
};

struct Tally
{
    std::atomic<long> mainApartmentCreations{0};
    std::atomic<long> multithreadedCreations{0};
    std::atomic<long> factoryCreations{0};
    std::atomic<long> reads{0};
    std::atomic<long> tornReads{0};
    std::atomic<long> writes{0};
    std::atomic<long> refusedWrites{0};
    std::atomic<long> queries{0};
    std::atomic<long> referenceChanges{0};
    std::atomic<long> drops{0};
    std::atomic<long> proxyCalls{0}; // calls above that went through a proxy
    std::atomic<long> failures{0};   // calls that did not answer as documented
};

// Lets every thread start its work at the same moment, once all are ready.
class StartingLine
{
public:
    explicit StartingLine(int threads) : m_waiting(threads) {}

    // Arrives and waits for the others. A thread of a single-threaded apartment passes
    // what serves its apartment, which then runs every 10 ms while it waits.
    void ArriveAndWait(void (*serve)() = nullptr)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        --m_waiting;
        m_arrived.notify_all();
        while (m_waiting != 0)
        {
            if (serve == nullptr)
            {
                m_arrived.wait(guard);
                continue;
            }
            guard.unlock();
            serve();
            guard.lock();
            m_arrived.wait_for(guard, std::chrono::milliseconds(10));
        }
    }

    // Waits, without arriving, until every other thread has arrived.
    void AwaitTheOthers()
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_arrived.wait(guard, [this] { return m_waiting == 1; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    int m_waiting;
};

class SoakTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!RunningUnderWine())
        {
            GTEST_SKIP() << "Windows creates a \"Neutral\" class in the neutral apartment and hands the main "
                            "apartment a proxy that other threads may not call; the soak shares the objects the "
                            "main apartment creates with every thread, as Wine hands them out";
        }
        ASSERT_EQ(dll.DllRegisterServer(), S_OK);
        ExpectRegistered(HKEY_CLASSES_ROOT, PathBesideProgram(L"qvnnapcfg64.dll"));
    }
    void TearDown() override
    {
        if (IsSkipped())
        {
            return; // nothing was registered
        }
        EXPECT_EQ(dll.DllUnregisterServer(), S_OK);
        ExpectUnregistered(HKEY_CLASSES_ROOT);
    }

    // One thread's share of the soak.
    void Run(int index, std::chrono::steady_clock::time_point end)
    {
        const bool mainApartment = index == MainApartmentThread;
        std::mt19937 random(Seed + index);
        const HRESULT entered =
            CoInitializeEx(nullptr, mainApartment ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
        // The main apartment exists, and serves, before anyone creates.
        startingLine.ArriveAndWait(mainApartment ? ServeWaitingCalls : nullptr);
        if (entered != S_OK)
        {
            ++tally.failures;
            return;
        }
        std::vector<std::uint32_t> applied;
        if (mainApartment)
        {
            // Serving the other apartment keeps this thread busy; make sure it creates.
            if (INapComponentConfig* object = CreateInMainApartment())
            {
                objects.Put(object, random);
            }
        }
        while (std::chrono::steady_clock::now() < end)
        {
            if (mainApartment)
            {
                PumpMessages(PumpedPerAction);
            }
            const unsigned action = random() % 16;
            if (action == 0)
            {
                if (mainApartment)
                {
                    if (INapComponentConfig* object = CreateInMainApartment())
                    {
                        objects.Put(object, random);
                    }
                }
                else if (index < ActivatingThreads)
                {
                    if (INapComponentConfig* proxy = CreateFromMultithreadedApartment())
                    {
                        proxies.Put(proxy, random);
                    }
                }
                else if (INapComponentConfig* object = CreateThroughFactory())
                {
                    objects.Put(object, random);
                }
                continue;
            }
            // The main apartment uses the objects themselves; proxies belong to the
            // multi-threaded apartment.
            const bool useProxy = !mainApartment && random() % 2 == 0;
            SharedObjects& pool = useProxy ? proxies : objects;
            if (action == 1)
            {
                pool.Drop(random);
                ++tally.drops;
                continue;
            }
            INapComponentConfig* object = pool.Borrow(random);
            if (object == nullptr)
            {
                continue;
            }
            if (useProxy)
            {
                ++tally.proxyCalls;
            }
            if (action < 7)
            {
                Read(object);
            }
            else if (action < 10)
            {
                const std::uint32_t n = ++sequence;
                SHVConfigBlob blob = SoakBlob(n);
                if (object->SetConfig(sizeof blob, reinterpret_cast<BYTE*>(&blob)) == S_OK)
                {
                    applied.push_back(n);
                    ++tally.writes;
                }
                else
                {
                    ++tally.failures;
                }
            }
            else if (action < 11)
            {
                WriteRefused(object, random);
            }
            else if (action < 13)
            {
                Query(object, useProxy);
            }
            else
            {
                const int times = 1 + random() % 4;
                for (int i = 0; i < times; ++i)
                {
                    object->AddRef();
                }
                for (int i = 0; i < times; ++i)
                {
                    object->Release();
                }
                tally.referenceChanges += 2 * times;
            }
            object->Release();
        }
        {
            std::lock_guard<std::mutex> guard(appliedLock);
            appliedNumbers.insert(appliedNumbers.end(), applied.begin(), applied.end());
        }
        if (mainApartment)
        {
            // Calls through the proxies reach the objects on this thread: serve them until
            // the last proxy is gone.
            while (!proxiesReleased.load())
            {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
                PumpMessages(std::numeric_limits<int>::max());
            }
        }
        CoUninitialize();
    }

    static void ServeWaitingCalls() { PumpMessages(std::numeric_limits<int>::max()); }

    // Dispatches what is waiting, up to the given number of messages.
    static void PumpMessages(int most)
    {
        MSG message;
        for (int i = 0; i < most && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++i)
        {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    // CoCreateInstance in the main apartment, where Wine creates the class directly.
    INapComponentConfig* CreateInMainApartment()
    {
        INapComponentConfig* object = nullptr;
        const HRESULT hr = CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, IidNapComponentConfig,
                                            reinterpret_cast<void**>(&object));
        if (hr != S_OK || !IsTheObjectItself(object))
        {
            ++tally.failures;
            if (object != nullptr)
            {
                object->Release();
            }
            return nullptr;
        }
        ++tally.mainApartmentCreations;
        return object;
    }

    // A proxy to the class factory in the multi-threaded apartment, to hold while threads 1
    // to 3 create (null on failure). Wine 8.0 may hand out a proxy manager that another
    // thread is freeing: unmarshaling an object the apartment already has a manager for,
    // it takes that manager if its AddRef returns non-zero, and AddRef returns the new
    // count, so a manager whose count has just fallen to 0 is taken, freed by the other
    // thread, and used afterwards (docs/ROBUSTNESS.md, "Wine 8's proxy-manager race";
    // tests/platform/WineProxyRace.cpp reproduces it). Threads 1 to 3 share two managers:
    // the class factory's (each creation unmarshals a proxy to the one factory and
    // releases it) and the main apartment's IRemUnknown's (each proxy unmarshals it when
    // it gives back its references). This proxy holds the first, and keeps the IRemUnknown
    // proxy it fetches to answer a query it cannot answer itself, which holds the second:
    // neither count falls to 0 while the threads run.
    IClassFactory* TakeFactoryProxy()
    {
        IClassFactory* proxy = nullptr;
        if (CoGetClassObject(ClsidSHVConfig, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&proxy)) != S_OK)
        {
            return nullptr;
        }
        IUnknown* other = nullptr;
        if (proxy->QueryInterface(IID_IClassFactory2, reinterpret_cast<void**>(&other)) == S_OK)
        {
            other->Release();
        }
        return proxy;
    }

    // CoCreateInstance in the multi-threaded apartment: a proxy to an object that COM
    // creates in the main apartment.
    INapComponentConfig* CreateFromMultithreadedApartment()
    {
        INapComponentConfig* proxy = nullptr;
        const HRESULT hr = CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, IidNapComponentConfig,
                                            reinterpret_cast<void**>(&proxy));
        if (hr != S_OK)
        {
            ++tally.failures;
            return nullptr;
        }
        ++tally.multithreadedCreations;
        return proxy;
    }

    // Through a factory of its own from DllGetClassObject, sometimes with the server
    // locked around the creation.
    INapComponentConfig* CreateThroughFactory()
    {
        IClassFactory* factory = nullptr;
        if (dll.DllGetClassObject(ClsidSHVConfig, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK)
        {
            ++tally.failures;
            return nullptr;
        }
        const bool lock = GetTickCount() % 2 == 0;
        if (lock)
        {
            factory->LockServer(TRUE);
        }
        INapComponentConfig* object = nullptr;
        const HRESULT hr = factory->CreateInstance(nullptr, IidNapComponentConfig, reinterpret_cast<void**>(&object));
        if (lock)
        {
            factory->LockServer(FALSE);
        }
        factory->Release();
        if (hr != S_OK)
        {
            ++tally.failures;
            return nullptr;
        }
        ++tally.factoryCreations;
        return object;
    }

    // A proxy would have another table of methods than an object from the factory.
    bool IsTheObjectItself(INapComponentConfig* object) const
    {
        void* const* methods = *reinterpret_cast<void* const* const*>(object);
        return methods == factoryMethods;
    }

    void Read(INapComponentConfig* object)
    {
        UINT16 count = 0;
        BYTE* data = nullptr;
        if (object->GetConfig(&count, &data) != S_OK)
        {
            ++tally.failures;
            return;
        }
        const Bytes read(data, data + count);
        CoTaskMemFree(data);
        ++tally.reads;
        if (!IsWhole(read))
        {
            ++tally.tornReads;
        }
    }

    // A wrong size is refused; another version is taken and ignored.
    void WriteRefused(INapComponentConfig* object, std::mt19937& random)
    {
        SHVConfigBlob blob = SoakBlob(0xFFFFFFFFu);
        HRESULT hr = S_OK;
        if (random() % 2 == 0)
        {
            hr = object->SetConfig(sizeof blob - 1, reinterpret_cast<BYTE*>(&blob)) == E_FAIL ? S_OK : E_UNEXPECTED;
        }
        else
        {
            blob.version = 2;
            hr = object->SetConfig(sizeof blob, reinterpret_cast<BYTE*>(&blob));
        }
        ++tally.refusedWrites;
        if (hr != S_OK)
        {
            ++tally.failures;
        }
    }

    // The object answers for its one interface and IUnknown and nothing else. A proxy's
    // IUnknown is its proxy manager's, not the interface pointer, but it is one for all.
    void Query(INapComponentConfig* object, bool isProxy)
    {
        IUnknown* unknown = nullptr;
        IUnknown* unknownAgain = nullptr;
        INapComponentConfig* config = nullptr;
        void* factory = reinterpret_cast<void*>(1);
        const bool answered =
            object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)) == S_OK &&
            object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknownAgain)) == S_OK &&
            object->QueryInterface(IidNapComponentConfig, reinterpret_cast<void**>(&config)) == S_OK &&
            object->QueryInterface(IID_IClassFactory, &factory) == E_NOINTERFACE && factory == nullptr &&
            unknown == unknownAgain && (isProxy || static_cast<void*>(unknown) == static_cast<void*>(object)) &&
            config == object;
        for (IUnknown* reference : {unknown, unknownAgain, static_cast<IUnknown*>(config)})
        {
            if (reference != nullptr)
            {
                reference->Release();
            }
        }
        ++tally.queries;
        if (!answered)
        {
            ++tally.failures;
        }
    }

    const TestProxyRegistration proxy; // for creation from the multi-threaded apartment
    ScratchRegistry settings;          // the settings go to a scratch HKEY_LOCAL_MACHINE
    ComponentDll dll;
    SharedObjects objects; // the objects themselves, for every thread
    SharedObjects proxies; // proxies, for the multi-threaded apartment
    Tally tally;
    StartingLine startingLine{Threads + 1}; // and the test's own thread
    std::atomic<bool> proxiesReleased{false};
    std::atomic<std::uint32_t> sequence{0};
    std::mutex appliedLock;
    std::vector<std::uint32_t> appliedNumbers;
    void* const* factoryMethods = nullptr;
};

TEST_F(SoakTest, EightThreadsShareObjects)
{
    // A first object from the factory: its methods are the ones every object must have,
    // and its blob is the one in place before the threads start.
    IClassFactory* factory = dll.Factory();
    ASSERT_NE(factory, nullptr);
    INapComponentConfig* first = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IidNapComponentConfig, reinterpret_cast<void**>(&first)), S_OK);
    factory->Release();
    factoryMethods = *reinterpret_cast<void* const* const*>(first);
    SHVConfigBlob initial = SoakBlob(0);
    ASSERT_EQ(first->SetConfig(sizeof initial, reinterpret_cast<BYTE*>(&initial)), S_OK);
    std::mt19937 random(Seed);
    objects.Put(first, random);

    // This thread stays in the multi-threaded apartment until the proxies are released,
    // so that the apartment outlives the threads that made them.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    const auto duration = RunPerScale * FuzzScale();
    const auto end = std::chrono::steady_clock::now() + duration;
    std::vector<std::thread> threads;
    for (int index = 0; index < Threads; ++index)
    {
        threads.emplace_back([this, index, end] { Run(index, end); });
    }
    startingLine.AwaitTheOthers(); // every apartment exists, and the main one serves
    IClassFactory* const factoryProxy = TakeFactoryProxy();
    EXPECT_NE(factoryProxy, nullptr);
    startingLine.ArriveAndWait();
    for (int index = 0; index < Threads; ++index)
    {
        if (index != MainApartmentThread)
        {
            threads[index].join();
        }
    }
    // Served by the main apartment, which still pumps.
    if (factoryProxy != nullptr)
    {
        factoryProxy->Release();
    }
    proxies.ReleaseAll();
    proxiesReleased = true;
    threads[MainApartmentThread].join();
    CoUninitialize();

    // The record and the registry hold one blob, whole, and it is one that was applied;
    // since every SetConfig writes the registry under the record's lock, the registry
    // holds the one applied last.
    INapComponentConfig* last = objects.Borrow(random);
    if (last == nullptr)
    {
        last = CreateThroughFactory();
        ASSERT_NE(last, nullptr);
    }
    UINT16 count = 0;
    BYTE* data = nullptr;
    ASSERT_EQ(last->GetConfig(&count, &data), S_OK);
    const Bytes read(data, data + count);
    CoTaskMemFree(data);
    last->Release();
    ASSERT_TRUE(IsWhole(read));
    SHVConfigBlob held;
    std::memcpy(&held, read.data(), sizeof held);
    const std::uint32_t n = held.serverPort;
    EXPECT_TRUE(n == 0 || std::count(appliedNumbers.begin(), appliedNumbers.end(), n) == 1)
        << "blob " << n << " was never applied";
    const std::u16string name(held.serverName);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, SettingsPath, L"ServerName")->Text(),
              std::wstring(name.begin(), name.end()));
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, SettingsPath, L"ServerPort")->Dword(), held.serverPort);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, SettingsPath, L"ServerTimeout")->Dword(), held.serverTimeout);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, SettingsPath, L"CacheTime")->Dword(), held.cacheTime);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, SettingsPath, L"ValidationEnabled")->Dword(),
              held.validationEnabled);
    EXPECT_EQ(RegistryValueNames(HKEY_LOCAL_MACHINE, SettingsPath).size(), 5u);

    EXPECT_EQ(tally.tornReads.load(), 0) << "of " << tally.reads.load() << " reads";
    EXPECT_EQ(tally.failures.load(), 0);
    EXPECT_GT(tally.mainApartmentCreations.load(), 0);
    EXPECT_GT(tally.multithreadedCreations.load(), 0);
    EXPECT_GT(tally.factoryCreations.load(), 0);
    EXPECT_GT(tally.proxyCalls.load(), 0);
    EXPECT_GT(tally.writes.load(), 0);
    EXPECT_EQ(dll.DllCanUnloadNow(), S_FALSE) << "the pool still holds objects";
    objects.ReleaseAll();
    // Wine took one reference to the factory for each creation it hosted for the
    // multi-threaded apartment, and one for the factory proxy; without those, the server
    // unloads only if every reference the threads took reached its object.
    IClassFactory* classFactory = dll.Factory();
    ASSERT_NE(classFactory, nullptr);
    EXPECT_EQ(GiveBackFactoryReferencesHeldByWine(classFactory),
              RunningUnderWine() ? static_cast<ULONG>(tally.multithreadedCreations.load()) + 1 : 0u);
    classFactory->Release();
    EXPECT_EQ(dll.DllCanUnloadNow(), S_OK) << "every object, proxied or not, and every lock is released";

    std::printf("%.1f s: %ld objects created in the main apartment, %ld from the multi-threaded apartment "
                "(proxies), %ld through the factory, %ld reads (%ld torn), %ld blobs applied, %ld refused or "
                "ignored, %ld interface queries, %ld AddRef/Release, %ld drops; %ld of the calls through "
                "proxies\n",
                std::chrono::duration<double>(duration).count(), tally.mainApartmentCreations.load(),
                tally.multithreadedCreations.load(), tally.factoryCreations.load(), tally.reads.load(),
                tally.tornReads.load(), tally.writes.load(), tally.refusedWrites.load(), tally.queries.load(),
                tally.referenceChanges.load(), tally.drops.load(), tally.proxyCalls.load());
    RecordProperty("seconds", std::to_string(std::chrono::duration<double>(duration).count()));
    RecordProperty("threads", Threads);
    RecordProperty("main_apartment_creations", static_cast<int>(tally.mainApartmentCreations.load()));
    RecordProperty("multithreaded_creations", static_cast<int>(tally.multithreadedCreations.load()));
    RecordProperty("factory_creations", static_cast<int>(tally.factoryCreations.load()));
    RecordProperty("reads", static_cast<int>(tally.reads.load()));
    RecordProperty("torn_reads", static_cast<int>(tally.tornReads.load()));
    RecordProperty("writes", static_cast<int>(tally.writes.load()));
    RecordProperty("refused_writes", static_cast<int>(tally.refusedWrites.load()));
    RecordProperty("queries", static_cast<int>(tally.queries.load()));
    RecordProperty("reference_changes", static_cast<int>(tally.referenceChanges.load()));
    RecordProperty("drops", static_cast<int>(tally.drops.load()));
    RecordProperty("proxy_calls", static_cast<int>(tally.proxyCalls.load()));
    RecordProperty("misanswered_calls", static_cast<int>(tally.failures.load()));
}
} // namespace
