// Identification of the Windows release the library runs on: a numeric code and four
// texts, such as "Windows 7 Ultimate x64 (Build 7601), Service Pack 1", "win-nt-64",
// "Windows_7" and "x64". The rules that name a release (detect_os) are kept apart from
// the questions they ask the system (if_os_probe_t), so that every release can be
// described without running on it.
#pragma once

#include "types.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The identification record. Texts are NUL-terminated and cut to fit their arrays.
struct os_info_t
{
    // family << 24 | architecture << 20 | platform << 16 | release << 8 | server bit
    // (0x80) | edition; 0 when the version could not be read at all.
    std::uint32_t code;
    char description[256]; // "Windows <release>[ <edition>] <arch> (Build <n>)[, <service pack>]"
    char platform[128];    // "win" with suffixes: "-32", "-9x" or "-nt", then "-3", "-4", "-32", "-64" or "-ia64"
    char release[64];      // "Windows_" followed by the release name
    char arch[32];         // "x64", "IA64" or "x86"
};

// The fields of os_info_t::code.
constexpr std::uint32_t os_family_windows = 2;
constexpr std::uint32_t os_arch_x86 = 0, os_arch_ia64 = 1, os_arch_x64 = 2;
constexpr std::uint32_t os_platform_win32s = 1, os_platform_9x = 2, os_platform_nt = 3;
constexpr std::uint32_t os_server_bit = 0x80;
constexpr std::uint32_t os_family(std::uint32_t code)
{
    return (code >> 24) & 0x7F;
}
constexpr std::uint32_t os_arch(std::uint32_t code)
{
    return (code >> 20) & 0xF;
}
constexpr std::uint32_t os_platform(std::uint32_t code)
{
    return (code >> 16) & 0xF;
}
constexpr std::uint32_t os_release(std::uint32_t code)
{
    return (code >> 8) & 0xFF;
}
constexpr std::uint32_t os_edition(std::uint32_t code)
{
    return code & 0x7F;
}

// What detect_os asks the system. Each answer may be missing, as on older releases.
class if_os_probe_t : public virtual if_root_t
{
public:
    // GetVersionExA on version, whose dwOSVersionInfoSize names the structure: 156 bytes
    // for the extended one, 148 for the basic one. False when the system refuses it.
    virtual bool version(OSVERSIONINFOEXA& version) = 0;
    // GetNativeSystemInfo's processor architecture; false when the function is missing.
    virtual bool native_processor_architecture(std::uint16_t& architecture) = 0;
    // GetProductInfo's product type for this version; false when the function is
    // missing or answers 0.
    virtual bool product_type(DWORD major, DWORD minor, DWORD sp_major, DWORD sp_minor, DWORD& type) = 0;
    // The value under HKEY_LOCAL_MACHINE\subkey read into a buffer of size bytes, as text:
    // up to its first zero byte, or all size bytes when it has none. False when the key
    // cannot be opened or the value is missing or larger than size bytes.
    virtual bool registry_text(const char* subkey, const char* value, std::size_t size, std::string& text) = 0;
};

// The system itself: GetVersionExA, GetNativeSystemInfo and GetProductInfo (the last two
// through late-bound entries for "kernel32.dll", which live for one question) and the
// registry. Raises sync_exception_shell_t when an entry's lock cannot be created.
class system_os_probe_t : public if_os_probe_t
{
public:
    bool version(OSVERSIONINFOEXA& version) override;
    bool native_processor_architecture(std::uint16_t& architecture) override;
    bool product_type(DWORD major, DWORD minor, DWORD sp_major, DWORD sp_minor, DWORD& type) override;
    bool registry_text(const char* subkey, const char* value, std::size_t size, std::string& text) override;
};

// Fills info from the probe's answers and returns it. When neither version structure
// can be read the system is described as unknown: code 0, description
// "Windows (unknown version)", platform "win", release "Windows_", arch "x86". May run
// on several threads at once, each on its own record. Throws what the probe throws
// (std::bad_alloc, and sync_exception_shell_t from the system probe).
os_info_t& detect_os(os_info_t& info, if_os_probe_t& probe);
// The same, asking the system.
os_info_t& detect_os(os_info_t& info);

// The edition name of a GetProductInfo product type, or null for a type without one
// (0, anything above 103 and the gaps in between). A name (the empty one of types 98 to
// 101 included) ors its edition code into info.code.
const char* product_edition(std::uint32_t product_type, os_info_t& info) noexcept;

// Whether part occurs in text, comparing letters by their upper-case forms (ASCII).
// False at once when text is shorter than part; false when either is null.
bool contains_nocase(const char* text, const char* part) noexcept;

// The process-wide record, identified once while the module loads. Returns false, and
// keeps no record, when the version cannot be read or identification fails otherwise;
// the module then refuses to load. Harmless when the record exists already.
bool os_info_create() noexcept;
// The same with another probe, for tests.
bool os_info_create(if_os_probe_t& probe) noexcept;
// Drops the record; harmless when there is none.
void os_info_destroy() noexcept;
// The record, or null outside the time between os_info_create and os_info_destroy.
const os_info_t* os_info() noexcept;
