// The settings dialog of the shipped DLL, shown through INapComponentConfig::InvokeUI
// and driven as an administrator would: typing, ticking, OK and Cancel.
#include "RegistryKey.h"
#include "ResourceIds.h"
#include "SHVConfigBlob.h"

#include "support/ChildProcess.h"
#include "support/ComponentDll.h"
#include "support/ComponentLanguages.h"
#include "support/DialogDriver.h"
#include "support/ImportCallCounter.h"
#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>
#include <napcommon.h>

#include <atomic>
#include <cstring>
#include <cwctype>
#include <memory>
#include <optional>
#include <regex>
#include <string>

// The entry of this program's import address table through which its FindResourceW
// calls go (the linker's name for it); InvokeUI hooks it while a dialog is open.
extern "C" void* __imp_FindResourceW;

namespace
{
const std::wstring Settings = SettingsKeyPath;

constexpr LCID EnglishUs = 0x0409;

class SettingsDialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        config = dll.CreateConfig();
        ASSERT_NE(config, nullptr);
    }
    void TearDown() override
    {
        ui.reset(); // closes a dialog a failed test left open, before the object goes
        if (config != nullptr)
        {
            config->Release();
        }
    }

    // Shows the dialog through InvokeUI on a thread with the given locale and waits for it.
    HWND Open(LCID locale = EnglishUs)
    {
        invokeResult = E_PENDING;
        dialogLocale = locale;
        ui = std::make_unique<UiThread>([this, locale] {
            SetThreadLocale(locale);
            invokeResult = config->InvokeUI(nullptr);
        });
        dialog = WaitForDialog(ui->Id());
        EXPECT_NE(dialog, nullptr) << "the settings dialog did not appear";
        return dialog;
    }

    void Type(const std::wstring& address, const std::wstring& port, const std::wstring& cacheTime)
    {
        SetControlText(dialog, IDC_SERVER_ADDRESS, address);
        SetControlText(dialog, IDC_SERVER_PORT, port);
        SetControlText(dialog, IDC_CACHE_TIME, cacheTime);
    }

    // Presses OK and expects InvokeUI to return.
    void PressOkAndExpectClosed()
    {
        PressButton(dialog, IDOK);
        ASSERT_TRUE(ui->WaitFinished()) << "the dialog did not close";
        EXPECT_EQ(invokeResult, S_OK);
    }

    void PressCancelAndExpectClosed()
    {
        PressButton(dialog, IDCANCEL);
        ASSERT_TRUE(ui->WaitFinished()) << "the dialog did not close";
        EXPECT_EQ(invokeResult, S_OK);
    }

    struct Rejection
    {
        std::wstring message; // the message box's text
        int focusedControl;   // the control that has the focus once it is closed
    };

    // Presses OK, expects the message box that refuses a value (no owner, the system's
    // default caption, the exclamation icon and an OK button), reads and closes it, and
    // waits for the focus to reach the refused field (expectedFocus); the focus seen last
    // is reported either way. The dialog must still be open afterwards.
    std::optional<Rejection> PressOkAndExpectRejection(int expectedFocus)
    {
        PressButton(dialog, IDOK);
        HWND box = WaitForDialog(ui->Id(), {dialog});
        if (box == nullptr)
        {
            ADD_FAILURE() << "no message box";
            return std::nullopt;
        }
        EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
        EXPECT_TRUE(LooksLikePlatformMessageBox(box, MB_OK | MB_ICONEXCLAMATION, dialogLocale));
        Rejection rejection{MessageBoxText(box), 0};
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(WaitWindowGone(box)) << "the message box did not close";
        // Closing the box first gives the focus back to where it was (a field refused
        // earlier, say); the dialog then moves it to the refused field.
        HWND focus = WaitForFocus(ui->Id(), GetDlgItem(dialog, expectedFocus));
        rejection.focusedControl = focus != nullptr ? GetDlgCtrlID(focus) : 0;
        EXPECT_TRUE(IsWindowVisible(dialog)) << "the dialog must stay open";
        EXPECT_FALSE(ui->WaitFinished(std::chrono::milliseconds(0)));
        return rejection;
    }

    std::optional<RegistryValue> Stored(const wchar_t* name) const
    {
        return ReadRegistryValue(HKEY_LOCAL_MACHINE, Settings, name);
    }
    void Store(const std::wstring& name, std::uint32_t port, std::uint32_t cacheTime, std::uint32_t enabled)
    {
        WriteRegistryString(HKEY_LOCAL_MACHINE, Settings, L"ServerName", name);
        WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ServerPort", port);
        WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"CacheTime", cacheTime);
        WriteRegistryDword(HKEY_LOCAL_MACHINE, Settings, L"ValidationEnabled", enabled);
    }
    // The settings as GetConfig hands them out.
    SHVConfigBlob CurrentBlob() const
    {
        SHVConfigBlob blob = {};
        UINT16 count = 0;
        BYTE* data = nullptr;
        EXPECT_EQ(config->GetConfig(&count, &data), S_OK);
        if (data != nullptr && count == sizeof(blob))
        {
            std::memcpy(&blob, data, sizeof(blob));
        }
        CoTaskMemFree(data);
        return blob;
    }
    // The dialog shows these values, its fields greyed when validation is disabled.
    void ExpectShown(const wchar_t* address, const wchar_t* port, const wchar_t* cacheTime, bool enabled) const
    {
        EXPECT_EQ(ControlText(dialog, IDC_SERVER_ADDRESS), address);
        EXPECT_EQ(ControlText(dialog, IDC_SERVER_PORT), port);
        EXPECT_EQ(ControlText(dialog, IDC_CACHE_TIME), cacheTime);
        EXPECT_EQ(IsChecked(dialog, IDC_VALIDATION_ENABLED), enabled);
        EXPECT_TRUE(EditsEnabled(enabled));
    }
    bool EditsEnabled(bool expected) const
    {
        return IsControlEnabled(dialog, IDC_SERVER_ADDRESS) == expected &&
               IsControlEnabled(dialog, IDC_SERVER_PORT) == expected &&
               IsControlEnabled(dialog, IDC_CACHE_TIME) == expected;
    }

    FreshComponentLoad fresh;
    ScratchRegistry scratch;
    ComponentDll dll;
    INapComponentConfig* config = nullptr;
    std::unique_ptr<UiThread> ui;
    HWND dialog = nullptr;
    LCID dialogLocale = EnglishUs; // the locale of the thread that shows it
    std::atomic<HRESULT> invokeResult{E_PENDING};
};

// The defaults while nothing is stored. The registry is the authority: a change another
// program makes between two openings shows in the next one, greyed fields included.
TEST_F(SettingsDialogTest, ShowsTheDefaultsThenWhatAnotherProgramStored)
{
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(WindowText(dialog), ComponentLanguageOf(EnglishUs).caption);
    ExpectShown(L"unspecified", L"2193", L"180", true);
    PressCancelAndExpectClosed();

    Store(L"first.example.net", 1000, 30, 1);
    ASSERT_NE(Open(), nullptr);
    ExpectShown(L"first.example.net", L"1000", L"30", true);
    PressCancelAndExpectClosed();

    Store(L"second.example.net", 65535, 4294967295u, 0);
    ASSERT_NE(Open(), nullptr);
    ExpectShown(L"second.example.net", L"65535", L"4294967295", false);
    PressCancelAndExpectClosed();
}

TEST_F(SettingsDialogTest, AcceptedValuesAreWrittenToTheRegistry)
{
    ASSERT_NE(Open(), nullptr);
    const std::wstring address = L"nap.example.net/" + std::wstring(1100, L'x');
    Type(address, L"65535", L"0");
    const ImportCallCounter calls("qvnnapcfg64.dll");
    PressOkAndExpectClosed();
    EXPECT_EQ(calls.Counts().registryWrites, 5) << "the five values, stored once";
    EXPECT_EQ(Stored(L"ServerName")->Text(), address.substr(0, 1023)) << "at most 1023 characters are taken";
    EXPECT_EQ(Stored(L"ServerPort")->Dword(), 65535u);
    EXPECT_EQ(Stored(L"CacheTime")->Dword(), 0u);
    EXPECT_EQ(Stored(L"ValidationEnabled")->Dword(), 1u);
    EXPECT_EQ(Stored(L"ServerTimeout")->Dword(), 10000u) << "the dialog never changes the time-out";
}

// One dialog, several attempts: every refused port keeps the dialog open with the focus
// on the port, and nothing reaches the registry until a valid one is typed.
TEST_F(SettingsDialogTest, PortsOutsideOneTo65535AreRefused)
{
    ASSERT_NE(Open(), nullptr);
    for (const wchar_t* port : {L"0", L"65536", L"4294967296", L"not a number", L"-1", L""})
    {
        SCOPED_TRACE(testing::Message() << "port \"" << std::string(port, port + wcslen(port)) << "\"");
        Type(L"nap.example.net", port, L"60");
        const auto rejection = PressOkAndExpectRejection(IDC_SERVER_PORT);
        ASSERT_TRUE(rejection.has_value());
        EXPECT_EQ(rejection->message, ComponentLanguageOf(EnglishUs).incorrectValue);
        EXPECT_EQ(rejection->focusedControl, IDC_SERVER_PORT);
        EXPECT_EQ(ControlText(dialog, IDC_SERVER_PORT), port) << "the typed text stays";
        EXPECT_FALSE(Stored(L"ServerPort").has_value());
    }
    Type(L"nap.example.net", L"1", L"60");
    PressOkAndExpectClosed();
    EXPECT_EQ(Stored(L"ServerPort")->Dword(), 1u);
}

TEST_F(SettingsDialogTest, CacheTimeMustBeANumber)
{
    ASSERT_NE(Open(), nullptr);
    Type(L"nap.example.net", L"8080", L"soon");
    const auto rejection = PressOkAndExpectRejection(IDC_CACHE_TIME);
    ASSERT_TRUE(rejection.has_value());
    EXPECT_EQ(rejection->message, ComponentLanguageOf(EnglishUs).incorrectValue);
    EXPECT_EQ(rejection->focusedControl, IDC_CACHE_TIME);
    EXPECT_FALSE(Stored(L"CacheTime").has_value());

    SetControlText(dialog, IDC_CACHE_TIME, L"4294967295");
    PressOkAndExpectClosed();
    EXPECT_EQ(Stored(L"CacheTime")->Dword(), 4294967295u);
}

// The fields are checked in order and the first refusal wins.
TEST_F(SettingsDialogTest, EmptyAddressIsReportedBeforeABadPort)
{
    ASSERT_NE(Open(), nullptr);
    Type(L"", L"not a number", L"also not");
    const auto rejection = PressOkAndExpectRejection(IDC_SERVER_ADDRESS);
    ASSERT_TRUE(rejection.has_value());
    EXPECT_EQ(rejection->focusedControl, IDC_SERVER_ADDRESS);

    SetControlText(dialog, IDC_SERVER_ADDRESS, L"10.0.0.1");
    const auto second = PressOkAndExpectRejection(IDC_SERVER_PORT);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->focusedControl, IDC_SERVER_PORT);
    EXPECT_TRUE(RegistryValueNames(HKEY_LOCAL_MACHINE, Settings).empty());
}

TEST_F(SettingsDialogTest, ClearingTheCheckBoxGreysTheFieldsAndTickingEnablesThem)
{
    ASSERT_NE(Open(), nullptr);
    ASSERT_TRUE(EditsEnabled(true));
    ClickCheckBox(dialog, IDC_VALIDATION_ENABLED, false);
    EXPECT_TRUE(WaitUntil([&] { return EditsEnabled(false); }));
    ClickCheckBox(dialog, IDC_VALIDATION_ENABLED, true);
    EXPECT_TRUE(WaitUntil([&] { return EditsEnabled(true); }));
    PressCancelAndExpectClosed();
}

// With validation switched off nothing is refused: what was typed is stored as far as
// it converts, the port cut to 16 bits.
TEST_F(SettingsDialogTest, ClearedCheckBoxSavesWhateverWasTyped)
{
    ASSERT_NE(Open(), nullptr);
    ClickCheckBox(dialog, IDC_VALIDATION_ENABLED, false);
    Type(L"", L"not a number", L"never");
    PressOkAndExpectClosed();
    EXPECT_EQ(Stored(L"ServerName")->Text(), L"");
    EXPECT_EQ(Stored(L"ServerPort")->Dword(), 0u);
    EXPECT_EQ(Stored(L"CacheTime")->Dword(), 0u);
    EXPECT_EQ(Stored(L"ValidationEnabled")->Dword(), 0u);

    ASSERT_NE(Open(), nullptr);
    Type(L"nap.example.net", L"70000", L"15");
    PressOkAndExpectClosed();
    EXPECT_EQ(Stored(L"ServerPort")->Dword(), 4464u);
    EXPECT_EQ(Stored(L"CacheTime")->Dword(), 15u);
}

TEST_F(SettingsDialogTest, CancelChangesNothing)
{
    Store(L"kept.example.net", 2000, 90, 1);
    ASSERT_NE(Open(), nullptr);
    ClickCheckBox(dialog, IDC_VALIDATION_ENABLED, false);
    Type(L"changed.example.net", L"3000", L"10");
    PressCancelAndExpectClosed();
    EXPECT_EQ(Stored(L"ServerName")->Text(), L"kept.example.net");
    EXPECT_EQ(Stored(L"ServerPort")->Dword(), 2000u);
    EXPECT_EQ(Stored(L"CacheTime")->Dword(), 90u);
    EXPECT_EQ(Stored(L"ValidationEnabled")->Dword(), 1u);
    EXPECT_FALSE(Stored(L"ServerTimeout").has_value()) << "Cancel writes nothing at all";

    // Nor does the record in memory change: the blob still holds the stored values.
    const SHVConfigBlob blob = CurrentBlob();
    EXPECT_EQ(std::u16string(blob.serverName), u"kept.example.net");
    EXPECT_EQ(blob.serverPort, 2000u);
    EXPECT_EQ(blob.validationEnabled, 1u);
}

// The error text follows the thread's language and reaches the message box through the
// ANSI code page: letters that code page lacks become its replacement character. A
// language the component lacks gets an empty text.
TEST_F(SettingsDialogTest, MessageTextFollowsTheThreadLanguageInTheAnsiCodePage)
{
    for (LCID locale : {LCID(0x0407), LCID(0x0419), LCID(0x0804), LCID(0x0C0A)})
    {
        SCOPED_TRACE(testing::Message() << "locale 0x" << std::hex << locale);
        ASSERT_NE(Open(locale), nullptr);
        SetControlText(dialog, IDC_SERVER_PORT, L"0");
        const auto rejection = PressOkAndExpectRejection(IDC_SERVER_PORT);
        ASSERT_TRUE(rejection.has_value());
        EXPECT_EQ(rejection->message,
                  locale == 0x0C0A ? L"" : ThroughAnsiCodePage(ComponentLanguageOf(locale).incorrectValue));
        PressCancelAndExpectClosed();
    }
}

// FindResourceW called through this program's import table. Not inlined: the compiler
// takes import table entries for constants and would reuse one read earlier.
__attribute__((noinline)) HRSRC FindThroughImportTable(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    return FindResourceW(module, name, type);
}

// The template follows the thread's locale as the component's strings do (every text of
// every template: SettingsResourcesTest); a language the component lacks still gets a
// dialog, of the platform's choice.
TEST_F(SettingsDialogTest, DialogFollowsTheThreadLanguage)
{
    for (LCID locale : {LCID(0x0419), LCID(0x0804)})
    {
        SCOPED_TRACE(testing::Message() << "locale 0x" << std::hex << locale);
        ASSERT_NE(Open(locale), nullptr);
        EXPECT_EQ(WindowText(dialog), ComponentLanguageOf(locale).caption);
        EXPECT_EQ(ControlText(dialog, IDC_VALIDATION_ENABLED), ComponentLanguageOf(locale).enabled);
        EXPECT_EQ(ControlText(dialog, IDC_SERVER_ADDRESS), L"unspecified") << "filled like any other";
        PressCancelAndExpectClosed();
    }

    ASSERT_NE(Open(0x0C0A), nullptr) << "Spanish: the component has no template, the platform picks one";
    EXPECT_FALSE(WindowText(dialog).empty());
    EXPECT_EQ(ControlText(dialog, IDC_SERVER_PORT), L"2193");
    PressCancelAndExpectClosed();
}

// While the dialog is open, this program's own FindResourceW calls reach the
// component's lookup and choose by the calling thread's locale; afterwards the entry
// holds exactly what it held before.
TEST_F(SettingsDialogTest, ImportOfTheMainProgramIsHookedWhileTheDialogIsOpen)
{
    void* const original = __imp_FindResourceW;
    const HMODULE module = dll.Module();
    const LPCWSTR block = MAKEINTRESOURCEW(IDS_INCORRECT_VALUE / 16 + 1);
    const HRSRC russian = FindResourceExW(module, RT_STRING, block, MAKELANGID(LANG_RUSSIAN, SUBLANG_NEUTRAL));
    ASSERT_NE(russian, nullptr);
    const LCID previous = GetThreadLocale();
    SetThreadLocale(0x0419);

    ASSERT_NE(Open(), nullptr);
    EXPECT_NE(__imp_FindResourceW, original);
    EXPECT_EQ(FindThroughImportTable(module, block, RT_STRING), russian);
    SetLastError(0);
    SetThreadLocale(0x0C0A);
    EXPECT_EQ(FindThroughImportTable(module, block, RT_STRING), nullptr) << "no fallback to another language";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
    PressCancelAndExpectClosed();

    EXPECT_EQ(__imp_FindResourceW, original);
    SetThreadLocale(previous);
}

// A host whose main program does not import FindResourceW (the screenshot program, which
// looks up no resources of its own, run with nothing on its input): the hook cannot be
// set, the component's runtime log says so at level ERR on standard error, and each
// dialog opens all the same.
TEST(SettingsDialogHookModeTest, HostWithoutTheImportGetsAnErrorLineAndTheDialog)
{
    std::string output;
    EXPECT_EQ(RunProgramCapturingOutput(L"\"" + PathBesideProgram(L"qvnnapcfg_dialog_screenshots.exe") + L"\"", output),
              0u)
        << output;
    EXPECT_NE(output.find("SHOW dialog-en "), std::string::npos) << output;
    EXPECT_NE(output.find("DONE"), std::string::npos) << output;
    const std::regex errorLine(
        R"((^|\n)[^\n]* ERR [^\n]*\[ApiHook\] Function FindResourceW didn`t found in imports for kernel32\.dll\r?\n)");
    EXPECT_TRUE(std::regex_search(output, errorLine)) << output;
}

// Dialogs on two threads at once share one hook: closing the first-opened one leaves it
// in place for the second, and closing the second restores the entry. (A hook per
// dialog, each restoring what it found, would leave the entry pointing into the
// component once the first-opened dialog closed first.)
TEST_F(SettingsDialogTest, DialogsOpenOnTwoThreadsShareOneHook)
{
    void* const original = __imp_FindResourceW;
    ASSERT_NE(Open(), nullptr);
    HWND const first = dialog;
    void* const hooked = __imp_FindResourceW;
    EXPECT_NE(hooked, original);

    std::atomic<HRESULT> secondResult{E_PENDING};
    {
        UiThread second([&] {
            SetThreadLocale(0x0407);
            secondResult = config->InvokeUI(nullptr);
        });
        HWND other = WaitForDialog(second.Id());
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(WindowText(other), ComponentLanguageOf(0x0407).caption);
        EXPECT_EQ(__imp_FindResourceW, hooked);

        PressButton(first, IDCANCEL);
        ASSERT_TRUE(ui->WaitFinished());
        EXPECT_EQ(__imp_FindResourceW, hooked) << "the second dialog is still open";

        PressButton(other, IDCANCEL);
        ASSERT_TRUE(second.WaitFinished());
        EXPECT_EQ(secondResult.load(), S_OK);
    }
    EXPECT_EQ(__imp_FindResourceW, original);
}

// The platform's result for a dialog with this owner: S_OK when it can be created (it
// ends at once), else the HRESULT of the last error of the refused creation.
HRESULT PlatformDialogResult(HWND owner)
{
    struct alignas(4) EmptyDialog
    {
        DLGTEMPLATE header;
        WORD menu, windowClass, title;
    };
    const EmptyDialog empty = {{WS_POPUP, 0, 0, 0, 0, 10, 10}, 0, 0, 0};
    const DLGPROC endAtOnce = [](HWND window, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG)
        {
            EndDialog(window, IDCANCEL);
        }
        return FALSE;
    };
    SetLastError(ERROR_SUCCESS);
    const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), &empty.header, owner, endAtOnce, 0);
    const DWORD error = GetLastError();
    if (result == IDCANCEL)
    {
        return S_OK;
    }
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// An owner window that does not exist: the dialog cannot be created, and the method
// says so with the platform's error, without waiting for anything.
TEST_F(SettingsDialogTest, DialogThatCannotBeCreatedReportsTheFailure)
{
    const HWND noWindow = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7FFF1234));
    ASSERT_FALSE(IsWindow(noWindow));
    const HRESULT expected = PlatformDialogResult(noWindow);
    ASSERT_TRUE(FAILED(expected)) << "the platform created a dialog for an owner that is no window";
    EXPECT_EQ(config->InvokeUI(noWindow), expected);
}

// The system's text for a Win32 error as a thread of the given locale gets it, without
// the line end.
std::wstring SystemMessage(DWORD error, LCID locale)
{
    const LCID previous = GetThreadLocale();
    SetThreadLocale(locale);
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    SetThreadLocale(previous);
    std::wstring text = length != 0 ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && iswspace(text.back()))
    {
        text.pop_back();
    }
    return text;
}

// OK with settings that cannot be stored, because a write fails midway or because the
// key cannot be created: a message box gives the platform's reason, the dialog stays
// open with everything as typed, and the registry and the record hold what they held.
TEST_F(SettingsDialogTest, OkThatCannotStoreSaysWhyAndChangesNothing)
{
    Store(L"old.example.net", 1000, 30, 1);
    for (const DWORD error : {DWORD(ERROR_NO_SYSTEM_RESOURCES), DWORD(ERROR_CHILD_MUST_BE_VOLATILE)})
    {
        SCOPED_TRACE(testing::Message() << "error " << error);
        ImportCallCounter writes("qvnnapcfg64.dll");
        if (error == ERROR_NO_SYSTEM_RESOURCES)
        {
            writes.FailSetValue(2, error); // ServerPort, after ServerName
        }
        else
        {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software");
            scratch.MakeSoftwareVolatile(); // the settings key cannot be created
        }
        const RegistrySnapshot stored = TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, Settings);
        const SHVConfigBlob record = CurrentBlob();
        const std::wstring reason = SystemMessage(error, 0x0407);
        ASSERT_FALSE(reason.empty());

        ASSERT_NE(Open(0x0407), nullptr);
        Type(L"nap.example.net", L"8080", L"60");
        PressButton(dialog, IDOK);
        HWND box = WaitForDialog(ui->Id(), {dialog});
        ASSERT_NE(box, nullptr) << "no message box";
        EXPECT_EQ(MessageBoxText(box), reason);
        EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);
        EXPECT_TRUE(LooksLikePlatformMessageBox(box, MB_OK | MB_ICONERROR, dialogLocale));
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(WaitWindowGone(box)) << "the message box did not close";
        EXPECT_TRUE(IsWindowVisible(dialog)) << "the dialog must stay open";
        EXPECT_FALSE(ui->WaitFinished(std::chrono::milliseconds(0)));
        ExpectShown(L"nap.example.net", L"8080", L"60", true);
        PressCancelAndExpectClosed();

        EXPECT_EQ(TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, Settings), stored);
        const SHVConfigBlob after = CurrentBlob();
        EXPECT_EQ(std::memcmp(&after, &record, sizeof(record)), 0) << "the record keeps its values";
    }
}
} // namespace
