#include "RegScript.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <new>

namespace
{
// Counts down to the allocation FailRegistrarAllocationForTesting chose; 0: none.
std::atomic<unsigned> g_allocationsUntilFailure{0};

bool IsScriptWhitespace(wchar_t c) noexcept
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

const Replacement* FindReplacement(const std::vector<Replacement>& replacements, std::wstring_view name) noexcept
{
    for (const Replacement& replacement : replacements)
    {
        if (SameNameIgnoringCase(replacement.name, name))
        {
            return &replacement;
        }
    }
    return nullptr;
}

// Appends to the expanded text, failing instead of growing past the script limit.
void AppendExpanded(std::wstring& expanded, std::wstring_view part)
{
    if (part.size() > MaxExpandedScript - expanded.size())
    {
        throw CAtlException(E_OUTOFMEMORY);
    }
    expanded.append(part);
}
} // namespace

void FailRegistrarAllocationForTesting(unsigned n) noexcept
{
    g_allocationsUntilFailure.store(n);
}

void CheckChosenAllocationFailure()
{
    unsigned left = g_allocationsUntilFailure.load(std::memory_order_relaxed);
    while (left != 0 && !g_allocationsUntilFailure.compare_exchange_weak(left, left - 1))
    {
    }
    if (left == 1)
    {
        throw CAtlException(E_OUTOFMEMORY);
    }
}

bool SameNameIgnoringCase(std::wstring_view a, std::wstring_view b) noexcept
{
    if (a.size() != b.size())
    {
        return false;
    }
    if (a.empty())
    {
        return true;
    }
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

HRESULT ExpandPlaceholders(const wchar_t* text, const std::vector<Replacement>& replacements,
                           std::wstring& expanded) noexcept
{
    return ComBoundary([&] {
        const std::size_t length = std::wcslen(text);
        expanded.clear();
        expanded.reserve(length < 50 ? 1000 : 2 * std::min(length, MaxExpandedScript / 2));

        const wchar_t* position = text;
        while (*position != L'\0')
        {
            if (*position != L'%')
            {
                const wchar_t* plain = position;
                while (*position != L'\0' && *position != L'%')
                {
                    ++position;
                }
                AppendExpanded(expanded, std::wstring_view(plain, position - plain));
                continue;
            }
            if (position[1] == L'%')
            {
                AppendExpanded(expanded, L"%");
                position += 2;
                continue;
            }
            const wchar_t* nameStart = position + 1;
            const wchar_t* closing = std::wcschr(nameStart, L'%');
            if (closing == nullptr)
            {
                return DISP_E_EXCEPTION;
            }
            const std::wstring_view name(nameStart, closing - nameStart);
            if (name.size() > MaxPlaceholderName)
            {
                return E_FAIL;
            }
            const Replacement* replacement = FindReplacement(replacements, name);
            if (replacement == nullptr)
            {
                return DISP_E_EXCEPTION;
            }
            AppendExpanded(expanded, replacement->value);
            position = closing + 1;
        }
        return S_OK;
    });
}

void ScriptTokenizer::SkipWhitespace() noexcept
{
    while (IsScriptWhitespace(*m_position))
    {
        ++m_position;
    }
}

HRESULT ScriptTokenizer::Fail() noexcept
{
    m_position += std::wcslen(m_position);
    return DISP_E_EXCEPTION;
}

HRESULT ScriptTokenizer::Next(std::wstring& token, std::size_t maxLength)
{
    CheckChosenAllocationFailure();
    try
    {
        return Read(token, maxLength);
    }
    catch (const std::bad_alloc&)
    {
        throw CAtlException(E_OUTOFMEMORY);
    }
}

HRESULT ScriptTokenizer::Read(std::wstring& token, std::size_t maxLength)
{
    token.clear();
    SkipWhitespace();
    if (AtEnd())
    {
        return Fail();
    }

    if (*m_position != L'\'')
    {
        const wchar_t* start = m_position;
        while (*m_position != L'\0' && !IsScriptWhitespace(*m_position))
        {
            ++m_position;
        }
        if (static_cast<std::size_t>(m_position - start) > maxLength)
        {
            return Fail();
        }
        token.assign(start, m_position);
        return S_OK;
    }

    ++m_position; // the opening quote
    for (;;)
    {
        if (*m_position == L'\0')
        {
            return Fail();
        }
        if (*m_position == L'\'')
        {
            if (m_position[1] != L'\'')
            {
                ++m_position; // the closing quote
                return S_OK;
            }
            ++m_position; // a doubled quote stands for one
        }
        if (token.size() == maxLength)
        {
            return Fail();
        }
        token.push_back(*m_position);
        ++m_position;
    }
}
