// The resources of the shipped DLL: the settings dialog in each language (texts,
// controls, and that every text fits its control), the version record, the manifest
// and the icon.
#include "LocalizedResource.h"
#include "ResourceIds.h"

#include "support/ComponentDll.h"
#include "support/ComponentLanguages.h"
#include "support/DialogDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{
// The fixed part of an extended dialog template.
#pragma pack(push, 1)
struct DialogTemplateHeader
{
    WORD version;
    WORD signature;
    DWORD helpId;
    DWORD exStyle;
    DWORD style;
    WORD controlCount;
    short x, y, cx, cy;
};
#pragma pack(pop)

INT_PTR CALLBACK InertDialogProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

struct Control
{
    std::wstring className;
    int id;
    std::wstring text;
    HWND window;
    DWORD style;
    RECT rect; // in the dialog's client coordinates
};

std::vector<Control> Children(HWND dialog)
{
    std::vector<Control> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    {
        wchar_t className[32] = {};
        wchar_t text[256] = {};
        GetClassNameW(child, className, 32);
        GetWindowTextW(child, text, 256);
        RECT rect{};
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
        children.push_back(
            {className, GetDlgCtrlID(child), text, child, static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE)), rect});
    }
    return children;
}

// How much room text takes when drawn with font: its width on one line, and the
// height it takes when wrapped at wrapWidth as a static control wraps it. A character
// the font has no glyph for (a Chinese one, here without a linked font) counts as a
// full-width square on one line.
struct TextExtent
{
    int width;
    int wrappedHeight;
};

TextExtent MeasureText(HWND window, HFONT font, const std::wstring& text, int wrapWidth)
{
    HDC dc = GetDC(window);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    std::vector<WORD> glyphs(text.size());
    GetGlyphIndicesW(dc, text.c_str(), static_cast<int>(text.size()), glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS);
    std::wstring drawn;
    int missing = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (glyphs[i] == 0xFFFF)
        {
            ++missing;
        }
        else
        {
            drawn += text[i];
        }
    }
    SIZE size{};
    GetTextExtentPoint32W(dc, drawn.c_str(), static_cast<int>(drawn.size()), &size);
    TextExtent extent{size.cx + missing * metrics.tmHeight, metrics.tmHeight};
    if (missing == 0)
    {
        RECT wrapped{0, 0, wrapWidth, 0};
        DrawTextW(dc, text.c_str(), -1, &wrapped, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        extent.wrappedHeight = wrapped.bottom;
    }
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return extent;
}

SIZE ClientSize(HWND window)
{
    RECT client{};
    GetClientRect(window, &client);
    return {client.right - client.left, client.bottom - client.top};
}

std::wstring FontFace(HWND window, HFONT font)
{
    HDC dc = GetDC(window);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return face;
}

bool IsStatic(HWND control)
{
    wchar_t className[32] = {};
    GetClassNameW(control, className, 32);
    return std::wstring(className) == L"Static";
}

// Room the control's own drawing takes besides its text, in pixels.
int DecorationWidth(HWND control)
{
    if (IsStatic(control))
    {
        return 0; // static text starts at its left edge
    }
    const LONG style = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    if (style == BS_AUTOCHECKBOX)
    {
        return GetSystemMetrics(SM_CXMENUCHECK) + 6; // the box and the gap after it
    }
    if (style == BS_GROUPBOX)
    {
        return 16; // the frame's corner on both sides of the title
    }
    return 8; // a push button's border and focus frame
}

// Whether the control shows all of its text: on one line for buttons, check boxes and
// group boxes; wrapped within the control's height for static text.
::testing::AssertionResult ShowsAllOfItsText(HWND control, HFONT font, const std::wstring& text)
{
    const SIZE client = ClientSize(control);
    const TextExtent extent = MeasureText(control, font, text, client.cx);
    const int needed = extent.width + DecorationWidth(control);
    if (needed <= client.cx || (IsStatic(control) && extent.wrappedHeight <= client.cy))
    {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << testing::PrintToString(text) << " needs " << needed << " x "
                                         << extent.wrappedHeight << " pixels, has " << client.cx << " x " << client.cy;
}

class SettingsResourcesTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(module, nullptr); }
    void TearDown() override
    {
        SetThreadLocale(0x0409);
        FreeLibrary(module);
    }

    HMODULE module = LoadLibraryW(PathBesideProgram(L"qvnnapcfg64.dll").c_str());
};

// Each control as the resource script places it: class, identifier, style, text, and
// position and size, converted to pixels by the platform for the dialog's font. The
// check box toggles itself when clicked.
TEST_F(SettingsResourcesTest, EveryLanguageHasTheSameControlsWithItsOwnTexts)
{
    constexpr DWORD DefaultButton = 0x50010001, PushButton = 0x50010000, GroupBox = 0x50000007,
                    AutoCheckBox = 0x50010003, Label = 0x50020000, Edit = 0x50810080;
    for (const ComponentLanguage& language : ComponentLanguages)
    {
        SCOPED_TRACE(testing::Message() << "locale 0x" << std::hex << language.locale);
        ASSERT_TRUE(SetThreadLocale(language.locale));
        HRSRC found = FindLocalizedResource(module, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG);
        ASSERT_NE(found, nullptr);
        const auto* header = static_cast<const DialogTemplateHeader*>(LockResource(LoadResource(module, found)));
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(header->signature, 0xFFFF) << "an extended template";
        EXPECT_EQ(header->style, 0x90C800C8u);
        EXPECT_EQ(header->cx, language.width);
        EXPECT_EQ(header->cy, language.height);

        HWND dialog =
            CreateDialogIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(header), nullptr, InertDialogProc, 0);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(WindowText(dialog), language.caption);

        const struct
        {
            const wchar_t* className;
            int id;
            DWORD style;
            std::wstring text;
        } expected[] = {
            {L"Button", IDOK, DefaultButton, L"OK"},
            {L"Button", IDCANCEL, PushButton, language.cancel},
            {L"Button", 0xFFFF, GroupBox, L""},
            {L"Button", IDC_VALIDATION_ENABLED, AutoCheckBox, language.enabled},
            {L"Static", 0xFFFF, Label, language.cacheTime},
            {L"Edit", IDC_CACHE_TIME, Edit, L""},
            {L"Button", 0xFFFF, GroupBox, language.group},
            {L"Static", 0xFFFF, Label, language.address},
            {L"Edit", IDC_SERVER_ADDRESS, Edit, L""},
            {L"Static", 0xFFFF, Label, language.port},
            {L"Edit", IDC_SERVER_PORT, Edit, L""},
        };
        const std::vector<Control> actual = Children(dialog);
        ASSERT_EQ(actual.size(), std::size(expected));
        for (std::size_t i = 0; i < actual.size(); ++i)
        {
            SCOPED_TRACE(testing::Message() << "control " << i);
            EXPECT_EQ(actual[i].className, expected[i].className);
            EXPECT_EQ(actual[i].id & 0xFFFF, expected[i].id);
            EXPECT_EQ(actual[i].text, expected[i].text);
            // The platform may draw an edit's border as a client edge instead.
            EXPECT_EQ(actual[i].style & ~(WS_DISABLED | WS_BORDER), expected[i].style & ~WS_BORDER)
                << std::hex << actual[i].style;
            if ((expected[i].style & WS_BORDER) != 0)
            {
                EXPECT_TRUE((actual[i].style & WS_BORDER) != 0 ||
                            (GetWindowLongW(actual[i].window, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0);
            }
            // Position and size are converted each on its own, as the dialog manager does.
            const DialogUnits& units = language.controls[i];
            RECT place{units.x, units.y, units.cx, units.cy};
            ASSERT_TRUE(MapDialogRect(dialog, &place));
            EXPECT_EQ(actual[i].rect.left, place.left);
            EXPECT_EQ(actual[i].rect.top, place.top);
            EXPECT_EQ(actual[i].rect.right - actual[i].rect.left, place.right) << "width";
            EXPECT_EQ(actual[i].rect.bottom - actual[i].rect.top, place.bottom) << "height";
        }

        const UINT before = IsDlgButtonChecked(dialog, IDC_VALIDATION_ENABLED);
        SendDlgItemMessageW(dialog, IDC_VALIDATION_ENABLED, BM_CLICK, 0, 0);
        EXPECT_NE(IsDlgButtonChecked(dialog, IDC_VALIDATION_ENABLED), before) << "a click toggles the check box";
        DestroyWindow(dialog);
    }
}

// Measured in the dialog's own font: a label longer than its control would be cut off.
TEST_F(SettingsResourcesTest, EveryTextFitsItsControl)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0));
    HFONT captionFont = CreateFontIndirectW(&metrics.lfCaptionFont);

    for (const ComponentLanguage& language : ComponentLanguages)
    {
        SCOPED_TRACE(testing::Message() << "locale 0x" << std::hex << language.locale);
        ASSERT_TRUE(SetThreadLocale(language.locale));
        HRSRC found = FindLocalizedResource(module, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG);
        ASSERT_NE(found, nullptr);
        HWND dialog =
            CreateDialogIndirectParamW(module, static_cast<LPCDLGTEMPLATEW>(LockResource(LoadResource(module, found))),
                                       nullptr, InertDialogProc, 0);
        ASSERT_NE(dialog, nullptr);
        const auto font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
        const std::wstring face = FontFace(dialog, font);
        // The dialog asks for "MS Shell Dlg", which the system maps to Tahoma when it has it.
        if (face != L"Tahoma" && face != L"MS Shell Dlg")
        {
            DestroyWindow(dialog);
            GTEST_SKIP() << "the layout is measured in Tahoma, the dialog font; this prefix draws it in "
                         << testing::PrintToString(face)
                         << " (Tahoma comes with package fonts-wine, linked into new prefixes by scripts/wine-run)";
        }

        for (const Control& control : Children(dialog))
        {
            if (!control.text.empty())
            {
                EXPECT_TRUE(ShowsAllOfItsText(control.window, font, control.text));
            }
        }

        // The caption shares its bar with the close button.
        RECT window{};
        GetWindowRect(dialog, &window);
        const int room =
            (window.right - window.left) - 2 * GetSystemMetrics(SM_CXDLGFRAME) - GetSystemMetrics(SM_CXSIZE) - 8;
        EXPECT_LE(MeasureText(dialog, captionFont, language.caption, room).width, room) << "caption";
        DestroyWindow(dialog);
    }
    DeleteObject(captionFont);
}

TEST_F(SettingsResourcesTest, VersionRecordNamesTheProductAndItsVersion)
{
    const std::wstring path = PathBesideProgram(L"qvnnapcfg64.dll");
    DWORD ignored = 0;
    std::vector<BYTE> record(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(record.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(record.size()), record.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00060000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00042BC0u); // 4.11200
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    for (const auto& [name, value] :
         {std::pair{L"CompanyName", L"Quorvane"}, std::pair{L"FileVersion", L"6.0.4.11200"},
          std::pair{L"ProductVersion", L"6.0.4.11200"}, std::pair{L"OriginalFilename", L"qvnnapcfg64.dll"}})
    {
        wchar_t* text = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\000004b0\\") + name;
        ASSERT_TRUE(VerQueryValueW(record.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
            << query.size();
        EXPECT_EQ(std::wstring(text), value);
    }
}

TEST_F(SettingsResourcesTest, ManifestAsksForCommonControlsAndAdministratorRights)
{
    HRSRC found = FindResourceExW(module, RT_MANIFEST, MAKEINTRESOURCEW(1), 0);
    ASSERT_NE(found, nullptr) << "a language-neutral manifest 1";
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    const std::string manifest(bytes, SizeofResource(module, found));
    for (const char* part :
         {"name=\"Quorvane.HalcyonSuite\" version=\"6.00.4.11200\" processorArchitecture=\"amd64\" type=\"win32\"",
          "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", "publicKeyToken=\"6595b64144ccf1df\"",
          "level=\"requireAdministrator\" uiAccess=\"true\"", "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
          "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"})
    {
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    }
}

TEST_F(SettingsResourcesTest, IconGroupLoads)
{
    ASSERT_NE(FindResourceExW(module, RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_APPLICATION_ICON), 0), nullptr);
    for (int size : {16, 32, 48})
    {
        HANDLE icon = LoadImageW(module, MAKEINTRESOURCEW(IDI_APPLICATION_ICON), IMAGE_ICON, size, size, 0);
        EXPECT_NE(icon, nullptr) << size;
        DestroyIcon(static_cast<HICON>(icon));
    }
}
} // namespace
