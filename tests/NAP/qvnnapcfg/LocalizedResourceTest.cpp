// The thread-locale resource lookup, on the shipped DLL's resources, on a module that
// has none, and on hand-built resource directories for the cases no real module shows.
#include "LocalizedResource.h"
#include "ResourceIds.h"

#include "support/ComponentDll.h"
#include "support/ComponentLanguages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{
const LPCWSTR Dialog = MAKEINTRESOURCEW(IDD_SETTINGS);
const LPCWSTR ErrorTextBlock = MAKEINTRESOURCEW(IDS_INCORRECT_VALUE / 16 + 1);

// Sets the calling thread's locale for the life of the object.
class ThreadLocale
{
public:
    explicit ThreadLocale(LCID locale) : m_previous(GetThreadLocale())
    {
        EXPECT_TRUE(SetThreadLocale(locale)) << "locale 0x" << std::hex << locale;
    }
    ~ThreadLocale() { SetThreadLocale(m_previous); }

private:
    LCID m_previous;
};

// The component DLL as a resource module; its entry point runs as for any load.
class LocalizedResourceTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(module, nullptr); }
    void TearDown() override { FreeLibrary(module); }

    // The resource stored in exactly this language, looked up by the platform.
    HRSRC Stored(LPCWSTR name, LPCWSTR type, LANGID language) const
    {
        return FindResourceExW(module, type, name, language);
    }

    HMODULE module = LoadLibraryW(PathBesideProgram(L"qvnnapcfg64.dll").c_str());
};

TEST_F(LocalizedResourceTest, EachLocaleFindsItsLanguage)
{
    struct Case
    {
        LCID locale;
        LANGID stored;
    };
    std::vector<Case> cases = {{0x0809, 0x0009}, {0x0807, 0x0007}}; // other countries, the primary-language entry
    for (const ComponentLanguage& language : ComponentLanguages)
    {
        cases.push_back({language.locale, language.stored});
    }
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "locale 0x" << std::hex << c.locale);
        ThreadLocale locale(c.locale);
        ASSERT_NE(Stored(Dialog, RT_DIALOG, c.stored), nullptr);
        EXPECT_EQ(FindLocalizedResource(module, Dialog, RT_DIALOG), Stored(Dialog, RT_DIALOG, c.stored));
        EXPECT_EQ(FindLocalizedResource(module, ErrorTextBlock, RT_STRING),
                  Stored(ErrorTextBlock, RT_STRING, c.stored));
    }
}

// No fallback to English or to the first language present.
TEST_F(LocalizedResourceTest, OtherLanguagesFindNothing)
{
    for (LCID other :
         {0x0404 /* Chinese, Taiwan */, 0x1004 /* Chinese, Singapore */, 0x0C0A /* Spanish */, 0x0411 /* Japanese */})
    {
        SCOPED_TRACE(testing::Message() << "locale 0x" << std::hex << other);
        ThreadLocale locale(other);
        SetLastError(0);
        EXPECT_EQ(FindLocalizedResource(module, Dialog, RT_DIALOG), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
    }
}

TEST_F(LocalizedResourceTest, NeutralResourcesAreFoundUnderAnyLocale)
{
    for (LCID any : {0x0409, 0x0C0A, 0x0404})
    {
        ThreadLocale locale(any);
        EXPECT_EQ(FindLocalizedResource(module, MAKEINTRESOURCEW(IDI_APPLICATION_ICON), RT_GROUP_ICON),
                  Stored(MAKEINTRESOURCEW(IDI_APPLICATION_ICON), RT_GROUP_ICON, 0));
        EXPECT_NE(FindLocalizedResource(module, MAKEINTRESOURCEW(1), RT_VERSION), nullptr);
        EXPECT_NE(FindLocalizedResource(module, MAKEINTRESOURCEW(1), RT_MANIFEST), nullptr);
    }
}

TEST_F(LocalizedResourceTest, MissingNameTypeAndResourcesGiveThePlatformsErrors)
{
    ThreadLocale locale(0x0409);
    SetLastError(0);
    EXPECT_EQ(FindLocalizedResource(module, MAKEINTRESOURCEW(IDC_VALIDATION_ENABLED), RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));

    SetLastError(0);
    EXPECT_EQ(FindLocalizedResource(module, Dialog, RT_MENU), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));

    HMODULE bare = LoadLibraryW(PathBesideProgram(L"qvn_no_resources.dll").c_str());
    ASSERT_NE(bare, nullptr);
    SetLastError(0);
    EXPECT_EQ(FindLocalizedResource(bare, Dialog, RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    FreeLibrary(bare);

    // A null module is the main executable: this test program, which has no resources.
    SetLastError(0);
    EXPECT_EQ(FindLocalizedResource(nullptr, Dialog, RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

// A host may look up resources in modules it mapped as data files. The lookup must read
// them where the file puts them, and the platform must accept the handle it returns.
TEST(LocalizedResourceDataFileTest, ModulesLoadedAsDataFilesAreReadCorrectly)
{
    ASSERT_EQ(GetModuleHandleW(L"qvnnapcfg64.dll"), nullptr) << "the DLL must not be mapped as an image here";
    ThreadLocale locale(0x0419);
    for (DWORD flags : {DWORD(LOAD_LIBRARY_AS_DATAFILE), DWORD(LOAD_LIBRARY_AS_IMAGE_RESOURCE),
                        DWORD(LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)})
    {
        SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << flags);
        HMODULE file = LoadLibraryExW(PathBesideProgram(L"qvnnapcfg64.dll").c_str(), nullptr, flags);
        ASSERT_NE(file, nullptr);
        EXPECT_NE(reinterpret_cast<ULONG_PTR>(file) & 3, 0u) << "a data-file handle is marked in its low bits";

        HRSRC found = FindLocalizedResource(file, Dialog, RT_DIALOG);
        HRSRC russian = FindResourceExW(file, RT_DIALOG, Dialog, 0x0019);
        ASSERT_NE(found, nullptr);
        ASSERT_NE(russian, nullptr);
        const DWORD size = SizeofResource(file, found);
        ASSERT_EQ(size, SizeofResource(file, russian));
        const void* bytes = LockResource(LoadResource(file, found));
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::memcmp(bytes, LockResource(LoadResource(file, russian)), size), 0);

        std::string text;
        LoadLocalizedStringForTesting(text, IDS_INCORRECT_VALUE, file, "default", CP_UTF8);
        EXPECT_EQ(text, Utf8(ComponentLanguageOf(0x0419).incorrectValue));
        FreeLibrary(file);
    }
}

// Names and types given as text are the platform's business: its answer comes back.
TEST_F(LocalizedResourceTest, TextNamesAndTypesAreLeftToThePlatform)
{
    ThreadLocale locale(0x0409);
    EXPECT_EQ(FindLocalizedResource(module, L"#300", RT_DIALOG), FindResourceW(module, L"#300", RT_DIALOG));
    EXPECT_NE(FindLocalizedResource(module, L"#300", RT_DIALOG), nullptr);

    SetLastError(0);
    EXPECT_EQ(FindLocalizedResource(module, Dialog, L"NOSUCHTYPE"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

TEST_F(LocalizedResourceTest, StringsInTheThreadsLanguage)
{
    for (const ComponentLanguage& language : ComponentLanguages)
    {
        SCOPED_TRACE(testing::Message() << "locale 0x" << std::hex << language.locale);
        ThreadLocale locale(language.locale);
        std::string text;
        LoadLocalizedStringForTesting(text, IDS_INCORRECT_VALUE, module, "default", CP_UTF8);
        EXPECT_EQ(text, Utf8(language.incorrectValue));
        LoadLocalizedStringForTesting(text, IDS_DISPLAY_NAME, module, "default", CP_UTF8);
        EXPECT_EQ(text, "qvnnapcfg");
    }
}

// The contract's conversion is to the ANSI code page, whatever that is here: Cyrillic
// survives only where the code page has it. A code page named for the purpose gives its
// own bytes.
TEST_F(LocalizedResourceTest, RussianTextInTheAnsiCodePage)
{
    ThreadLocale locale(0x0419);
    std::string text;
    LoadLocalizedString(text, IDS_INCORRECT_VALUE, module, "default");
    EXPECT_EQ(text, InAnsiCodePage(ComponentLanguageOf(0x0419).incorrectValue));

    LoadLocalizedStringForTesting(text, IDS_INCORRECT_VALUE, module, "default", 1251);
    EXPECT_EQ(text, "\xD3\xEA\xE0\xE7\xE0\xED\xEE \xED\xE5\xEA\xEE\xF0\xF0\xE5\xEA\xF2\xED\xEE\xE5 "
                    "\xE7\xED\xE0\xF7\xE5\xED\xE8\xE5");
}

TEST_F(LocalizedResourceTest, DefaultTextWhenTheStringCannotBeHad)
{
    ThreadLocale english(0x0409);
    std::string text;
    LoadLocalizedString(text, IDS_INCORRECT_VALUE + 1, module, "absent in its block"); // block exists, entry empty
    EXPECT_EQ(text, "absent in its block");
    LoadLocalizedString(text, 5000, module, "no such block");
    EXPECT_EQ(text, "no such block");
    LoadLocalizedString(text, 0x10000 + IDS_INCORRECT_VALUE, module, "not a 16-bit identifier");
    EXPECT_EQ(text, "not a 16-bit identifier");
    LoadLocalizedString(text, IDS_INCORRECT_VALUE, nullptr, "main executable has none");
    EXPECT_EQ(text, "main executable has none");
    // A conversion that fails gives the default text, not an exception.
    LoadLocalizedStringForTesting(text, IDS_INCORRECT_VALUE, module, "unconvertible", 12345);
    EXPECT_EQ(text, "unconvertible");
    {
        ThreadLocale spanish(0x0C0A);
        LoadLocalizedString(text, IDS_INCORRECT_VALUE, module, "");
        EXPECT_EQ(text, "");
    }
}

// ---------------------------------------------------------------------------------
// Hand-built images: a PE header and a resource directory in committed memory, laid out
// as the loader lays out an image, for the structures the resource compiler never makes.

class ResourceTreeBuilder
{
public:
    // Reserves a directory of count integer-named entries; returns its offset.
    DWORD Directory(WORD count)
    {
        const DWORD offset = Append(sizeof(IMAGE_RESOURCE_DIRECTORY) + count * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY));
        IMAGE_RESOURCE_DIRECTORY directory{};
        directory.NumberOfIdEntries = count;
        std::memcpy(&bytes[offset], &directory, sizeof(directory));
        return offset;
    }
    // Entry index of a directory: name (id, or an offset with the top bit for text) and
    // target (a data entry, or a directory with the top bit).
    void Entry(DWORD directory, int index, DWORD name, DWORD target)
    {
        const DWORD at = directory + sizeof(IMAGE_RESOURCE_DIRECTORY) + index * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY);
        std::memcpy(&bytes[at], &name, 4);
        std::memcpy(&bytes[at + 4], &target, 4);
    }
    void SubdirectoryEntry(DWORD directory, int index, DWORD name, DWORD subdirectory)
    {
        Entry(directory, index, name, subdirectory | 0x80000000);
    }
    // Appends payload and a data entry describing it; returns the data entry's offset.
    DWORD Data(const std::vector<BYTE>& payload, DWORD sectionRva)
    {
        const DWORD payloadAt = Append(static_cast<DWORD>(payload.size()));
        std::memcpy(&bytes[payloadAt], payload.data(), payload.size());
        const DWORD entryAt = Append(sizeof(IMAGE_RESOURCE_DATA_ENTRY));
        IMAGE_RESOURCE_DATA_ENTRY entry{};
        entry.OffsetToData = sectionRva + payloadAt;
        entry.Size = static_cast<DWORD>(payload.size());
        std::memcpy(&bytes[entryAt], &entry, sizeof(entry));
        return entryAt;
    }

    std::vector<BYTE> bytes;

private:
    DWORD Append(DWORD size)
    {
        const DWORD offset = static_cast<DWORD>(bytes.size());
        bytes.resize(bytes.size() + ((size + 3) & ~3u));
        return offset;
    }
};

// A module image with the given resource section at RVA 0x1000; declaredSize, when
// given, is what the header claims the section's size is.
class FakeModule
{
public:
    static constexpr DWORD SectionRva = 0x1000;

    explicit FakeModule(const ResourceTreeBuilder& tree, DWORD declaredSize = 0)
    {
        const DWORD imageSize = SectionRva + ((static_cast<DWORD>(tree.bytes.size()) + 0xFFF) & ~0xFFFu);
        m_base = static_cast<BYTE*>(VirtualAlloc(nullptr, imageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(m_base);
        dos->e_magic = IMAGE_DOS_SIGNATURE;
        dos->e_lfanew = 0x40;
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(m_base + 0x40);
        nt->Signature = IMAGE_NT_SIGNATURE;
        nt->FileHeader.Machine = IMAGE_FILE_MACHINE_AMD64;
        nt->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
        nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        nt->OptionalHeader.SizeOfImage = imageSize;
        nt->OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress = SectionRva;
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].Size =
            declaredSize != 0 ? declaredSize : static_cast<DWORD>(tree.bytes.size());
        std::memcpy(m_base + SectionRva, tree.bytes.data(), tree.bytes.size());
    }
    ~FakeModule() { VirtualFree(m_base, 0, MEM_RELEASE); }
    FakeModule(const FakeModule&) = delete;
    FakeModule& operator=(const FakeModule&) = delete;

    HMODULE Handle() const { return reinterpret_cast<HMODULE>(m_base); }
    HRSRC At(DWORD sectionOffset) const { return reinterpret_cast<HRSRC>(m_base + SectionRva + sectionOffset); }

private:
    BYTE* m_base = nullptr;
};

constexpr DWORD TypeId = 10; // RT_RCDATA
constexpr DWORD NameId = 7;

// Type 10 holding resource 7 in the given languages; returns each language's data entry.
std::vector<DWORD> BuildLanguages(ResourceTreeBuilder& tree, const std::vector<WORD>& languages)
{
    const DWORD root = tree.Directory(1);
    const DWORD names = tree.Directory(1);
    const DWORD langs = tree.Directory(static_cast<WORD>(languages.size()));
    tree.SubdirectoryEntry(root, 0, TypeId, names);
    tree.SubdirectoryEntry(names, 0, NameId, langs);
    std::vector<DWORD> data;
    for (std::size_t i = 0; i < languages.size(); ++i)
    {
        data.push_back(tree.Data({BYTE(i)}, FakeModule::SectionRva));
        tree.Entry(langs, static_cast<int>(i), languages[i], data.back());
    }
    return data;
}

HRSRC Find(const FakeModule& image, DWORD type = TypeId, DWORD name = NameId)
{
    return FindLocalizedResource(image.Handle(), MAKEINTRESOURCEW(name), MAKEINTRESOURCEW(type));
}

// Of each kind the last entry counts, should a language occur twice.
TEST(LocalizedResourceStructureTest, ExactThenPrimaryThenNeutral)
{
    ResourceTreeBuilder tree;
    // Neutral with a sublanguage, Russian neutral, Russian (Russia), English neutral, then
    // Russian (Russia), Russian neutral, neutral and English neutral once more.
    const auto data = BuildLanguages(tree, {0x0800, 0x0019, 0x0419, 0x0009, 0x0419, 0x0019, 0x0000, 0x0009});
    FakeModule image(tree);
    {
        ThreadLocale locale(0x0419);
        EXPECT_EQ(Find(image), image.At(data[4])) << "exact";
    }
    {
        ThreadLocale locale(0x0819); // Russian (Moldova)
        EXPECT_EQ(Find(image), image.At(data[5])) << "primary language";
    }
    {
        ThreadLocale locale(0x0C0A);
        EXPECT_EQ(Find(image), image.At(data[6])) << "neutral, whatever its sublanguage";
    }
    {
        ThreadLocale locale(0x0809);
        EXPECT_EQ(Find(image), image.At(data[7])) << "English neutral";
    }
}

TEST(LocalizedResourceStructureTest, ASublanguageOtherThanNeutralIsNoPrimaryMatch)
{
    ResourceTreeBuilder tree;
    BuildLanguages(tree, {0x0804});
    FakeModule image(tree);
    ThreadLocale locale(0x0404);
    SetLastError(0);
    EXPECT_EQ(Find(image), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(LocalizedResourceStructureTest, EmptyLanguageDirectoryFindsNothing)
{
    ResourceTreeBuilder tree;
    BuildLanguages(tree, {});
    FakeModule image(tree);
    SetLastError(0);
    EXPECT_EQ(Find(image), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(LocalizedResourceStructureTest, ResourceWithoutLanguageLevelIsReturnedDirectly)
{
    ResourceTreeBuilder tree;
    const DWORD root = tree.Directory(1);
    const DWORD names = tree.Directory(1);
    tree.SubdirectoryEntry(root, 0, TypeId, names);
    const DWORD data = tree.Data({1, 2, 3}, FakeModule::SectionRva);
    tree.Entry(names, 0, NameId, data);
    FakeModule image(tree);
    EXPECT_EQ(Find(image), image.At(data));
    EXPECT_EQ(SizeofResource(image.Handle(), Find(image)), 3u);
}

TEST(LocalizedResourceStructureTest, DataWhereADirectoryBelongsAndTheReverse)
{
    {
        ResourceTreeBuilder tree;
        const DWORD root = tree.Directory(1);
        tree.Entry(root, 0, TypeId, tree.Data({1}, FakeModule::SectionRva));
        FakeModule image(tree);
        SetLastError(0);
        EXPECT_EQ(Find(image), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATATYPE)) << "type leads to data";
    }
    {
        ResourceTreeBuilder tree;
        const DWORD root = tree.Directory(1);
        const DWORD names = tree.Directory(1);
        const DWORD langs = tree.Directory(1);
        const DWORD deeper = tree.Directory(0);
        tree.SubdirectoryEntry(root, 0, TypeId, names);
        tree.SubdirectoryEntry(names, 0, NameId, langs);
        tree.SubdirectoryEntry(langs, 0, 0x0009, deeper);
        FakeModule image(tree);
        ThreadLocale locale(0x0409);
        SetLastError(0);
        EXPECT_EQ(Find(image), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATATYPE)) << "language leads to a directory";
    }
}

// An entry named by text whose offset happens to equal the wanted identifier.
TEST(LocalizedResourceStructureTest, EntriesNamedByTextNeverMatchAnIdentifier)
{
    ResourceTreeBuilder tree;
    const DWORD root = tree.Directory(1);
    const DWORD names = tree.Directory(1);
    tree.SubdirectoryEntry(root, 0, 0x80000000 | TypeId, names);
    tree.Entry(names, 0, NameId, tree.Data({1}, FakeModule::SectionRva));
    FakeModule image(tree);
    SetLastError(0);
    EXPECT_EQ(Find(image), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

// Offsets that point outside the declared directory are refused, not followed.
TEST(LocalizedResourceStructureTest, DamagedDirectoriesAreRefusedWithoutStrayReads)
{
    {
        ResourceTreeBuilder tree;
        const DWORD root = tree.Directory(1);
        tree.SubdirectoryEntry(root, 0, TypeId, 0x7FFFFF00);
        FakeModule image(tree);
        SetLastError(0);
        EXPECT_EQ(Find(image), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    }
    {
        ResourceTreeBuilder tree;
        const auto data = BuildLanguages(tree, {0x0009});
        FakeModule image(tree, data[0]); // the declared size ends before the data entry
        ThreadLocale locale(0x0409);
        SetLastError(0);
        EXPECT_EQ(Find(image), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    }
    {
        ResourceTreeBuilder tree;
        const DWORD root = tree.Directory(1);
        IMAGE_RESOURCE_DIRECTORY huge{};
        huge.NumberOfIdEntries = 0xFFFF; // far more entries than the section holds
        std::memcpy(&tree.bytes[root], &huge, sizeof(huge));
        FakeModule image(tree);
        SetLastError(0);
        EXPECT_EQ(Find(image), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    }
}

// String blocks whose lengths run past the block's end give the default text.
TEST(LocalizedResourceStructureTest, StringBlocksAreNeverReadPastTheirEnd)
{
    ResourceTreeBuilder tree;
    const DWORD root = tree.Directory(1);
    const DWORD blocks = tree.Directory(1);
    const DWORD langs = tree.Directory(1);
    tree.SubdirectoryEntry(root, 0, 6 /* RT_STRING */, blocks);
    tree.SubdirectoryEntry(blocks, 0, 1, langs); // strings 0 to 15
    // String 0 is "Hi"; string 1 claims 200 characters where 1 follows; nothing after.
    const std::vector<BYTE> block = {2, 0, 'H', 0, 'i', 0, 200, 0, 'x', 0};
    tree.Entry(langs, 0, 0, tree.Data(block, FakeModule::SectionRva));
    FakeModule image(tree);

    std::string text;
    LoadLocalizedString(text, 0, image.Handle(), "default");
    EXPECT_EQ(text, "Hi");
    LoadLocalizedString(text, 1, image.Handle(), "default");
    EXPECT_EQ(text, "default");
    LoadLocalizedString(text, 2, image.Handle(), "default");
    EXPECT_EQ(text, "default");
    LoadLocalizedString(text, 15, image.Handle(), "default");
    EXPECT_EQ(text, "default");
}
} // namespace
