#include "utilities.h"

#include "exceptions.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace
{
// The C runtime's formatter: writes at most room characters and reports -1 when the
// text does not fit or cannot be formatted (a wide string the locale cannot convert).
// A text of exactly room characters fits; its terminator is then written by the
// caller's string.
int runtime_formatter(char* buffer, std::size_t room, const char* format, va_list args)
{
    return _vsnprintf(buffer, room, format, args);
}

// Held in a struct: the compiler drops the attributes of this toolchain's va_list from a
// pointer type given to std::atomic directly, and warns. Constant-initialised: usable by
// load-time code of any unit.
struct formatter_slot_t
{
    string_formatter_t function;
};
std::atomic<formatter_slot_t> g_formatter{formatter_slot_t{runtime_formatter}};

// Formats into a buffer of size bytes (at least 1) through the one formatter, cut to fit
// and always terminated; empty when the formatter fails outright.
void format_into(char* buffer, std::size_t size, const char* format, ...) noexcept RUNTIME_PRINTF(3, 4);
void format_into(char* buffer, std::size_t size, const char* format, ...) noexcept
{
    const std::size_t room = size - 1;
    va_list args;
    va_start(args, format);
    int length = -1;
    try
    {
        length = g_formatter.load().function(buffer, room, format, args);
    }
    catch (...)
    {
        buffer[0] = '\0';
    }
    va_end(args);
    if (length >= 0 && static_cast<std::size_t>(length) <= room)
    {
        buffer[length] = '\0';
    }
    else
    {
        buffer[room] = '\0';
    }
}

constexpr std::size_t first_room = 1024;
constexpr std::size_t last_room = 1048576;
const char too_long_text[] = "Try to allocate more then 1Mb for text buffer, discard long message \"";

// Puts errno and the Windows last error back when the scope ends, unwinding included.
class error_state_keeper_t
{
public:
    error_state_keeper_t(int runtime_error, DWORD last_error) noexcept
        : m_runtime_error(runtime_error), m_last_error(last_error)
    {
    }
    ~error_state_keeper_t()
    {
        errno = m_runtime_error;
        SetLastError(m_last_error);
    }
    error_state_keeper_t(const error_state_keeper_t&) = delete;
    error_state_keeper_t& operator=(const error_state_keeper_t&) = delete;

private:
    int m_runtime_error;
    DWORD m_last_error;
};

bool is_line_end(char c)
{
    return c == '\r' || c == '\n';
}
} // namespace

std::string get_last_error()
{
    const DWORD last_error = GetLastError();
    const int runtime_error = errno;
    const error_state_keeper_t keeper(runtime_error, last_error);
    scope_trace_t scope("utilities", 141,
                        "class std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > "
                        "__cdecl get_last_error(void)");

    if (last_error == 0 && runtime_error == 0)
    {
        return "No errors detected";
    }
    std::string text;
    if (last_error != 0)
    {
        char buffer[512];
        text = win_strerror(buffer, sizeof buffer, last_error);
    }
    if (runtime_error != 0)
    {
        text += text.empty() ? "Runtime error is " : " and runtime error is ";
        text += std::strerror(runtime_error); // NOLINT(concurrency-mt-unsafe): msvcrt's text is per thread
        text += " (errno=" + int_to_string(runtime_error) + ")";
    }
    return text;
}

char* win_strerror(char* buffer, std::int32_t size, std::uint32_t code) noexcept
{
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    char* message = nullptr;
    DWORD length = FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length == 0 && GetLastError() == ERROR_RESOURCE_LANG_NOT_FOUND)
    {
        length = FormatMessageA(flags, nullptr, code, 0, reinterpret_cast<LPSTR>(&message), 0, nullptr);
    }
    compose_error_text(buffer, size, code, length != 0 ? message : nullptr, length, GetLastError());
    LocalFree(message);
    return buffer;
}

char* compose_error_text(char* buffer, std::int32_t size, std::uint32_t code, const char* message, std::uint32_t length,
                         std::uint32_t last_error) noexcept
{
    if (buffer == nullptr || size < 1)
    {
        return buffer;
    }
    if (message != nullptr && length > 0 && static_cast<std::int64_t>(size) >= std::int64_t{length} + 32)
    {
        // System messages end with a line end, and most with a period that the text
        // below supplies itself.
        std::uint32_t kept = length;
        while (kept > 0 && is_line_end(message[kept - 1]))
        {
            --kept;
        }
        if (kept > 1 && message[kept - 1] == '.')
        {
            --kept;
        }
        format_into(buffer, static_cast<std::size_t>(size), "%.*s (code=%lu).", static_cast<int>(kept), message,
                    static_cast<unsigned long>(code));
    }
    else
    {
        format_into(buffer, static_cast<std::size_t>(size), "Error %d {%d,%d}", static_cast<int>(code),
                    static_cast<int>(length), static_cast<int>(last_error));
    }
    return buffer;
}

void string_vprintf(std::string& target, const char* format, va_list args)
{
    if (format == nullptr)
    {
        format = "";
    }
    const string_formatter_t formatter = g_formatter.load().function;
    try
    {
        // Formatted into a string of its own, so that arguments may point into target.
        std::string text;
        for (std::size_t room = first_room; room <= last_room; room *= 2)
        {
            text.resize(room); // room characters plus the terminator a string always has
            va_list attempt;
            va_copy(attempt, args);
            int length = -1;
            try
            {
                length = formatter(&text[0], room, format, attempt);
            }
            catch (...)
            {
                va_end(attempt);
                throw;
            }
            va_end(attempt);
            if (length >= 0 && static_cast<std::size_t>(length) <= room)
            {
                text.resize(static_cast<std::size_t>(length));
                target.swap(text);
                return;
            }
        }
        const void* end = std::memchr(format, '\0', last_room);
        const std::size_t format_length =
            end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - format) : last_room;
        std::string refusal(too_long_text);
        refusal.append(format, format_length);
        refusal += '"';
        target.swap(refusal);
    }
    catch (const std::exception& failure)
    {
        target = "vsnprintf failed because of ";
        target += failure.what();
    }
}

void string_printf(std::string& target, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    try
    {
        string_vprintf(target, format, args);
    }
    catch (...)
    {
        va_end(args);
        throw;
    }
    va_end(args);
}

std::string string_vprintf(const char* format, va_list args)
{
    std::string text;
    string_vprintf(text, format, args);
    return text;
}

string_formatter_t set_string_formatter_for_testing(string_formatter_t formatter) noexcept
{
    return g_formatter.exchange(formatter_slot_t{formatter != nullptr ? formatter : runtime_formatter}).function;
}

void from_unicode_to_cp(std::string& output, const std::wstring& input, std::int32_t code_page)
{
    scope_trace_t scope("utilities", 1638,
                        "void __cdecl from_unicode_to_cp(class std::basic_string<char,struct "
                        "std::char_traits<char>,class std::allocator<char> > &,const class "
                        "std::basic_string<wchar_t,struct std::char_traits<wchar_t>,class std::allocator<wchar_t> > "
                        "&,int)");
    if (input.empty())
    {
        output.clear();
        return;
    }

    // Ask for the size first rather than reserving a worst case for every character.
    int converted = 0;
    if (input.size() <= static_cast<std::size_t>(INT_MAX))
    {
        const int input_length = static_cast<int>(input.size());
        const UINT page = static_cast<UINT>(code_page);
        const int needed = WideCharToMultiByte(page, 0, input.data(), input_length, nullptr, 0, nullptr, nullptr);
        if (needed > 0)
        {
            output.resize(static_cast<std::size_t>(needed));
            converted = WideCharToMultiByte(page, 0, input.data(), input_length, &output[0], needed, nullptr, nullptr);
        }
    }
    else
    {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    }
    if (converted == 0)
    {
        BUG_exception_shell_t shell("UNICODE to cp%d conversion failed because of %s", static_cast<int>(code_page),
                                    get_last_error().c_str());
        raise_exception<BUG_exception>(shell, "utilities", 1656);
    }
    output.resize(static_cast<std::size_t>(converted));
}

std::string uint_to_string(std::uint32_t value)
{
    char buffer[16];
    format_into(buffer, sizeof buffer, "%u", static_cast<unsigned>(value));
    return buffer;
}

std::string int_to_string(std::int32_t value)
{
    char buffer[16];
    format_into(buffer, sizeof buffer, "%d", static_cast<int>(value));
    return buffer;
}
