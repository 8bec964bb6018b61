#include "HostText.h"

#include <cstdio>

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
    {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty())
    {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

namespace
{
// The text in UTF-8 with its control characters (C0 and DEL) escaped as JSON escapes
// them, and with `quote` and the backslash escaped too when `quote` is given.
std::string Escaped(const std::wstring& text, char quote)
{
    std::string result;
    for (char c : ToUtf8(text))
    {
        const auto byte = static_cast<unsigned char>(c);
        if (quote != '\0' && (c == quote || c == '\\'))
        {
            result += '\\';
            result += c;
        }
        else if (c == '\n' || c == '\r' || c == '\t')
        {
            result += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        }
        else if (byte < 0x20 || byte == 0x7F)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte); // NOLINT(cert-err33-c): fits
            result += escaped;
        }
        else
        {
            result += c;
        }
    }
    return result;
}
} // namespace

std::string JsonString(const std::wstring& text)
{
    return "\"" + Escaped(text, '"') + "\"";
}

std::string ShownText(const std::wstring& text)
{
    return Escaped(text, '\0');
}

namespace
{
// Replaces every insert ("%1", "%2!s!", ...) of a message text; a space before a dropped
// insert goes with it.
std::wstring FillInserts(const std::wstring& text, const std::wstring& insert)
{
    std::wstring result;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != L'%' || i + 1 >= text.size() || text[i + 1] < L'1' || text[i + 1] > L'9')
        {
            result += text[i];
            continue;
        }
        ++i;
        while (i + 1 < text.size() && text[i + 1] >= L'0' && text[i + 1] <= L'9')
        {
            ++i;
        }
        const std::size_t format =
            i + 1 < text.size() && text[i + 1] == L'!' ? text.find(L'!', i + 2) : std::wstring::npos;
        if (format != std::wstring::npos)
        {
            i = format;
        }
        if (insert.empty())
        {
            while (!result.empty() && result.back() == L' ')
            {
                result.pop_back();
            }
        }
        result += insert;
    }
    return result;
}
} // namespace

std::string DescribeHresult(HRESULT hr, const std::wstring& insert)
{
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(hr)); // NOLINT(cert-err33-c): fits
    wchar_t* message = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                       reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring text = length != 0 ? FillInserts(std::wstring(message, length), insert) : std::wstring();
    LocalFree(message);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    {
        text.pop_back();
    }
    return text.empty() ? std::string(code) : std::string(code) + " (" + ToUtf8(text) + ")";
}
