// The host tool's ui command end to end: qvnnaphost.exe runs as a process of its own,
// creates the registered class through COM and opens the settings dialog on a thread
// with the locale it was given; this program finds the dialog among the child's windows,
// reads it, presses Cancel and expects the tool to end successfully.
//
// The tool creates the class with CoCreateInstance in its own process, so the class is
// registered in the prefix's real HKEY_CLASSES_ROOT (the tests sharing it hold the
// wine_hkcr lock) and removed again afterwards.
#include "ResourceIds.h"

#include "support/ChildProcess.h"
#include "support/ComponentDll.h"
#include "support/ComponentLanguages.h"
#include "support/DialogDriver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace
{
constexpr DWORD ProcessTimeoutMs = 30000;

// qvnnaphost.exe from beside this program, run with the arguments.
class HostProcess : public CapturedProcess
{
public:
    explicit HostProcess(const std::wstring& arguments)
        : CapturedProcess(L"\"" + PathBesideProgram(L"qvnnaphost.exe") + L"\" " + arguments)
    {
    }

    // A visible dialog ("#32770") of the process, once one appears; null on timeout.
    HWND WaitForDialog() const
    {
        HWND found = nullptr;
        WaitUntil(
            [&] {
                found = FindDialog();
                return found != nullptr || !Running();
            },
            std::chrono::milliseconds(ProcessTimeoutMs));
        return found;
    }

private:
    struct Search
    {
        DWORD processId;
        HWND found;
    };

    static BOOL CALLBACK Visit(HWND window, LPARAM parameter)
    {
        auto* search = reinterpret_cast<Search*>(parameter);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        if (owner == search->processId && IsWindowVisible(window) && std::wstring(className) == L"#32770")
        {
            search->found = window;
            return FALSE;
        }
        return TRUE;
    }

    HWND FindDialog() const
    {
        Search search{Id(), nullptr};
        EnumWindows(&HostProcess::Visit, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
};

class HostUiTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(dll.DllRegisterServer(), S_OK); }
    void TearDown() override { EXPECT_EQ(dll.DllUnregisterServer(), S_OK); }

    // Opens the dialog through "ui --locale <locale>", checks its caption and the
    // Cancel button's text in the language of expected, presses Cancel and expects exit
    // status 0.
    void ExpectDialog(const wchar_t* locale, LCID expected)
    {
        HostProcess host(std::wstring(L"ui --locale ") + locale);
        ASSERT_TRUE(host.Started());
        HWND dialog = host.WaitForDialog();
        ASSERT_NE(dialog, nullptr) << "no dialog appeared; the tool wrote: " << host.Output();
        EXPECT_EQ(WindowText(dialog), ComponentLanguageOf(expected).caption);
        EXPECT_EQ(ControlText(dialog, IDCANCEL), ComponentLanguageOf(expected).cancel);
        PressButton(dialog, IDCANCEL);
        const auto status = host.WaitExit();
        ASSERT_TRUE(status.has_value()) << "the tool did not end after Cancel";
        EXPECT_EQ(*status, 0u) << host.Output();
    }

    ComponentDll dll;
};

TEST_F(HostUiTest, RussianLocaleShowsTheRussianDialogAndCancelEndsTheTool)
{
    ExpectDialog(L"0x0419", 0x0419);
}

TEST_F(HostUiTest, LocaleInDecimalPicksChinese)
{
    ExpectDialog(L"2052", 0x0804);
}

// A malformed or unknown locale is refused before anything is created: status 1, one
// line naming the problem.
TEST(HostUiCommandLineTest, MalformedOrUnknownLocaleIsRefused)
{
    const struct
    {
        const wchar_t* locale;
        const char* message;
    } cases[] = {
        {L"russian", "qvnnaphost ui: --locale: expected a locale identifier such as 0x0409, got 'russian'\n"},
        {L"0", "qvnnaphost ui: --locale: expected a locale identifier such as 0x0409, got '0'\n"},
        {L"0x0419x", "qvnnaphost ui: --locale: expected a locale identifier such as 0x0409, got '0x0419x'\n"},
        {L"0x7FFF1234", "qvnnaphost ui: --locale: '0x7FFF1234' is not a locale this system supports\n"},
    };
    for (const auto& c : cases)
    {
        HostProcess host(std::wstring(L"ui --locale ") + c.locale);
        ASSERT_TRUE(host.Started());
        const auto status = host.WaitExit();
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 1u);
        EXPECT_EQ(host.Output(), c.message);
    }
}
} // namespace
