// Text helpers of the host tool: UTF-8 for the console, JSON strings, HRESULT text.
#pragma once

#include <windows.h>

#include <string>

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// The text as a JSON string literal, quotes included.
std::string JsonString(const std::wstring& text);

// The text in UTF-8 for a line of plain output: control characters (C0 and DEL) escaped
// as in JSON (\n, \t, \u001b), everything else as it is.
std::string ShownText(const std::wstring& text);

// "0x80070005 (Access is denied.)", or the bare code when the system has no text for it.
// The system's text in English. Some texts hold inserts ("Bad EXE format for %1."): each
// is filled with `insert`, or dropped when that is empty, so no placeholder is shown.
std::string DescribeHresult(HRESULT hr, const std::wstring& insert = {});
