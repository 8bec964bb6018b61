// Driving a modal dialog from a test: the call that shows the dialog runs on a thread of
// its own (UiThread) while the test finds the dialog and its message boxes, types into
// controls, presses buttons and reads texts, focus and control states. Works without a
// display under Wine's null graphics driver. Every wait is bounded; cross-thread sends
// time out rather than hang.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// How long a test waits for a window, a focus change or a thread before it gives up.
inline constexpr std::chrono::milliseconds DefaultUiTimeout{10000};

// Runs body on a new thread. The destructor makes sure the thread ends: it closes
// every dialog and message box the thread still shows (WM_COMMAND IDCANCEL, so nothing
// is saved), waits a bounded time, and as a last resort terminates the thread and fails
// the test.
class UiThread
{
public:
    explicit UiThread(std::function<void()> body);
    ~UiThread();
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;

    DWORD Id() const { return m_id; }

    // Whether body has returned within the timeout.
    bool WaitFinished(std::chrono::milliseconds timeout = DefaultUiTimeout);

    // Posts IDCANCEL to every dialog of the thread until it ends; false on timeout.
    bool CloseEverything(std::chrono::milliseconds timeout = DefaultUiTimeout);

private:
    static DWORD WINAPI Run(void* self);

    std::function<void()> m_body;
    HANDLE m_thread = nullptr;
    DWORD m_id = 0;
};

// Visible top-level dialogs ("#32770") of a thread, in the system's enumeration order.
std::vector<HWND> ThreadDialogs(DWORD threadId);

// Waits for a visible dialog of the thread that is not among the excluded ones (for
// a message box: exclude the dialog that raised it). Null on timeout.
HWND WaitForDialog(DWORD threadId, const std::vector<HWND>& excluded = {},
                   std::chrono::milliseconds timeout = DefaultUiTimeout);

// Waits until the window is gone; false on timeout.
bool WaitWindowGone(HWND window, std::chrono::milliseconds timeout = DefaultUiTimeout);

// Text of a window or of a dialog control (WM_GETTEXT, bounded send).
std::wstring WindowText(HWND window);
std::wstring ControlText(HWND dialog, int control);

// Replaces a control's text (WM_SETTEXT, bounded send); fails the test on timeout.
void SetControlText(HWND dialog, int control, const std::wstring& text);

// Clicks a check box (BM_CLICK, as the mouse does) unless it already shows the wanted
// state: the box toggles itself and tells the dialog. Fails the test when it does not
// toggle.
void ClickCheckBox(HWND dialog, int control, bool checked);
bool IsChecked(HWND dialog, int control);
bool IsControlEnabled(HWND dialog, int control);

// Presses a button of a dialog: posts WM_COMMAND with BN_CLICKED, as a click does.
void PressButton(HWND dialog, int control);

// The text of a message box: its Static control with identifier 0xFFFF.
std::wstring MessageBoxText(HWND messageBox);

// Whether a message box shows the caption, the icon and the buttons of the one the
// platform shows for MessageBoxW(nullptr, text, nullptr, flags) on a thread of the
// locale (the default caption may follow it); the reference box is shown on a thread
// of its own and closed again.
::testing::AssertionResult LooksLikePlatformMessageBox(HWND messageBox, UINT flags, LCID locale);

// The window that has the keyboard focus in the thread (GetGUIThreadInfo), or null.
HWND FocusOfThread(DWORD threadId);

// Waits until the thread's focus is on window; returns the focus last seen.
HWND WaitForFocus(DWORD threadId, HWND window, std::chrono::milliseconds timeout = DefaultUiTimeout);

// Polls condition every few milliseconds; whether it came true within the timeout.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = DefaultUiTimeout);
