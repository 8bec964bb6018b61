// Shows the settings dialog in each language, and its error message box, one window at
// a time for scripts/screenshots.sh to capture. Not a test.
//
// For every window it prints "SHOW <name> <left> <top> <right> <bottom>" (the window's
// screen rectangle) on standard output and waits for a line on standard input before it
// moves on; "DONE" ends the run. The dialog is the component's own template, chosen by
// FindLocalizedResource for the thread locale, run by the component's dialog procedure
// with settings from a scratch registry key.
#include "LocalizedResource.h"
#include "ResourceIds.h"
#include "SHVConfigModule.h"
#include "SettingsDialog.h"

#include "support/ComponentDll.h"
#include "support/DialogDriver.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace
{
struct Shot
{
    const char* name;
    LCID locale;
};

const Shot Shots[] = {
    {"dialog-en", 0x0409}, {"dialog-de", 0x0407}, {"dialog-fr", 0x040C}, {"dialog-it", 0x0410},
    {"dialog-pl", 0x0415}, {"dialog-ru", 0x0419}, {"dialog-zh", 0x0804},
};

void Show(const char* name, HWND window)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    std::printf("SHOW %s %ld %ld %ld %ld\n", name, rect.left, rect.top, rect.right, rect.bottom);
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
}

void WriteSetting(HKEY key, const wchar_t* name, DWORD value)
{
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// Example settings under a scratch key that stands in for HKEY_LOCAL_MACHINE.
HKEY RedirectSettings()
{
    const wchar_t* scratchPath = L"Software\\QvnScreenshots";
    RegDeleteTreeW(HKEY_CURRENT_USER, scratchPath);
    HKEY scratch = nullptr;
    RegCreateKeyW(HKEY_CURRENT_USER, scratchPath, &scratch);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch);
    HKEY settings = nullptr;
    RegCreateKeyW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane\\ZARUZARA\\Settings", &settings);
    const wchar_t server[] = L"nap.example.com";
    RegSetValueExW(settings, L"ServerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(server), sizeof(server));
    WriteSetting(settings, L"ServerPort", 2193);
    WriteSetting(settings, L"CacheTime", 180);
    WriteSetting(settings, L"ValidationEnabled", 1);
    RegCloseKey(settings);
    return scratch;
}

// Runs the dialog of the thread locale's language until it is closed.
void RunDialog(HMODULE module, LCID locale)
{
    SetThreadLocale(locale);
    HRSRC found = FindLocalizedResource(module, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG);
    const void* dialogTemplate = found != nullptr ? LockResource(LoadResource(module, found)) : nullptr;
    if (dialogTemplate == nullptr)
    {
        std::fprintf(stderr, "no dialog for locale 0x%04lx\n", locale);
        return;
    }
    DialogBoxIndirectParamW(module, static_cast<LPCDLGTEMPLATEW>(dialogTemplate), nullptr, SettingsDialogProc, 0);
}
} // namespace

int main()
{
    HMODULE module = LoadLibraryW(PathBesideProgram(L"qvnnapcfg64.dll").c_str());
    if (module == nullptr)
    {
        std::fprintf(stderr, "cannot load qvnnapcfg64.dll\n");
        return 1;
    }
    // The dialog procedure loads its message text from the module it runs for.
    g_moduleInstance.store(module);
    HKEY scratch = RedirectSettings();

    for (const Shot& shot : Shots)
    {
        UiThread ui([&] { RunDialog(module, shot.locale); });
        HWND dialog = WaitForDialog(ui.Id());
        if (dialog == nullptr)
        {
            std::fprintf(stderr, "%s: the dialog did not appear\n", shot.name);
            return 1;
        }
        Show(shot.name, dialog);

        if (shot.locale == 0x0409)
        {
            SetControlText(dialog, IDC_SERVER_PORT, L"70000");
            PressButton(dialog, IDOK);
            if (HWND box = WaitForDialog(ui.Id(), {dialog}))
            {
                Show("message-box", box);
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                WaitWindowGone(box);
            }
        }
        PressButton(dialog, IDCANCEL);
        ui.WaitFinished();
    }

    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(scratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QvnScreenshots");
    std::printf("DONE\n");
    return 0;
}
