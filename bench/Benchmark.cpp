// qvnnapcfg_bench: measures the component's figures in one run, each beside a reference
// measured in the same run under the same conditions, and prints them as a table.
//
//     qvnnapcfg_bench [--quick] [--tsv FILE]
//
// --quick takes few samples (the ordinary test run uses it), judges only the counted
// targets (registry calls, allocations, locks), since timings of a few samples on a
// shared machine mean little, and leaves out the figures across the process boundary. --tsv also writes the table as
// tab-separated values, one figure a line, for scripts/benchmark.sh.
//
// Exit status: 0 when every judged target is met, 2 when one is missed, 1 when a
// measurement could not be taken.
//
// Timings are medians over repetitions; the component's repetitions alternate with the
// reference's, so that both see the same load on the machine.
#include "Timing.h"

#include "RegistryKey.h"
#include "ResourceIds.h"
#include "SHVConfigBlob.h"
#include "UniqueHandle.h"

#include "support/ComponentDll.h"
#include "support/ImportCallCounter.h"
#include "support/OutOfProcess.h"
#include "support/ProcessProbes.h"
#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>
#include <napcommon.h>
#include <objbase.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{
constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};
// Wine's URL security manager (urlmon.dll, threading model "Both"): an in-process class
// whose creation, like SHVConfig's, only allocates a small object.
constexpr CLSID ClsidInternetSecurityManager = {
    0x7B8A2D94, 0x0AC9, 0x11D1, {0x89, 0x6C, 0x00, 0xC0, 0x4F, 0xB6, 0xBF, 0xC4}};

// "Within a small factor of the physical floor": the warm paths may cost at most this
// many times their floor. An uncontended lock (enter and leave) alone costs about two
// floors, a heap allocation ten or more.
constexpr double SmallFactor = 4.0;
// Loading the component may cost at most this many times the empty DLL's load.
constexpr double LoadFactor = 2.0;

// How many samples a figure takes: repetitions (the median is kept) and calls per
// repetition.
struct Samples
{
    int repetitions;
    int calls;
};

struct Settings
{
    bool quick = false;
    std::string tsvPath;

    Samples Pick(Samples full, Samples quickSamples) const { return quick ? quickSamples : full; }
};

enum class Judged
{
    None,    // a figure to read, no target
    Timing,  // judged in full runs only
    Counted, // judged in every run
};

struct Figure
{
    std::string label;
    double value = NAN;
    std::string unit;
    std::string referenceLabel;
    double reference = NAN;
    std::string target; // as text, e.g. "<= 2x" or "= 0"
    Judged judged = Judged::None;
    bool met = true;

    double Ratio() const { return std::isnan(reference) || reference == 0 ? NAN : value / reference; }
};

// A count that must be exact: `count` calls over `calls` measured calls, met only when it
// is `expectedPerCall` for each of them.
Figure CountedFigure(std::string label, long count, long expectedPerCall, long calls = 1)
{
    Figure figure{std::move(label), double(count) / double(calls), "calls"};
    figure.target = "= " + std::to_string(expectedPerCall);
    figure.judged = Judged::Counted;
    figure.met = count == expectedPerCall * calls;
    return figure;
}

// The medians of the component's and the reference's timings (each a function of the
// number of calls), over repetitions in which the two alternate, so that both see the
// same load on the machine.
template <class Component, class Reference>
std::pair<double, double> AlternatingMedians(const Samples& samples, Component component, Reference reference)
{
    std::vector<double> times, references;
    for (int repetition = 0; repetition < samples.repetitions; ++repetition)
    {
        times.push_back(component(samples.calls));
        references.push_back(reference(samples.calls));
    }
    return {Median(times), Median(references)};
}

std::string Number(double value)
{
    if (std::isnan(value))
    {
        return "";
    }
    char text[32];
    const double magnitude = std::fabs(value);
    std::snprintf(text, sizeof text,
                  magnitude >= 100 || value == std::floor(value) ? "%.0f"
                  : magnitude >= 10                              ? "%.1f"
                                                                 : "%.2f",
                  value);
    return text;
}

std::string Status(const Figure& figure, const Settings& settings)
{
    if (figure.judged == Judged::None)
    {
        return "";
    }
    if (figure.judged == Judged::Timing && settings.quick)
    {
        return "not judged (quick)";
    }
    return figure.met ? "met" : "MISSED";
}

// --- The component --------------------------------------------------------------------

// GetProcAddress returns a generic pointer; going through void(*)() states that the real
// signature is known.
template <class Function> Function Export(HMODULE module, const char* name)
{
    auto function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    if (function == nullptr)
    {
        throw std::runtime_error(std::string("the DLL does not export ") + name);
    }
    return function;
}

using DllGetClassObjectFunction = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

void Check(HRESULT hr, const char* what)
{
    if (hr != S_OK)
    {
        char text[160];
        std::snprintf(text, sizeof text, "%s failed: 0x%08lX", what, static_cast<unsigned long>(hr));
        throw std::runtime_error(text);
    }
}

INapComponentConfig* CreateConfig(IClassFactory* factory)
{
    INapComponentConfig* config = nullptr;
    Check(factory->CreateInstance(nullptr, __uuidof(INapComponentConfig), reinterpret_cast<void**>(&config)),
          "IClassFactory::CreateInstance");
    return config;
}

SHVConfigBlob SampleBlob()
{
    SHVConfigBlob blob;
    std::memset(&blob, 0, sizeof blob);
    blob.version = SHVConfigBlobVersion;
    std::memcpy(blob.serverName, u"updates.bench.example", sizeof u"updates.bench.example");
    blob.serverPort = 8443;
    blob.serverTimeout = 10000;
    blob.cacheTime = 600;
    blob.validationEnabled = 1;
    return blob;
}

// --- Loading --------------------------------------------------------------------------

struct LoadCost
{
    double load = 0;   // microseconds per LoadLibrary
    double unload = 0; // microseconds per FreeLibrary
};

LoadCost MeasureLoads(const std::wstring& path, int cycles)
{
    LoadCost cost;
    for (int cycle = 0; cycle < cycles; ++cycle)
    {
        const Stopwatch loading;
        HMODULE module = LoadLibraryW(path.c_str());
        cost.load += loading.Microseconds();
        if (module == nullptr)
        {
            throw std::runtime_error("cannot load a DLL for the load benchmark");
        }
        const Stopwatch unloading;
        FreeLibrary(module);
        cost.unload += unloading.Microseconds();
    }
    cost.load /= cycles;
    cost.unload /= cycles;
    return cost;
}

void BenchmarkLoading(const Settings& settings, std::vector<Figure>& figures)
{
    const std::wstring component = PathBesideProgram(L"qvnnapcfg64.dll");
    const std::wstring empty = PathBesideProgram(L"qvn_empty_reference.dll");
    if (!UnloadComponentDllCompletely())
    {
        throw std::runtime_error("the component is loaded already");
    }
    const ImportsHeldLoaded imports(component); // as a host's process has them
    const Samples samples = settings.Pick({25, 40}, {3, 10});
    MeasureLoads(component, 5); // whatever the platform sets up once
    MeasureLoads(empty, 5);

    std::vector<double> componentLoads, emptyLoads, componentUnloads, emptyUnloads;
    for (int repetition = 0; repetition < samples.repetitions; ++repetition)
    {
        const LoadCost ofComponent = MeasureLoads(component, samples.calls);
        const LoadCost ofEmpty = MeasureLoads(empty, samples.calls);
        componentLoads.push_back(ofComponent.load);
        componentUnloads.push_back(ofComponent.unload);
        emptyLoads.push_back(ofEmpty.load);
        emptyUnloads.push_back(ofEmpty.unload);
    }
    Figure load{"LoadLibrary of qvnnapcfg64.dll", Median(componentLoads), "us", "LoadLibrary of an empty DLL",
                Median(emptyLoads)};
    load.target = "<= " + Number(LoadFactor) + "x";
    load.judged = Judged::Timing;
    load.met = load.Ratio() <= LoadFactor;
    figures.push_back(load);
    figures.push_back({"FreeLibrary of qvnnapcfg64.dll", Median(componentUnloads), "us", "FreeLibrary of an empty DLL",
                       Median(emptyUnloads)});
}

// --- COM activation -------------------------------------------------------------------

double MeasureCreation(REFCLSID clsid, int calls)
{
    const Stopwatch watch;
    for (int call = 0; call < calls; ++call)
    {
        IUnknown* object = nullptr;
        Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
              "CoCreateInstance");
        object->Release();
    }
    return watch.Microseconds() / calls;
}

// The class registered in the prefix's HKEY_CLASSES_ROOT for the object's life.
class ScopedRegistration
{
public:
    explicit ScopedRegistration(const ComponentDll& dll) : m_dll(dll)
    {
        Check(m_dll.DllRegisterServer(), "DllRegisterServer");
    }
    ~ScopedRegistration() { m_dll.DllUnregisterServer(); }
    ScopedRegistration(const ScopedRegistration&) = delete;
    ScopedRegistration& operator=(const ScopedRegistration&) = delete;

private:
    const ComponentDll& m_dll;
};

// Runs on the process's main apartment, where Wine creates "Neutral" classes directly.
void BenchmarkActivation(const Settings& settings, const ComponentDll& dll, std::vector<Figure>& figures)
{
    const ScopedRegistration registration(dll);

    const Samples samples = settings.Pick({15, 400}, {3, 20});
    MeasureCreation(ClsidSHVConfig, 20); // COM loads each server once and keeps it
    MeasureCreation(ClsidInternetSecurityManager, 20);
    std::vector<double> component, reference;
    for (int repetition = 0; repetition < samples.repetitions; ++repetition)
    {
        component.push_back(MeasureCreation(ClsidSHVConfig, samples.calls));
        reference.push_back(MeasureCreation(ClsidInternetSecurityManager, samples.calls));
    }
    figures.push_back({"CoCreateInstance and Release of SHVConfig", Median(component), "us",
                       "the same of Wine's InternetSecurityManager (urlmon)", Median(reference)});
}

// --- DllGetClassObject, warm ----------------------------------------------------------

// One thread's share of a warm-path measurement: repetitions of batches in which only
// the acquiring calls are timed and the matching releases follow untimed, so that the
// count a call changes stays within a batch's size. Returns nanoseconds per acquiring
// call, one value per repetition.
std::vector<double> TimedBatches(const Samples& samples, int batch, const std::function<void(int)>& acquire,
                                 const std::function<void(int)>& release)
{
    std::vector<double> perCall;
    for (int repetition = 0; repetition < samples.repetitions; ++repetition)
    {
        double nanoseconds = 0;
        for (int round = 0; round < samples.calls / batch; ++round)
        {
            const Stopwatch watch;
            acquire(batch);
            nanoseconds += watch.Nanoseconds();
            release(batch);
        }
        perCall.push_back(nanoseconds / (samples.calls / batch * batch));
    }
    return perCall;
}

// Runs body on the given number of threads at once and returns all their
// per-repetition figures. The threads start together once all of them exist, and end
// only after all of them are done, so that what a thread's start and end does (a DLL's
// thread notifications) stays outside the window from started() to finished().
std::vector<double> OnThreads(int threads, const std::function<std::vector<double>()>& body,
                              const std::function<void()>& started, const std::function<void()>& finished)
{
    std::atomic<int> ready{0};
    std::atomic<int> done{0};
    std::atomic<bool> go{false};
    std::atomic<bool> leave{false};
    std::vector<std::vector<double>> results(threads);
    std::vector<std::thread> workers;
    for (int thread = 0; thread < threads; ++thread)
    {
        workers.emplace_back([&, thread] {
            ++ready;
            while (!go.load())
            {
            }
            results[thread] = body();
            ++done;
            while (!leave.load())
            {
                Sleep(0);
            }
        });
    }
    while (ready.load() < threads)
    {
        Sleep(0);
    }
    started();
    go = true;
    while (done.load() < threads)
    {
        Sleep(0);
    }
    finished();
    leave = true;
    for (std::thread& worker : workers)
    {
        worker.join();
    }
    std::vector<double> all;
    for (const auto& result : results)
    {
        all.insert(all.end(), result.begin(), result.end());
    }
    return all;
}

void BenchmarkClassObject(const Settings& settings, const ComponentDll& dll, std::vector<Figure>& figures)
{
    constexpr int Batch = 4096;
    const auto getClassObject = Export<DllGetClassObjectFunction>(dll.Module(), "DllGetClassObject");
    IClassFactory* warm = dll.Factory(); // the first request creates and caches the factory
    if (warm == nullptr)
    {
        throw std::runtime_error("no class factory");
    }

    auto componentBody = [&](const Samples& samples) {
        std::vector<IClassFactory*> factories(Batch);
        return TimedBatches(
            samples, Batch,
            [&](int count) {
                for (int i = 0; i < count; ++i)
                {
                    getClassObject(ClsidSHVConfig, IID_IClassFactory, reinterpret_cast<void**>(&factories[i]));
                }
            },
            [&](int count) {
                for (int i = 0; i < count; ++i)
                {
                    factories[i]->Release();
                }
            });
    };
    alignas(64) static volatile LONG shared = 0;
    auto referenceBody = [&](const Samples& samples) {
        return TimedBatches(
            samples, Batch,
            [&](int count) {
                for (int i = 0; i < count; ++i)
                {
                    InterlockedIncrement(&shared);
                }
            },
            [&](int count) {
                for (int i = 0; i < count; ++i)
                {
                    InterlockedDecrement(&shared);
                }
            });
    };

    const Samples samples = settings.Pick({5, 40 * Batch}, {2, 4 * Batch});
    const int rounds = settings.quick ? 1 : 3;
    ImportCallCounter counter("qvnnapcfg64.dll");
    ImportCallCounts counts; // while the component's calls run, summed
    auto countFromHere = [&] { counter.Reset(); };
    auto countUpToHere = [&] {
        const ImportCallCounts window = counter.Counts();
        counts.allocations += window.allocations;
        counts.locks += window.locks;
    };
    auto nothing = [] {};
    for (int threads = 1; threads <= 2; ++threads)
    {
        std::vector<double> component, reference;
        for (int round = 0; round < rounds; ++round)
        {
            const auto ofComponent = OnThreads(
                threads, [&] { return componentBody(samples); }, countFromHere, countUpToHere);
            const auto ofReference = OnThreads(
                threads, [&] { return referenceBody(samples); }, nothing, nothing);
            component.insert(component.end(), ofComponent.begin(), ofComponent.end());
            reference.insert(reference.end(), ofReference.begin(), ofReference.end());
        }
        const std::string on = threads == 1 ? "1 thread" : "2 threads at once";
        Figure figure{"DllGetClassObject, warm, " + on, Median(component), "ns",
                      "InterlockedIncrement of one shared count, " + on, Median(reference)};
        figure.target = "<= " + Number(SmallFactor) + "x";
        figure.judged = Judged::Timing;
        figure.met = figure.Ratio() <= SmallFactor;
        figures.push_back(figure);
    }
    figures.push_back(CountedFigure("DllGetClassObject, warm: allocations while measured", counts.allocations, 0));
    figures.push_back(CountedFigure("DllGetClassObject, warm: locks taken while measured", counts.locks, 0));
    warm->Release();
}

// --- GetConfig and SetConfig ----------------------------------------------------------

void BenchmarkGetConfig(const Settings& settings, INapComponentConfig* config, std::vector<Figure>& figures)
{
    const Samples samples = settings.Pick({15, 20000}, {3, 500});
    const SHVConfigBlob source = SampleBlob();
    auto component = [&](int calls) {
        const Stopwatch watch;
        for (int call = 0; call < calls; ++call)
        {
            UINT16 count = 0;
            BYTE* data = nullptr;
            config->GetConfig(&count, &data);
            CoTaskMemFree(data);
        }
        return watch.Nanoseconds() / calls;
    };
    auto floor = [&](int calls) {
        const Stopwatch watch;
        for (int call = 0; call < calls; ++call)
        {
            void* block = CoTaskMemAlloc(sizeof source);
            std::memcpy(block, &source, sizeof source);
            CoTaskMemFree(block);
        }
        return watch.Nanoseconds() / calls;
    };
    component(100); // the first call reads the settings from the registry
    std::vector<double> times, floors;
    for (int repetition = 0; repetition < samples.repetitions; ++repetition)
    {
        times.push_back(component(samples.calls));
        floors.push_back(floor(samples.calls));
    }
    Figure figure{"GetConfig (and CoTaskMemFree of its block)", Median(times), "ns",
                  "CoTaskMemAlloc, 532-byte copy, CoTaskMemFree", Median(floors)};
    figure.target = "<= " + Number(SmallFactor) + "x";
    figure.judged = Judged::Timing;
    figure.met = figure.Ratio() <= SmallFactor;
    figures.push_back(figure);

    ImportCallCounter counter("qvnnapcfg64.dll");
    constexpr int Calls = 1000;
    component(Calls);
    const ImportCallCounts counts = counter.Counts();
    figures.push_back(CountedFigure("GetConfig: registry calls per call", counts.RegistryCalls(), 0, Calls));
    figures.push_back(
        {"GetConfig: allocations per call (the block it hands out)", double(counts.allocations) / Calls, "calls"});
}

void BenchmarkSetConfig(const Settings& settings, INapComponentConfig* config, std::vector<Figure>& figures)
{
    const Samples samples = settings.Pick({9, 300}, {2, 20});
    SHVConfigBlob blob = SampleBlob();
    auto component = [&](int calls) {
        return MicrosecondsPerCall(
            calls, [&] { Check(config->SetConfig(sizeof blob, reinterpret_cast<BYTE*>(&blob)), "SetConfig"); });
    };
    // The same five writes under the same key, made directly.
    auto direct = [&](int calls) {
        const std::wstring name(reinterpret_cast<const wchar_t*>(blob.serverName));
        const Stopwatch watch;
        for (int call = 0; call < calls; ++call)
        {
            HKEY key = nullptr;
            RegCreateKeyW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane\\ZARUZARA\\Settings", &key);
            RegSetValueExW(key, L"ServerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                           DWORD((name.size() + 1) * sizeof(wchar_t)));
            RegSetValueExW(key, L"ServerPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&blob.serverPort), 4);
            RegSetValueExW(key, L"ServerTimeout", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&blob.serverTimeout), 4);
            RegSetValueExW(key, L"CacheTime", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&blob.cacheTime), 4);
            RegSetValueExW(key, L"ValidationEnabled", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&blob.validationEnabled), 4);
            RegCloseKey(key);
        }
        return watch.Microseconds() / calls;
    };
    component(10);
    direct(10);
    const auto [time, reference] = AlternatingMedians(samples, component, direct);
    figures.push_back({"SetConfig", time, "us", "the same key opened and five values written directly", reference});

    ImportCallCounter counter("qvnnapcfg64.dll");
    constexpr int Calls = 100;
    component(Calls);
    const ImportCallCounts counts = counter.Counts();
    figures.push_back(CountedFigure("SetConfig: keys opened per call", counts.registryOpens, 1, Calls));
    figures.push_back(CountedFigure("SetConfig: values written per call", counts.registryWrites, 5, Calls));
    figures.push_back(CountedFigure("SetConfig: values read per call", counts.registryReads, 0, Calls));
    figures.push_back(CountedFigure("SetConfig: keys closed per call", counts.registryCloses, 1, Calls));
    // The record's own lock, which the counter must see for its zero elsewhere to mean
    // anything.
    figures.push_back(
        {"SetConfig: locks taken per call (the settings record's)", double(counts.locks) / Calls, "calls"});
}

// --- Out of process -------------------------------------------------------------------

// The reference for calls across the process boundary: the platform's own ILockBytes on
// global memory, with the platform's own proxy/stub, in the single-threaded apartment of
// a second process (this program, started with --serve-lockbytes). Wine hosts SHVConfig
// in a single-threaded apartment of the surrogate as well, so both take the same route;
// ReadAt of 532 bytes carries a block back as GetConfig does, WriteAt of 532 bytes
// carries one there as SetConfig does.
constexpr const char* ServeLockBytesOption = "--serve-lockbytes";

using UniqueKernelHandle = UniqueHandle<HANDLE, &CloseHandle>;

void WriteAll(HANDLE file, const void* data, DWORD size)
{
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr) || written != size)
    {
        throw std::runtime_error("cannot write to the pipe");
    }
}

void ReadAll(HANDLE file, void* data, DWORD size)
{
    auto* bytes = static_cast<BYTE*>(data);
    while (size > 0)
    {
        DWORD read = 0;
        if (!ReadFile(file, bytes, size, &read, nullptr) || read == 0)
        {
            throw std::runtime_error("the reference's server ended before it sent its object");
        }
        bytes += read;
        size -= read;
    }
}

// The server's side: the object marshalled for another process goes to standard output
// as its length (4 bytes) and its bytes; the apartment then serves calls until standard
// input ends.
int ServeLockBytes()
{
    Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    ILockBytes* lockBytes = nullptr;
    Check(CreateILockBytesOnHGlobal(nullptr, TRUE, &lockBytes), "CreateILockBytesOnHGlobal");
    const SHVConfigBlob blob = SampleBlob();
    ULONG written = 0;
    Check(lockBytes->WriteAt(ULARGE_INTEGER{}, &blob, sizeof blob, &written), "ILockBytes::WriteAt");
    IStream* stream = nullptr;
    Check(CreateStreamOnHGlobal(nullptr, TRUE, &stream), "CreateStreamOnHGlobal");
    Check(CoMarshalInterface(stream, IID_ILockBytes, lockBytes, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL),
          "CoMarshalInterface");
    HGLOBAL memory = nullptr;
    Check(GetHGlobalFromStream(stream, &memory), "GetHGlobalFromStream");
    ULARGE_INTEGER size = {};
    Check(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &size), "IStream::Seek");
    const DWORD length = static_cast<DWORD>(size.QuadPart);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    WriteAll(output, &length, sizeof length);
    WriteAll(output, GlobalLock(memory), length);
    GlobalUnlock(memory);

    const DWORD apartmentThread = GetCurrentThreadId();
    std::thread watcher([apartmentThread] {
        char byte = 0;
        DWORD read = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read != 0)
        {
        }
        PostThreadMessageW(apartmentThread, WM_QUIT, 0, 0);
    });
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    watcher.join();
    stream->Release();
    lockBytes->Release();
    CoUninitialize();
    return 0;
}

// The client's side: starts the server process and ends it again.
class LockBytesServer
{
public:
    LockBytesServer()
    {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        HANDLE childInput = nullptr, childOutput = nullptr;
        if (!CreatePipe(&childInput, m_input.Put(), &inherited, 0) ||
            !CreatePipe(m_output.Put(), &childOutput, &inherited, 0))
        {
            throw std::runtime_error("cannot create the pipes of the reference's server");
        }
        const UniqueKernelHandle inputEnd(childInput), outputEnd(childOutput);
        SetHandleInformation(m_input.Get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(m_output.Get(), HANDLE_FLAG_INHERIT, 0);
        wchar_t program[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        const std::string option = ServeLockBytesOption;
        std::wstring commandLine = L"\"" + std::wstring(program) + L"\" " + std::wstring(option.begin(), option.end());
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &process))
        {
            throw std::runtime_error("cannot start the reference's server");
        }
        CloseHandle(process.hThread);
        m_process = UniqueKernelHandle(process.hProcess);
    }

    ~LockBytesServer()
    {
        m_input.Close(); // the server's standard input ends, and so does the server
        if (WaitForSingleObject(m_process.Get(), 10000) != WAIT_OBJECT_0)
        {
            TerminateProcess(m_process.Get(), 1);
        }
    }
    LockBytesServer(const LockBytesServer&) = delete;
    LockBytesServer& operator=(const LockBytesServer&) = delete;

    // A proxy to the server's object, in the calling thread's apartment.
    ILockBytes* Connect()
    {
        DWORD length = 0;
        ReadAll(m_output.Get(), &length, sizeof length);
        std::vector<BYTE> marshalled(length);
        ReadAll(m_output.Get(), marshalled.data(), length);
        IStream* stream = nullptr;
        Check(CreateStreamOnHGlobal(nullptr, TRUE, &stream), "CreateStreamOnHGlobal");
        ULONG written = 0;
        stream->Write(marshalled.data(), length, &written);
        stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
        ILockBytes* lockBytes = nullptr;
        const HRESULT hr = CoUnmarshalInterface(stream, IID_ILockBytes, reinterpret_cast<void**>(&lockBytes));
        stream->Release();
        Check(hr, "CoUnmarshalInterface");
        return lockBytes;
    }

private:
    UniqueKernelHandle m_input;  // our end of the server's standard input
    UniqueKernelHandle m_output; // our end of its standard output
    UniqueKernelHandle m_process;
};

// From the process's main apartment, as a console calls the class out of process.
void BenchmarkOutOfProcess(const Settings& settings, const ComponentDll& dll, std::vector<Figure>& figures)
{
    const ScopedRegistration registration(dll);
    UseSixtyFourBitSurrogate();
    const TestProxyRegistration proxy;
    const SurrogateScope surrogates;
    INapComponentConfig* remote = nullptr;
    Check(CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER,
                           __uuidof(INapComponentConfig), reinterpret_cast<void**>(&remote)),
          "CoCreateInstance in the surrogate");
    struct ReleaseRemote
    {
        INapComponentConfig* remote;
        ~ReleaseRemote() { remote->Release(); }
    } releaseRemote{remote};
    LockBytesServer server;
    ILockBytes* lockBytes = server.Connect();
    struct ReleaseLockBytes
    {
        ILockBytes* lockBytes;
        ~ReleaseLockBytes() { lockBytes->Release(); }
    } releaseLockBytes{lockBytes};

    SHVConfigBlob blob = SampleBlob();
    auto getConfig = [&](int calls) {
        return MicrosecondsPerCall(calls, [&] {
            UINT16 count = 0;
            BYTE* data = nullptr;
            Check(remote->GetConfig(&count, &data), "GetConfig out of process");
            CoTaskMemFree(data);
        });
    };
    auto readAt = [&](int calls) {
        SHVConfigBlob read;
        ULONG count = 0;
        return MicrosecondsPerCall(calls, [&] {
            Check(lockBytes->ReadAt(ULARGE_INTEGER{}, &read, sizeof read, &count), "ILockBytes::ReadAt");
        });
    };
    auto setConfig = [&](int calls) {
        return MicrosecondsPerCall(calls, [&] {
            Check(remote->SetConfig(sizeof blob, reinterpret_cast<BYTE*>(&blob)), "SetConfig out of process");
        });
    };
    auto writeAt = [&](int calls) {
        ULONG count = 0;
        return MicrosecondsPerCall(calls, [&] {
            Check(lockBytes->WriteAt(ULARGE_INTEGER{}, &blob, sizeof blob, &count), "ILockBytes::WriteAt");
        });
    };

    const Samples samples = settings.Pick({11, 40}, {2, 5});
    const std::string where = ", in a single-threaded apartment of another process";
    getConfig(5); // the first calls set up the connections
    readAt(5);
    const auto [getTime, readTime] = AlternatingMedians(samples, getConfig, readAt);
    figures.push_back({"GetConfig out of process, the DLL in the surrogate", getTime, "us",
                       "ILockBytes::ReadAt of 532 bytes" + where, readTime});
    const auto [setTime, writeTime] = AlternatingMedians(samples, setConfig, writeAt);
    figures.push_back({"SetConfig out of process, the DLL in the surrogate", setTime, "us",
                       "ILockBytes::WriteAt of 532 bytes" + where, writeTime});
}

// --- The settings dialog --------------------------------------------------------------

// Measures from the call that shows a dialog to the end of its WM_INITDIALOG, then
// cancels it: a hook on the calling thread sees WM_INITDIALOG return and posts Cancel.
class InitDialogTimer
{
public:
    InitDialogTimer()
    {
        s_reached = false;
        m_hook = SetWindowsHookExW(WH_CALLWNDPROCRET, AfterMessage, nullptr, GetCurrentThreadId());
        if (m_hook == nullptr)
        {
            throw std::runtime_error("cannot hook the thread's window messages");
        }
    }
    ~InitDialogTimer() { UnhookWindowsHookEx(m_hook); }
    InitDialogTimer(const InitDialogTimer&) = delete;
    InitDialogTimer& operator=(const InitDialogTimer&) = delete;

    // Milliseconds from construction to the end of WM_INITDIALOG.
    double Milliseconds() const
    {
        if (!s_reached)
        {
            throw std::runtime_error("the dialog never reached WM_INITDIALOG");
        }
        return (s_initialized - m_start) * 1e3;
    }

private:
    static LRESULT CALLBACK AfterMessage(int code, WPARAM wParam, LPARAM lParam)
    {
        const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (code == HC_ACTION && message->message == WM_INITDIALOG && !s_reached)
        {
            s_initialized = SecondsNow();
            s_reached = true;
            PostMessageW(message->hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }

    static inline bool s_reached = false;
    static inline double s_initialized = 0;
    HHOOK m_hook = nullptr;
    const double m_start = SecondsNow();
};

INT_PTR CALLBACK BareDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) noexcept
{
    if (message == WM_INITDIALOG)
    {
        return TRUE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)
    {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

void BenchmarkDialog(const Settings& settings, const ComponentDll& dll, INapComponentConfig* config,
                     std::vector<Figure>& figures)
{
    // The same template, shown by the platform with a procedure that does nothing.
    HRSRC resource = FindResourceW(dll.Module(), MAKEINTRESOURCEW(IDD_SETTINGS), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    const auto* dialogTemplate =
        resource != nullptr ? static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(dll.Module(), resource)))
                            : nullptr;
    if (dialogTemplate == nullptr)
    {
        throw std::runtime_error("the settings dialog's template is missing");
    }
    auto component = [&] {
        InitDialogTimer timer;
        config->InvokeUI(nullptr);
        return timer.Milliseconds();
    };
    auto bare = [&] {
        InitDialogTimer timer;
        DialogBoxIndirectParamW(dll.Module(), dialogTemplate, nullptr, BareDialogProc, 0);
        return timer.Milliseconds();
    };
    component(); // the first dialog of a process registers classes and loads fonts
    bare();
    const int repetitions = settings.quick ? 2 : 15;
    std::vector<double> times, references;
    for (int repetition = 0; repetition < repetitions; ++repetition)
    {
        times.push_back(component());
        references.push_back(bare());
    }
    figures.push_back({"InvokeUI up to the end of WM_INITDIALOG", Median(times), "ms",
                       "its template shown by DialogBoxIndirectParamW, empty procedure", Median(references)});
}

// --- Registration ---------------------------------------------------------------------

void SetText(HKEY key, const wchar_t* name, const std::wstring& text)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   DWORD((text.size() + 1) * sizeof(wchar_t)));
}

// The entries the registration script makes, written directly with the registry API.
void RegisterDirectly(const std::wstring& modulePath)
{
    const std::wstring classKey = L"CLSID\\{0C5C9CEC-1FF7-42e3-AC8F-4D9BAE296C5D}";
    const std::wstring appId = L"{73D1100C-337E-4de7-84B9-8F5B10202693}";
    RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey.c_str());
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CLASSES_ROOT, classKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    SetText(key, nullptr, L"Quorvane SHV Configurator");
    SetText(key, L"AppID", appId);
    HKEY subkey = nullptr;
    RegCreateKeyExW(key, L"InprocServer32", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &subkey, nullptr);
    SetText(subkey, nullptr, modulePath);
    SetText(subkey, L"ThreadingModel", L"Neutral");
    RegCloseKey(subkey);
    RegCreateKeyExW(key, L"Elevation", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &subkey, nullptr);
    const DWORD enabled = 1;
    RegSetValueExW(subkey, L"Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enabled), sizeof enabled);
    RegCloseKey(subkey);
    SetText(key, L"LocalizedString", L"@" + modulePath + L",-100");
    RegCloseKey(key);
    RegCreateKeyExW(HKEY_CLASSES_ROOT, (L"AppID\\" + appId).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    SetText(key, nullptr, L"qvnnapcfg64");
    SetText(key, L"DllSurrogate", L"");
    RegCloseKey(key);
    RegCreateKeyExW(HKEY_CLASSES_ROOT, L"AppID\\qvnnapcfg64.dll", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    SetText(key, L"AppID", appId);
    RegCloseKey(key);
}

void BenchmarkRegistration(const Settings& settings, const ComponentDll& dll, std::vector<Figure>& figures)
{
    const ScratchRegistry classes({HKEY_CLASSES_ROOT});
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(dll.Module(), path, MAX_PATH);
    auto component = [&] {
        const Stopwatch watch;
        Check(dll.DllRegisterServer(), "DllRegisterServer");
        return watch.Milliseconds();
    };
    auto direct = [&] {
        const Stopwatch watch;
        RegisterDirectly(path);
        return watch.Milliseconds();
    };

    // The reference must write what the script writes, no more and no less.
    component();
    const RegistrySnapshot registered = TakeRegistrySnapshot(classes.Key());
    RegDeleteTreeW(classes.Key(), nullptr);
    direct();
    if (TakeRegistrySnapshot(classes.Key()) != registered)
    {
        throw std::runtime_error("the direct writes differ from the registration script's:\n" +
                                 DescribeRegistrySnapshot(registered));
    }

    const int repetitions = settings.quick ? 2 : 25;
    std::vector<double> times, references;
    for (int repetition = 0; repetition < repetitions; ++repetition)
    {
        times.push_back(component());
        references.push_back(direct());
    }
    figures.push_back(
        {"DllRegisterServer", Median(times), "ms", "the same keys and values written directly", Median(references)});
}

// --- Output ---------------------------------------------------------------------------

void PrintTable(const std::vector<Figure>& figures, const Settings& settings)
{
    std::printf("%-58s %10s %-5s %10s %8s %8s  %s\n", "figure", "value", "unit", "reference", "ratio", "target",
                "result");
    for (const Figure& figure : figures)
    {
        std::printf("%-58s %10s %-5s %10s %8s %8s  %s\n", figure.label.c_str(), Number(figure.value).c_str(),
                    figure.unit.c_str(), Number(figure.reference).c_str(), Number(figure.Ratio()).c_str(),
                    figure.target.c_str(), Status(figure, settings).c_str());
    }
    std::printf("\nreferences:\n");
    for (const Figure& figure : figures)
    {
        if (!figure.referenceLabel.empty())
        {
            std::printf("  %s: %s\n", figure.label.c_str(), figure.referenceLabel.c_str());
        }
    }
}

void WriteTsv(const std::vector<Figure>& figures, const Settings& settings)
{
    std::ofstream file(settings.tsvPath, std::ios::binary);
    file << "figure\tvalue\tunit\treference\treference_value\tratio\ttarget\tresult\n";
    for (const Figure& figure : figures)
    {
        file << figure.label << '\t' << Number(figure.value) << '\t' << figure.unit << '\t' << figure.referenceLabel
             << '\t' << Number(figure.reference) << '\t' << Number(figure.Ratio()) << '\t' << figure.target << '\t'
             << Status(figure, settings) << '\n';
    }
    if (!file)
    {
        throw std::runtime_error("cannot write " + settings.tsvPath);
    }
}

Settings ParseArguments(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        if (argument == "--quick")
        {
            settings.quick = true;
        }
        else if (argument == "--tsv" && i + 1 < argc)
        {
            settings.tsvPath = argv[++i];
        }
        else
        {
            throw std::invalid_argument("usage: qvnnapcfg_bench [--quick] [--tsv FILE]");
        }
    }
    return settings;
}

int Run(const Settings& settings)
{
    std::vector<Figure> figures;
    BenchmarkLoading(settings, figures);

    // The main thread is the process's main apartment.
    Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    {
        const ComponentDll dll;
        if (dll.Module() == nullptr)
        {
            throw std::runtime_error("cannot load qvnnapcfg64.dll");
        }
        BenchmarkActivation(settings, dll, figures);
        if (!settings.quick) // it judges nothing, and the quick run keeps to what it judges
        {
            BenchmarkOutOfProcess(settings, dll, figures);
        }
        {
            const ScratchRegistry settingsKey; // the settings go to a scratch HKEY_LOCAL_MACHINE
            BenchmarkClassObject(settings, dll, figures);
            IClassFactory* factory = dll.Factory();
            INapComponentConfig* config = CreateConfig(factory);
            factory->Release();
            BenchmarkGetConfig(settings, config, figures);
            BenchmarkSetConfig(settings, config, figures);
            BenchmarkDialog(settings, dll, config, figures);
            config->Release();
        }
        BenchmarkRegistration(settings, dll, figures);
        if (dll.DllCanUnloadNow() != S_OK)
        {
            throw std::runtime_error("the benchmark left a reference on the component");
        }
    }
    CoUninitialize();

    PrintTable(figures, settings);
    if (!settings.tsvPath.empty())
    {
        WriteTsv(figures, settings);
    }
    if (::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed())
    {
        return 1; // a test-support helper reported a failure above
    }
    for (const Figure& figure : figures)
    {
        const bool judged = figure.judged == Judged::Counted || (figure.judged == Judged::Timing && !settings.quick);
        if (judged && !figure.met)
        {
            return 2;
        }
    }
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    try
    {
        if (argc == 2 && std::strcmp(argv[1], ServeLockBytesOption) == 0)
        {
            return ServeLockBytes();
        }
        return Run(ParseArguments(argc, argv));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "qvnnapcfg_bench: %s\n", error.what());
        return 1;
    }
}
