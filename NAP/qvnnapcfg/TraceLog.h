// The configurator's trace file: one time-stamped line per WriteTrace call, written
// only while a trace configuration is installed. The component itself never installs
// one, so in normal operation every call returns at once.
#pragma once

#include "Lock.h"

#include <cstdint>
#include <memory>
#include <string>

// Where the trace goes. The lock serialises writers from formatting to closing the file.
class TraceLogConfig : public System::Threading::Lock
{
public:
    TraceLogConfig(std::string tracePath, std::int32_t traceSizeLimit)
        : path(std::move(tracePath)), sizeLimit(traceSizeLimit)
    {
    }

    std::string path;       // narrow (ANSI) path of the trace file
    std::int32_t sizeLimit; // a file larger than this is started over
};

// Installs a configuration (or none) and returns the one it replaces. Safe while
// WriteTrace runs on other threads: it waits until no writer uses the replaced
// configuration any more, so the caller may destroy it at once.
std::unique_ptr<TraceLogConfig> InstallTraceLogConfig(std::unique_ptr<TraceLogConfig> config);

// Deletes any installed configuration; runs once when the module unloads.
void DestroyTraceLogConfig();

// Appends "[<time>.<thread id>]<message>" and CR LF to the trace file. The message is
// the expanded wide printf-style format (%ws for wide strings), cut to 8189 characters,
// with trailing white space removed. A file larger than the size limit is started over.
// Never fails to its caller: file errors lose the line.
void WriteTrace(const wchar_t* format, ...) noexcept;
