// Import-table hooking: on this program's own import of FindResourceW, on a pair of
// test modules (one importing from the other by name and by ordinal only), and on
// hand-built import tables for the shapes real modules do not show.
#include "runtime/exceptions.h"
#include "runtime/logger.h"
#include "runtime/syncers.h"
#include "runtime/win-utils.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// The entry of this program's import address table through which its FindResourceW
// calls go (the linker's name for it).
extern "C" void* __imp_FindResourceW;

namespace
{
const HRSRC Sentinel = reinterpret_cast<HRSRC>(static_cast<ULONG_PTR>(0x5EE5));
std::atomic<int> g_replacementCalls{0};

HRSRC WINAPI ReplacementFindResource(HMODULE, LPCWSTR, LPCWSTR)
{
    ++g_replacementCalls;
    return Sentinel;
}

int ReplacementProviderValue()
{
    return 5;
}

// A call through this program's import table, as any call of FindResourceW here is:
// kernel32's version record. Not inlined: the compiler takes import table entries for
// constants and would reuse one value read earlier in the caller.
[[gnu::noinline]] HRSRC FindVersion()
{
    return FindResourceW(GetModuleHandleA("kernel32.dll"), MAKEINTRESOURCEW(1), RT_VERSION);
}

// ClientValue of qvn_hook_client.dll, which must be loaded: 12 while nothing is hooked.
int ClientValue()
{
    HMODULE client = GetModuleHandleA("qvn_hook_client.dll");
    auto function =
        client != nullptr
            ? reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(client, "ClientValue")))
            : nullptr;
    return function != nullptr ? function() : -1;
}

// The what() of the shell that constructing a throwing-mode hook raises, after checking
// that it is the BUG shell from the hooking unit's raise site; "" when nothing is thrown.
template <class Construct> std::string ThrownText(Construct construct)
{
    try
    {
        construct();
    }
    catch (const BUG_exception_shell_t& shell)
    {
        EXPECT_NE(dynamic_cast<const BUG_exception*>(shell.exception()), nullptr);
        if (shell.exception() != nullptr)
        {
            EXPECT_STREQ(shell.exception()->file(), "win-utils");
            EXPECT_EQ(shell.exception()->line(), 648);
        }
        return shell.what();
    }
    catch (...)
    {
        ADD_FAILURE() << "another exception than BUG_exception_shell_t";
        return "?";
    }
    return "";
}

// The global logger and the default logging lock, writing standard error into a file.
class LoggedToFile
{
public:
    LoggedToFile()
    {
        m_path = m_folder.File("stderr.log");
        m_savedStderr = _dup(2);
        const int file = _open(m_path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0600);
        EXPECT_GE(file, 0);
        EXPECT_EQ(_dup2(file, 2), 0);
        _close(file);
        EXPECT_TRUE(default_logging_lock_create());
        EXPECT_TRUE(global_logger_create()); // takes descriptor 2's handle now
    }
    ~LoggedToFile()
    {
        global_logger_destroy();
        default_logging_lock_destroy();
        _dup2(m_savedStderr, 2);
        _close(m_savedStderr);
    }

    // Closes the logger and returns everything it wrote.
    std::string Finish()
    {
        global_logger_destroy();
        return ReadWholeFile(m_path);
    }

private:
    ScratchFolder m_folder;
    std::string m_path;
    int m_savedStderr = -1;
};

int CountOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    {
        ++count;
    }
    return count;
}

std::atomic<DWORD> g_failWith{0};
BOOL WINAPI FailingProtect(LPVOID, SIZE_T, DWORD, PDWORD)
{
    SetLastError(g_failWith.load());
    return FALSE;
}

// Makes every protection change fail with the error for the life of the object.
class ProtectionFails
{
public:
    explicit ProtectionFails(DWORD error)
    {
        g_failWith = error;
        set_memory_protector_for_testing(FailingProtect);
    }
    ~ProtectionFails() { set_memory_protector_for_testing(nullptr); }
};

TEST(ApiHookTest, EntryHoldsTheReplacementWhileTheHookLivesAndItsOldValueAfterwards)
{
    void* const original = __imp_FindResourceW;
    const HRSRC realVersion = FindVersion();
    ASSERT_NE(realVersion, nullptr) << "kernel32 carries a version record";
    {
        ApiHook hook(ReplacementFindResource, "kernel32.dll", "FindResourceW", nullptr, api_hook_ignore);
        EXPECT_TRUE(hook.installed());
        EXPECT_EQ(__imp_FindResourceW, reinterpret_cast<void*>(&ReplacementFindResource));
        g_replacementCalls = 0;
        EXPECT_EQ(FindVersion(), Sentinel);
        EXPECT_EQ(g_replacementCalls.load(), 1);
        // Only calls through this table change: the function itself is untouched.
        auto platform = reinterpret_cast<decltype(&FindResourceW)>(
            reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "FindResourceW")));
        EXPECT_EQ(platform(GetModuleHandleA("kernel32.dll"), MAKEINTRESOURCEW(1), RT_VERSION), realVersion);
    }
    EXPECT_EQ(__imp_FindResourceW, original);
    EXPECT_EQ(FindVersion(), realVersion);
}

// Linkers write "KERNEL32.dll"; neither the DLL's nor the function's case matters.
TEST(ApiHookTest, NamesMatchWithoutRegardToCase)
{
    void* const original = __imp_FindResourceW;
    for (const char* dll : {"KERNEL32.DLL", "kernel32.dll", "Kernel32.Dll"})
    {
        ApiHook hook(ReplacementFindResource, dll, "findresourcew", nullptr, api_hook_throw);
        EXPECT_TRUE(hook.installed()) << dll;
        EXPECT_EQ(FindVersion(), Sentinel);
    }
    EXPECT_EQ(__imp_FindResourceW, original);
}

// A module given by name is loaded for the hook's life and released afterwards; only
// its own calls change.
TEST(ApiHookTest, ModuleGivenByNameIsHookedAndReleased)
{
    ASSERT_EQ(GetModuleHandleA("qvn_hook_client.dll"), nullptr);
    {
        ApiHook hook(ReplacementProviderValue, "qvn_hook_provider.dll", "ProviderValue", "qvn_hook_client.dll",
                     api_hook_throw);
        EXPECT_TRUE(hook.installed());
        EXPECT_EQ(ClientValue(), 52);
    }
    EXPECT_EQ(GetModuleHandleA("qvn_hook_client.dll"), nullptr) << "the hook's hold on the module is released";

    HMODULE held = LoadLibraryA("qvn_hook_client.dll");
    ASSERT_NE(held, nullptr);
    {
        ApiHook hook(ReplacementProviderValue, "qvn_hook_provider.dll", "ProviderValue", "qvn_hook_client.dll",
                     api_hook_throw);
        EXPECT_EQ(ClientValue(), 52);
    }
    EXPECT_EQ(ClientValue(), 12);
    FreeLibrary(held);
}

// An import by ordinal carries no name, so it cannot be found by one, and the table
// stays as it was.
TEST(ApiHookTest, FunctionImportedByOrdinalOnlyIsNotFound)
{
    HMODULE held = LoadLibraryA("qvn_hook_client.dll");
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(ThrownText([] {
                  ApiHook hook(ReplacementProviderValue, "qvn_hook_provider.dll", "OrdinalOnlyValue",
                               "qvn_hook_client.dll", api_hook_throw);
              }),
              "Function OrdinalOnlyValue didn`t found in imports for qvn_hook_provider.dll");
    {
        ApiHook hook(ReplacementProviderValue, "qvn_hook_provider.dll", "OrdinalOnlyValue", "qvn_hook_client.dll",
                     api_hook_log);
        EXPECT_FALSE(hook.installed());
        EXPECT_EQ(ClientValue(), 12);
    }
    EXPECT_EQ(ClientValue(), 12);
    FreeLibrary(held);
}

TEST(ApiHookTest, ThrowingModeRaisesTheBugShellWithEachFailureText)
{
    void* const original = __imp_FindResourceW;
    EXPECT_EQ(ThrownText([] { ApiHook h(ReplacementFindResource, "kernel32.dll", "NoSuchFunction", nullptr, 1); }),
              "Function NoSuchFunction didn`t found in imports for kernel32.dll");
    // This program does not import from user32 at all.
    EXPECT_EQ(ThrownText([] { ApiHook h(ReplacementFindResource, "user32.dll", "FindResourceW", nullptr, 1); }),
              "Module user32.dll didn`t found in imports");
    EXPECT_EQ(ThrownText([] { ApiHook h(ReplacementFindResource, nullptr, nullptr, nullptr, 1); }),
              "Module  didn`t found in imports");

    const std::string missing =
        ThrownText([] { ApiHook h(ReplacementFindResource, "kernel32.dll", "FindResourceW", "qvn_missing.dll", 1); });
    EXPECT_EQ(missing.rfind("Unable to get qvn_missing.dll module because of ", 0), 0u) << missing;
    EXPECT_NE(missing.find("(code=126)"), std::string::npos) << missing;
    {
        ProtectionFails failing(ERROR_NOACCESS);
        const std::string protectedText =
            ThrownText([] { ApiHook h(ReplacementFindResource, "kernel32.dll", "FindResourceW", nullptr, 1); });
        EXPECT_EQ(protectedText.rfind("Cannot enable writing to protected memory because of ", 0), 0u);
        EXPECT_NE(protectedText.find("(code=998)"), std::string::npos) << protectedText;
    }
    EXPECT_EQ(__imp_FindResourceW, original);
}

// A throwing construction must not keep the module it loaded.
TEST(ApiHookTest, ThrowingConstructionReleasesTheModuleItLoaded)
{
    EXPECT_NE(ThrownText([] {
                  ApiHook hook(ReplacementProviderValue, "qvn_hook_provider.dll", "NoSuchFunction",
                               "qvn_hook_client.dll", api_hook_throw);
              }),
              "");
    EXPECT_EQ(GetModuleHandleA("qvn_hook_client.dll"), nullptr);
}

// The global logger stays at level 4: failures (level 1) are written, the success line
// (level 8) only once the level allows it. The ignoring mode writes nothing.
TEST(ApiHookTest, LoggingModeWritesFailuresAtErrAndSuccessOnlyAtTraceLevel)
{
    LoggedToFile log;
    {
        ApiHook hook(ReplacementFindResource, "kernel32.dll", "FindResourceW", nullptr, api_hook_log);
        EXPECT_TRUE(hook.installed());
    }
    {
        ApiHook hook(ReplacementFindResource, "qvn_nowhere.dll", "FindResourceW", nullptr, api_hook_log);
        EXPECT_FALSE(hook.installed());
    }
    {
        ApiHook hook(ReplacementFindResource, "qvn_ignored.dll", "FindResourceW", nullptr, api_hook_ignore);
        ApiHook other(ReplacementFindResource, "kernel32.dll", "FindResourceW", nullptr, 7); // also ignores
    }
    {
        ProtectionFails failing(ERROR_NOACCESS);
        ApiHook hook(ReplacementFindResource, "kernel32.dll", "FindResourceW", nullptr, api_hook_log);
        EXPECT_FALSE(hook.installed());
        EXPECT_NE(FindVersion(), Sentinel);
    }
    global_logger()->set_level(log_level_trace);
    {
        ApiHook hook(ReplacementFindResource, "kernel32.dll", "FindResourceW", nullptr, api_hook_log);
    }

    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    const std::string text = log.Finish();
    EXPECT_EQ(CountOf(text, "\n"), 3) << text;
    EXPECT_EQ(CountOf(text, " ERR ["), 2) << text;
    EXPECT_EQ(CountOf(text, "] noname [ApiHook] Module qvn_nowhere.dll didn`t found in imports\n"), 1) << text;
    EXPECT_EQ(CountOf(text, "] noname [ApiHook] Cannot enable writing to protected memory because of "), 1) << text;
    EXPECT_EQ(CountOf(text, "qvn_ignored"), 0) << text;
    EXPECT_EQ(CountOf(text, std::string(" tr3 [")), 1) << text;
    EXPECT_EQ(
        CountOf(text, std::string("[ApiHook] FindResourceW from kernel32.dll hooked in module ") + program + "\n"), 1)
        << text;
}

// A restore that fails cannot be thrown from a destructor: even the throwing mode logs it.
TEST(ApiHookTest, FailedRestoreIsLoggedNeverThrown)
{
    void* const original = __imp_FindResourceW;
    LoggedToFile log;
    {
        ApiHook hook(ReplacementFindResource, "kernel32.dll", "FindResourceW", nullptr, api_hook_throw);
        ASSERT_TRUE(hook.installed());
        set_memory_protector_for_testing(FailingProtect);
        g_failWith = ERROR_NOACCESS;
    }
    set_memory_protector_for_testing(nullptr);
    EXPECT_EQ(__imp_FindResourceW, reinterpret_cast<void*>(&ReplacementFindResource));
    ASSERT_TRUE(write_protected(&__imp_FindResourceW, &original, sizeof(original)));

    const std::string text = log.Finish();
    EXPECT_EQ(CountOf(text, " ERR ["), 1) << text;
    EXPECT_EQ(CountOf(text, "[ApiHook] Cannot enable writing to protected memory because of "), 1) << text;
}

// Threads calling through the entry while it changes back and forth see one value or
// the other, never a torn one.
TEST(ApiHookTest, CallersOnOtherThreadsSeeTheOldOrTheNewEntry)
{
    const HRSRC realVersion = FindVersion();
    std::atomic<bool> stop{false};
    std::atomic<int> strange{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i)
    {
        callers.emplace_back([&] {
            while (!stop)
            {
                const HRSRC found = FindVersion();
                strange += (found != realVersion && found != Sentinel) ? 1 : 0;
            }
        });
    }
    for (int round = 0; round < 300; ++round)
    {
        ApiHook hook(ReplacementFindResource, "kernel32.dll", "FindResourceW", nullptr, api_hook_throw);
    }
    stop = true;
    for (std::thread& caller : callers)
    {
        caller.join();
    }
    EXPECT_EQ(strange.load(), 0);
    EXPECT_EQ(FindVersion(), realVersion);
}

// ---------------------------------------------------------------------------------

std::vector<DWORD> g_requested;
BOOL WINAPI RecordingProtect(LPVOID address, SIZE_T size, DWORD protection, PDWORD previous)
{
    g_requested.push_back(protection);
    return VirtualProtect(address, size, protection, previous);
}

// The page is writable only for the copy, keeps any right to execute meanwhile (code on
// it may be running), and gets its protection back.
TEST(WriteProtectedTest, CopiesIntoReadOnlyPagesAndPutsTheirProtectionBack)
{
    for (const DWORD protection : {DWORD(PAGE_READONLY), DWORD(PAGE_EXECUTE_READ)})
    {
        auto* page = static_cast<BYTE*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(page, nullptr);
        DWORD ignored = 0;
        ASSERT_TRUE(VirtualProtect(page, 4096, protection, &ignored));

        g_requested.clear();
        set_memory_protector_for_testing(RecordingProtect);
        void* const value = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x1122334455667788ull));
        EXPECT_TRUE(write_protected(page + 8, &value, sizeof(value)));
        const char text[] = "odd size, odd place";
        EXPECT_TRUE(write_protected(page + 21, text, sizeof(text)));
        set_memory_protector_for_testing(nullptr);

        void* stored = nullptr;
        std::memcpy(&stored, page + 8, sizeof(stored));
        EXPECT_EQ(stored, value);
        EXPECT_STREQ(reinterpret_cast<const char*>(page + 21), text);
        const DWORD writable = protection == PAGE_READONLY ? PAGE_READWRITE : PAGE_EXECUTE_READWRITE;
        EXPECT_EQ(g_requested, (std::vector<DWORD>{writable, protection, writable, protection}));
        MEMORY_BASIC_INFORMATION region{};
        ASSERT_NE(VirtualQuery(page, &region, sizeof(region)), 0u);
        EXPECT_EQ(region.Protect, protection);
        VirtualFree(page, 0, MEM_RELEASE);
    }
}

// ---------------------------------------------------------------------------------
// Hand-built import tables, in an image whose last page is followed by an inaccessible
// one, so that a read past the image ends the test program.

class FakeImage
{
public:
    static constexpr DWORD ImageSize = 0x3000;
    static constexpr DWORD ImportRva = 0x1000;

    FakeImage()
    {
        m_base =
            static_cast<BYTE*>(VirtualAlloc(nullptr, ImageSize + 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD ignored = 0;
        VirtualProtect(m_base + ImageSize, 0x1000, PAGE_NOACCESS, &ignored);
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(m_base);
        dos->e_magic = IMAGE_DOS_SIGNATURE;
        dos->e_lfanew = 0x40;
        m_nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(m_base + 0x40);
        m_nt->Signature = IMAGE_NT_SIGNATURE;
        m_nt->FileHeader.Machine = IMAGE_FILE_MACHINE_AMD64;
        m_nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        m_nt->OptionalHeader.SizeOfImage = ImageSize;
        m_nt->OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    }
    ~FakeImage() { VirtualFree(m_base, 0, MEM_RELEASE); }
    FakeImage(const FakeImage&) = delete;
    FakeImage& operator=(const FakeImage&) = delete;

    HMODULE Handle() const { return reinterpret_cast<HMODULE>(m_base); }
    template <class T> T* At(DWORD rva) const { return reinterpret_cast<T*>(m_base + rva); }

    void SetImportDirectory(DWORD rva, DWORD size)
    {
        m_nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT] = {rva, size};
    }
    void Text(DWORD rva, const char* text) { std::strcpy(At<char>(rva), text); }
    // Descriptor index of the table at ImportRva: the DLL's name and its two thunk arrays.
    void Descriptor(int index, DWORD nameRva, DWORD namesRva, DWORD addressesRva)
    {
        IMAGE_IMPORT_DESCRIPTOR& descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(ImportRva)[index];
        descriptor.OriginalFirstThunk = namesRva;
        descriptor.Name = nameRva;
        descriptor.FirstThunk = addressesRva;
    }
    void Thunks(DWORD rva, const std::vector<ULONGLONG>& values)
    {
        std::memcpy(At<ULONGLONG>(rva), values.data(), values.size() * sizeof(ULONGLONG));
    }

private:
    BYTE* m_base = nullptr;
    IMAGE_NT_HEADERS64* m_nt = nullptr;
};

import_search_t Search(const FakeImage& image, const char* dll, const char* function, void**& slot)
{
    return find_import_entry(image.Handle(), dll, function, slot);
}

// Two DLLs: "first.dll" importing Alpha by name, an ordinal, then Beta by name;
// "SECOND.DLL" importing Gamma. The directory's size covers far more than the
// descriptors, as linkers that count the whole import section write it.
class ImportTableTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        image.Text(0x1800, "first.dll");
        image.Text(0x1810, "SECOND.DLL");
        image.Text(0x1902, "Alpha");
        image.Text(0x1912, "Beta");
        image.Text(0x1922, "Gamma");
        image.Descriptor(0, 0x1800, 0x1400, 0x1600);
        image.Descriptor(1, 0x1810, 0x1480, 0x1680);
        image.Thunks(0x1400, {0x1900, IMAGE_ORDINAL_FLAG64 | 0x1910, 0x1910, 0});
        image.Thunks(0x1480, {0x1920, 0});
        // What follows the null descriptor is no descriptor, though the size covers it
        // and it may look like one.
        image.Text(0x1820, "third.dll");
        image.Descriptor(3, 0x1820, 0x1400, 0x1700);
        std::memset(image.At<BYTE>(ImportRva + 4 * sizeof(IMAGE_IMPORT_DESCRIPTOR)), 0xEE, 0x100);
        image.SetImportDirectory(ImportRva, 0x1000);
    }

    static constexpr DWORD ImportRva = FakeImage::ImportRva;
    FakeImage image;
    void** slot = nullptr;
};

TEST_F(ImportTableTest, EntriesAreFoundByNameInTheAddressTable)
{
    EXPECT_EQ(Search(image, "FIRST.DLL", "alpha", slot), import_search_t::found);
    EXPECT_EQ(slot, image.At<void*>(0x1600));
    EXPECT_EQ(Search(image, "first.dll", "Beta", slot), import_search_t::found);
    EXPECT_EQ(slot, image.At<void*>(0x1610)) << "the ordinal entry before it counts as a position";
    EXPECT_EQ(Search(image, "second.dll", "Gamma", slot), import_search_t::found);
    EXPECT_EQ(slot, image.At<void*>(0x1680));
}

TEST_F(ImportTableTest, TheTableEndsAtTheNullDescriptorWhateverItsSize)
{
    EXPECT_EQ(Search(image, "third.dll", "Alpha", slot), import_search_t::dll_not_imported);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(Search(image, "first.dll", "Gamma", slot), import_search_t::function_not_imported);
    EXPECT_EQ(Search(image, "first.dll", nullptr, slot), import_search_t::function_not_imported);
    EXPECT_EQ(Search(image, nullptr, "Alpha", slot), import_search_t::dll_not_imported);

    // Only the first descriptor that names a DLL is searched.
    image.Text(0x1810, "First.dll");
    EXPECT_EQ(Search(image, "first.dll", "Gamma", slot), import_search_t::function_not_imported);
}

// Without an import name table the names are gone once the loader has bound the entries.
TEST_F(ImportTableTest, DescriptorWithoutNameTableFindsNothing)
{
    image.Descriptor(0, 0x1800, 0, 0x1600);
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::function_not_imported);
}

// Tables that run to the end of the image, or point outside it, end the search there.
TEST_F(ImportTableTest, NothingIsReadOutsideTheImage)
{
    const DWORD lastThunks = FakeImage::ImageSize - 2 * sizeof(ULONGLONG);
    image.Thunks(lastThunks, {0x1920, 0x1920}); // no terminating entry before the end
    image.Descriptor(0, 0x1800, lastThunks, 0x1600);
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::function_not_imported);

    image.Descriptor(0, 0x1800, 0x1400, FakeImage::ImageSize); // address table outside
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::function_not_imported);

    image.Descriptor(0, FakeImage::ImageSize + 0x10, 0x1400, 0x1600); // name outside
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::dll_not_imported);
    image.Text(FakeImage::ImageSize - 4, "abc"); // a name that ends exactly at the end is fine
    image.Descriptor(0, FakeImage::ImageSize - 4, 0x1400, 0x1600);
    EXPECT_EQ(Search(image, "ABC", "Alpha", slot), import_search_t::found);
    std::memset(image.At<char>(FakeImage::ImageSize - 4), 'x', 4); // one that does not end
    EXPECT_EQ(Search(image, "xxxx", "Alpha", slot), import_search_t::dll_not_imported);

    // A directory without a null descriptor that claims to reach past the image.
    const DWORD lastDescriptor = FakeImage::ImageSize - sizeof(IMAGE_IMPORT_DESCRIPTOR);
    std::memset(image.At<BYTE>(lastDescriptor), 0xEE, sizeof(IMAGE_IMPORT_DESCRIPTOR));
    image.SetImportDirectory(lastDescriptor, 0x10000);
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::dll_not_imported);
}

TEST_F(ImportTableTest, ImagesWithoutImportsOrWithBadHeadersImportNothing)
{
    image.SetImportDirectory(0, 0);
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::dll_not_imported);
    image.SetImportDirectory(ImportRva, sizeof(IMAGE_IMPORT_DESCRIPTOR) - 1); // not even one descriptor
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::dll_not_imported);

    image.SetImportDirectory(ImportRva, 0x1000);
    image.At<IMAGE_NT_HEADERS64>(0x40)->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::dll_not_imported);
    image.At<IMAGE_DOS_HEADER>(0)->e_magic = 0;
    EXPECT_EQ(Search(image, "first.dll", "Alpha", slot), import_search_t::dll_not_imported);
    EXPECT_EQ(find_import_entry(nullptr, "first.dll", "Alpha", slot), import_search_t::dll_not_imported);
}
} // namespace
