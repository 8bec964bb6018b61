// The seven languages of the component's settings dialog and error message, as its
// resources hold them: the texts, the language each locale finds, and the layout in
// dialog units. One table for every test that reads or shows them.
#pragma once

#include <windows.h>

#include <array>
#include <string>

// A rectangle in dialog units, as the resource script gives it.
struct DialogUnits
{
    short x, y, cx, cy;
};

// The template's controls in its order: OK, Cancel, the outer group box, the check box,
// the cache-time label and edit, the server group box, the address label and edit, the
// port label and edit.
using SettingsLayout = std::array<DialogUnits, 11>;

struct ComponentLanguage
{
    LCID locale;
    LANGID stored; // the language of the entry that the locale finds
    const wchar_t* caption;
    const wchar_t* enabled; // the check box
    const wchar_t* cacheTime;
    const wchar_t* group;
    const wchar_t* address;
    const wchar_t* port;
    const wchar_t* cancel;
    const wchar_t* incorrectValue; // string 305, the message that refuses a typed value
    short width, height;           // the template's size
    SettingsLayout controls;
};

// One language to a few lines, its layout on the last.
// clang-format off
inline constexpr SettingsLayout EnglishLayout = {{
    {91, 87, 50, 14}, {157, 87, 50, 14}, {7, 7, 205, 74}, {14, 7, 130, 10}, {15, 56, 139, 16}, {158, 57, 40, 14},
    {14, 22, 192, 31}, {18, 33, 30, 8}, {53, 33, 72, 14}, {135, 34, 14, 8}, {158, 33, 40, 14}}};

inline constexpr ComponentLanguage ComponentLanguages[] = {
    {0x0409, 0x0009, L"Quorvane Network Access Protection Settings", L"System Health Validator enabled",
     L"Virus database information cache time, sec.", L"Quorvane Update Server", L"Address", L"Port", L"Cancel",
     L"Incorrect value specified", 218, 106, EnglishLayout},
    {0x0407, 0x0007, L"Quorvane Schutzeinstellungen des Netzwerkzugriffs",
     L"Agent der Systemfunktionsfähigkeit (SHV) ist aktiviert",
     L"Zeitraum der Informationsaktualität der Virendatenbanken, Sek.", L"Quorvane Aktualisierungsserver", L"Adresse",
     L"Port", L"Abbrechen", L"Ungültiger Wert eingegeben", 284, 110, {{
     {157, 91, 50, 14}, {223, 91, 50, 14}, {7, 7, 270, 78}, {14, 7, 205, 10}, {15, 60, 205, 16}, {224, 61, 40, 14},
     {14, 22, 256, 31}, {18, 34, 30, 8}, {53, 33, 110, 14}, {170, 34, 20, 8}, {224, 33, 40, 14}}}},
    {0x040C, 0x000C, L"Configuration de la protection de l'accès réseau Quorvane",
     L"Validation d'intégrité système (SHV) est activée",
     L"Durée d'actualité de l'information sur les bases virales, sec.", L"Serveur de mises à jour Quorvane", L"Adresse",
     L"Port", L"Annuler", L"Une valeur non valide à été spécifiée", 275, 106, {{
     {148, 87, 50, 14}, {214, 87, 50, 14}, {7, 7, 261, 74}, {14, 7, 190, 10}, {15, 56, 196, 16}, {215, 57, 40, 14},
     {14, 22, 247, 31}, {18, 34, 30, 8}, {53, 33, 100, 14}, {162, 34, 20, 8}, {215, 33, 40, 14}}}},
    // Italian: the English texts and layout.
    {0x0410, 0x0010, L"Quorvane Network Access Protection Settings", L"System Health Validator enabled",
     L"Virus database information cache time, sec.", L"Quorvane Update Server", L"Address", L"Port", L"Cancel",
     L"Incorrect value specified", 218, 106, EnglishLayout},
    {0x0415, 0x0015, L"Ustawienia ochrony dostępu sieciowego Quorvane", L"System Health Validator włączony",
     L"Informacje czasowe antywirusowych baz danych, sek.", L"Serwer Aktualizacyjny Quorvane", L"Adresy", L"Port",
     L"Anuluj", L"Podana wartość nie jest prawidłowa", 253, 107, {{
     {126, 88, 50, 14}, {192, 88, 50, 14}, {7, 7, 239, 75}, {14, 7, 140, 10}, {15, 57, 174, 16}, {193, 58, 40, 14},
     {14, 22, 225, 31}, {18, 34, 28, 8}, {53, 33, 90, 14}, {150, 34, 20, 8}, {193, 33, 40, 14}}}},
    {0x0419, 0x0019, L"Настройки защиты сетевого доступа Quorvane",
     L"Средство оценки работоспособности системы (SHV) включено", L"Период актуальности информации о вирусных базах, сек.",
     L"Сервер обновлений Quorvane", L"Адрес", L"Порт", L"Отмена", L"Указано некорректное значение", 283, 106, {{
     {156, 87, 50, 14}, {222, 87, 50, 14}, {7, 7, 269, 74}, {14, 7, 240, 10}, {15, 56, 204, 16}, {223, 57, 40, 14},
     {14, 22, 255, 31}, {18, 34, 28, 8}, {53, 33, 110, 14}, {172, 34, 20, 8}, {223, 33, 40, 14}}}},
    // Chinese (PRC) is stored under its exact language, the others under their primary one.
    {0x0804, 0x0804, L"Quorvane 网络访问保护设置", L"启用系统健康验证器", L"病毒数据库信息缓存时间，秒.",
     L"Quorvane更新服务器", L"地址", L"端口", L"取消", L"指定的值无效", 294, 113, {{
     {167, 94, 50, 14}, {233, 94, 50, 14}, {7, 7, 280, 81}, {14, 7, 100, 10}, {15, 66, 150, 8}, {234, 64, 40, 14},
     {14, 22, 266, 31}, {18, 34, 25, 8}, {53, 33, 120, 14}, {180, 34, 25, 8}, {234, 33, 40, 14}}}},
};
// clang-format on

// The entry of a locale of the table.
inline const ComponentLanguage& ComponentLanguageOf(LCID locale)
{
    for (const ComponentLanguage& language : ComponentLanguages)
    {
        if (language.locale == locale)
        {
            return language;
        }
    }
    return ComponentLanguages[0]; // never reached for the locales the tests name
}

// text in UTF-8.
inline std::string Utf8(const std::wstring& text)
{
    std::string result(text.size() * 4, '\0');
    result.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), result.data(),
                                      static_cast<int>(result.size()), nullptr, nullptr));
    return result;
}

// text in this system's ANSI code page, with its replacement characters where the code
// page lacks a character.
inline std::string InAnsiCodePage(const std::wstring& text)
{
    std::string result(text.size() * 4, '\0');
    result.resize(WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), result.data(),
                                      static_cast<int>(result.size()), nullptr, nullptr));
    return result;
}

// What a text shown through the ANSI functions (MessageBoxA) reads as: text taken to the
// ANSI code page and back.
inline std::wstring ThroughAnsiCodePage(const std::wstring& text)
{
    const std::string ansi = InAnsiCodePage(text);
    std::wstring result(ansi.size() + 1, L'\0');
    result.resize(MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), static_cast<int>(ansi.size()), result.data(),
                                      static_cast<int>(result.size())));
    return result;
}
