// The dialog's code linked in directly: its trace lines, and the dialog procedure and
// InvokeUI when memory runs out. The procedure is called from the system's dialog code, which an
// exception must never cross; here every allocation on the dialog's thread fails while
// the switch is on.
#include "RegistryKey.h"
#include "ResourceIds.h"
#include "SettingsDialog.h"
#include "TraceLog.h"

#include "support/ComponentDll.h"
#include "support/ScratchRegistry.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

// The replaced allocation functions below pair malloc with free by design; the
// compiler sees operator delete inlined next to new expressions and objects.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// The entry of this program's import address table through which its FindResourceW
// calls go (the linker's name for it).
extern "C" void* __imp_FindResourceW;

namespace
{
thread_local bool t_allocationsFail = false;

// Turns allocation failure on for the calling thread for the life of the object.
class AllocationsFail
{
public:
    AllocationsFail() { t_allocationsFail = true; }
    ~AllocationsFail() { t_allocationsFail = false; }
};
} // namespace

void* operator new(std::size_t size)
{
    void* block = t_allocationsFail ? nullptr : std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
    {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

namespace
{
const std::wstring Settings = SettingsKeyPath;

// The component's own template and procedure, run as a modeless dialog on the test's
// thread so that every message is sent directly.
class SettingsDialogFailureTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(resources, nullptr); }
    void TearDown() override
    {
        if (dialog != nullptr)
        {
            DestroyWindow(dialog);
        }
        FreeLibrary(resources);
    }

    HWND Create()
    {
        dialog = CreateDialogParamW(resources, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, SettingsDialogProc, 0);
        return dialog;
    }
    std::wstring Text(int control) const
    {
        wchar_t text[64] = {};
        GetDlgItemTextW(dialog, control, text, 64);
        return text;
    }

    ScratchRegistry scratch;
    HMODULE resources = LoadLibraryW(PathBesideProgram(L"qvnnapcfg64.dll").c_str());
    HWND dialog = nullptr;
};

TEST_F(SettingsDialogFailureTest, OutOfMemoryWhileFillingLeavesTheDialogEmpty)
{
    {
        AllocationsFail failing;
        Create();
    }
    ASSERT_NE(dialog, nullptr) << "the dialog exists even though it could not be filled";
    EXPECT_EQ(Text(IDC_SERVER_ADDRESS), L"");
    EXPECT_EQ(Text(IDC_SERVER_PORT), L"");
}

TEST_F(SettingsDialogFailureTest, OutOfMemoryOnOkSavesNothingAndKeepsTheDialog)
{
    ASSERT_NE(Create(), nullptr);
    SetDlgItemTextW(dialog, IDC_SERVER_ADDRESS, L"nap.example.net");
    SetDlgItemTextW(dialog, IDC_SERVER_PORT, L"8080");
    {
        AllocationsFail failing;
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName").has_value());

    // Once memory is back, the same OK goes through and ends the dialog.
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerName")->Text(), L"nap.example.net");
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, L"ServerPort")->Dword(), 8080u);
}
// Out of memory while the hook is being set up costs the hook, never the call: nothing
// escapes InvokeUI, which ends as it does with memory (without the DLL's instance handle
// the dialog cannot be created: this program has no template), and the import entry is
// left as it was.
TEST(SettingsDialogHookTest, OutOfMemoryCostsOnlyTheHook)
{
    void* const original = __imp_FindResourceW;
    const HRESULT withMemory = InvokeSettingsDialog(nullptr);
    EXPECT_TRUE(FAILED(withMemory));
    {
        AllocationsFail failing;
        EXPECT_EQ(InvokeSettingsDialog(nullptr), withMemory);
    }
    EXPECT_EQ(__imp_FindResourceW, original);
    EXPECT_EQ(InvokeSettingsDialog(nullptr), withMemory) << "and the next call is unaffected";
    EXPECT_EQ(__imp_FindResourceW, original);
}

// Without the DLL's instance handle the dialog cannot be created (this program has no
// template): the method still writes both lines, and reports the failure.
TEST(SettingsDialogTraceTest, BeginLineShowsTheParentsLow32BitsAndEndLineFollows)
{
    ScratchFolder folder;
    const std::string path = folder.File("trace.log");
    InstallTraceLogConfig(std::make_unique<TraceLogConfig>(path, 1 << 20));
    EXPECT_TRUE(FAILED(InvokeSettingsDialog(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x00000ABC12345678ull)))));
    InstallTraceLogConfig(nullptr);

    const std::string trace = ReadWholeFile(path);
    const auto begins = trace.find("[SHVValidator::InvokeUI] Begins (hwndParent = 0x12345678)\r\n");
    const auto ends = trace.find("[SHVValidator::InvokeUI] Ends\r\n");
    EXPECT_NE(begins, std::string::npos) << trace;
    EXPECT_NE(ends, std::string::npos) << trace;
    EXPECT_LT(begins, ends);
}
} // namespace
