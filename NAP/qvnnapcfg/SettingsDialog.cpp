#include "SettingsDialog.h"

#include "LocalizedResource.h"
#include "ResourceIds.h"
#include "SHVConfigModule.h"
#include "SHVSettings.h"
#include "TraceLog.h"

#include "runtime/win-utils.h"

#include <cstdint>
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

// Writes the accepted values. The record's lock is held across the whole chain, so a
// SetConfig on another thread lands before or after it, never in between.
void SaveTypedSettings(const TypedSettings& typed)
{
    SHVSettings& settings = SHVSettings::Instance();
    System::Threading::ScopedLock guard(&settings);
    settings.SetServerName(typed.address)
        .SetServerPort(static_cast<std::uint16_t>(typed.port))
        .SetCacheTime(typed.cacheTime)
        .SetValidationEnabled(typed.enabled)
        .Save();
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
    SaveTypedSettings(typed);
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
// component has no template for that language does the platform choose. The result
// does not matter: an accepted OK has already saved, and a dialog that cannot be created
// leaves nothing to do.
void RunSettingsDialog(HWND parent) noexcept
{
    HMODULE module = g_moduleInstance.load();
    HRSRC found = FindLocalizedResource(module, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG);
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const auto* localized = loaded != nullptr ? static_cast<LPCDLGTEMPLATEW>(LockResource(loaded)) : nullptr;
    if (localized != nullptr)
    {
        DialogBoxIndirectParamW(module, localized, parent, SettingsDialogProc, 0);
    }
    else
    {
        DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_SETTINGS), parent, SettingsDialogProc, 0);
    }
}
} // namespace

HRESULT InvokeSettingsDialog(HWND parent) noexcept
{
    WriteTrace(L"[SHVValidator::InvokeUI] Begins (hwndParent = 0x%08X)",
               static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(parent) & 0xFFFFFFFFu));
    {
        const FindResourceHookScope hook;
        RunSettingsDialog(parent);
        WriteTrace(L"[SHVValidator::InvokeUI] Ends");
    }
    return S_OK;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) noexcept
{
    // The procedure is called from the system's dialog code, which an exception must
    // never cross.
    try
    {
        switch (message)
        {
        case WM_INITDIALOG:
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
