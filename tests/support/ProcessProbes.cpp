#include "support/ProcessProbes.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace
{
std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}
} // namespace

DWORD CountOpenHandles()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
    {
        return count;
    }
    struct HandleEntry // as Wine lays out SystemHandleInformation
    {
        ULONG processId;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        void* object;
        ULONG access;
    };
    using QuerySystemInformation = NTSTATUS(NTAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
    {
        throw std::runtime_error("no way to count handles");
    }
    std::vector<char> buffer(1 << 20);
    for (;;)
    {
        ULONG length = 0;
        const NTSTATUS status = query(16 /* SystemHandleInformation */, buffer.data(), buffer.size(), &length);
        if (status == static_cast<NTSTATUS>(0xC0000004)) // STATUS_INFO_LENGTH_MISMATCH
        {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0)
        {
            throw std::runtime_error("the system's handle list cannot be read");
        }
        break;
    }
    ULONG entries = 0;
    std::memcpy(&entries, buffer.data(), sizeof entries);
    const auto* entry = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(void*));
    for (ULONG i = 0; i < entries; ++i)
    {
        count += entry[i].processId == GetCurrentProcessId() ? 1 : 0;
    }
    return count;
}

std::size_t CountPrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters) &&
        counters.PrivateUsage != 0)
    {
        return counters.PrivateUsage;
    }
    // Wine leaves PrivateUsage at 0. It is the committed private memory, which the
    // address space itself tells region by region.
    std::size_t bytes = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
        {
            bytes += region.RegionSize;
        }
    }
    if (bytes == 0)
    {
        throw std::runtime_error("no way to measure private memory");
    }
    return bytes;
}

std::set<std::string> MappedModuleNames()
{
    std::set<std::string> names;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        throw std::runtime_error("no module snapshot");
    }
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry))
    {
        char name[MAX_PATH] = {};
        WideCharToMultiByte(CP_ACP, 0, entry.szModule, -1, name, sizeof name, nullptr, nullptr);
        names.insert(Lower(name));
    }
    CloseHandle(snapshot);
    return names;
}

std::vector<std::string> ImportedDllNames(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto at = [&image](std::size_t offset, std::size_t size) {
        if (offset > image.size() || size > image.size() - offset)
        {
            throw std::runtime_error("truncated image");
        }
        return image.data() + offset;
    };
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, at(0, sizeof dos), sizeof dos);
    IMAGE_NT_HEADERS64 nt;
    std::memcpy(&nt, at(dos.e_lfanew, sizeof nt), sizeof nt);
    if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    {
        throw std::runtime_error("not a 64-bit image");
    }
    const std::size_t sectionsAt =
        dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    std::memcpy(sections.data(), at(sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER)),
                sections.size() * sizeof(IMAGE_SECTION_HEADER));
    auto fileOffset = [&sections](DWORD rva) -> std::size_t {
        for (const auto& section : sections)
        {
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize)
            {
                return rva - section.VirtualAddress + section.PointerToRawData;
            }
        }
        throw std::runtime_error("address outside every section");
    };

    std::vector<std::string> names;
    const DWORD imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (std::size_t offset = fileOffset(imports);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR))
    {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        std::memcpy(&descriptor, at(offset, sizeof descriptor), sizeof descriptor);
        if (descriptor.Name == 0)
        {
            break;
        }
        const std::size_t nameAt = fileOffset(descriptor.Name);
        names.push_back(Lower(std::string(at(nameAt, 1), strnlen(at(nameAt, 1), image.size() - nameAt))));
    }
    return names;
}

ImportsHeldLoaded::ImportsHeldLoaded(const std::wstring& path)
{
    for (const std::string& name : ImportedDllNames(path))
    {
        HMODULE module = LoadLibraryA(name.c_str());
        if (module == nullptr)
        {
            FreeAll();
            throw std::runtime_error("cannot load " + name);
        }
        m_modules.push_back(module);
    }
}

ImportsHeldLoaded::~ImportsHeldLoaded()
{
    FreeAll();
}

void ImportsHeldLoaded::FreeAll() noexcept
{
    for (HMODULE module : m_modules)
    {
        FreeLibrary(module);
    }
    m_modules.clear();
}
