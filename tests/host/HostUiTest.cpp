// The host tool's ui command end to end: qvnnaphost.exe runs as a process of its own,
// creates the registered class through COM and opens the settings dialog on a thread
// with the locale it was given; this program finds the dialog among the child's windows,
// reads it, presses Cancel and expects the tool to end successfully.
//
// The tool creates the class with CoCreateInstance in its own process, so the class is
// registered in the prefix's real HKEY_CLASSES_ROOT (the tests sharing it hold the
// wine_hkcr lock) and removed again afterwards.
#include "ResourceIds.h"

#include "support/ComponentDll.h"
#include "support/DialogDriver.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace
{
constexpr DWORD ProcessTimeoutMs = 30000;

// qvnnaphost.exe from beside this program, run with the arguments; its standard output
// and error go to a file for failure messages. Ended by force should a test leave it
// running.
class HostProcess
{
public:
    explicit HostProcess(const std::wstring& arguments)
    {
        m_outputPath = m_folder.File("host-output.txt");
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        HANDLE output = CreateFileA(m_outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, CREATE_ALWAYS, 0, nullptr);
        if (output == INVALID_HANDLE_VALUE)
        {
            ADD_FAILURE() << "cannot create " << m_outputPath;
            return;
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output;
        startup.hStdError = output;
        std::wstring commandLine = L"\"" + PathBesideProgram(L"qvnnaphost.exe") + L"\" " + arguments;
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &m_process))
        {
            ADD_FAILURE() << "cannot start qvnnaphost.exe, error " << GetLastError();
        }
        CloseHandle(output);
    }
    ~HostProcess()
    {
        if (m_process.hProcess == nullptr)
        {
            return;
        }
        if (WaitForSingleObject(m_process.hProcess, 0) != WAIT_OBJECT_0)
        {
            TerminateProcess(m_process.hProcess, 99);
            WaitForSingleObject(m_process.hProcess, ProcessTimeoutMs);
        }
        CloseHandle(m_process.hThread);
        CloseHandle(m_process.hProcess);
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool Started() const { return m_process.hProcess != nullptr; }

    // The exit status, or nothing when the process is still running after the wait.
    std::optional<DWORD> WaitExit(DWORD timeoutMs = ProcessTimeoutMs) const
    {
        DWORD status = 0;
        if (WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(m_process.hProcess, &status))
        {
            return std::nullopt;
        }
        return status;
    }

    // A visible dialog ("#32770") of the process, once one appears; null on timeout.
    HWND WaitForDialog() const
    {
        HWND found = nullptr;
        WaitUntil(
            [&] {
                found = FindDialog();
                return found != nullptr || WaitForSingleObject(m_process.hProcess, 0) == WAIT_OBJECT_0;
            },
            std::chrono::milliseconds(ProcessTimeoutMs));
        return found;
    }

    // What the tool wrote so far.
    std::string Output() const { return ReadWholeFile(m_outputPath); }

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
        Search search{m_process.dwProcessId, nullptr};
        EnumWindows(&HostProcess::Visit, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    ScratchFolder m_folder;
    std::string m_outputPath;
    PROCESS_INFORMATION m_process = {};
};

class HostUiTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(dll.DllRegisterServer(), S_OK); }
    void TearDown() override { EXPECT_EQ(dll.DllUnregisterServer(), S_OK); }

    // Opens the dialog through "ui --locale <locale>", checks its caption and the
    // Cancel button's text, presses Cancel and expects exit status 0.
    void ExpectDialog(const wchar_t* locale, const std::wstring& caption, const std::wstring& cancel)
    {
        HostProcess host(std::wstring(L"ui --locale ") + locale);
        ASSERT_TRUE(host.Started());
        HWND dialog = host.WaitForDialog();
        ASSERT_NE(dialog, nullptr) << "no dialog appeared; the tool wrote: " << host.Output();
        EXPECT_EQ(WindowText(dialog), caption);
        EXPECT_EQ(ControlText(dialog, IDCANCEL), cancel);
        PressButton(dialog, IDCANCEL);
        const auto status = host.WaitExit();
        ASSERT_TRUE(status.has_value()) << "the tool did not end after Cancel";
        EXPECT_EQ(*status, 0u) << host.Output();
    }

    ComponentDll dll;
};

TEST_F(HostUiTest, RussianLocaleShowsTheRussianDialogAndCancelEndsTheTool)
{
    ExpectDialog(L"0x0419", L"Настройки защиты сетевого доступа Quorvane", L"Отмена");
}

TEST_F(HostUiTest, LocaleInDecimalPicksChinese)
{
    ExpectDialog(L"2052", L"Quorvane 网络访问保护设置", L"取消");
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
