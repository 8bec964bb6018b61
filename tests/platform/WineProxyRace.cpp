// Reproduces a race in Wine 8.0's COM that has nothing to do with this project's code
// (docs/ROBUSTNESS.md, "Wine 8's proxy-manager race").
//
//   wine-proxy-race.exe SECONDS [--hold factory|factory+remunknown]
//
// The process's main apartment (single-threaded) serves a class of the "Neutral"
// threading model from a server of its own (wine-proxy-race-server.dll), and three
// threads of the multi-threaded apartment create objects of that class for SECONDS.
// Wine treats "Neutral" as main-threaded, so each creation from the multi-threaded
// apartment marshals the class factory out of the main apartment, unmarshals a proxy to
// it, calls CreateInstance through it and releases it. The factory is one object, so
// all those proxies share one proxy manager in the multi-threaded apartment, which
// Wine 8.0 can hand to one thread while another frees it. A second manager is shared
// the same way: the main apartment's IRemUnknown, which every proxy that gives its
// references back unmarshals. Sooner or later the program crashes.
//
// The threads keep the objects they create (released at the end): that makes the
// apartment's list of proxy managers long, and the factory's manager, made again each
// time it was freed, sits at its end, so a thread looking it up holds the apartment's
// lock for a while. A thread that frees the manager meanwhile has already let its count
// fall to 0 and waits for that lock: the lookup then takes the dying manager. Without
// this, the race shows only about once in tens of thousands of creations.
//
// --hold factory takes one proxy to the class factory before the threads start and
// keeps it to the end: the factory's manager is never freed, but the IRemUnknown one
// still is. --hold factory+remunknown also has that proxy fetch the IRemUnknown proxy,
// which it keeps for its life: neither manager is ever freed, and the race cannot happen.
//
// Exits with 0 when it ran the whole time and every creation succeeded, 1 when a
// creation failed, 2 on wrong arguments or when the class could not be set up; a crash
// ends it as Wine ends a crashed program (a backtrace on standard error, status 5 for an
// access violation, in the project's prefixes).
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{
// {9086BF07-D2DA-4663-830E-FE14912C848A}, the server's one class.
constexpr CLSID ClsidRaceObject = {0x9086BF07, 0xD2DA, 0x4663, {0x83, 0x0E, 0xFE, 0x14, 0x91, 0x2C, 0x84, 0x8A}};
const wchar_t* const ClassKey = L"CLSID\\{9086BF07-D2DA-4663-830E-FE14912C848A}";
constexpr int CreatingThreads = 3; // as many as create from that apartment in the soak

enum class Hold
{
    Nothing,
    Factory,
    FactoryAndRemoteUnknown,
};

// Registers the server beside this program as the class's in-process server, "Neutral";
// false on failure.
bool RegisterServer()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
    {
        return false;
    }
    std::wstring server(path);
    server.replace(server.find_last_of(L'\\') + 1, std::wstring::npos, L"wine-proxy-race-server.dll");
    const std::wstring key = std::wstring(ClassKey) + L"\\InprocServer32";
    const auto write = [&key](const wchar_t* name, const std::wstring& value) {
        return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    };
    return write(nullptr, server) && write(L"ThreadingModel", L"Neutral");
}

DWORD mainApartmentThreadId = 0; // written before the event below is set

// The process's main apartment: serves what the other apartment sends it until it gets
// WM_QUIT. Sets the event once the apartment exists (or could not be made).
void ServeMainApartment(HANDLE entered)
{
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    mainApartmentThreadId = GetCurrentThreadId();
    SetEvent(entered);
    if (FAILED(hr))
    {
        return;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    CoUninitialize();
}

std::atomic<long> creations{0};
std::atomic<long> failures{0};

// One thread of the multi-threaded apartment: creates and keeps objects until the end,
// then releases them.
void CreateUntil(std::chrono::steady_clock::time_point end)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
    {
        ++failures;
        return;
    }
    std::vector<IUnknown*> kept;
    while (std::chrono::steady_clock::now() < end)
    {
        IUnknown* object = nullptr;
        if (CoCreateInstance(ClsidRaceObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)) != S_OK)
        {
            ++failures;
            continue;
        }
        kept.push_back(object);
        ++creations;
    }
    for (IUnknown* object : kept)
    {
        object->Release();
    }
    CoUninitialize();
}

// A proxy to the class factory, called from the multi-threaded apartment; with
// FactoryAndRemoteUnknown it has fetched the main apartment's IRemUnknown too. Null on
// failure.
IClassFactory* TakeFactoryProxy(Hold hold)
{
    IClassFactory* factory = nullptr;
    if (CoGetClassObject(ClsidRaceObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                         reinterpret_cast<void**>(&factory)) != S_OK)
    {
        return nullptr;
    }
    if (hold == Hold::FactoryAndRemoteUnknown)
    {
        // An interface the proxy has not seen: it must ask the factory through IRemUnknown.
        IUnknown* other = nullptr;
        if (factory->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&other)) == S_OK)
        {
            other->Release();
        }
    }
    return factory;
}

int Usage()
{
    std::fprintf(stderr, "usage: wine-proxy-race.exe SECONDS [--hold factory|factory+remunknown]\n");
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 0;
    Hold hold = Hold::Nothing;
    if (argc == 4 && std::strcmp(argv[2], "--hold") == 0 && std::strcmp(argv[3], "factory") == 0)
    {
        hold = Hold::Factory;
    }
    else if (argc == 4 && std::strcmp(argv[2], "--hold") == 0 && std::strcmp(argv[3], "factory+remunknown") == 0)
    {
        hold = Hold::FactoryAndRemoteUnknown;
    }
    else if (argc != 2)
    {
        return Usage();
    }
    if (seconds <= 0)
    {
        return Usage();
    }
    if (!RegisterServer())
    {
        std::fprintf(stderr, "wine-proxy-race: cannot register the class, error %lu\n", GetLastError());
        return 2;
    }

    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread mainApartment(ServeMainApartment, entered);
    // The class factory comes from the main apartment, so it must exist before anyone asks.
    const bool ready = WaitForSingleObject(entered, 10000) == WAIT_OBJECT_0;
    CloseHandle(entered);
    int status = 2;
    IClassFactory* held = nullptr;
    if (!ready)
    {
        std::fprintf(stderr, "wine-proxy-race: the main apartment did not start within 10 s\n");
    }
    else if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
    {
        std::fprintf(stderr, "wine-proxy-race: cannot enter the multi-threaded apartment\n");
    }
    else if (hold != Hold::Nothing && (held = TakeFactoryProxy(hold)) == nullptr)
    {
        std::fprintf(stderr, "wine-proxy-race: cannot take a proxy to the class factory\n");
        CoUninitialize();
    }
    else
    {
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::seconds(seconds);
        std::vector<std::thread> threads;
        for (int i = 0; i < CreatingThreads; ++i)
        {
            threads.emplace_back(CreateUntil, end);
        }
        for (std::thread& thread : threads)
        {
            thread.join();
        }
        if (held != nullptr)
        {
            held->Release();
        }
        const char* const holding[] = {"nothing", "the factory", "the factory and IRemUnknown"};
        std::printf("wine-proxy-race: %.1f s, %d threads, %ld creations, %ld failed; held: %s\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), CreatingThreads,
                    creations.load(), failures.load(), holding[static_cast<int>(hold)]);
        status = failures.load() == 0 ? 0 : 1;
        CoUninitialize();
    }
    PostThreadMessageW(mainApartmentThreadId, WM_QUIT, 0, 0);
    mainApartment.join();
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey);
    return status;
}
