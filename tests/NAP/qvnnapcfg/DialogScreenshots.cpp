// Shows the settings dialog in each language, and its error message box, one window at
// a time for scripts/screenshots.sh to capture. Not a test.
//
// For every window it prints "SHOW <name> <left> <top> <right> <bottom>" (the window's
// screen rectangle) on standard output and waits for a line on standard input before it
// moves on; "DONE" ends the run. Each dialog is what InvokeUI shows a thread of that
// locale, as a host would call it, with settings from a scratch registry key.
#include "ResourceIds.h"

#include "support/ComponentDll.h"
#include "support/DialogDriver.h"

#include <napcommon.h>

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

// {0C5C9CEC-1FF7-42E3-AC8F-4D9BAE296C5D}
constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};

// A configuration object of the loaded DLL, taken from its class factory; null when
// there is none.
INapComponentConfig* CreateConfig(HMODULE module)
{
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto getClassObject =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (getClassObject == nullptr ||
        FAILED(getClassObject(ClsidSHVConfig, __uuidof(IClassFactory), reinterpret_cast<void**>(&factory))))
    {
        return nullptr;
    }
    INapComponentConfig* config = nullptr;
    factory->CreateInstance(nullptr, __uuidof(INapComponentConfig), reinterpret_cast<void**>(&config));
    factory->Release();
    return config;
}
} // namespace

int main()
{
    HMODULE module = LoadLibraryW(PathBesideProgram(L"qvnnapcfg64.dll").c_str());
    INapComponentConfig* config = module != nullptr ? CreateConfig(module) : nullptr;
    if (config == nullptr)
    {
        std::fprintf(stderr, "cannot load qvnnapcfg64.dll or create its class\n");
        return 1;
    }
    HKEY scratch = RedirectSettings();

    for (const Shot& shot : Shots)
    {
        UiThread ui([&] {
            SetThreadLocale(shot.locale);
            config->InvokeUI(nullptr);
        });
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

    config->Release();
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(scratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QvnScreenshots");
    std::printf("DONE\n");
    return 0;
}
