// The system's UTF-16 text as the UTF-8 the tools print and write.
#pragma once

#include <string>

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(const std::wstring& text);
