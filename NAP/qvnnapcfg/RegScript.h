// The text level of registration scripts: placeholder expansion and the tokenizer.
// The registrar (RegObject.h) interprets the tokens.
#pragma once

#include "ComBoundary.h"

#include <windows.h>

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <vector>

// ---- Test seams -------------------------------------------------------------------
// The n-th temporary allocation of the registrar from now on (a token read, a value
// buffer) fails once as if memory had run out; 0 switches that off. Process-wide.
void FailRegistrarAllocationForTesting(unsigned n) noexcept;
// ---- End of test seams --------------------------------------------------------------

// Raises CAtlException(E_OUTOFMEMORY) for the allocation that
// FailRegistrarAllocationForTesting chose; does nothing otherwise. Every temporary
// allocation of the registrar calls it first.
void CheckChosenAllocationFailure();

// Sizes a temporary buffer of the registrar; lack of memory raises
// CAtlException(E_OUTOFMEMORY) instead of std::bad_alloc.
template <class Buffer> void SizeTemporaryBuffer(Buffer& buffer, std::size_t size)
{
    CheckChosenAllocationFailure();
    try
    {
        buffer.resize(size);
    }
    catch (const std::bad_alloc&)
    {
        throw CAtlException(E_OUTOFMEMORY);
    }
}

// Limits of the script language, in characters.
inline constexpr std::size_t MaxScriptToken = 4094;    // any token
inline constexpr std::size_t MaxScriptValueName = 258; // the name after "Val"
inline constexpr std::size_t MaxPlaceholderName = 31;  // the name between two "%"
inline constexpr std::size_t MaxExpandedScript = 1u << 30;

// Whole-name comparison ignoring case, as the script language compares every name
// (root keys, keywords, value types, placeholders, protected keys).
bool SameNameIgnoringCase(std::wstring_view a, std::wstring_view b) noexcept;

// A named text that stands in for "%name%" in a script.
struct Replacement
{
    std::wstring name;
    std::wstring value;
};

// Writes text with every placeholder replaced into expanded: "%%" becomes "%", and
// "%name%" becomes the value of the first replacement whose name matches case-
// insensitively. Values are inserted as they are and never expanded again.
// Results: S_OK; DISP_E_EXCEPTION for a "%" without a closing "%" or a name without a
// replacement; E_FAIL for a name over 31 characters; E_OUTOFMEMORY when the result
// would pass 2^30 characters or memory runs out. On failure expanded holds no meaningful text.
HRESULT ExpandPlaceholders(const wchar_t* text, const std::vector<Replacement>& replacements,
                           std::wstring& expanded) noexcept;

// Reads the tokens of an expanded script one at a time. A token is either quoted
// ('...', where '' stands for one quote; it may be empty and hold whitespace) or runs
// up to the next whitespace (space, tab, CR, LF) or the end of the text. The text must
// outlive the tokenizer.
class ScriptTokenizer
{
public:
    explicit ScriptTokenizer(const wchar_t* text) noexcept : m_position(text) {}

    // Skips whitespace and reads one token (without its quotes) into token.
    // DISP_E_EXCEPTION when the text ends before a token, a quoted token is not
    // closed, or the token would exceed maxLength characters; the position is then at
    // the end of the text, so every later read fails too. Raises CAtlException
    // (E_OUTOFMEMORY) when the token cannot be held.
    HRESULT Next(std::wstring& token, std::size_t maxLength = MaxScriptToken);

    void SkipWhitespace() noexcept;
    bool AtEnd() const noexcept { return *m_position == L'\0'; }

    // The current position, for going back to the start of a block.
    const wchar_t* Position() const noexcept { return m_position; }
    void Seek(const wchar_t* position) noexcept { m_position = position; }

private:
    HRESULT Read(std::wstring& token, std::size_t maxLength);
    HRESULT Fail() noexcept;

    const wchar_t* m_position;
};
