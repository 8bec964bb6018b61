// The shipped DLL loaded and unloaded the way COM hosts do it, again and again: it maps
// nothing beyond its imports, and leaves no module, TLS index, handle or private memory
// behind, also when its start-up fails and the load is refused.
#include "support/ComponentDll.h"
#include "support/ProcessProbes.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
// Private memory may move a little while the platform's own caches warm up (heap blocks
// it keeps for reuse); a leak of 32 bytes a cycle over 2000 cycles would not fit.
constexpr std::size_t PrivateBytesSlack = 64 * 1024;

int free_tls_indexes()
{
    std::vector<DWORD> taken;
    for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
    {
        taken.push_back(index);
    }
    for (DWORD index : taken)
    {
        TlsFree(index);
    }
    return static_cast<int>(taken.size());
}

// Collects what this process writes with OutputDebugString while no debugger is
// attached, as a debug-output viewer does: through the shared buffer "DBWIN_BUFFER" (the
// writer's process id, then the text) and the events that hand it back and forth.
class DebugOutputMonitor
{
public:
    DebugOutputMonitor()
    {
        m_bufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
        const bool another = GetLastError() == ERROR_ALREADY_EXISTS;
        m_dataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
        m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, BufferSize, L"DBWIN_BUFFER");
        m_view = m_mapping != nullptr ? MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, BufferSize) : nullptr;
        if (another || m_bufferReady == nullptr || m_dataReady == nullptr || m_view == nullptr)
        {
            ADD_FAILURE() << "cannot watch the debug output (another viewer runs?)";
            return;
        }
        // The buffer is free from the start, and the thread runs before any writer waits:
        // a writer inside a DLL's DllMain holds the loader lock, which a thread that is
        // still starting needs.
        SetEvent(m_bufferReady);
        m_thread = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_running; });
    }
    ~DebugOutputMonitor()
    {
        m_stop = true;
        if (m_thread.joinable())
        {
            m_thread.join();
        }
        if (m_view != nullptr)
        {
            UnmapViewOfFile(m_view);
        }
        for (HANDLE handle : {m_mapping, m_dataReady, m_bufferReady})
        {
            if (handle != nullptr)
            {
                CloseHandle(handle);
            }
        }
    }
    DebugOutputMonitor(const DebugOutputMonitor&) = delete;
    DebugOutputMonitor& operator=(const DebugOutputMonitor&) = delete;

    // The messages seen so far, once there are at least count of them or 10 s have passed.
    std::vector<std::string> Messages(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_messages.size() >= count; });
        return m_messages;
    }

private:
    static constexpr DWORD BufferSize = 4096;

    void Run()
    {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_running = true;
        }
        m_changed.notify_all();
        while (!m_stop)
        {
            if (WaitForSingleObject(m_dataReady, 50) != WAIT_OBJECT_0)
            {
                continue;
            }
            DWORD process = 0;
            std::memcpy(&process, m_view, sizeof(process));
            const char* text = static_cast<const char*>(m_view) + sizeof(process);
            if (process == GetCurrentProcessId())
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_messages.emplace_back(text, strnlen(text, BufferSize - sizeof(process)));
            }
            m_changed.notify_all();
            SetEvent(m_bufferReady);
        }
    }

    HANDLE m_bufferReady = nullptr;
    HANDLE m_dataReady = nullptr;
    HANDLE m_mapping = nullptr;
    void* m_view = nullptr;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_running = false;              // guarded by m_mutex
    std::vector<std::string> m_messages; // guarded by m_mutex
    std::thread m_thread;
};

// Sends this process's standard error (C runtime descriptor 2, where the component's
// runtime log goes) to a file for the life of the object.
class StandardErrorToFile
{
public:
    explicit StandardErrorToFile(const std::string& path)
    {
        std::fflush(stderr);
        m_saved = _dup(2);
        const int file = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        if (m_saved == -1 || file == -1 || _dup2(file, 2) != 0)
        {
            ADD_FAILURE() << "cannot redirect standard error";
        }
        if (file != -1)
        {
            _close(file);
        }
    }
    ~StandardErrorToFile()
    {
        if (m_saved != -1)
        {
            _dup2(m_saved, 2);
            _close(m_saved);
        }
    }
    StandardErrorToFile(const StandardErrorToFile&) = delete;
    StandardErrorToFile& operator=(const StandardErrorToFile&) = delete;

private:
    int m_saved = -1;
};

// What a host's process has: the component's imports are mapped before the component
// is, as they would be by the host's own use of them.
class ComponentLoadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(UnloadComponentDllCompletely());
        m_imports.emplace(m_path);
    }

    const std::wstring m_path = PathBesideProgram(L"qvnnapcfg64.dll");
    std::optional<ImportsHeldLoaded> m_imports;
};

TEST_F(ComponentLoadTest, LoadingMapsNothingBeyondTheImports)
{
    const std::vector<std::string> imports = ImportedDllNames(m_path);
    const char* const late_bound_only[] = {"wtsapi32.dll", "srclient.dll", "wininet.dll",
                                           "userenv.dll",  "psapi.dll",    "shell32.dll"};
    for (const char* name : late_bound_only)
    {
        ASSERT_EQ(std::count(imports.begin(), imports.end(), name), 0) << name << " is imported";
    }

    const std::set<std::string> before = MappedModuleNames();
    HMODULE module = LoadLibraryW(m_path.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    const std::set<std::string> after = MappedModuleNames();
    FreeLibrary(module);

    std::vector<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    EXPECT_EQ(added, std::vector<std::string>{"qvnnapcfg64.dll"});
    for (const char* name : late_bound_only)
    {
        EXPECT_EQ(before.count(name), after.count(name)) << name;
    }
}

TEST_F(ComponentLoadTest, TwoThousandLoadsAndUnloadsLeaveNothingBehind)
{
    constexpr int Cycles = 2000;

    for (int cycle = 0; cycle < 20; ++cycle) // whatever the platform sets up once
    {
        FreeLibrary(LoadLibraryW(m_path.c_str()));
    }
    const std::set<std::string> modules = MappedModuleNames();
    const int tls_indexes = free_tls_indexes();
    const DWORD handles = CountOpenHandles();
    ASSERT_GT(handles, 0u);
    const std::size_t privateBytes = CountPrivateBytes();
    std::size_t mostPrivateBytes = privateBytes;

    const auto start = std::chrono::steady_clock::now();
    for (int cycle = 1; cycle <= Cycles; ++cycle)
    {
        HMODULE module = LoadLibraryW(m_path.c_str());
        ASSERT_NE(module, nullptr) << "load " << cycle << " failed, error " << GetLastError();
        ASSERT_TRUE(FreeLibrary(module));
        if (cycle % 100 == 0)
        {
            mostPrivateBytes = std::max(mostPrivateBytes, CountPrivateBytes());
        }
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const std::size_t privateBytesAfter = CountPrivateBytes();
    const DWORD handlesAfter = CountOpenHandles();
    RecordProperty("milliseconds", static_cast<int>(elapsed.count()));
    RecordProperty("cycles", Cycles);
    RecordProperty("handles_before", static_cast<int>(handles));
    RecordProperty("handles_after", static_cast<int>(handlesAfter));
    RecordProperty("private_bytes_before", std::to_string(privateBytes));
    RecordProperty("private_bytes_after", std::to_string(privateBytesAfter));
    RecordProperty("private_bytes_most", std::to_string(mostPrivateBytes));

    EXPECT_EQ(GetModuleHandleW(L"qvnnapcfg64.dll"), nullptr);
    EXPECT_EQ(MappedModuleNames(), modules);
    EXPECT_EQ(free_tls_indexes(), tls_indexes);
    EXPECT_EQ(handlesAfter, handles);
    EXPECT_LE(mostPrivateBytes, privateBytes + PrivateBytesSlack)
        << "private bytes grew from " << privateBytes << " to " << mostPrivateBytes;
}

// A refused load says why, where an administrator looks: in the debugger output and in
// the runtime log on standard error.
TEST_F(ComponentLoadTest, FailedStartRefusesTheLoadSaysWhyAndTakesEverythingBack)
{
    const std::wstring failing = PathBesideProgram(L"qvnnapcfg64_failing_start.dll");
    ASSERT_NE(GetFileAttributesW(failing.c_str()), INVALID_FILE_ATTRIBUTES);
    const std::string reason = "[qvnnapcfg64] Load refused: test step: simulated start-up failure";
    const ScratchFolder folder;
    const std::string log = folder.File("stderr.txt");
    const StandardErrorToFile logToFile(log);

    auto refused_once = [&failing] {
        SetLastError(0);
        HMODULE module = LoadLibraryW(failing.c_str());
        const DWORD error = GetLastError();
        if (module != nullptr)
        {
            FreeLibrary(module);
        }
        return module == nullptr && error == ERROR_DLL_INIT_FAILED;
    };
    {
        DebugOutputMonitor debugOutput;
        ASSERT_TRUE(refused_once());
        EXPECT_EQ(debugOutput.Messages(1), std::vector<std::string>{reason + "\n"});
    }
    const std::string logged = ReadWholeFile(log);
    const auto at = logged.find(reason);
    ASSERT_NE(at, std::string::npos) << "runtime log: " << logged;
    EXPECT_EQ(logged.substr(at), reason + "\n");
    EXPECT_NE(logged.rfind(" ERR [", at), std::string::npos) << "at level ERR: " << logged;
    const std::set<std::string> modules = MappedModuleNames();
    const int tls_indexes = free_tls_indexes();
    const DWORD handles = CountOpenHandles();
    const std::size_t privateBytes = CountPrivateBytes();

    for (int attempt = 0; attempt < 200; ++attempt)
    {
        ASSERT_TRUE(refused_once()) << "attempt " << attempt;
    }
    EXPECT_EQ(GetModuleHandleW(L"qvnnapcfg64_failing_start.dll"), nullptr);
    EXPECT_EQ(MappedModuleNames(), modules);
    EXPECT_EQ(free_tls_indexes(), tls_indexes) << "the steps that had started were taken back";
    EXPECT_EQ(CountOpenHandles(), handles);
    EXPECT_LE(CountPrivateBytes(), privateBytes + PrivateBytesSlack);

    HMODULE shipped = LoadLibraryW(m_path.c_str());
    EXPECT_NE(shipped, nullptr) << "the shipped component is unaffected";
    FreeLibrary(shipped);
}
} // namespace
