// Counts the calls a loaded module makes to the system's registry, memory-allocation and
// locking functions, by putting counting stand-ins into the module's import address
// table with the runtime's ApiHook. The stand-ins forward every call to the system.
// Only calls the module makes through its own import table are seen; a function the
// module does not import is simply not counted. Free of the test framework.
#pragma once

#include "runtime/win-utils.h"

#include <memory>
#include <string>
#include <vector>

struct ImportCallCounts
{
    long registryOpens = 0;  // RegCreateKey*, RegOpenKey*
    long registryReads = 0;  // RegQueryValueEx*, RegQueryInfoKey*, RegEnum*, RegGetValue*
    long registryWrites = 0; // RegSetValueEx*, RegDelete*
    long registryCloses = 0; // RegCloseKey
    long allocations = 0;    // malloc, calloc, realloc, _strdup, HeapAlloc, HeapReAlloc, LocalAlloc,
                             // GlobalAlloc, CoTaskMemAlloc, CoTaskMemRealloc
    long locks = 0;          // EnterCriticalSection, TryEnterCriticalSection, AcquireSRWLock*,
                             // WaitForSingleObject(Ex), WaitForMultipleObjects(Ex)

    long RegistryCalls() const { return registryOpens + registryReads + registryWrites + registryCloses; }
};

class ImportCallCounter
{
public:
    // Hooks the imports of the module with this name, which must be loaded (it is held
    // loaded until destruction), or of the main program for null. The counts are
    // process-wide, so only one counter may live at a time: a second one throws
    // std::logic_error. Counting starts at zero.
    explicit ImportCallCounter(const char* moduleName);
    // Puts every import table entry back.
    ~ImportCallCounter();
    ImportCallCounter(const ImportCallCounter&) = delete;
    ImportCallCounter& operator=(const ImportCallCounter&) = delete;

    // Counting starts at zero again, and no call is made to fail any more.
    void Reset();
    ImportCallCounts Counts() const;

    // The module's RegSetValueExW call with this number (1 for the first one counted
    // since construction or Reset, up to 16; std::out_of_range otherwise) returns error
    // without reaching the system.
    void FailSetValue(int number, LSTATUS error);

    // "dll!function" of every function that was hooked: those the module imports.
    std::vector<std::string> Hooked() const;

private:
    std::vector<std::unique_ptr<ApiHook>> m_hooks;
    std::vector<std::string> m_hooked;
};
