// Conversions between the system's UTF-16 text and the UTF-8 the tools print and write.
#pragma once

#include <string>

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(const std::wstring& text);

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring FromUtf8(const std::string& text);
