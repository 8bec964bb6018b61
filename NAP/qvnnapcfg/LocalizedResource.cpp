#include "LocalizedResource.h"

#include "runtime/utilities.h"

#include <cstdint>
#include <cstring>

namespace
{
constexpr DWORD HighBit = 0x80000000;

// Module handles with these low bits set come from LoadLibraryEx: bit 0 marks a data
// file mapped flat (as the file lies on disk), bit 1 an image-resource mapping laid out
// as the loader lays out images.
constexpr ULONG_PTR FlatDataFileBit = 1;
constexpr ULONG_PTR HandleFlagBits = 3;

// The resource section of one module: where it lies in memory and how large the
// directory says it is. Every read below stays inside it, so a damaged directory gives
// an error instead of a read from arbitrary memory.
class ResourceSection
{
public:
    explicit ResourceSection(HMODULE module) noexcept;

    bool Found() const noexcept { return m_start != nullptr; }

    // The object of the given size at a section offset, or null when it does not fit.
    template <class T> const T* At(DWORD offset, DWORD count = 1) const noexcept
    {
        const std::uint64_t end = std::uint64_t(offset) + std::uint64_t(sizeof(T)) * count;
        return end <= m_size ? reinterpret_cast<const T*>(m_start + offset) : nullptr;
    }

private:
    template <class NtHeaders> void Locate(const NtHeaders* headers) noexcept;
    const BYTE* AddressOf(DWORD rva, DWORD size, const IMAGE_SECTION_HEADER* sections, WORD sectionCount) const;

    const BYTE* m_base = nullptr;
    bool m_flat = false;          // a data file mapped as it lies on disk
    std::uint64_t m_readable = 0; // bytes from m_base on in the mapping's first region
    const BYTE* m_start = nullptr;
    DWORD m_size = 0;
};

ResourceSection::ResourceSection(HMODULE module) noexcept
{
    const auto handle = reinterpret_cast<ULONG_PTR>(module);
    m_base = reinterpret_cast<const BYTE*>(handle & ~HandleFlagBits);
    m_flat = (handle & FlatDataFileBit) != 0;

    // The first region of the mapping holds the headers (for a flat mapping, the whole
    // file), so it bounds every header read.
    MEMORY_BASIC_INFORMATION region{};
    if (m_base == nullptr || VirtualQuery(m_base, &region, sizeof(region)) == 0 || region.State != MEM_COMMIT)
    {
        return;
    }
    m_readable = static_cast<std::uint64_t>(static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize - m_base);

    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(m_base);
    if (m_readable < sizeof(*dos) || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
        static_cast<std::uint64_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > m_readable)
    {
        return;
    }
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(m_base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
    {
        return;
    }
    // A 32-bit image can be mapped as a data file into this 64-bit process.
    if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    {
        Locate(nt);
    }
    else if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
    {
        Locate(reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt));
    }
}

template <class NtHeaders> void ResourceSection::Locate(const NtHeaders* headers) noexcept
{
    const auto& optional = headers->OptionalHeader;
    if (optional.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_RESOURCE)
    {
        return;
    }
    const IMAGE_DATA_DIRECTORY& directory = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    if (directory.VirtualAddress == 0 || directory.Size == 0)
    {
        return;
    }
    const auto* sections = IMAGE_FIRST_SECTION(headers);
    const WORD sectionCount = headers->FileHeader.NumberOfSections;
    if (static_cast<std::uint64_t>(reinterpret_cast<const BYTE*>(sections + sectionCount) - m_base) > m_readable)
    {
        return;
    }
    if (!m_flat && std::uint64_t(directory.VirtualAddress) + directory.Size > optional.SizeOfImage)
    {
        return;
    }
    m_start = AddressOf(directory.VirtualAddress, directory.Size, sections, sectionCount);
    m_size = m_start != nullptr ? directory.Size : 0;
}

const BYTE* ResourceSection::AddressOf(DWORD rva, DWORD size, const IMAGE_SECTION_HEADER* sections,
                                       WORD sectionCount) const
{
    if (!m_flat)
    {
        return m_base + rva; // laid out as the loader lays out images
    }
    // In a flat mapping a range of the image is found through the section that holds
    // it, at that section's position in the file.
    for (WORD i = 0; i < sectionCount; ++i)
    {
        const IMAGE_SECTION_HEADER& section = sections[i];
        if (rva >= section.VirtualAddress &&
            std::uint64_t(rva) + size <= std::uint64_t(section.VirtualAddress) + section.SizeOfRawData)
        {
            const std::uint64_t offset = std::uint64_t(section.PointerToRawData) + (rva - section.VirtualAddress);
            return offset + size <= m_readable ? m_base + offset : nullptr;
        }
    }
    return nullptr;
}

// One level of the resource tree: a directory and its entries, named ones first as the
// format stores them.
struct DirectoryLevel
{
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* entries = nullptr;
    DWORD count = 0;
};

bool ReadDirectory(const ResourceSection& section, DWORD offset, DirectoryLevel& level)
{
    const auto* directory = section.At<IMAGE_RESOURCE_DIRECTORY>(offset);
    if (directory == nullptr)
    {
        return false;
    }
    level.count = DWORD(directory->NumberOfNamedEntries) + directory->NumberOfIdEntries;
    level.entries = section.At<IMAGE_RESOURCE_DIRECTORY_ENTRY>(offset + sizeof(*directory), level.count);
    return level.entries != nullptr;
}

DWORD EntryName(const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry)
{
    DWORD value;
    std::memcpy(&value, &entry, sizeof(value));
    return value;
}

DWORD EntryTarget(const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry)
{
    DWORD value;
    std::memcpy(&value, reinterpret_cast<const BYTE*>(&entry) + sizeof(DWORD), sizeof(value));
    return value;
}

// The entry with integer identifier id; entries named by text never match.
const IMAGE_RESOURCE_DIRECTORY_ENTRY* FindById(const DirectoryLevel& level, WORD id)
{
    for (DWORD i = 0; i < level.count; ++i)
    {
        const DWORD name = EntryName(level.entries[i]);
        if ((name & HighBit) == 0 && LOWORD(name) == id)
        {
            return &level.entries[i];
        }
    }
    return nullptr;
}

HRSRC Fail(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

// The data entry an entry leads to, or null with the error set.
HRSRC DataEntry(const ResourceSection& section, const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry)
{
    const DWORD target = EntryTarget(entry);
    if ((target & HighBit) != 0)
    {
        return Fail(ERROR_INVALID_DATATYPE);
    }
    const auto* data = section.At<IMAGE_RESOURCE_DATA_ENTRY>(target);
    if (data == nullptr)
    {
        return Fail(ERROR_RESOURCE_DATA_NOT_FOUND);
    }
    return reinterpret_cast<HRSRC>(const_cast<IMAGE_RESOURCE_DATA_ENTRY*>(data));
}

// The subdirectory an entry leads to, read into level; false with the error set.
bool Subdirectory(const ResourceSection& section, const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry, DirectoryLevel& level)
{
    const DWORD target = EntryTarget(entry);
    if ((target & HighBit) == 0)
    {
        SetLastError(ERROR_INVALID_DATATYPE);
        return false;
    }
    if (!ReadDirectory(section, target & ~HighBit, level))
    {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    return true;
}

// Chooses among the languages of one resource as the header describes.
const IMAGE_RESOURCE_DIRECTORY_ENTRY* ChooseLanguage(const DirectoryLevel& languages, LANGID wanted)
{
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* exact = nullptr;
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* primary = nullptr;
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* neutral = nullptr;
    for (DWORD i = 0; i < languages.count; ++i)
    {
        const DWORD name = EntryName(languages.entries[i]);
        if ((name & HighBit) != 0)
        {
            continue; // languages are numbers; a text entry is no language at all
        }
        const LANGID language = LOWORD(name);
        if (language == wanted)
        {
            exact = &languages.entries[i];
        }
        else if (PRIMARYLANGID(language) == PRIMARYLANGID(wanted) && SUBLANGID(language) == SUBLANG_NEUTRAL)
        {
            primary = &languages.entries[i];
        }
        else if (PRIMARYLANGID(language) == LANG_NEUTRAL)
        {
            neutral = &languages.entries[i];
        }
    }
    return exact != nullptr ? exact : primary != nullptr ? primary : neutral;
}

// The platform's own FindResourceW, taken from kernel32's exports rather than from an
// import table, which may be the very one patched to lead here.
HRSRC PlatformFindResource(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    using FindResourceFunction = HRSRC(WINAPI*)(HMODULE, LPCWSTR, LPCWSTR);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    FARPROC function = kernel32 != nullptr ? GetProcAddress(kernel32, "FindResourceW") : nullptr;
    if (function == nullptr)
    {
        return Fail(ERROR_PROC_NOT_FOUND);
    }
    return reinterpret_cast<FindResourceFunction>(reinterpret_cast<void (*)()>(function))(module, name, type);
}

// The text of string id in its block, or false when the block does not hold it or
// holds it empty.
bool StringFromBlock(const WORD* block, std::size_t units, UINT id, std::wstring& text)
{
    std::size_t position = 0;
    for (UINT skip = id % 16; skip > 0; --skip)
    {
        if (position >= units)
        {
            return false;
        }
        position += 1 + std::size_t(block[position]);
    }
    if (position >= units)
    {
        return false;
    }
    const std::size_t length = block[position];
    if (length == 0 || length > units - position - 1)
    {
        return false;
    }
    text.assign(reinterpret_cast<const wchar_t*>(block + position + 1), length);
    return true;
}
} // namespace

HRSRC WINAPI FindLocalizedResource(HMODULE module, LPCWSTR name, LPCWSTR type) noexcept
{
    if (!IS_INTRESOURCE(name) || !IS_INTRESOURCE(type))
    {
        return PlatformFindResource(module, name, type);
    }
    if (module == nullptr)
    {
        module = GetModuleHandleW(nullptr);
    }

    const ResourceSection section(module);
    DirectoryLevel types;
    if (!section.Found() || !ReadDirectory(section, 0, types))
    {
        return Fail(ERROR_RESOURCE_DATA_NOT_FOUND);
    }

    const auto* typeEntry = FindById(types, LOWORD(reinterpret_cast<ULONG_PTR>(type)));
    if (typeEntry == nullptr)
    {
        return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    DirectoryLevel names;
    if (!Subdirectory(section, *typeEntry, names))
    {
        return nullptr;
    }

    const auto* nameEntry = FindById(names, LOWORD(reinterpret_cast<ULONG_PTR>(name)));
    if (nameEntry == nullptr)
    {
        return Fail(ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    if ((EntryTarget(*nameEntry) & HighBit) == 0)
    {
        return DataEntry(section, *nameEntry); // a resource stored without a language level
    }
    DirectoryLevel languages;
    if (!Subdirectory(section, *nameEntry, languages))
    {
        return nullptr;
    }

    const auto* chosen = ChooseLanguage(languages, LANGIDFROMLCID(GetThreadLocale()));
    if (chosen == nullptr)
    {
        return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    }
    return DataEntry(section, *chosen);
}

namespace
{
void LoadStringInCodePage(std::string& result, UINT id, HMODULE module, const std::string& defaultText,
                          UINT codePage) noexcept
{
    try
    {
        if (module == nullptr)
        {
            module = GetModuleHandleW(nullptr);
        }
        std::wstring text;
        std::string converted;
        HRSRC found = id <= 0xFFFF ? FindLocalizedResource(module, MAKEINTRESOURCEW(id / 16 + 1), RT_STRING) : nullptr;
        HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
        const auto* block = loaded != nullptr ? static_cast<const WORD*>(LockResource(loaded)) : nullptr;
        const DWORD size = block != nullptr ? SizeofResource(module, found) : 0;
        if (block == nullptr || !StringFromBlock(block, size / sizeof(WORD), id, text))
        {
            result = defaultText;
            return;
        }
        // The runtime library reports a conversion the system refuses by throwing; that
        // lands in the handler below, which gives the default text as well.
        from_unicode_to_cp(converted, text, static_cast<int>(codePage));
        result.swap(converted);
    }
    catch (...)
    {
        try
        {
            result = defaultText;
        }
        catch (...)
        {
            result.clear();
        }
    }
}
} // namespace

void LoadLocalizedString(std::string& result, UINT id, HMODULE module, const std::string& defaultText) noexcept
{
    LoadStringInCodePage(result, id, module, defaultText, CP_ACP);
}

void LoadLocalizedStringForTesting(std::string& result, UINT id, HMODULE module, const std::string& defaultText,
                                   UINT codePage) noexcept
{
    LoadStringInCodePage(result, id, module, defaultText, codePage);
}
