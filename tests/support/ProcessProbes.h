// What a process holds, for leak checks and benchmarks: handles, private memory, mapped
// modules, and the DLLs an image imports. Free of the test framework, so that benchmark
// programs use the same probes as the tests. Failures throw std::runtime_error.
#pragma once

#include <windows.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

// The number of handles this process has open. Wine's GetProcessHandleCount answers 0;
// the system's handle list has the real number there. Throws when neither works.
DWORD CountOpenHandles();

// The bytes of memory committed for this process alone: GetProcessMemoryInfo's
// PrivateUsage, or where that is 0 (Wine) the committed private regions of the address
// space. Throws when neither tells.
std::size_t CountPrivateBytes();

// Base names of the modules mapped into this process, lower case.
std::set<std::string> MappedModuleNames();

// The DLL names in a PE file's import table, lower case, in table order, read from the
// file itself. Throws when the file is not a readable 64-bit image.
std::vector<std::string> ImportedDllNames(const std::wstring& path);

// Loads every DLL the image at path imports and keeps it loaded for the object's life,
// as a host's process has them before it loads a component: loading and unloading the
// component then costs only what the component itself adds. Throws when one cannot
// be loaded.
class ImportsHeldLoaded
{
public:
    explicit ImportsHeldLoaded(const std::wstring& path);
    ~ImportsHeldLoaded();
    ImportsHeldLoaded(const ImportsHeldLoaded&) = delete;
    ImportsHeldLoaded& operator=(const ImportsHeldLoaded&) = delete;

private:
    void FreeAll() noexcept;

    std::vector<HMODULE> m_modules;
};
