#include "TraceLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <share.h>
#include <sys/stat.h>

using System::Threading::ScopedLock;

namespace
{
constexpr std::size_t MessageUnits = 8192;
constexpr std::size_t MaxMessageLength = MessageUnits - 3; // room for CR, LF and the terminator
constexpr std::size_t LineUnits = 10240;

// The installed configuration. Writers hold g_traceLogConfigUse shared from reading the
// pointer until they are done with the configuration; replacing it takes the lock
// exclusively, so a configuration handed back is used by nobody any more. The atomic
// pointer lets WriteTrace return without any lock while none is installed.
std::atomic<TraceLogConfig*> g_traceLogConfig{nullptr};
SRWLOCK g_traceLogConfigUse = SRWLOCK_INIT;

class SharedUse
{
public:
    explicit SharedUse(SRWLOCK& lock) noexcept : m_lock(lock) { AcquireSRWLockShared(&m_lock); }
    ~SharedUse() { ReleaseSRWLockShared(&m_lock); }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

private:
    SRWLOCK& m_lock;
};

// Opens the trace file for one line: appended to, or started over once it has grown
// past the limit. Binary, so that the line's own CR LF is written unchanged; no
// sharing restriction, so other processes may trace into the same file.
FILE* OpenTraceFile(const TraceLogConfig& config)
{
    struct _stat64 status;
    const bool startOver = _stat64(config.path.c_str(), &status) == 0 && status.st_size > config.sizeLimit;
    return _fsopen(config.path.c_str(), startOver ? "wb" : "ab", _SH_DENYNO);
}

// Each character becomes one byte; the first one outside that range ends the line.
void WriteLine(FILE* file, const wchar_t* line)
{
    for (const wchar_t* c = line; *c != L'\0'; ++c)
    {
        if (static_cast<unsigned>(*c) > 0xFF)
        {
            break;
        }
        std::fputc(static_cast<unsigned char>(*c), file); // NOLINT(cert-err33-c): the trace is best effort
    }
}
} // namespace

std::unique_ptr<TraceLogConfig> InstallTraceLogConfig(std::unique_ptr<TraceLogConfig> config)
{
    AcquireSRWLockExclusive(&g_traceLogConfigUse);
    TraceLogConfig* replaced = g_traceLogConfig.exchange(config.release());
    ReleaseSRWLockExclusive(&g_traceLogConfigUse);
    return std::unique_ptr<TraceLogConfig>(replaced);
}

void DestroyTraceLogConfig()
{
    InstallTraceLogConfig(nullptr);
}

void WriteTrace(const wchar_t* format, ...) noexcept
{
    if (g_traceLogConfig.load(std::memory_order_acquire) == nullptr)
    {
        return;
    }
    const SharedUse use(g_traceLogConfigUse);
    TraceLogConfig* config = g_traceLogConfig.load(std::memory_order_acquire);
    if (config == nullptr)
    {
        return; // removed meanwhile
    }
    ScopedLock guard(config);

    wchar_t message[MessageUnits] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(message, MaxMessageLength, format, args);
    va_end(args);
    // The formatter writes at most MaxMessageLength characters, so the text ends within
    // the buffer. Its count is not used: formatters disagree on it for a message they
    // cut (-1, or the length of the whole message), and an error may leave less text.
    message[MaxMessageLength] = L'\0';
    std::size_t length = std::wcslen(message);
    while (length > 0 && std::iswspace(message[length - 1]))
    {
        message[--length] = L'\0';
    }
    message[length++] = L'\r';
    message[length++] = L'\n';
    message[length] = L'\0';

    wchar_t line[LineUnits] = {};
    _snwprintf(line, LineUnits - 1, L"[%d.%d]%ws", static_cast<std::int32_t>(std::time(nullptr)),
               static_cast<int>(GetCurrentThreadId()), message);

    if (FILE* file = OpenTraceFile(*config))
    {
        WriteLine(file, line);
        std::fclose(file); // NOLINT(cert-err33-c): the trace is best effort
    }
}
