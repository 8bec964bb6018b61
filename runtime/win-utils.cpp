#include "win-utils.h"

#include "exceptions.h"
#include "logger.h"
#include "syncers.h"
#include "utilities.h"

#include <atomic>
#include <cstring>

namespace
{
std::atomic<memory_protector_t> g_memory_protector{nullptr};

BOOL protect(LPVOID address, SIZE_T size, DWORD protection, PDWORD previous)
{
    const memory_protector_t protector = g_memory_protector.load();
    return protector != nullptr ? protector(address, size, protection, previous)
                                : VirtualProtect(address, size, protection, previous);
}

constexpr DWORD executable_protections =
    PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// The writable protection for a page that may hold code other threads are running.
DWORD writable_protection_for(const void* address)
{
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(address, &region, sizeof(region)) != 0 && (region.Protect & executable_protections) != 0)
    {
        return PAGE_EXECUTE_READWRITE;
    }
    return PAGE_READWRITE;
}

// A loaded image seen through its headers. Every read goes through at(), which refuses
// ranges outside the image, so damaged headers or tables give "not found" rather than a
// read from arbitrary memory.
class image_view_t
{
public:
    explicit image_view_t(HMODULE module) noexcept
    {
        const auto* base = reinterpret_cast<const BYTE*>(module);
        MEMORY_BASIC_INFORMATION region{};
        if (base == nullptr || VirtualQuery(base, &region, sizeof(region)) == 0 || region.State != MEM_COMMIT)
        {
            return;
        }
        // The headers lie in the image's first region; they give the image's size.
        const auto headers_room =
            static_cast<std::uint64_t>(static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize - base);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        if (headers_room < sizeof(*dos) || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
            std::uint64_t(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > headers_room)
        {
            return;
        }
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
        if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        {
            return;
        }
        m_base = base;
        m_size = nt->OptionalHeader.SizeOfImage;
        if (nt->OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_IMPORT)
        {
            m_imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        }
    }

    // count objects of type T at rva, or null when they do not lie inside the image.
    template <class T> T* at(std::uint64_t rva, std::uint64_t count = 1) const noexcept
    {
        if (m_base == nullptr || rva == 0 || rva > m_size || count > (m_size - rva) / sizeof(T))
        {
            return nullptr;
        }
        return reinterpret_cast<T*>(const_cast<BYTE*>(m_base) + rva);
    }

    // The NUL-terminated text at rva, or null when its end does not lie inside the image.
    const char* text_at(std::uint64_t rva) const noexcept
    {
        const char* text = at<const char>(rva);
        return text != nullptr && std::memchr(text, 0, m_size - rva) != nullptr ? text : nullptr;
    }

    const IMAGE_DATA_DIRECTORY& imports() const noexcept { return m_imports; }

private:
    const BYTE* m_base = nullptr;
    std::uint64_t m_size = 0;
    IMAGE_DATA_DIRECTORY m_imports{};
};

bool is_null_descriptor(const IMAGE_IMPORT_DESCRIPTOR& descriptor)
{
    static const IMAGE_IMPORT_DESCRIPTOR null_descriptor{};
    return std::memcmp(&descriptor, &null_descriptor, sizeof(descriptor)) == 0;
}

// The entry of function_name in one descriptor's tables, or null.
void** find_in_descriptor(const image_view_t& image, const IMAGE_IMPORT_DESCRIPTOR& descriptor,
                          const char* function_name)
{
    // Without an import name table the names are gone once the loader has filled the
    // address table, so there is nothing to search by name.
    const DWORD names_rva = descriptor.OriginalFirstThunk;
    for (std::uint64_t i = 0;; ++i)
    {
        const auto* name_entry = image.at<const IMAGE_THUNK_DATA64>(names_rva + i * sizeof(IMAGE_THUNK_DATA64));
        if (name_entry == nullptr || name_entry->u1.AddressOfData == 0)
        {
            return nullptr;
        }
        if (IMAGE_SNAP_BY_ORDINAL64(name_entry->u1.Ordinal))
        {
            continue;
        }
        // The name follows a 2-byte hint.
        const char* name = image.text_at(name_entry->u1.AddressOfData + sizeof(WORD));
        if (name != nullptr && lstrcmpiA(name, function_name) == 0)
        {
            return image.at<void*>(descriptor.FirstThunk + i * sizeof(IMAGE_THUNK_DATA64));
        }
    }
}

// The shared form of the failure texts' module and function names.
std::string text_of(const char* name)
{
    return name != nullptr ? name : "";
}
} // namespace

import_search_t find_import_entry(HMODULE module, const char* dll_name, const char* function_name,
                                  void**& slot) noexcept
{
    slot = nullptr;
    const image_view_t image(module);
    const IMAGE_DATA_DIRECTORY& directory = image.imports();
    // The directory's size is not a reliable count: linkers may count the whole import
    // section in it. The table ends at the null descriptor, within that size.
    const std::uint64_t count = directory.Size / sizeof(IMAGE_IMPORT_DESCRIPTOR);
    for (std::uint64_t i = 0; dll_name != nullptr && i < count; ++i)
    {
        const auto* descriptor =
            image.at<const IMAGE_IMPORT_DESCRIPTOR>(directory.VirtualAddress + i * sizeof(IMAGE_IMPORT_DESCRIPTOR));
        if (descriptor == nullptr || is_null_descriptor(*descriptor))
        {
            break;
        }
        const char* name = image.text_at(descriptor->Name);
        if (name == nullptr || lstrcmpiA(name, dll_name) != 0)
        {
            continue;
        }
        slot = function_name != nullptr ? find_in_descriptor(image, *descriptor, function_name) : nullptr;
        return slot != nullptr ? import_search_t::found : import_search_t::function_not_imported;
    }
    return import_search_t::dll_not_imported;
}

bool write_protected(void* address, const void* source, std::size_t size) noexcept
{
    DWORD previous = 0;
    if (!protect(address, size, writable_protection_for(address), &previous))
    {
        return false;
    }
    const auto where = reinterpret_cast<std::uintptr_t>(address);
    if (size == sizeof(void*) && where % alignof(void*) == 0)
    {
        void* value = nullptr;
        std::memcpy(&value, source, sizeof(value));
        InterlockedExchangePointer(static_cast<void* volatile*>(address), value);
    }
    else
    {
        std::memcpy(address, source, size);
    }
    DWORD ignored = 0;
    const DWORD last_error = GetLastError();
    protect(address, size, previous, &ignored);
    SetLastError(last_error);
    return true;
}

memory_protector_t set_memory_protector_for_testing(memory_protector_t protector) noexcept
{
    const memory_protector_t previous = g_memory_protector.exchange(protector);
    return previous != nullptr ? previous : VirtualProtect;
}

ApiHook::ApiHook(const void* replacement, const char* dll_name, const char* function_name, const char* module_name,
                 std::int32_t mode)
    : m_mode(mode), m_owns_module(module_name != nullptr)
{
    m_module = module_name != nullptr ? LoadLibraryA(module_name) : GetModuleHandleA(nullptr);
    if (m_module == nullptr)
    {
        const std::string error = get_last_error(); // before anything else can change it
        ReportFailure("Unable to get " + text_of(module_name) + " module because of " + error);
        return;
    }
    try
    {
        void** slot = FindImportSlot(dll_name, function_name);
        if (slot == nullptr || replacement == nullptr)
        {
            return;
        }
        const void* saved_entry = *slot;
        if (!WriteProtected(slot, &replacement, sizeof(replacement)))
        {
            return;
        }
        m_saved_entry = saved_entry;
        m_slot = slot;
        LogSuccess(dll_name, function_name);
    }
    catch (...)
    {
        // A throwing report ends construction, and with it any hold on the module.
        if (m_owns_module)
        {
            FreeLibrary(m_module);
        }
        throw;
    }
}

ApiHook::~ApiHook()
{
    if (m_module == nullptr)
    {
        return;
    }
    if (m_saved_entry != nullptr && m_slot != nullptr && !write_protected(m_slot, &m_saved_entry, sizeof(void*)))
    {
        ReportRestoreFailure();
    }
    if (m_owns_module)
    {
        FreeLibrary(m_module);
    }
}

void** ApiHook::FindImportSlot(const char* dll_name, const char* function_name)
{
    void** slot = nullptr;
    switch (find_import_entry(m_module, dll_name, function_name, slot))
    {
    case import_search_t::found:
        return slot;
    case import_search_t::function_not_imported:
        ReportFailure("Function " + text_of(function_name) + " didn`t found in imports for " + text_of(dll_name));
        return nullptr;
    case import_search_t::dll_not_imported:
        ReportFailure("Module " + text_of(dll_name) + " didn`t found in imports");
        return nullptr;
    }
    return nullptr;
}

bool ApiHook::WriteProtected(void* address, const void* source, std::size_t size)
{
    if (write_protected(address, source, size))
    {
        return true;
    }
    const std::string error = get_last_error();
    ReportFailure("Cannot enable writing to protected memory because of " + error);
    return false;
}

void ApiHook::ReportFailure(const std::string& message)
{
    if (m_mode == api_hook_throw)
    {
        BUG_exception_shell_t shell;
        shell.message() = message;
        raise_exception<BUG_exception>(shell, "win-utils", 648);
    }
    if (m_mode == api_hook_log)
    {
        lock_guard_t guard(default_logging_lock());
        if_logger_t* logger = global_logger();
        if (logger != nullptr && logger->is_enabled(log_level_error))
        {
            log_error(logger, "[ApiHook] %s", message.c_str());
        }
    }
}

// A destructor must not throw, so a restore that fails is logged in throwing mode too.
void ApiHook::ReportRestoreFailure() noexcept
{
    if (m_mode != api_hook_throw && m_mode != api_hook_log)
    {
        return;
    }
    try
    {
        const std::string error = get_last_error();
        const std::string message = "Cannot enable writing to protected memory because of " + error;
        lock_guard_t guard(default_logging_lock());
        if_logger_t* logger = global_logger();
        if (logger != nullptr && logger->is_enabled(log_level_error))
        {
            log_error(logger, "[ApiHook] %s", message.c_str());
        }
    }
    catch (...)
    {
        // Out of memory: the failure goes unreported, the entry keeps the replacement.
    }
}

void ApiHook::LogSuccess(const char* dll_name, const char* function_name) noexcept
{
    if (m_mode != api_hook_log)
    {
        return;
    }
    lock_guard_t guard(default_logging_lock());
    if_logger_t* logger = global_logger();
    if (logger == nullptr || !logger->is_enabled(log_level_trace))
    {
        return;
    }
    // One byte short of the buffer, so the name is terminated even when it is cut.
    char file_name[256] = {};
    GetModuleFileNameA(m_module, file_name, sizeof(file_name) - 1);
    log_trace(logger, "[ApiHook] %s from %s hooked in module %s", function_name != nullptr ? function_name : "",
              dll_name != nullptr ? dll_name : "", file_name);
}
