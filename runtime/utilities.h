// Error text and string formatting of the runtime library. All text is narrow; wide
// text is converted with an explicit code page.
//
// Every formatting of the library, here and in its other units, goes through one
// formatter, the C runtime's own (msvcrt's _vsnprintf), so formats follow its
// conventions: %I64d for 64-bit numbers, %ls for wide strings (converted
// with the C runtime's locale; text it cannot convert makes the formatter reject the
// whole format).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

// Lets the compiler check printf-style formats against the C runtime's formatter. Clang
// has no ms_printf: for a Windows target its printf checks follow that formatter already.
#if defined(__clang__)
#define RUNTIME_PRINTF(format_index, first_argument) __attribute__((format(printf, format_index, first_argument)))
#else
#define RUNTIME_PRINTF(format_index, first_argument) __attribute__((format(ms_printf, format_index, first_argument)))
#endif

// The text of the calling thread's Windows last-error code and of errno:
// "No errors detected" when both are 0; else the win_strerror text of the last error
// and/or "Runtime error is <strerror text> (errno=<n>)" (joined by
// " and runtime error is " when both are set). errno and the last error are the same
// afterwards as before, also when it throws (std::bad_alloc only).
std::string get_last_error();

// Writes the English system message for code into buffer (size bytes, NUL included):
// "<message without line end and final period> (code=<code>)." when the message fits
// with 32 bytes to spare, else "Error <code> {<message length>,<last error>}" cut to
// size. Returns buffer. Nothing is written when buffer is null or size is below 1.
// Never fails.
char* win_strerror(char* buffer, std::int32_t size, std::uint32_t code) noexcept;

// The composing step of win_strerror, for a message of length characters already
// obtained from the system (null when none was): exposed so that messages the system
// never produces can be checked. last_error goes into the "Error" form.
char* compose_error_text(char* buffer, std::int32_t size, std::uint32_t code, const char* message, std::uint32_t length,
                         std::uint32_t last_error) noexcept;

// Replaces target's content by the printf-style text. The text may be up to 1,048,576
// characters; a longer one (or a format the formatter rejects) gives
// "Try to allocate more then 1Mb for text buffer, discard long message \"<format>\"".
// An exception derived from std::exception on the way gives
// "vsnprintf failed because of <what()>". Throws only what the allocator throws while
// writing one of those texts, and exceptions not derived from std::exception. A null
// format formats as "". The arguments may refer to target itself.
void string_vprintf(std::string& target, const char* format, va_list args);
void string_printf(std::string& target, const char* format, ...) RUNTIME_PRINTF(2, 3);
// As string_vprintf, returning the text.
std::string string_vprintf(const char* format, va_list args);

// Converts wide text into output with code_page (WideCharToMultiByte, flags 0; characters
// the code page cannot hold become its default character). Empty input gives empty
// output without asking the system. Raises BUG_exception_shell_t with
// "UNICODE to cp<code page> conversion failed because of <get_last_error text>" when the
// system refuses (an unknown code page, for example); output is then unspecified.
void from_unicode_to_cp(std::string& output, const std::wstring& input, std::int32_t code_page);

// Decimal text of value ("%u" and "%d").
std::string uint_to_string(std::uint32_t value);
std::string int_to_string(std::int32_t value);

// --- Test seams ---------------------------------------------------------------------
// A process-wide replacement of the C runtime's formatter, for tests that need one
// failing on demand; nothing else installs one. As every seam of the library: null
// restores the C runtime's formatter, and the call returns the formatter installed
// before (the C runtime's when none was), never null.

// The formatter behind every formatting function here: writes at most room characters
// of the text into buffer (which has room + 1 bytes) and returns the text's length when
// all of it was written, a negative number or a length above room otherwise.
using string_formatter_t = int (*)(char* buffer, std::size_t room, const char* format, va_list args);
string_formatter_t set_string_formatter_for_testing(string_formatter_t formatter) noexcept;
