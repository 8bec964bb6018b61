#include "SettingsDialog.h"

#include "LocalizedResource.h"
#include "ResourceIds.h"
#include "SHVConfigModule.h"
#include "SHVSettings.h"
#include "TraceLog.h"
#include "Win32Result.h"

#include "runtime/win-utils.h"

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <string>

namespace
{
// The edits that only mean something while validation is enabled, zero-terminated.
constexpr int DependentControls[] = {IDC_SERVER_ADDRESS, IDC_SERVER_PORT, IDC_CACHE_TIME, 0};

constexpr int AddressBufferLength = 1024; // at most 1023 characters are taken
constexpr UINT HighestPort = 65535;

// What the administrator typed, as the dialog reads it on OK.
struct TypedSettings
{
    bool enabled = false;
    std::wstring address;
    UINT port = 0;
    UINT cacheTime = 0;
};

// An unsigned number typed into a control; 0 when the text is not one.
UINT ReadNumber(HWND dialog, int control, bool& isNumber)
{
    BOOL translated = FALSE;
    const UINT value = GetDlgItemInt(dialog, control, &translated, FALSE);
    isNumber = translated != FALSE;
    return isNumber ? value : 0;
}

// Reads the controls in the order they are checked and returns the first one whose
// text is refused, or 0 when everything is accepted. Nothing is refused while the
// check box is clear.
int ReadTypedSettings(HWND dialog, TypedSettings& typed)
{
    typed.enabled = IsDlgButtonChecked(dialog, IDC_VALIDATION_ENABLED) == BST_CHECKED;

    wchar_t address[AddressBufferLength] = {};
    GetDlgItemTextW(dialog, IDC_SERVER_ADDRESS, address, AddressBufferLength);
    typed.address = address;
    if (typed.enabled && typed.address.empty())
    {
        return IDC_SERVER_ADDRESS;
    }

    bool isNumber = false;
    typed.port = ReadNumber(dialog, IDC_SERVER_PORT, isNumber);
    if (typed.enabled && (!isNumber || typed.port == 0 || typed.port > HighestPort))
    {
        return IDC_SERVER_PORT;
    }

    typed.cacheTime = ReadNumber(dialog, IDC_CACHE_TIME, isNumber);
    if (typed.enabled && !isNumber)
    {
        return IDC_CACHE_TIME;
    }
    return 0;
}

void FillControls(HWND dialog)
{
    SHVSettings& settings = SHVSettings::Instance();
    {
        System::Threading::ScopedLock guard(&settings);
        settings.Load();
    }
    SetDlgItemTextW(dialog, IDC_SERVER_ADDRESS, settings.GetServerName().c_str());
    SetDlgItemInt(dialog, IDC_SERVER_PORT, settings.GetServerPort(), FALSE);
    SetDlgItemInt(dialog, IDC_CACHE_TIME, settings.GetCacheTime(), FALSE);
    CheckDlgButton(dialog, IDC_VALIDATION_ENABLED, settings.GetValidationEnabled() != 0 ? BST_CHECKED : BST_UNCHECKED);
}

// The message that rejects a typed value. No owner and no caption: the system's
// default title. The text is the ANSI form of string 305 in the thread's language.
void ShowIncorrectValueMessage()
{
    std::string text;
    LoadLocalizedString(text, IDS_INCORRECT_VALUE, g_moduleInstance.load(), std::string());
    MessageBoxA(nullptr, text.c_str(), nullptr, MB_OK | MB_ICONEXCLAMATION);
}

// The message that says the settings were not saved: the platform's own text for the
// error, in the thread's language as far as the system has it, over the dialog.
void ShowSaveFailedMessage(HWND dialog, HRESULT failure)
{
    const DWORD messageId =
        HRESULT_FACILITY(failure) == FACILITY_WIN32 ? HRESULT_CODE(failure) : static_cast<DWORD>(failure);
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, messageId, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length != 0 ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && std::iswspace(text.back()))
    {
        text.pop_back();
    }
    if (text.empty())
    {
        wchar_t code[16];
        std::swprintf(code, std::size(code), L"0x%08X", static_cast<unsigned>(failure)); // NOLINT(cert-err33-c): fits
        text = code;
    }
    MessageBoxW(dialog, text.c_str(), nullptr, MB_OK | MB_ICONERROR);
}

INT_PTR OnOk(HWND dialog)
{
    TypedSettings typed;
    const int refused = ReadTypedSettings(dialog, typed);
    if (refused != 0)
    {
        ShowIncorrectValueMessage();
        // WM_NEXTDLGCTL rather than SetFocus, so the dialog keeps its default button
        // and its own idea of the focus in step.
        SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, refused)), TRUE);
        return FALSE;
    }
    // One store: all of the values reach the registry, or none.
    const HRESULT saved = SHVSettings::Instance().SetEditable(typed.address, static_cast<std::uint16_t>(typed.port),
                                                              typed.cacheTime, typed.enabled);
    if (FAILED(saved))
    {
        // Nothing new may look saved: the dialog stays open with everything as typed, so
        // that the administrator can try again or cancel.
        ShowSaveFailedMessage(dialog, saved);
        return FALSE;
    }
    EndDialog(dialog, IDCANCEL); // the caller does not look at the result
    return TRUE;
}

INT_PTR OnCommand(HWND dialog, WORD control, WORD notification)
{
    switch (control)
    {
    case IDOK:
        return OnOk(dialog);
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    case IDC_VALIDATION_ENABLED:
        if (notification == BN_CLICKED)
        {
            UpdateControlStates(dialog);
        }
        return FALSE;
    default:
        return FALSE;
    }
}

// While a settings dialog is open, the calls the process's main executable makes to
// kernel32's FindResourceW through its import table reach FindLocalizedResource, so that
// the host's own lookups follow the thread's language as the dialog's do. Dialogs may be
// open on several threads at once, and each hook restores the entry it found, so one
// hook serves them all: the first dialog to open installs it and the last to close
// removes it. Were each dialog to hook for itself, closing them out of order would leave
// the entry pointing into this module after it is gone. The hook is installed and
// removed under the lock, so a dialog opening while the last one closes never finds a
// hook half gone; meanwhile the hook takes only the logger's lock, which never waits
// for this one.
SRWLOCK g_findResourceHookLock = SRWLOCK_INIT;
ApiHook* g_findResourceHook = nullptr; // guarded by g_findResourceHookLock
unsigned g_openDialogs = 0;            // guarded by g_findResourceHookLock

class FindResourceHookScope
{
public:
    FindResourceHookScope() noexcept
    {
        AcquireSRWLockExclusive(&g_findResourceHookLock);
        if (g_openDialogs++ == 0)
        {
            // A hook that cannot be installed is logged by the hook itself (in logging
            // mode it never throws for that); one that fails otherwise, out of memory,
            // costs the hook, never the dialog.
            try
            {
                g_findResourceHook =
                    new ApiHook(FindLocalizedResource, "kernel32.dll", "FindResourceW", nullptr, api_hook_log);
            }
            catch (...)
            {
                g_findResourceHook = nullptr;
            }
        }
        ReleaseSRWLockExclusive(&g_findResourceHookLock);
    }
    ~FindResourceHookScope()
    {
        AcquireSRWLockExclusive(&g_findResourceHookLock);
        if (--g_openDialogs == 0)
        {
            delete g_findResourceHook;
            g_findResourceHook = nullptr;
        }
        ReleaseSRWLockExclusive(&g_findResourceHookLock);
    }
    FindResourceHookScope(const FindResourceHookScope&) = delete;
    FindResourceHookScope& operator=(const FindResourceHookScope&) = delete;
};

// Runs dialog 300 modally. The template is chosen by the calling thread's locale, as the
// component chooses every resource: the platform's own dialog functions look it up inside
// user32, which neither the hook nor the thread locale reliably reaches. Only when the
// component has no template for that language does the platform choose. S_OK once the
// dialog has ended, whatever its result (an accepted OK has already saved); the HRESULT
// of the last error (E_FAIL without one) when it could not be created at all.
HRESULT RunSettingsDialog(HWND parent) noexcept
{
    HMODULE module = g_moduleInstance.load();
    HRSRC found = FindLocalizedResource(module, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG);
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const auto* localized = loaded != nullptr ? static_cast<LPCDLGTEMPLATEW>(LockResource(loaded)) : nullptr;
    // The procedure sets it on WM_INITDIALOG. The result alone does not tell: a dialog
    // that cannot be created gives -1, but 0 for an owner that is no window, as does a
    // dialog that a WM_QUIT ended.
    bool created = false;
    const LPARAM initParam = reinterpret_cast<LPARAM>(&created);
    SetLastError(ERROR_SUCCESS);
    if (localized != nullptr)
    {
        DialogBoxIndirectParamW(module, localized, parent, SettingsDialogProc, initParam);
    }
    else
    {
        DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_SETTINGS), parent, SettingsDialogProc, initParam);
    }
    if (!created)
    {
        return HResultFromLastError();
    }
    return S_OK;
}
} // namespace

HRESULT InvokeSettingsDialog(HWND parent) noexcept
{
    WriteTrace(L"[SHVValidator::InvokeUI] Begins (hwndParent = 0x%08X)",
               static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(parent) & 0xFFFFFFFFu));
    HRESULT hr = S_OK;
    {
        const FindResourceHookScope hook;
        hr = RunSettingsDialog(parent);
        WriteTrace(L"[SHVValidator::InvokeUI] Ends");
    }
    return hr;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    // The procedure is called from the system's dialog code, which an exception must
    // never cross.
    try
    {
        switch (message)
        {
        case WM_INITDIALOG:
            if (lParam != 0)
            {
                *reinterpret_cast<bool*>(lParam) = true;
            }
            FillControls(dialog);
            UpdateControlStates(dialog);
            return TRUE;
        case WM_COMMAND:
            return OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
        default:
            return FALSE;
        }
    }
    catch (...)
    {
        return FALSE;
    }
}

void UpdateControlStates(HWND dialog) noexcept
{
    const BOOL enabled = IsDlgButtonChecked(dialog, IDC_VALIDATION_ENABLED) == BST_CHECKED;
    for (const int* control = DependentControls; *control != 0; ++control)
    {
        EnableWindow(GetDlgItem(dialog, *control), enabled);
    }
}
