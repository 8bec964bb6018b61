// The shipped DLL loaded and unloaded the way COM hosts do it, again and again: it maps
// nothing beyond its imports, and leaves no module, TLS index or handle behind, also
// when its start-up fails and the load is refused.
#include "support/ComponentDll.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace
{
std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Base names of the modules mapped into this process, lower case.
std::set<std::string> mapped_modules()
{
    std::set<std::string> names;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry))
    {
        char name[MAX_PATH] = {};
        WideCharToMultiByte(CP_ACP, 0, entry.szModule, -1, name, sizeof name, nullptr, nullptr);
        names.insert(lower(name));
    }
    CloseHandle(snapshot);
    return names;
}

// The DLL names in a PE file's import table, lower case, read from the file itself.
std::vector<std::string> imported_dlls(const std::wstring& path)
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
    const std::size_t sections_at =
        dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    std::memcpy(sections.data(), at(sections_at, sections.size() * sizeof(IMAGE_SECTION_HEADER)),
                sections.size() * sizeof(IMAGE_SECTION_HEADER));
    auto file_offset = [&sections](DWORD rva) -> std::size_t {
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
    for (std::size_t offset = file_offset(imports);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR))
    {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        std::memcpy(&descriptor, at(offset, sizeof descriptor), sizeof descriptor);
        if (descriptor.Name == 0)
        {
            break;
        }
        const std::size_t name_at = file_offset(descriptor.Name);
        names.push_back(lower(std::string(at(name_at, 1), strnlen(at(name_at, 1), image.size() - name_at))));
    }
    return names;
}

int free_tls_indexes()
{
    std::vector<DWORD> taken;
    for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
    {
        taken.push_back(index);
    }
    for (DWORD index : taken)
    {
        TlsFree(index);
    }
    return static_cast<int>(taken.size());
}

// The process's handle count. Wine's GetProcessHandleCount answers 0; the system's
// handle list has the real number there.
DWORD handle_count()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
    {
        return count;
    }
    struct handle_entry_t // as Wine lays out SystemHandleInformation
    {
        ULONG process_id;
        BYTE object_type;
        BYTE flags;
        USHORT value;
        void* object;
        ULONG access;
    };
    using query_t = NTSTATUS(NTAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<query_t>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
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
        EXPECT_EQ(status, 0) << "no way to count handles";
        break;
    }
    ULONG entries = 0;
    std::memcpy(&entries, buffer.data(), sizeof entries);
    const auto* entry = reinterpret_cast<const handle_entry_t*>(buffer.data() + sizeof(void*));
    for (ULONG i = 0; i < entries; ++i)
    {
        count += entry[i].process_id == GetCurrentProcessId() ? 1 : 0;
    }
    return count;
}

// What a host's process has: the component's imports are mapped before the component
// is, as they would be by the host's own use of them.
class ComponentLoadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(UnloadComponentDllCompletely());
        for (const std::string& name : imported_dlls(m_path))
        {
            m_imports.push_back(LoadLibraryA(name.c_str()));
            ASSERT_NE(m_imports.back(), nullptr) << name;
        }
    }
    void TearDown() override
    {
        for (HMODULE module : m_imports)
        {
            FreeLibrary(module);
        }
    }

    const std::wstring m_path = PathBesideProgram(L"qvnnapcfg64.dll");
    std::vector<HMODULE> m_imports;
};

TEST_F(ComponentLoadTest, LoadingMapsNothingBeyondTheImports)
{
    const std::vector<std::string> imports = imported_dlls(m_path);
    const char* const late_bound_only[] = {"wtsapi32.dll", "srclient.dll", "wininet.dll",
                                           "userenv.dll",  "psapi.dll",    "shell32.dll"};
    for (const char* name : late_bound_only)
    {
        ASSERT_EQ(std::count(imports.begin(), imports.end(), name), 0) << name << " is imported";
    }

    const std::set<std::string> before = mapped_modules();
    HMODULE module = LoadLibraryW(m_path.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    const std::set<std::string> after = mapped_modules();
    FreeLibrary(module);

    std::vector<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    EXPECT_EQ(added, std::vector<std::string>{"qvnnapcfg64.dll"});
    for (const char* name : late_bound_only)
    {
        EXPECT_EQ(before.count(name), after.count(name)) << name;
    }
}

TEST_F(ComponentLoadTest, TwoThousandLoadsAndUnloadsLeaveNothingBehind)
{
    FreeLibrary(LoadLibraryW(m_path.c_str())); // whatever the platform sets up once
    const std::set<std::string> modules = mapped_modules();
    const int tls_indexes = free_tls_indexes();
    const DWORD handles = handle_count();
    ASSERT_GT(handles, 0u);

    const auto start = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < 2000; ++cycle)
    {
        HMODULE module = LoadLibraryW(m_path.c_str());
        ASSERT_NE(module, nullptr) << "load " << cycle << " failed, error " << GetLastError();
        ASSERT_TRUE(FreeLibrary(module));
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    RecordProperty("milliseconds", static_cast<int>(elapsed.count()));

    EXPECT_EQ(GetModuleHandleW(L"qvnnapcfg64.dll"), nullptr);
    EXPECT_EQ(mapped_modules(), modules);
    EXPECT_EQ(free_tls_indexes(), tls_indexes);
    EXPECT_EQ(handle_count(), handles);
}

TEST_F(ComponentLoadTest, FailedStartRefusesTheLoadAndTakesEverythingBack)
{
    const std::wstring failing = PathBesideProgram(L"qvnnapcfg64_failing_start.dll");
    ASSERT_NE(GetFileAttributesW(failing.c_str()), INVALID_FILE_ATTRIBUTES);

    auto refused_once = [&failing] {
        SetLastError(0);
        HMODULE module = LoadLibraryW(failing.c_str());
        const DWORD error = GetLastError();
        if (module != nullptr)
        {
            FreeLibrary(module);
        }
        return module == nullptr && error == ERROR_DLL_INIT_FAILED;
    };
    ASSERT_TRUE(refused_once());
    const std::set<std::string> modules = mapped_modules();
    const int tls_indexes = free_tls_indexes();
    const DWORD handles = handle_count();

    for (int attempt = 0; attempt < 200; ++attempt)
    {
        ASSERT_TRUE(refused_once()) << "attempt " << attempt;
    }
    EXPECT_EQ(GetModuleHandleW(L"qvnnapcfg64_failing_start.dll"), nullptr);
    EXPECT_EQ(mapped_modules(), modules);
    EXPECT_EQ(free_tls_indexes(), tls_indexes) << "the steps that had started were taken back";
    EXPECT_EQ(handle_count(), handles);

    HMODULE shipped = LoadLibraryW(m_path.c_str());
    EXPECT_NE(shipped, nullptr) << "the shipped component is unaffected";
    FreeLibrary(shipped);
}
} // namespace
