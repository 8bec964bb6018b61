#include "support/DialogDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace std::chrono_literals;

namespace
{
constexpr UINT SendTimeoutMs = 5000;
constexpr int MessageBoxTextId = 0xFFFF;

// SendMessageW that gives up after a while instead of hanging on a stuck thread.
bool SendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result = nullptr)
{
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG, SendTimeoutMs,
                               result != nullptr ? result : &ignored) != 0;
}

bool IsDialogClass(HWND window)
{
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    return std::wstring(name) == L"#32770";
}

// What a message box shows besides its text.
struct MessageBoxLook
{
    std::wstring caption;
    HICON icon = nullptr;
    std::vector<int> buttons; // identifiers of the visible buttons, in ascending order
};

MessageBoxLook LookOf(HWND messageBox)
{
    MessageBoxLook look{WindowText(messageBox), nullptr, {}};
    for (HWND child = GetWindow(messageBox, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    {
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if ((style & WS_VISIBLE) == 0)
        {
            continue;
        }
        if (lstrcmpiW(className, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON)
        {
            DWORD_PTR icon = 0;
            SendBounded(child, STM_GETICON, 0, 0, &icon);
            look.icon = reinterpret_cast<HICON>(icon);
        }
        else if (lstrcmpiW(className, L"Button") == 0)
        {
            look.buttons.push_back(GetDlgCtrlID(child));
        }
    }
    std::sort(look.buttons.begin(), look.buttons.end());
    return look;
}

BOOL CALLBACK CollectDialog(HWND window, LPARAM found)
{
    if (IsWindowVisible(window) && IsDialogClass(window))
    {
        reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
    }
    return TRUE;
}
} // namespace

UiThread::UiThread(std::function<void()> body) : m_body(std::move(body))
{
    m_thread = CreateThread(nullptr, 0, &UiThread::Run, this, 0, &m_id);
    if (m_thread == nullptr)
    {
        ADD_FAILURE() << "CreateThread failed, error " << GetLastError();
    }
}

UiThread::~UiThread()
{
    if (m_thread == nullptr)
    {
        return;
    }
    if (!CloseEverything())
    {
        ADD_FAILURE() << "the UI thread did not end; terminating it";
        TerminateThread(m_thread, 1);
        WaitForSingleObject(m_thread, 5000);
    }
    CloseHandle(m_thread);
}

DWORD WINAPI UiThread::Run(void* self)
{
    static_cast<UiThread*>(self)->m_body();
    return 0;
}

bool UiThread::WaitFinished(std::chrono::milliseconds timeout)
{
    return m_thread != nullptr && WaitForSingleObject(m_thread, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

bool UiThread::CloseEverything(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!WaitFinished(50ms))
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        for (HWND window : ThreadDialogs(m_id))
        {
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    }
    return true;
}

std::vector<HWND> ThreadDialogs(DWORD threadId)
{
    std::vector<HWND> found;
    EnumThreadWindows(threadId, CollectDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND WaitForDialog(DWORD threadId, const std::vector<HWND>& excluded, std::chrono::milliseconds timeout)
{
    HWND result = nullptr;
    WaitUntil(
        [&] {
            for (HWND window : ThreadDialogs(threadId))
            {
                if (std::find(excluded.begin(), excluded.end(), window) == excluded.end())
                {
                    result = window;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return result;
}

bool WaitWindowGone(HWND window, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); }, timeout);
}

std::wstring WindowText(HWND window)
{
    DWORD_PTR length = 0;
    if (window == nullptr || !SendBounded(window, WM_GETTEXTLENGTH, 0, 0, &length))
    {
        return L"<no window>";
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendBounded(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), &copied);
    text.resize(copied);
    return text;
}

std::wstring ControlText(HWND dialog, int control)
{
    return WindowText(GetDlgItem(dialog, control));
}

void SetControlText(HWND dialog, int control, const std::wstring& text)
{
    HWND window = GetDlgItem(dialog, control);
    ASSERT_NE(window, nullptr) << "no control " << control;
    EXPECT_TRUE(SendBounded(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())))
        << "WM_SETTEXT to control " << control;
}

void ClickCheckBox(HWND dialog, int control, bool checked)
{
    HWND window = GetDlgItem(dialog, control);
    ASSERT_NE(window, nullptr) << "no control " << control;
    if (IsChecked(dialog, control) != checked)
    {
        EXPECT_TRUE(SendBounded(window, BM_CLICK, 0, 0)) << "BM_CLICK to control " << control;
        EXPECT_EQ(IsChecked(dialog, control), checked) << "the click did not toggle control " << control;
    }
}

bool IsChecked(HWND dialog, int control)
{
    DWORD_PTR state = 0;
    return SendBounded(GetDlgItem(dialog, control), BM_GETCHECK, 0, 0, &state) && state == BST_CHECKED;
}

bool IsControlEnabled(HWND dialog, int control)
{
    return IsWindowEnabled(GetDlgItem(dialog, control)) != FALSE;
}

void PressButton(HWND dialog, int control)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, control)));
}

std::wstring MessageBoxText(HWND messageBox)
{
    return WindowText(GetDlgItem(messageBox, MessageBoxTextId));
}

::testing::AssertionResult LooksLikePlatformMessageBox(HWND messageBox, UINT flags, LCID locale)
{
    const MessageBoxLook actual = LookOf(messageBox);
    MessageBoxLook expected;
    {
        UiThread reference([flags, locale] {
            SetThreadLocale(locale);
            MessageBoxW(nullptr, L"reference", nullptr, flags);
        });
        HWND shown = WaitForDialog(reference.Id());
        if (shown == nullptr)
        {
            return ::testing::AssertionFailure() << "the platform showed no message box";
        }
        expected = LookOf(shown);
    }
    if (actual.caption == expected.caption && actual.icon == expected.icon && actual.buttons == expected.buttons)
    {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "caption " << ::testing::PrintToString(actual.caption) << ", icon "
                                         << actual.icon << ", " << actual.buttons.size()
                                         << " buttons; the platform's box for these flags: caption "
                                         << ::testing::PrintToString(expected.caption) << ", icon " << expected.icon
                                         << ", " << expected.buttons.size() << " buttons";
}

HWND FocusOfThread(DWORD threadId)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(threadId, &info) ? info.hwndFocus : nullptr;
}

HWND WaitForFocus(DWORD threadId, HWND window, std::chrono::milliseconds timeout)
{
    HWND focus = nullptr;
    WaitUntil(
        [&] {
            focus = FocusOfThread(threadId);
            return focus == window;
        },
        timeout);
    return focus;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}
