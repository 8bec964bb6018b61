// Error text, formatting with its 1 MB limit, code-page conversion and decimal text.
#include "runtime/exceptions.h"
#include "runtime/late_bound.h"
#include "runtime/logger.h"
#include "runtime/syncers.h"
#include "runtime/types.h"
#include "runtime/utilities.h"
#include "runtime/win-utils.h"
#include "support/RaisedException.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
const std::string too_long = "Try to allocate more then 1Mb for text buffer, discard long message \"";

// The system's own message for code as win_strerror obtains it: in English, else in the
// default language.
std::string system_message(DWORD code)
{
    char* message = nullptr;
    DWORD length = FormatMessageA(0x1300, nullptr, code, 1033, reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length == 0)
    {
        length = FormatMessageA(0x1300, nullptr, code, 0, reinterpret_cast<LPSTR>(&message), 0, nullptr);
    }
    std::string text(length != 0 ? message : "", length);
    LocalFree(message);
    return text;
}

// That message as win_strerror shows it: without its line end and a last period, with
// the code.
std::string shown(DWORD code)
{
    std::string text = system_message(code);
    text.erase(text.find_last_not_of("\r\n") + 1);
    text.erase(text.size() > 1 && text.back() == '.' ? text.size() - 1 : text.size());
    return text + " (code=" + std::to_string(code) + ").";
}

std::string formatted(const char* format, ...) RUNTIME_PRINTF(1, 2);
std::string formatted(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = string_vprintf(format, args);
    va_end(args);
    return text;
}

TEST(GetLastErrorTest, ThreeFormsLeaveErrnoAndLastErrorAlone)
{
    errno = 0;
    SetLastError(0);
    EXPECT_EQ(get_last_error(), "No errors detected");

    errno = ENOENT;
    SetLastError(0);
    std::string text = get_last_error();
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(text, "Runtime error is " + std::string(std::strerror(ENOENT)) + " (errno=2)");

    errno = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    text = get_last_error();
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(text, shown(ERROR_ACCESS_DENIED));

    errno = EINVAL;
    SetLastError(ERROR_FILE_NOT_FOUND);
    text = get_last_error();
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(text, shown(ERROR_FILE_NOT_FOUND) + " and runtime error is " + std::strerror(EINVAL) + " (errno=22)");

    // A code without system message: the last error it leaves behind is put back too.
    errno = 0;
    SetLastError(0xFFFF);
    text = get_last_error();
    EXPECT_EQ(GetLastError(), 0xFFFFu);
    EXPECT_EQ(text.rfind("Error 65535 {0,", 0), 0u) << text;
}

TEST(WinStrerrorTest, SystemMessageLosesLineEndAndPeriod)
{
    char buffer[512];
    EXPECT_EQ(win_strerror(buffer, sizeof buffer, ERROR_FILE_NOT_FOUND), shown(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(win_strerror(buffer, sizeof buffer, ERROR_INVALID_PARAMETER), buffer);
    EXPECT_EQ(buffer, shown(ERROR_INVALID_PARAMETER));
}

// FormatMessageA as this program's import table reaches it (the runtime library is
// linked in), answering for English as a system without English texts does.
using format_message_t = DWORD(WINAPI*)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*);
format_message_t g_system_format_message = nullptr;
DWORD g_english_error = 0;
std::vector<DWORD> g_languages_asked;

DWORD WINAPI FormatMessageWithoutEnglish(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPSTR buffer,
                                         DWORD size, va_list* args)
{
    g_languages_asked.push_back(language);
    if (language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))
    {
        SetLastError(g_english_error);
        return 0;
    }
    return g_system_format_message(flags, source, code, language, buffer, size, args);
}

TEST(WinStrerrorTest, WithoutAnEnglishTextTheDefaultLanguageIsAskedOnlyThen)
{
    g_system_format_message = reinterpret_cast<format_message_t>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "FormatMessageA")));
    ASSERT_NE(g_system_format_message, nullptr);
    // The text the system gives in the default language, as win_strerror shows it.
    char* message = nullptr;
    const DWORD length = g_system_format_message(0x1300, nullptr, ERROR_FILE_NOT_FOUND, 0,
                                                 reinterpret_cast<LPSTR>(&message), 0, nullptr);
    ASSERT_GT(length, 0u);
    char expected[512];
    compose_error_text(expected, sizeof expected, ERROR_FILE_NOT_FOUND, message, length, 0);
    LocalFree(message);

    ApiHook hook(FormatMessageWithoutEnglish, "kernel32.dll", "FormatMessageA", nullptr, api_hook_throw);
    char buffer[512];
    g_languages_asked.clear();
    g_english_error = ERROR_RESOURCE_LANG_NOT_FOUND;
    EXPECT_STREQ(win_strerror(buffer, sizeof buffer, ERROR_FILE_NOT_FOUND), expected);
    EXPECT_EQ(g_languages_asked, (std::vector<DWORD>{0x0409, 0}));

    g_languages_asked.clear();
    g_english_error = ERROR_MR_MID_NOT_FOUND;
    EXPECT_EQ(std::string(win_strerror(buffer, sizeof buffer, ERROR_FILE_NOT_FOUND)),
              "Error 2 {0," + std::to_string(ERROR_MR_MID_NOT_FOUND) + "}");
    EXPECT_EQ(g_languages_asked, std::vector<DWORD>{0x0409}) << "other failures are not retried";
}

TEST(WinStrerrorTest, ShortBufferGivesTheErrorForm)
{
    const auto length = static_cast<DWORD>(system_message(ERROR_FILE_NOT_FOUND).size());
    ASSERT_GT(length, 2u);
    char buffer[512];
    const auto fits = static_cast<std::int32_t>(length + 32);
    EXPECT_EQ(win_strerror(buffer, fits, ERROR_FILE_NOT_FOUND), shown(ERROR_FILE_NOT_FOUND));

    SetLastError(0);
    win_strerror(buffer, fits - 1, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::string(buffer), "Error 2 {" + std::to_string(length) + ",0}");

    win_strerror(buffer, 8, ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(buffer, "Error 2") << "cut to the buffer";

    win_strerror(buffer, sizeof buffer, 0xFFFF);
    EXPECT_EQ(std::string(buffer), "Error 65535 {0," + std::to_string(ERROR_MR_MID_NOT_FOUND) + "}");

    buffer[0] = 'x';
    EXPECT_EQ(win_strerror(buffer, 0, 2), buffer);
    EXPECT_EQ(win_strerror(buffer, -5, 2), buffer);
    EXPECT_EQ(buffer[0], 'x') << "nothing written without room";
    EXPECT_EQ(win_strerror(nullptr, 100, 2), nullptr);
}

TEST(WinStrerrorTest, OnlyALastPeriodGoesAndOnlyWhenTextRemains)
{
    // Messages the system may produce, though Wine has none of these shapes.
    char buffer[128];
    EXPECT_STREQ(compose_error_text(buffer, sizeof buffer, 112, "Disk full\r\n", 11, 0), "Disk full (code=112).");
    EXPECT_STREQ(compose_error_text(buffer, sizeof buffer, 1, ".\r\n", 3, 0), ". (code=1).");
    EXPECT_STREQ(compose_error_text(buffer, sizeof buffer, 1, "Done..\r\n", 8, 0), "Done. (code=1).");
    EXPECT_STREQ(compose_error_text(buffer, sizeof buffer, 1, "No line end.", 12, 0), "No line end (code=1).");
    EXPECT_STREQ(compose_error_text(buffer, sizeof buffer, 7, nullptr, 0, 1815), "Error 7 {0,1815}");
}

TEST(StringPrintfTest, ResultsUpToOneMegabyteComeOutWhole)
{
    for (const std::size_t length : {std::size_t{0}, std::size_t{1023}, std::size_t{1024}, std::size_t{1025},
                                     std::size_t{4097}, std::size_t{1048576}})
    {
        const std::string text(length, 'a');
        std::string target = "old";
        string_printf(target, "%s", text.c_str());
        EXPECT_EQ(target.size(), length);
        EXPECT_EQ(target, text);
    }
    EXPECT_EQ(formatted("%d-%s-%u", -7, "x", 4000000000u), "-7-x-4000000000");
}

TEST(StringPrintfTest, LongerResultsGiveTheOneMegabyteText)
{
    const std::string text(1048577, 'a');
    std::string target;
    string_printf(target, "<%s>", text.c_str());
    EXPECT_EQ(too_long.size(), 69u);
    EXPECT_EQ(target, too_long + "<%s>\"");

    // A format that is itself too long is cut to 1 MB in the text.
    const std::string long_format(1048580, 'f');
    string_printf(target, long_format.c_str(), 0);
    EXPECT_EQ(target, too_long + std::string(1048576, 'f') + "\"");
}

TEST(StringPrintfTest, FormatTheFormatterRejectsGivesTheOneMegabyteText)
{
    // The C runtime cannot convert the euro sign to its "C" locale and rejects the format.
    std::string target;
    string_printf(target, "price: %ls", L"12 \u20ac");
    EXPECT_EQ(target, too_long + "price: %ls\"");
}

int throwing_std_formatter(char*, std::size_t, const char*, va_list)
{
    throw std::runtime_error("no room");
}

int throwing_int_formatter(char*, std::size_t, const char*, va_list)
{
    throw 7;
}

TEST(StringPrintfTest, StandardExceptionsBecomeTextOthersPassThrough)
{
    std::string target = "before";
    set_string_formatter_for_testing(throwing_std_formatter);
    string_printf(target, "%d", 1);
    EXPECT_EQ(target, "vsnprintf failed because of no room");

    set_string_formatter_for_testing(throwing_int_formatter);
    EXPECT_THROW(string_printf(target, "%d", 1), int);
    set_string_formatter_for_testing(nullptr);
    string_printf(target, "%d", 1);
    EXPECT_EQ(target, "1");
}

BOOL WINAPI refusing_initializer(LPCRITICAL_SECTION, DWORD)
{
    return FALSE;
}
HANDLE WINAPI refusing_mutex_creator(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR)
{
    return nullptr;
}
HMODULE WINAPI refusing_loader(LPCSTR)
{
    return nullptr;
}
BOOL WINAPI refusing_protector(LPVOID, SIZE_T, DWORD, PDWORD)
{
    return FALSE;
}
std::uint64_t stopped_clock()
{
    return 0;
}

// Installs replacement through a seam, then null; what each call returned.
template <class function_t>
std::vector<function_t> seam_answers(function_t (*install)(function_t), function_t replacement)
{
    return {install(replacement), install(nullptr), install(nullptr)};
}

TEST(TestSeamTest, EverySeamReturnsWhatWasInstalledAndNullRestoresTheSystemFunction)
{
    using loader_t = late_bound_loader_t;
    EXPECT_EQ(seam_answers<loader_t>(set_late_bound_loader_for_testing, refusing_loader),
              (std::vector<loader_t>{LoadLibraryA, refusing_loader, LoadLibraryA}));
    using initializer_t = critical_section_initializer_t;
    EXPECT_EQ(seam_answers<initializer_t>(set_critical_section_initializer_for_testing, refusing_initializer),
              (std::vector<initializer_t>{InitializeCriticalSectionAndSpinCount, refusing_initializer,
                                          InitializeCriticalSectionAndSpinCount}));
    EXPECT_EQ(seam_answers<mutex_creator_t>(set_mutex_creator_for_testing, refusing_mutex_creator),
              (std::vector<mutex_creator_t>{CreateMutexA, refusing_mutex_creator, CreateMutexA}));
    EXPECT_EQ(seam_answers<memory_protector_t>(set_memory_protector_for_testing, refusing_protector),
              (std::vector<memory_protector_t>{VirtualProtect, refusing_protector, VirtualProtect}));

    const string_formatter_t system_formatter = set_string_formatter_for_testing(throwing_int_formatter);
    EXPECT_NE(system_formatter, nullptr);
    EXPECT_EQ(set_string_formatter_for_testing(nullptr), throwing_int_formatter);
    EXPECT_EQ(set_string_formatter_for_testing(nullptr), system_formatter);

    fd_logger_t logger(-1, log_level_info);
    EXPECT_EQ(set_log_clock_for_testing(logger, stopped_clock), log_system_clock);
    EXPECT_EQ(set_log_clock_for_testing(logger, nullptr), stopped_clock);
    EXPECT_EQ(set_log_clock_for_testing(logger, nullptr), log_system_clock);
}

TEST(StringPrintfTest, ArgumentsMayPointIntoTheTargetAndNullFormatIsEmpty)
{
    std::string target(2000, 'z');
    string_printf(target, "%s|%s", target.c_str(), "end");
    EXPECT_EQ(target, std::string(2000, 'z') + "|end");

    std::string empty = "not empty";
    va_list none{};
    string_vprintf(empty, nullptr, none);
    EXPECT_EQ(empty, "");
}

TEST(FromUnicodeToCpTest, ConvertsAndSubstitutes)
{
    std::string output = "stale";
    from_unicode_to_cp(output, L"", 12345);
    EXPECT_EQ(output, "") << "empty input asks the system nothing, so any code page will do";

    from_unicode_to_cp(output, L"\u0416\u20ac", CP_UTF8);
    EXPECT_EQ(output, "\xD0\x96\xE2\x82\xAC");
    from_unicode_to_cp(output, L"\u0416a", 1251);
    EXPECT_EQ(output, "\xC6"
                      "a");
    // Text the code page cannot hold becomes its default character.
    from_unicode_to_cp(output, L"\u0416\u4E2D!", 1252);
    EXPECT_EQ(output, "?\?!");
}

TEST(FromUnicodeToCpTest, UnknownCodePageRaisesBug)
{
    std::string output;
    errno = 0;
    try
    {
        from_unicode_to_cp(output, L"text", 12345);
        FAIL() << "no exception";
    }
    catch (const BUG_exception_shell_t& thrown)
    {
        ExpectRaised<BUG_exception>(
            thrown, "utilities", 1656,
            ("UNICODE to cp12345 conversion failed because of " + shown(ERROR_INVALID_PARAMETER)).c_str());
    }
}

TEST(DecimalTextTest, Extremes)
{
    EXPECT_EQ(uint_to_string(0), "0");
    EXPECT_EQ(uint_to_string(4294967295u), "4294967295");
    EXPECT_EQ(int_to_string(INT_MIN), "-2147483648");
    EXPECT_EQ(int_to_string(INT_MAX), "2147483647");
}

TEST(ClearStringTest, GivesBackTheStorage)
{
    std::string s(5000, 'x');
    clear_string(s);
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.capacity(), std::string().capacity());
}
} // namespace
