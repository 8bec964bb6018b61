#include "RegObject.h"

#include "UniqueHandle.h"
#include "Win32Result.h"

#include <oleauto.h>

#include <new>
#include <utility>

// Returns the HRESULT of expression from the enclosing function when it failed.
#define RETURN_IF_FAILED(expression)                                                                                   \
    do                                                                                                                 \
    {                                                                                                                  \
        const HRESULT failedHr_ = (expression);                                                                        \
        if (FAILED(failedHr_))                                                                                         \
        {                                                                                                              \
            return failedHr_;                                                                                          \
        }                                                                                                              \
    } while (false)

namespace
{
// The registry holds keys at most 512 levels deep. A block for a key deeper than that is
// a syntax error, which also bounds the interpreter's recursion whatever the script.
constexpr int MaxKeyDepth = 512;

struct RootKeyName
{
    const wchar_t* name;
    HKEY key;
};

const RootKeyName RootKeys[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKU", HKEY_USERS},
    {L"HKEY_USERS", HKEY_USERS},
    {L"HKPD", HKEY_PERFORMANCE_DATA},
    {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {L"HKDD", HKEY_DYN_DATA},
    {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {L"HKCC", HKEY_CURRENT_CONFIG},
    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Keys that hold what other software registered: ForceRemove and Delete never remove them.
const wchar_t* const NeverDeletedKeys[] = {
    L"AppID",    L"CLSID",     L"Component Categories",
    L"FileType", L"Interface", L"Hardware",
    L"Mime",     L"SAM",       L"SECURITY",
    L"SYSTEM",   L"Software",  L"TypeLib",
};

enum class ValueType
{
    String,
    MultiString,
    Dword,
    Binary,
};

struct ValueTypeName
{
    const wchar_t* name;
    ValueType type;
};

const ValueTypeName ValueTypes[] = {
    {L"S", ValueType::String},
    {L"M", ValueType::MultiString},
    {L"D", ValueType::Dword},
    {L"B", ValueType::Binary},
};

HKEY FindRootKey(const std::wstring& name) noexcept
{
    for (const RootKeyName& root : RootKeys)
    {
        if (SameNameIgnoringCase(name, root.name))
        {
            return root.key;
        }
    }
    return nullptr;
}

bool IsNeverDeleted(const std::wstring& name) noexcept
{
    for (const wchar_t* protectedName : NeverDeletedKeys)
    {
        if (SameNameIgnoringCase(name, protectedName))
        {
            return true;
        }
    }
    return false;
}

bool FindValueType(const std::wstring& name, ValueType& type) noexcept
{
    for (const ValueTypeName& candidate : ValueTypes)
    {
        if (SameNameIgnoringCase(name, candidate.name))
        {
            type = candidate.type;
            return true;
        }
    }
    return false;
}

bool StartsWith(const std::wstring& token, wchar_t c) noexcept
{
    return !token.empty() && token.front() == c;
}

bool IsKeyword(const std::wstring& token, const wchar_t* keyword) noexcept
{
    return SameNameIgnoringCase(token, keyword);
}

// A key name is one path component. A backslash would reach into another key; an empty
// name would make the entry stand for its parent, so that ForceRemove '' removed the
// parent with everything below it and the unregister pass deleted the parent.
bool IsKeyName(const std::wstring& token) noexcept
{
    return !token.empty() && token.find(L'\\') == std::wstring::npos;
}

// Deletes the key with all its subkeys, depth first. Stops at the first subkey that
// cannot be deleted and returns its error.
LSTATUS DeleteKeyTree(HKEY parent, const wchar_t* name) noexcept
{
    UniqueRegistryKey key;
    LSTATUS status = RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WRITE, key.Put());
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    for (;;)
    {
        wchar_t subkey[256];
        DWORD length = ARRAYSIZE(subkey);
        if (RegEnumKeyExW(key.Get(), 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        {
            break;
        }
        status = DeleteKeyTree(key.Get(), subkey);
        if (status != ERROR_SUCCESS)
        {
            return status;
        }
    }
    key.Close();
    return RegDeleteKeyW(parent, name);
}

// "a\0b" holds the strings a and b. The data ends at the first empty string, so "a\0\0b"
// holds a only.
HRESULT SetMultiString(HKEY key, const wchar_t* name, const std::wstring& text)
{
    std::wstring strings;
    SizeTemporaryBuffer(strings, text.size() + 2);
    std::size_t length = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'0')
        {
            strings[length++] = L'\0';
            ++i;
        }
        else
        {
            strings[length++] = text[i];
        }
    }
    strings[length++] = L'\0';
    strings[length++] = L'\0';

    std::size_t used = 0; // characters up to and including the first empty string
    for (;;)
    {
        const std::size_t stringLength = std::wcslen(strings.c_str() + used);
        used += stringLength + 1;
        if (stringLength == 0)
        {
            break;
        }
    }
    return HResultFromStatus(RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(strings.data()),
                                            static_cast<DWORD>(used * sizeof(wchar_t))));
}

int HexDigitValue(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
    {
        return c - L'0';
    }
    if (c >= L'A' && c <= L'F')
    {
        return c - L'A' + 10;
    }
    if (c >= L'a' && c <= L'f')
    {
        return c - L'a' + 10;
    }
    return 0;
}

// Digit pairs, high nibble first; a character that is no hexadecimal digit counts as 0.
HRESULT SetBinary(HKEY key, const wchar_t* name, const std::wstring& text)
{
    if (text.size() % 2 != 0)
    {
        return E_FAIL;
    }
    std::vector<BYTE> bytes;
    try
    {
        SizeTemporaryBuffer(bytes, text.size() / 2 + 1); // one more: never a null data pointer
    }
    catch (const CAtlException&)
    {
        return E_FAIL;
    }
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const int nibble = HexDigitValue(text[i]);
        bytes[i / 2] |= static_cast<BYTE>(i % 2 == 0 ? nibble << 4 : nibble);
    }
    return HResultFromStatus(
        RegSetValueExW(key, name, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(text.size() / 2)));
}

HRESULT SetValue(HKEY key, const wchar_t* name, ValueType type, std::wstring& text)
{
    switch (type)
    {
    case ValueType::String:
        return HResultFromStatus(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
    case ValueType::MultiString:
        return SetMultiString(key, name, text);
    case ValueType::Dword:
    {
        // Text the conversion rejects is a script error; writing some number instead
        // would store a value nobody wrote.
        ULONG number = 0;
        if (FAILED(VarUI4FromStr(text.data(), 0, 0, &number)))
        {
            return DISP_E_EXCEPTION;
        }
        const DWORD value = number;
        return HResultFromStatus(
            RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
    }
    case ValueType::Binary:
        return SetBinary(key, name, text);
    }
    return DISP_E_EXCEPTION;
}

// The "= type value" part of an entry.
struct Assignment
{
    ValueType type = ValueType::String;
    std::wstring text;
};

// Deletes a value the script lists; a value that is not there is no error. removed
// tells whether there was one.
HRESULT DeleteValue(HKEY key, const std::wstring& name, bool& removed) noexcept
{
    UniqueRegistryKey writable;
    LSTATUS status = RegOpenKeyExW(key, nullptr, 0, KEY_SET_VALUE, writable.Put());
    if (status == ERROR_SUCCESS)
    {
        status = RegDeleteValueW(writable.Get(), name.c_str());
    }
    removed = status == ERROR_SUCCESS;
    return status == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromStatus(status);
}

// Interprets one expanded script. The block functions read from just after a block's
// opening brace up to and including its closing brace; the entry functions take an
// entry's first token and leave the token after the entry in the same string.
class ScriptInterpreter
{
public:
    explicit ScriptInterpreter(const wchar_t* text) noexcept : m_tokens(text) {}

    HRESULT Run(bool doRegister);

    // depth: how deep below its root the key lies whose block this is (a root block: 0).
    HRESULT RegisterBlock(HKEY parent, int depth);
    // In recovery the block's key is missing: the block is read through without
    // touching the registry.
    HRESULT UnregisterBlock(HKEY parent, bool recovery, int depth);

private:
    HRESULT RegisterEntry(HKEY parent, int depth, std::wstring& token);
    HRESULT RegisterKey(HKEY parent, int depth, std::wstring& token);
    HRESULT UnregisterEntry(HKEY parent, bool recovery, int depth, std::wstring& token);
    // blockAllowed is false for a Delete entry, which has no block.
    HRESULT UnregisterKey(HKEY parent, bool recovery, bool deleteMark, bool blockAllowed, int depth,
                          std::wstring& token);

    // token is the "=" of an assignment: reads "type value" into assignment and leaves
    // the token after the value in token.
    HRESULT ReadAssignment(std::wstring& token, Assignment& assignment);
    // Passes over "= type value" when token begins with "=".
    HRESULT SkipAssignment(std::wstring& token);

    // Undoes a failed register pass of the root block at blockStart.
    void TakeBack(HKEY root, const wchar_t* blockStart) noexcept;

    ScriptTokenizer m_tokens;
    unsigned long long m_removals = 0; // keys and values the unregister passes removed
};

HRESULT ScriptInterpreter::Run(bool doRegister)
{
    std::wstring token;
    while (!m_tokens.AtEnd())
    {
        RETURN_IF_FAILED(m_tokens.Next(token));
        const HKEY root = FindRootKey(token);
        if (root == nullptr)
        {
            return DISP_E_EXCEPTION;
        }
        RETURN_IF_FAILED(m_tokens.Next(token));
        if (!StartsWith(token, L'{'))
        {
            return DISP_E_EXCEPTION;
        }

        if (!doRegister)
        {
            RETURN_IF_FAILED(UnregisterBlock(root, false, 0));
        }
        else
        {
            const wchar_t* blockStart = m_tokens.Position();
            // Out of memory the registrar raises its exception: that failure, too, must
            // not leave half a block registered.
            const HRESULT hr = ComBoundary([&] { return RegisterBlock(root, 0); });
            if (FAILED(hr))
            {
                // Take back what the block registered before it failed; the register
                // failure is what the caller needs to hear about.
                TakeBack(root, blockStart);
                return hr;
            }
        }
        m_tokens.SkipWhitespace();
    }
    return S_OK;
}

void ScriptInterpreter::TakeBack(HKEY root, const wchar_t* blockStart) noexcept
{
    // One unregister pass can leave a key behind that became empty only after its entry
    // was read (the script lists it twice) and then stop at the block's error, so the
    // passes repeat until one removes nothing. Every other pass removes something that
    // exists, and none creates anything, so this ends.
    for (;;)
    {
        const unsigned long long removalsBefore = m_removals;
        m_tokens.Seek(blockStart);
        // Running out of memory ends a pass like any error in the block; what it removed
        // before counts, so the next pass still tells whether anything was left.
        ComBoundary([&] { return UnregisterBlock(root, false, 0); });
        if (m_removals == removalsBefore)
        {
            return;
        }
    }
}

HRESULT ScriptInterpreter::RegisterBlock(HKEY parent, int depth)
{
    if (depth > MaxKeyDepth)
    {
        return DISP_E_EXCEPTION;
    }
    std::wstring token;
    RETURN_IF_FAILED(m_tokens.Next(token));
    while (!StartsWith(token, L'}'))
    {
        RETURN_IF_FAILED(RegisterEntry(parent, depth, token));
    }
    return S_OK;
}

HRESULT ScriptInterpreter::RegisterEntry(HKEY parent, int depth, std::wstring& token)
{
    // A value or a deleted key has no block. Both entries are read to their end before
    // anything is written or deleted, so that one followed by a block changes nothing;
    // the unregister pass refuses them alike.
    const bool forceRemove = IsKeyword(token, L"ForceRemove");
    if (forceRemove || IsKeyword(token, L"Delete"))
    {
        RETURN_IF_FAILED(m_tokens.Next(token));
        if (!IsKeyName(token))
        {
            return DISP_E_EXCEPTION;
        }
        if (forceRemove)
        {
            if (!IsNeverDeleted(token))
            {
                DeleteKeyTree(parent, token.c_str()); // a key that is not there is what we want
            }
            return RegisterKey(parent, depth, token);
        }
        const std::wstring name = token;
        RETURN_IF_FAILED(m_tokens.Next(token));
        RETURN_IF_FAILED(SkipAssignment(token));
        if (token == L"{")
        {
            return DISP_E_EXCEPTION;
        }
        if (!IsNeverDeleted(name))
        {
            DeleteKeyTree(parent, name.c_str());
        }
        return S_OK;
    }

    if (IsKeyword(token, L"NoRemove"))
    {
        RETURN_IF_FAILED(m_tokens.Next(token)); // matters to the unregister pass only
    }
    if (!IsKeyword(token, L"Val"))
    {
        return RegisterKey(parent, depth, token);
    }

    std::wstring name;
    RETURN_IF_FAILED(m_tokens.Next(name, MaxScriptValueName));
    RETURN_IF_FAILED(m_tokens.Next(token));
    if (!StartsWith(token, L'='))
    {
        return DISP_E_EXCEPTION;
    }
    Assignment value;
    RETURN_IF_FAILED(ReadAssignment(token, value));
    if (token == L"{")
    {
        return DISP_E_EXCEPTION;
    }
    return SetValue(parent, name.c_str(), value.type, value.text);
}

HRESULT ScriptInterpreter::RegisterKey(HKEY parent, int depth, std::wstring& token)
{
    if (!IsKeyName(token))
    {
        return DISP_E_EXCEPTION;
    }
    UniqueRegistryKey key;
    if (RegOpenKeyExW(parent, token.c_str(), 0, KEY_READ | KEY_WRITE, key.Put()) != ERROR_SUCCESS &&
        RegOpenKeyExW(parent, token.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
    {
        const LSTATUS status = RegCreateKeyExW(parent, token.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                               KEY_READ | KEY_WRITE, nullptr, key.Put(), nullptr);
        if (status != ERROR_SUCCESS)
        {
            return HResultFromStatus(status);
        }
    }

    RETURN_IF_FAILED(m_tokens.Next(token));
    if (StartsWith(token, L'='))
    {
        Assignment value;
        RETURN_IF_FAILED(ReadAssignment(token, value));
        RETURN_IF_FAILED(SetValue(key.Get(), nullptr, value.type, value.text));
    }
    if (token == L"{")
    {
        RETURN_IF_FAILED(RegisterBlock(key.Get(), depth + 1));
        RETURN_IF_FAILED(m_tokens.Next(token));
    }
    return S_OK;
}

HRESULT ScriptInterpreter::UnregisterBlock(HKEY parent, bool recovery, int depth)
{
    if (depth > MaxKeyDepth)
    {
        return DISP_E_EXCEPTION;
    }
    std::wstring token;
    RETURN_IF_FAILED(m_tokens.Next(token));
    while (!StartsWith(token, L'}'))
    {
        RETURN_IF_FAILED(UnregisterEntry(parent, recovery, depth, token));
    }
    return S_OK;
}

HRESULT ScriptInterpreter::UnregisterEntry(HKEY parent, bool recovery, int depth, std::wstring& token)
{
    const bool deleteEntry = IsKeyword(token, L"Delete");
    if (deleteEntry || IsKeyword(token, L"ForceRemove"))
    {
        RETURN_IF_FAILED(m_tokens.Next(token)); // goes like any other key
        return UnregisterKey(parent, recovery, true, !deleteEntry, depth, token);
    }

    bool deleteMark = true;
    if (IsKeyword(token, L"NoRemove"))
    {
        deleteMark = false;
        RETURN_IF_FAILED(m_tokens.Next(token));
    }
    if (!IsKeyword(token, L"Val"))
    {
        return UnregisterKey(parent, recovery, deleteMark, true, depth, token);
    }

    std::wstring name;
    RETURN_IF_FAILED(m_tokens.Next(name, MaxScriptValueName));
    RETURN_IF_FAILED(m_tokens.Next(token));
    if (!StartsWith(token, L'='))
    {
        return DISP_E_EXCEPTION;
    }
    // As in the register pass, a value followed by a block is refused before anything
    // goes: read on, its block would pass for entries of this one.
    RETURN_IF_FAILED(SkipAssignment(token));
    if (token == L"{")
    {
        return DISP_E_EXCEPTION;
    }
    if (!recovery && deleteMark)
    {
        bool removed = false;
        RETURN_IF_FAILED(DeleteValue(parent, name, removed));
        m_removals += removed ? 1 : 0;
    }
    return S_OK;
}

HRESULT ScriptInterpreter::UnregisterKey(HKEY parent, bool recovery, bool deleteMark, bool blockAllowed, int depth,
                                         std::wstring& token)
{
    if (!IsKeyName(token))
    {
        return DISP_E_EXCEPTION;
    }
    const std::wstring name = token;
    UniqueRegistryKey key;
    LSTATUS openStatus = ERROR_FILE_NOT_FOUND;
    if (!recovery)
    {
        openStatus = RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, key.Put());
    }
    const bool missing = openStatus != ERROR_SUCCESS;

    RETURN_IF_FAILED(m_tokens.Next(token));
    RETURN_IF_FAILED(SkipAssignment(token));
    if (token == L"{")
    {
        if (!blockAllowed)
        {
            return DISP_E_EXCEPTION;
        }
        // A missing key's block is still read to its end, and an error in it ends the
        // pass: reading on from the middle of a broken block would take later tokens
        // for entries at the wrong level and remove keys and values the script never
        // meant there.
        RETURN_IF_FAILED(UnregisterBlock(key.Get(), missing, depth + 1));
        RETURN_IF_FAILED(m_tokens.Next(token));
    }

    if (missing)
    {
        return recovery || openStatus == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromStatus(openStatus);
    }
    DWORD subkeys = 0;
    LSTATUS status = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
    {
        return HResultFromStatus(status);
    }
    status = key.Close();
    if (status != ERROR_SUCCESS)
    {
        return HResultFromStatus(status);
    }
    // Subkeys the script does not list keep their key alive.
    if (deleteMark && subkeys == 0)
    {
        status = RegDeleteKeyW(parent, name.c_str());
        if (status != ERROR_SUCCESS)
        {
            return HResultFromStatus(status);
        }
        ++m_removals;
    }
    return S_OK;
}

HRESULT ScriptInterpreter::ReadAssignment(std::wstring& token, Assignment& assignment)
{
    std::wstring typeName;
    RETURN_IF_FAILED(m_tokens.Next(typeName));
    if (!FindValueType(typeName, assignment.type))
    {
        return DISP_E_EXCEPTION;
    }
    RETURN_IF_FAILED(m_tokens.Next(assignment.text));
    return m_tokens.Next(token);
}

HRESULT ScriptInterpreter::SkipAssignment(std::wstring& token)
{
    if (!StartsWith(token, L'='))
    {
        return S_OK;
    }
    RETURN_IF_FAILED(m_tokens.Next(token)); // the type, not looked at
    RETURN_IF_FAILED(m_tokens.Next(token)); // the value
    return m_tokens.Next(token);
}

} // namespace

CRegObject::~CRegObject()
{
    ClearReplacements();
}

HRESULT CRegObject::QueryInterface(REFIID, void**) noexcept
{
    return E_NOTIMPL;
}

ULONG CRegObject::AddRef() noexcept
{
    return 1;
}

ULONG CRegObject::Release() noexcept
{
    return 0;
}

HRESULT CRegObject::AddReplacement(LPCOLESTR name, LPCOLESTR value) noexcept
{
    if (name == nullptr || value == nullptr)
    {
        return E_INVALIDARG;
    }
    return ComBoundary([&] {
        m_replacements.push_back({name, value});
        return S_OK;
    });
}

HRESULT CRegObject::ClearReplacements() noexcept
{
    m_replacements.clear();
    return S_OK;
}

HRESULT CRegObject::RunResourceScript(LPCOLESTR modulePath, UINT resourceId, LPCOLESTR resourceType,
                                      BOOL doRegister) noexcept
{
    if (modulePath == nullptr || resourceType == nullptr)
    {
        return E_INVALIDARG;
    }
    const UniqueModule module(LoadLibraryExW(modulePath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (module.Get() == nullptr)
    {
        return HResultFromLastError();
    }
    const HRSRC resource = FindResourceW(module.Get(), MAKEINTRESOURCEW(resourceId), resourceType);
    if (resource == nullptr)
    {
        return HResultFromLastError();
    }
    const HGLOBAL loaded = LoadResource(module.Get(), resource);
    const DWORD size = SizeofResource(module.Get(), resource);
    const char* bytes = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (bytes == nullptr || size == 0)
    {
        return HResultFromLastError();
    }
    if (size == 0xFFFFFFFF)
    {
        return E_OUTOFMEMORY;
    }

    return ComBoundary([&] {
        std::wstring text;
        SizeTemporaryBuffer(text, static_cast<std::size_t>(size) + 1);
        const int converted = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), text.data(),
                                                  static_cast<int>(size) + 1);
        if (converted == 0)
        {
            return HResultFromLastError();
        }
        text[converted] = L'\0';
        return RunScript(text.c_str(), doRegister);
    });
}

HRESULT CRegObject::RunScript(LPCOLESTR text, BOOL doRegister) noexcept
{
    if (text == nullptr)
    {
        return E_INVALIDARG;
    }
    return ComBoundary([&] {
        std::wstring expanded;
        RETURN_IF_FAILED(ExpandPlaceholders(text, m_replacements, expanded));
        return ScriptInterpreter(expanded.c_str()).Run(doRegister != FALSE);
    });
}
