#include "os_info.h"

#include "late_bound.h"
#include "utilities.h"

#include <atomic>
#include <cstring>
#include <memory>

namespace
{
static_assert(sizeof(OSVERSIONINFOEXA) == 156 && sizeof(OSVERSIONINFOA) == 148, "the system's version structures");

const char current_version_key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char product_options_key[] = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";

std::atomic<os_info_t*> g_os_info{nullptr};

// The names detect_os puts together while it builds the code in the record.
struct naming_t
{
    std::string platform = "win";
    std::string release;
    std::string edition;
    std::string service_pack;
};

struct edition_t
{
    const char* name; // null: the product type names no edition
    std::uint32_t code;
};

edition_t edition_of_product(std::uint32_t product_type) noexcept
{
    // clang-format off
    switch (product_type)
    {
    case 1: case 28: case 71:                                              return {"Ultimate", 6};
    case 2: case 5: case 67:                                               return {"Basic", 2};
    case 3: case 26: case 68:                                              return {"Premium", 3};
    case 4: case 27: case 70: case 72: case 84:                            return {"Enterprise", 4};
    case 6: case 16:                                                       return {"Business", 5};
    case 7: case 13: case 36: case 40: case 52: case 53: case 79:          return {"Standard", 1};
    case 8: case 12: case 37: case 39: case 80:                            return {"Datacenter", 4};
    case 10: case 14: case 15: case 38: case 41:                           return {"Enterprise", 3};
    case 11: case 47: case 66:                                             return {"Starter", 1};
    case 17: case 29:                                                      return {"Web", 2};
    case 18: case 64:                                                      return {"Compute Cluster", 6};
    case 19: case 20: case 21: case 22: case 23:
    case 43: case 44: case 45: case 46: case 95: case 96:                  return {"Storage", 5};
    case 33:                                                               return {"Foundation", 8};
    case 48: case 49: case 69: case 103:                                   return {"Professional", 7};
    case 59: case 60: case 61: case 62:                                    return {"Essentials", 9};
    case 98: case 99: case 100: case 101:                                  return {"", 3};
    default:                                                               return {nullptr, 0};
    }
    // clang-format on
}

template <std::size_t size> void copy_text(char (&target)[size], const std::string& text) noexcept
{
    const std::size_t length = text.size() < size ? text.size() : size - 1;
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

char upper(char c) noexcept
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equals_nocase(const std::string& text, const char* other) noexcept
{
    return text.size() == std::strlen(other) && contains_nocase(text.c_str(), other);
}

void set_release(os_info_t& info, naming_t& names, std::uint32_t release, const char* name)
{
    info.code = (info.code & ~0xFF00u) | (release << 8);
    names.release = name;
}

void set_edition(os_info_t& info, naming_t& names, const char* name, std::uint32_t edition)
{
    names.edition = name;
    info.code |= edition;
}

// Windows 95, 98 and ME. The second character of the service-pack text tells the
// editions apart.
void name_9x(const OSVERSIONINFOEXA& version, os_info_t& info, naming_t& names)
{
    const char marker = version.szCSDVersion[0] != '\0' ? version.szCSDVersion[1] : '\0';
    switch (version.dwMinorVersion)
    {
    case 0:
        set_release(info, names, 1, "95");
        names.edition = marker == 'C' || marker == 'B' ? "OSR2" : "";
        break;
    case 10:
        set_release(info, names, 2, "98");
        names.edition = marker == 'A' ? "SE" : "";
        break;
    case 90:
        set_release(info, names, 3, "ME");
        break;
    default:
        break;
    }
}

// The NT releases as workstations name them; servers rename some later.
void name_nt_release(DWORD major, DWORD minor, os_info_t& info, naming_t& names)
{
    if (major == 5 && minor == 0)
    {
        set_release(info, names, 3, "2000");
    }
    else if (major == 5 && minor == 1)
    {
        set_release(info, names, 4, "XP");
    }
    else if (major == 5 && minor == 2)
    {
        set_release(info, names, 5, "Server 2003");
    }
    else if (major == 6 && minor == 0)
    {
        set_release(info, names, 6, "Vista");
    }
    else if (major == 6 && minor == 1)
    {
        set_release(info, names, 8, "7");
    }
    else if (major == 6 && minor == 2)
    {
        set_release(info, names, 10, "8");
    }
    else if (major == 6)
    {
        set_release(info, names, 10, "Brand new");
    }
    // 5.3 and later minors, 7 and later majors: releases this library does not know.
}

void name_architecture(if_os_probe_t& probe, os_info_t& info, naming_t& names)
{
    std::uint16_t architecture = 0;
    // NOLINTBEGIN(bugprone-branch-clone): an unknown and a 32-bit architecture read alike
    if (!probe.native_processor_architecture(architecture))
    {
        names.platform += "-32";
    }
    else if (architecture == PROCESSOR_ARCHITECTURE_AMD64)
    {
        info.code |= os_arch_x64 << 20;
        names.platform += "-64";
    }
    else if (architecture == PROCESSOR_ARCHITECTURE_IA64)
    {
        info.code |= os_arch_ia64 << 20;
        names.platform += "-ia64";
    }
    else
    {
        names.platform += "-32";
    }
    // NOLINTEND(bugprone-branch-clone)
}

// NT 6 workstations that GetProductInfo did not name: the edition from the registry's
// EditionID, or its ProductName.
void name_edition_from_registry(if_os_probe_t& probe, os_info_t& info, naming_t& names)
{
    names.edition = "Starter";
    std::string text;
    if (!probe.registry_text(current_version_key, "EditionID", 128, text) &&
        !probe.registry_text(current_version_key, "ProductName", 128, text))
    {
        return;
    }
    static const struct
    {
        const char* name;
        std::uint32_t edition;
    } editions[] = {{"Starter", 1},    {"Basic", 2},    {"Premium", 3}, {"Professional", 7},
                    {"Enterprise", 4}, {"Business", 5}, {"Ultimate", 6}};
    for (const auto& edition : editions)
    {
        if (contains_nocase(text.c_str(), edition.name))
        {
            set_edition(info, names, edition.name, edition.edition);
            return;
        }
    }
    set_edition(info, names, "Starter", 1);
}

// The server editions the suite mask tells apart.
void name_server_suite(WORD suite, os_info_t& info, naming_t& names)
{
    if (suite == VER_SUITE_COMPUTE_SERVER)
    {
        set_edition(info, names, "Compute Cluster", 6);
    }
    else if (suite == VER_SUITE_STORAGE_SERVER)
    {
        set_edition(info, names, "Storage", 5);
    }
    else if ((suite & VER_SUITE_DATACENTER) != 0)
    {
        set_edition(info, names, "Datacenter", 4);
    }
    else if ((suite & VER_SUITE_ENTERPRISE) != 0)
    {
        set_edition(info, names, "Enterprise", 3);
    }
    else if (suite == VER_SUITE_BLADE)
    {
        set_edition(info, names, "Web", 2);
    }
    else
    {
        set_edition(info, names, "Standard", 1);
    }
}

void name_server(const OSVERSIONINFOEXA& version, bool edition_found, os_info_t& info, naming_t& names)
{
    info.code |= os_server_bit;
    const WORD suite = version.wSuiteMask;
    switch (os_release(info.code))
    {
    case 6:
        set_release(info, names, 7, "Server 2008");
        break;
    case 8:
        set_release(info, names, 9, "Server 2008 R2");
        break;
    case 10:
        set_release(info, names, 11, "Server 2012");
        break;
    case 5:
        break;
    case 3: // Windows 2000
        if ((suite & VER_SUITE_DATACENTER) != 0)
        {
            set_edition(info, names, "Datacenter", 3);
        }
        else if ((suite & VER_SUITE_ENTERPRISE) != 0)
        {
            set_edition(info, names, "Advanced Server", 2);
        }
        else
        {
            set_edition(info, names, "Server", 1);
        }
        return;
    default: // NT 3 and 4, and releases this library does not know
        if ((suite & VER_SUITE_ENTERPRISE) != 0)
        {
            set_edition(info, names, "Enterprise Server", 3);
        }
        else
        {
            set_edition(info, names, "Server", 1);
        }
        return;
    }
    if (!edition_found)
    {
        name_server_suite(suite, info, names);
    }
}

// Systems with the extended version structure: GetProductInfo (NT 6 and later), the
// product type, the suite mask and, for NT 6 workstations, the registry.
void name_nt_edition(const OSVERSIONINFOEXA& version, if_os_probe_t& probe, os_info_t& info, naming_t& names)
{
    bool found = false;
    if (version.dwMajorVersion >= 6)
    {
        DWORD type = 0;
        if (probe.product_type(version.dwMajorVersion, version.dwMinorVersion, version.wServicePackMajor,
                               version.wServicePackMinor, type))
        {
            if (const char* name = product_edition(type, info))
            {
                names.edition = name;
                found = true;
            }
        }
    }
    switch (version.wProductType)
    {
    case VER_NT_WORKSTATION:
        if (version.dwMajorVersion == 4)
        {
            set_edition(info, names, "Workstation", 1);
        }
        else if (version.dwMajorVersion == 5)
        {
            const bool personal = (version.wSuiteMask & VER_SUITE_PERSONAL) != 0;
            set_edition(info, names, personal ? "Home Edition" : "Professional", personal ? 1 : 2);
        }
        else if (version.dwMajorVersion == 6 && !found)
        {
            name_edition_from_registry(probe, info, names);
        }
        break;
    case VER_NT_DOMAIN_CONTROLLER:
    case VER_NT_SERVER:
        name_server(version, found, info, names);
        break;
    default:
        break;
    }
}

// Early NT without the extended structure: the product options in the registry.
void name_nt_edition_from_product_options(if_os_probe_t& probe, os_info_t& info, naming_t& names)
{
    std::string text;
    if (!probe.registry_text(product_options_key, "ProductType", 64, text))
    {
        return;
    }
    if (equals_nocase(text, "WINNT"))
    {
        set_edition(info, names, "Workstation", 1);
    }
    else if (equals_nocase(text, "LANMANNT"))
    {
        set_edition(info, names, "Server", os_server_bit | 1);
    }
    else if (equals_nocase(text, "SERVERNT"))
    {
        set_edition(info, names, "Advanced Server", os_server_bit | 2);
    }
}

void name_nt(const OSVERSIONINFOEXA& version, bool extended, if_os_probe_t& probe, os_info_t& info, naming_t& names)
{
    const DWORD major = version.dwMajorVersion;
    if (major == 3)
    {
        set_release(info, names, 1, "NT3");
        names.platform += "-3";
    }
    else if (major == 4)
    {
        set_release(info, names, 2, "NT4");
        names.platform += "-4";
    }
    else
    {
        name_architecture(probe, info, names);
        name_nt_release(major, version.dwMinorVersion, info, names);
    }
    if (extended)
    {
        name_nt_edition(version, probe, info, names);
    }
    else
    {
        name_nt_edition_from_product_options(probe, info, names);
    }
    names.service_pack.assign(version.szCSDVersion, strnlen(version.szCSDVersion, sizeof version.szCSDVersion));
}

void describe(const OSVERSIONINFOEXA& version, const naming_t& names, os_info_t& info)
{
    copy_text(info.platform, names.platform);
    copy_text(info.release, "Windows_" + names.release);
    const bool nt = os_family(info.code) == os_family_windows && os_platform(info.code) == os_platform_nt;
    const char* arch = "x86";
    if (nt && os_arch(info.code) == os_arch_x64)
    {
        arch = "x64";
    }
    else if (nt && os_arch(info.code) == os_arch_ia64)
    {
        arch = "IA64";
    }
    copy_text(info.arch, arch);
    std::string description;
    string_printf(description, "Windows %s%s%s %s (Build %d)%s%s", names.release.c_str(),
                  names.edition.empty() ? "" : " ", names.edition.c_str(), arch,
                  static_cast<int>(version.dwBuildNumber & 0xFFFF), names.service_pack.empty() ? "" : ", ",
                  names.service_pack.c_str());
    copy_text(info.description, description);
}

void describe_unknown(os_info_t& info)
{
    info = os_info_t{};
    copy_text(info.description, "Windows (unknown version)");
    copy_text(info.platform, "win");
    copy_text(info.release, "Windows_");
    copy_text(info.arch, "x86");
}
} // namespace

bool system_os_probe_t::version(OSVERSIONINFOEXA& version)
{
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version)) != FALSE;
}

bool system_os_probe_t::native_processor_architecture(std::uint16_t& architecture)
{
    late_bound_t<decltype(::GetNativeSystemInfo)> entry("kernel32.dll", "GetNativeSystemInfo");
    if (!entry.available())
    {
        return false;
    }
    SYSTEM_INFO system{};
    entry.get()(&system);
    architecture = system.wProcessorArchitecture;
    return true;
}

bool system_os_probe_t::product_type(DWORD major, DWORD minor, DWORD sp_major, DWORD sp_minor, DWORD& type)
{
    late_bound_t<decltype(::GetProductInfo)> entry("kernel32.dll", "GetProductInfo");
    type = 0;
    return entry.available() && entry.get()(major, minor, sp_major, sp_minor, &type) != FALSE;
}

bool system_os_probe_t::registry_text(const char* subkey, const char* value, std::size_t size, std::string& text)
{
    std::string buffer(size, '\0');
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    DWORD length = static_cast<DWORD>(size);
    const LONG status = RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &length);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
    {
        return false;
    }
    buffer.resize(length < size ? length : size);
    text = buffer.c_str(); // up to the first zero byte, or the whole buffer
    return true;
}

os_info_t& detect_os(os_info_t& info, if_os_probe_t& probe)
{
    info = os_info_t{};
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    const bool extended = probe.version(version);
    if (!extended)
    {
        version = OSVERSIONINFOEXA{};
        version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (!probe.version(version))
        {
            // A library inside someone else's process does not end it for want of a
            // version number.
            describe_unknown(info);
            return info;
        }
    }

    info.code = os_family_windows << 24;
    naming_t names;
    switch (version.dwPlatformId)
    {
    case VER_PLATFORM_WIN32s:
        info.code |= os_platform_win32s << 16;
        names.release = "32s";
        names.platform += "-32";
        break;
    case VER_PLATFORM_WIN32_WINDOWS:
        info.code |= os_platform_9x << 16;
        names.platform += "-9x";
        name_9x(version, info, names);
        break;
    case VER_PLATFORM_WIN32_NT:
        info.code |= os_platform_nt << 16;
        names.platform += "-nt";
        name_nt(version, extended, probe, info, names);
        break;
    default:
        break;
    }
    describe(version, names, info);
    return info;
}

os_info_t& detect_os(os_info_t& info)
{
    system_os_probe_t probe;
    return detect_os(info, probe);
}

const char* product_edition(std::uint32_t product_type, os_info_t& info) noexcept
{
    const edition_t edition = edition_of_product(product_type);
    if (edition.name != nullptr)
    {
        info.code |= edition.code;
    }
    return edition.name;
}

bool contains_nocase(const char* text, const char* part) noexcept
{
    if (text == nullptr || part == nullptr)
    {
        return false;
    }
    const std::size_t text_length = std::strlen(text);
    const std::size_t part_length = std::strlen(part);
    if (text_length < part_length)
    {
        return false;
    }
    for (std::size_t start = 0; start + part_length <= text_length; ++start)
    {
        std::size_t matched = 0;
        while (matched < part_length && upper(text[start + matched]) == upper(part[matched]))
        {
            ++matched;
        }
        if (matched == part_length)
        {
            return true;
        }
    }
    return false;
}

bool os_info_create() noexcept
{
    try
    {
        system_os_probe_t probe;
        return os_info_create(probe);
    }
    catch (...)
    {
        return false;
    }
}

bool os_info_create(if_os_probe_t& probe) noexcept
{
    if (g_os_info.load() != nullptr)
    {
        return true;
    }
    try
    {
        auto record = std::make_unique<os_info_t>();
        detect_os(*record, probe);
        if (record->code == 0)
        {
            return false;
        }
        g_os_info.store(record.release());
        return true;
    }
    catch (...)
    {
        return false;
    }
}

void os_info_destroy() noexcept
{
    delete g_os_info.exchange(nullptr);
}

const os_info_t* os_info() noexcept
{
    return g_os_info.load();
}
