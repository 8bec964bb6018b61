// qvnnapcfg_bench: measures the component's figures in one run, each beside a reference
// measured in the same run under the same conditions, and prints them as a table.
//
//     qvnnapcfg_bench [--quick] [--tsv FILE] [--samples FILE]
//
// --quick takes few samples (the ordinary test run uses it) of every figure and judges
// only the counted targets (registry calls, allocations, locks): timings of a few
// samples on a shared machine mean little. --tsv also writes the table as tab-separated
// values, one figure a line, for scripts/benchmark.sh; --samples writes every
// repetition's value of each timed figure.
//
// Exit status: 0 when every judged target is met, 2 when one is missed, 1 when a
// measurement could not be taken.
//
// A timed figure is taken in pairs of short repetitions, one of the component and one of
// its reference side by side, the order swapping from pair to pair; the value is the
// median of the component's repetitions, the ratio the median of the pairs' ratios.
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
// Creating the object, and showing its dialog, may cost at most this many times the same
// of the platform's own: a class whose creation also only allocates a small object, and
// the same dialog template with a procedure that does nothing.
constexpr double PlatformFactor = 1.25;
// Out of process, GetConfig and SetConfig may cost at most this many times the
// platform's own call of the same shape there: the crossing costs the same, and what
// the component does inside is small beside it.
constexpr double RemoteFactor = 1.5;

// How many samples a timed figure takes: pairs of repetitions (one of the component and
// one of its reference each), and calls per repetition. A repetition stays well below the
// few milliseconds the system gives a thread before it may switch to other work: a
// repetition that another program interrupts then stands out among many that ran
// through, and the medians keep to the latter. Longer repetitions would each be
// interrupted or not by chance, and the median of a few would fall on either side.
struct Samples
{
    int pairs;
    int calls;
};

struct Settings
{
    bool quick = false;
    std::string tsvPath;
    std::string samplesPath;

    Samples Pick(Samples full, Samples quickSamples) const { return quick ? quickSamples : full; }
};

// The value with three significant digits or so; empty for NaN.
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
    // Timed figures only (empty otherwise): each repetition's value, of the component and
    // of the reference, in pairs.
    PairedTimings timings;

    bool Timed() const { return !timings.component.empty(); }
    // The median of the pairs' ratios: each pair of repetitions ran side by side, under
    // the same load on the machine, which the ratio of the pair cancels. NaN for a
    // figure without a reference.
    Spread Ratio() const { return Timed() ? SpreadOf(timings.Ratios()) : Spread{NAN, NAN, NAN, 0}; }
};

// A figure timed in pairs with its reference; value and reference are the medians.
Figure TimedFigure(std::string label, std::string unit, std::string referenceLabel, PairedTimings timings)
{
    Figure figure{std::move(label), Median(timings.component), std::move(unit), std::move(referenceLabel),
                  Median(timings.reference)};
    figure.timings = std::move(timings);
    return figure;
}

// Gives a timed figure its target, judged in full runs: the ratio may be at most
// `factor`.
Figure AtMost(double factor, Figure figure)
{
    figure.target = "<= " + Number(factor) + "x";
    figure.judged = Judged::Timing;
    figure.met = figure.Ratio().median <= factor;
    return figure;
}

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

// The component's and the reference's timings (each a function of the number of calls)
// over repetitions in alternating pairs, after the same warm-up calls of each: whatever
// the platform or the component does on first use is paid before, by both alike.
template <class Component, class Reference>
PairedTimings AlternatingTimings(const Samples& samples, int warmUpCalls, Component component, Reference reference)
{
    AlternatingPairs(warmUpCalls, [&](bool ofComponent) { ofComponent ? component(1) : reference(1); });
    return TimeInPairs(
        samples.pairs, [&] { return component(samples.calls); }, [&] { return reference(samples.calls); });
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

// For the object's life, this process runs on one processor only, the lowest it may run
// on, and so do the processes it starts meanwhile, which inherit the mask; afterwards it
// may run where it could before. Throws when the mask cannot be set.
class OneProcessorScope
{
public:
    OneProcessorScope()
    {
        DWORD_PTR system = 0;
        if (!GetProcessAffinityMask(GetCurrentProcess(), &m_previous, &system) || m_previous == 0 ||
            !SetProcessAffinityMask(GetCurrentProcess(), m_previous & (~m_previous + 1)))
        {
            throw std::runtime_error("cannot keep the process on one processor");
        }
    }
    ~OneProcessorScope() { SetProcessAffinityMask(GetCurrentProcess(), m_previous); }
    OneProcessorScope(const OneProcessorScope&) = delete;
    OneProcessorScope& operator=(const OneProcessorScope&) = delete;

private:
    DWORD_PTR m_previous = 0;
};

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
    const Samples samples = settings.Pick({600, 1}, {5, 1});
    // Whatever the platform sets up once.
    AlternatingPairs(5, [&](bool ofComponent) { MeasureLoads(ofComponent ? component : empty, 1); });
    PairedTimings loads, unloads;
    AlternatingPairs(samples.pairs, [&](bool ofComponent) {
        const LoadCost cost = MeasureLoads(ofComponent ? component : empty, samples.calls);
        (ofComponent ? loads.component : loads.reference).push_back(cost.load);
        (ofComponent ? unloads.component : unloads.reference).push_back(cost.unload);
    });
    figures.push_back(
        AtMost(LoadFactor, TimedFigure("LoadLibrary of qvnnapcfg64.dll", "us", "LoadLibrary of an empty DLL", loads)));
    figures.push_back(TimedFigure("FreeLibrary of qvnnapcfg64.dll", "us", "FreeLibrary of an empty DLL", unloads));
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

    const Samples samples = settings.Pick({1000, 1}, {10, 1});
    // COM loads each server once and keeps it.
    const PairedTimings timings = AlternatingTimings(
        samples, 20, [&](int calls) { return MeasureCreation(ClsidSHVConfig, calls); },
        [&](int calls) { return MeasureCreation(ClsidInternetSecurityManager, calls); });
    figures.push_back(
        AtMost(PlatformFactor, TimedFigure("CoCreateInstance and Release of SHVConfig", "us",
                                           "the same of Wine's InternetSecurityManager (urlmon)", timings)));
}

// --- DllGetClassObject, warm ----------------------------------------------------------

// One thread's share of a warm-path measurement: repetitions of a batch of acquiring
// calls, timed, each followed by the matching releases, untimed, so that the count a call
// changes stays within a batch's size. Returns nanoseconds per acquiring call, one value
// per repetition.
std::vector<double> TimedBatches(int repetitions, int batch, const std::function<void(int)>& acquire,
                                 const std::function<void(int)>& release)
{
    std::vector<double> perCall;
    for (int repetition = 0; repetition < repetitions; ++repetition)
    {
        const Stopwatch watch;
        acquire(batch);
        perCall.push_back(watch.Nanoseconds() / batch);
        release(batch);
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
    // About 25 us of the reference's calls: long enough for the performance counter's
    // resolution (0.1 us under Wine), short enough to run through between interruptions.
    constexpr int Batch = 4096;
    // Pairs of rounds; in a round each thread times this many repetitions of one batch.
    const Samples samples = settings.Pick({20, Batch}, {1, Batch});
    const int repetitionsPerRound = settings.quick ? 5 : 50;
    const auto getClassObject = Export<DllGetClassObjectFunction>(dll.Module(), "DllGetClassObject");
    IClassFactory* warm = dll.Factory(); // the first request creates and caches the factory
    if (warm == nullptr)
    {
        throw std::runtime_error("no class factory");
    }

    auto componentBody = [&] {
        std::vector<IClassFactory*> factories(Batch);
        return TimedBatches(
            repetitionsPerRound, Batch,
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
    auto referenceBody = [&] {
        return TimedBatches(
            repetitionsPerRound, Batch,
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
        // The threads of a round all run the same side, so that the count they share is
        // contended as it is in use; the rounds alternate, and the n-th repetition of a
        // thread in a round of the component pairs with the n-th of the same thread in
        // the round of the reference beside it.
        PairedTimings timings;
        AlternatingPairs(samples.pairs, [&](bool ofComponent) {
            const auto values = ofComponent ? OnThreads(threads, componentBody, countFromHere, countUpToHere)
                                            : OnThreads(threads, referenceBody, nothing, nothing);
            std::vector<double>& side = ofComponent ? timings.component : timings.reference;
            side.insert(side.end(), values.begin(), values.end());
        });
        const std::string on = threads == 1 ? "1 thread" : "2 threads at once";
        figures.push_back(AtMost(SmallFactor, TimedFigure("DllGetClassObject, warm, " + on, "ns",
                                                          "InterlockedIncrement of one shared count, " + on, timings)));
    }
    figures.push_back(CountedFigure("DllGetClassObject, warm: allocations while measured", counts.allocations, 0));
    figures.push_back(CountedFigure("DllGetClassObject, warm: locks taken while measured", counts.locks, 0));
    warm->Release();
}

// --- GetConfig and SetConfig ----------------------------------------------------------

void BenchmarkGetConfig(const Settings& settings, INapComponentConfig* config, std::vector<Figure>& figures)
{
    // A repetition of the reference's calls takes some 60 us.
    const Samples samples = settings.Pick({1000, 1000}, {10, 1000});
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
    // The first call reads the settings from the registry.
    figures.push_back(AtMost(SmallFactor, TimedFigure("GetConfig (and CoTaskMemFree of its block)", "ns",
                                                      "CoTaskMemAlloc, 532-byte copy, CoTaskMemFree",
                                                      AlternatingTimings(samples, 100, component, floor))));

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
    const Samples samples = settings.Pick({500, 1}, {10, 1});
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
    figures.push_back(TimedFigure("SetConfig", "us", "the same key opened and five values written directly",
                                  AlternatingTimings(samples, 10, component, direct)));

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
//
// A call crosses from this process to a server's and back through several threads
// (this one, the server's receiving thread, the server's apartment, and the Wine server
// between each), and what it costs depends on whether they hand over on one processor or
// wake one another across processors. Where the system puts each process's threads is
// its own choice, which lasts for seconds and need not be the same for the surrogate as
// for the reference's server: so this process, and with it the two servers it starts,
// stays on one processor while these figures are taken.
void BenchmarkOutOfProcess(const Settings& settings, const ComponentDll& dll, std::vector<Figure>& figures)
{
    const OneProcessorScope oneProcessor;
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

    const Samples samples = settings.Pick({600, 1}, {5, 1});
    const std::string where = ", in a single-threaded apartment of another process";
    // The first calls set up the connections.
    figures.push_back(AtMost(RemoteFactor, TimedFigure("GetConfig out of process, the DLL in the surrogate", "us",
                                                       "ILockBytes::ReadAt of 532 bytes" + where,
                                                       AlternatingTimings(samples, 5, getConfig, readAt))));
    figures.push_back(AtMost(RemoteFactor, TimedFigure("SetConfig out of process, the DLL in the surrogate", "us",
                                                       "ILockBytes::WriteAt of 532 bytes" + where,
                                                       AlternatingTimings(samples, 5, setConfig, writeAt))));
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

// Lets what the dialog shown last set off die down before the next one is timed: the
// messages it left to this thread are handled, and so are those the desktop's own
// process (which hears of every top-level window that comes and goes) was sent or
// posted meanwhile: it answers a message sent to its window between two messages it
// takes from its queue, so two answers in a row mean that it has taken one, and the
// queue this process filled holds little more.
void LetTheDesktopSettle()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
    {
        DispatchMessageW(&message);
    }
    for (int round = 0; round < 2; ++round)
    {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(GetDesktopWindow(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result);
    }
}

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
        LetTheDesktopSettle();
        InitDialogTimer timer;
        config->InvokeUI(nullptr);
        return timer.Milliseconds();
    };
    auto bare = [&] {
        LetTheDesktopSettle();
        InitDialogTimer timer;
        DialogBoxIndirectParamW(dll.Module(), dialogTemplate, nullptr, BareDialogProc, 0);
        return timer.Milliseconds();
    };
    // The first dialog of a process registers classes and loads fonts.
    TimeInPairs(2, component, bare);
    // A dialog takes milliseconds, longer than a time slice, so that other work on the
    // machine spreads the pairs' ratios widely (a third either way under load): the
    // median of many keeps still.
    const int pairs = settings.Pick({160, 1}, {2, 1}).pairs;
    figures.push_back(
        AtMost(PlatformFactor, TimedFigure("InvokeUI up to the end of WM_INITDIALOG", "ms",
                                           "its template shown by DialogBoxIndirectParamW, empty procedure",
                                           TimeInPairs(pairs, component, bare))));
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

    TimeInPairs(5, component, direct); // whatever the first writes of a key cost
    const int pairs = settings.Pick({400, 1}, {2, 1}).pairs;
    figures.push_back(TimedFigure("DllRegisterServer", "ms", "the same keys and values written directly",
                                  TimeInPairs(pairs, component, direct)));
}

// --- Output ---------------------------------------------------------------------------

void PrintTable(const std::vector<Figure>& figures, const Settings& settings)
{
    std::printf("%-58s %10s %-5s %10s %19s %5s %8s  %s\n", "figure", "value", "unit", "reference", "ratio (quartiles)",
                "pairs", "target", "result");
    for (const Figure& figure : figures)
    {
        const Spread ratio = figure.Ratio();
        const std::string ratioText =
            figure.Timed() ? Number(ratio.median) + " (" + Number(ratio.lower) + "-" + Number(ratio.upper) + ")" : "";
        std::printf("%-58s %10s %-5s %10s %19s %5s %8s  %s\n", figure.label.c_str(), Number(figure.value).c_str(),
                    figure.unit.c_str(), Number(figure.reference).c_str(), ratioText.c_str(),
                    figure.Timed() ? std::to_string(ratio.repetitions).c_str() : "", figure.target.c_str(),
                    Status(figure, settings).c_str());
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

// One line a figure. For a timed figure, each of value, reference value and ratio comes
// with its lower and upper quartile (`_low`, `_high`), and `pairs` is the number of pairs
// of repetitions; these stay empty for a counted figure.
void WriteTsv(const std::vector<Figure>& figures, const Settings& settings)
{
    std::ofstream file(settings.tsvPath, std::ios::binary);
    file << "figure\tvalue\tvalue_low\tvalue_high\tunit\treference\treference_value\treference_value_low\t"
            "reference_value_high\tratio\tratio_low\tratio_high\tpairs\ttarget\tresult\n";
    for (const Figure& figure : figures)
    {
        const Spread none{NAN, NAN, NAN, 0};
        const Spread value = figure.Timed() ? SpreadOf(figure.timings.component) : none;
        const Spread reference = figure.Timed() ? SpreadOf(figure.timings.reference) : none;
        const Spread ratio = figure.Ratio();
        file << figure.label << '\t' << Number(figure.value) << '\t' << Number(value.lower) << '\t'
             << Number(value.upper) << '\t' << figure.unit << '\t' << figure.referenceLabel << '\t'
             << Number(figure.reference) << '\t' << Number(reference.lower) << '\t' << Number(reference.upper) << '\t'
             << Number(ratio.median) << '\t' << Number(ratio.lower) << '\t' << Number(ratio.upper) << '\t'
             << (figure.Timed() ? std::to_string(ratio.repetitions) : "") << '\t' << figure.target << '\t'
             << Status(figure, settings) << '\n';
    }
    if (!file)
    {
        throw std::runtime_error("cannot write " + settings.tsvPath);
    }
}

// Every repetition's value of each timed figure, for a look at the distributions: a line
// of the component's values and a line of the reference's, tab-separated.
void WriteSamples(const std::vector<Figure>& figures, const Settings& settings)
{
    std::ofstream file(settings.samplesPath, std::ios::binary);
    for (const Figure& figure : figures)
    {
        for (const auto& [side, values] :
             {std::pair{"component", &figure.timings.component}, std::pair{"reference", &figure.timings.reference}})
        {
            if (values->empty())
            {
                continue;
            }
            file << figure.label << '\t' << side;
            for (double value : *values)
            {
                file << '\t' << value;
            }
            file << '\n';
        }
    }
    if (!file)
    {
        throw std::runtime_error("cannot write " + settings.samplesPath);
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
        else if (argument == "--samples" && i + 1 < argc)
        {
            settings.samplesPath = argv[++i];
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
    // The first window of a process, the apartment's included, needs the desktop's own
    // process, which Wine starts when none runs; it then sets itself up while the
    // figures are taken. Asking for the desktop starts it, and waits until it is ready,
    // before any figure is.
    GetDesktopWindow();

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
        // Last: the calls across the process boundary leave the platform's threads in
        // this process, which end a while after the servers have gone. Every thread's
        // end runs the DLL's thread notifications, which take a lock: during a counted
        // figure's window, that lock would count as the DLL's.
        BenchmarkOutOfProcess(settings, dll, figures);
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
    if (!settings.samplesPath.empty())
    {
        WriteSamples(figures, settings);
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
