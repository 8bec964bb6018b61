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

std::atomic<TraceLogConfig*> g_traceLogConfig{nullptr};

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
        std::fputc(static_cast<unsigned char>(*c), file);
    }
}
} // namespace

std::unique_ptr<TraceLogConfig> InstallTraceLogConfig(std::unique_ptr<TraceLogConfig> config)
{
    return std::unique_ptr<TraceLogConfig>(g_traceLogConfig.exchange(config.release()));
}

void DestroyTraceLogConfig()
{
    delete g_traceLogConfig.exchange(nullptr);
}

void WriteTrace(const wchar_t* format, ...) noexcept
{
    TraceLogConfig* config = g_traceLogConfig.load(std::memory_order_acquire);
    if (config == nullptr)
    {
        return;
    }
    ScopedLock guard(config);

    wchar_t message[MessageUnits] = {};
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf(message, MaxMessageLength, format, args);
    va_end(args);
    if (length < 0)
    {
        length = static_cast<int>(MaxMessageLength);
    }
    message[length] = L'\0';
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
        std::fclose(file);
    }
}
