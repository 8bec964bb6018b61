// Import-table hooking: for as long as an ApiHook lives, the calls one loaded module
// makes to one imported function through its import address table reach a replacement.
// Only that module's calls through its own table are affected; calls through
// GetProcAddress, or from other modules, still reach the original.
//
//     {
//         ApiHook hook(MyFindResourceW, "kernel32.dll", "FindResourceW", nullptr, api_hook_log);
//         ... // the main executable's FindResourceW calls reach MyFindResourceW
//     }       // and the original again from here on
#pragma once

#include "types.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

// How an ApiHook reports a failure to install or to restore (any other value: as
// api_hook_ignore).
constexpr std::int32_t api_hook_ignore = 0; // not at all
constexpr std::int32_t api_hook_throw = 1;  // BUG_exception_shell_t (raise site "win-utils", 648)
constexpr std::int32_t api_hook_log = 2;    // "[ApiHook] <text>" at level 1 ("ERR") of the global
                                            // logger; a successful hook is written at level 8

// The failure texts, each followed by the text of the failure.
//   "Unable to get <module> module because of <last error text>"
//   "Module <dll> didn`t found in imports"
//   "Function <function> didn`t found in imports for <dll>"
//   "Cannot enable writing to protected memory because of <last error text>"
class ApiHook : public virtual noncopyable_t
{
public:
    // Puts replacement in the import address table entry of function_name imported by
    // name from dll_name (both compared without regard to case) in the module
    // module_name, loaded with LoadLibraryA and held until destruction; a null
    // module_name is the process's main executable, which is neither loaded nor freed.
    // Functions imported by ordinal only cannot be found.
    //
    // When the module cannot be had, the entry is not in its import table, or the
    // table cannot be written, the failure is reported by mode and the object stays
    // inert: its destruction changes nothing. In api_hook_throw mode construction then
    // throws (and a module it loaded is freed). Null names match nothing; a null
    // replacement is never written, leaving the object inert.
    ApiHook(const void* replacement, const char* dll_name, const char* function_name, const char* module_name,
            std::int32_t mode);

    // The same for a replacement given as a function.
    template <class function_t, std::enable_if_t<std::is_function_v<function_t>, int> = 0>
    ApiHook(function_t* replacement, const char* dll_name, const char* function_name, const char* module_name,
            std::int32_t mode)
        : ApiHook(reinterpret_cast<const void*>(replacement), dll_name, function_name, module_name, mode)
    {
    }

    // Puts back the value the entry held at construction, then frees the module when it
    // was loaded by name. A restore that fails is written to the global logger in both
    // api_hook_throw and api_hook_log mode; the destructor never throws.
    ~ApiHook();

    // Whether the replacement sits in the entry (from construction to destruction).
    bool installed() const noexcept { return m_slot != nullptr; }

private:
    void** FindImportSlot(const char* dll_name, const char* function_name);
    bool WriteProtected(void* address, const void* source, std::size_t size);
    void ReportFailure(const std::string& message);
    void ReportRestoreFailure() noexcept;
    void LogSuccess(const char* dll_name, const char* function_name) noexcept;

    HMODULE m_module = nullptr;
    const void* m_saved_entry = nullptr;
    void** m_slot = nullptr;
    const std::int32_t m_mode;
    const bool m_owns_module;
};

// What find_import_entry found.
enum class import_search_t
{
    found,
    dll_not_imported,      // no import descriptor names the DLL
    function_not_imported, // the first descriptor that names it does not import the
                           // function by name (or has no import name table at all)
};

// The import address table entry through which module calls function_name of dll_name,
// in slot; null otherwise. Only the first descriptor naming the DLL is searched. Reads
// nothing outside the module's image (SizeOfImage): an entry that would lie outside, a
// directory that runs past the image and a header that is not a 64-bit PE image count as
// not found. module must be a loaded image (not a data-file mapping). Never fails.
import_search_t find_import_entry(HMODULE module, const char* dll_name, const char* function_name,
                                  void**& slot) noexcept;

// Copies size bytes from source to address although its page may be read-only: the
// page is made writable for the copy (keeping its right to execute, so that code on the
// same page can run on other threads meanwhile) and then given its previous protection
// back. A pointer-sized, pointer-aligned copy is one atomic store, so threads calling
// through the entry see either the old or the new value. Returns false, with the last
// error of the failed protection change, when the page cannot be made writable; nothing
// is written then.
bool write_protected(void* address, const void* source, std::size_t size) noexcept;

// --- Test seams ---------------------------------------------------------------------
// A process-wide replacement of VirtualProtect for write_protected, for tests that need
// the change of protection to fail or want to see it; nothing else installs one. As
// every seam of the library: null restores VirtualProtect, and the call returns the
// function installed before (VirtualProtect when none was), never null.
using memory_protector_t = BOOL(WINAPI*)(LPVOID address, SIZE_T size, DWORD protection, PDWORD previous);
memory_protector_t set_memory_protector_for_testing(memory_protector_t protector) noexcept;
