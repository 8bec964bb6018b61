#include "WixRegistry.h"

#include "PackagingError.h"
#include "Utf8.h"

#include <cstdint>
#include <cwctype>
#include <optional>

namespace
{
// Says which entry could not be carried into the package, and why.
[[noreturn]] void Refuse(const HarvestedKey& key, const HarvestedValue* value, const std::string& reason)
{
    std::string subject = "HKCR\\" + ToUtf8(key.path);
    if (value != nullptr)
    {
        subject += value->name.empty() ? " (default value)" : " value '" + ToUtf8(value->name) + "'";
    }
    throw PackagingError(subject + ": " + reason);
}

bool IsWritableText(const std::wstring& text)
{
    for (wchar_t c : text)
    {
        const bool printable = c >= 0x20 && c <= 0x7E;
        if (!printable && c != L'\t' && c != L'\r' && c != L'\n')
        {
            return false;
        }
    }
    return true;
}

std::wstring Lowercase(std::wstring text)
{
    for (wchar_t& c : text)
    {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

bool ContainsNoCase(const std::wstring& text, const std::wstring& part)
{
    return !part.empty() && Lowercase(text).find(Lowercase(part)) != std::wstring::npos;
}

// Windows Installer formatted text that reads as `text`: square brackets would start a
// property reference, so each is written as the escape "[\x]".
std::wstring FormattedLiteral(const std::wstring& text)
{
    std::wstring formatted;
    for (wchar_t c : text)
    {
        if (c == L'[' || c == L']')
        {
            formatted += std::wstring(L"[\\") + c + L"]";
        }
        else
        {
            formatted += c;
        }
    }
    return formatted;
}

// An XML attribute value as wixl reads it: XML's special characters as entities, tabs
// and line breaks as character references (a parser would turn them into spaces), and
// "$" doubled, since wixl's preprocessor takes "$" for the start of a variable.
std::string Attribute(const std::wstring& text)
{
    std::string xml;
    for (wchar_t c : text)
    {
        switch (c)
        {
        case L'&':
            xml += "&amp;";
            break;
        case L'<':
            xml += "&lt;";
            break;
        case L'>':
            xml += "&gt;";
            break;
        case L'"':
            xml += "&quot;";
            break;
        case L'$':
            xml += "$$";
            break;
        case L'\t':
        case L'\r':
        case L'\n':
            xml += "&#" + std::to_string(static_cast<int>(c)) + ";";
            break;
        default:
            xml += static_cast<char>(c); // printable ASCII, checked before
            break;
        }
    }
    return xml;
}

// Writes harvested text values as formatted text with the module path replaced.
class TextWriter
{
public:
    TextWriter(const std::wstring& modulePath, const std::wstring& fileReference)
        : m_modulePath(modulePath), m_moduleFolder(modulePath.substr(0, modulePath.find_last_of(L"\\/") + 1)),
          m_fileReference(fileReference)
    {
    }

    // A key path or value name: taken literally; it may not name the module's path.
    std::wstring Name(const HarvestedKey& key, const HarvestedValue* value, const std::wstring& name) const
    {
        CheckWritable(key, value, name);
        if (ContainsNoCase(name, m_moduleFolder))
        {
            Refuse(key, value, "a key or value name holds the module's path");
        }
        return FormattedLiteral(name);
    }

    // A text value: each occurrence of the module path becomes the file reference.
    std::wstring Value(const HarvestedKey& key, const HarvestedValue& value, const std::wstring& text) const
    {
        CheckWritable(key, &value, text);
        std::wstring formatted;
        std::size_t start = 0;
        for (;;)
        {
            const std::size_t found = text.find(m_modulePath, start);
            const std::wstring literal =
                text.substr(start, found == std::wstring::npos ? std::wstring::npos : found - start);
            if (ContainsNoCase(literal, m_moduleFolder))
            {
                Refuse(key, &value,
                       "names the build folder '" + ToUtf8(m_moduleFolder) +
                           "' other than as the module's own path; the installed system would not have it");
            }
            formatted += FormattedLiteral(literal);
            if (found == std::wstring::npos)
            {
                return formatted;
            }
            formatted += m_fileReference;
            start = found + m_modulePath.size();
        }
    }

private:
    static void CheckWritable(const HarvestedKey& key, const HarvestedValue* value, const std::wstring& text)
    {
        if (!IsWritableText(text))
        {
            Refuse(key, value, "holds characters outside printable ASCII, which would need a package code page");
        }
    }

    std::wstring m_modulePath;
    std::wstring m_moduleFolder;
    std::wstring m_fileReference;
};

// REG_SZ and REG_EXPAND_SZ data: one string and its terminator, nothing else.
std::optional<std::wstring> SingleString(const std::vector<BYTE>& data)
{
    if (data.size() < sizeof(wchar_t) || data.size() % sizeof(wchar_t) != 0)
    {
        return std::nullopt;
    }
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::copy(data.begin(), data.end(), reinterpret_cast<BYTE*>(text.data()));
    if (text.back() != L'\0')
    {
        return std::nullopt;
    }
    text.pop_back();
    if (text.find(L'\0') != std::wstring::npos)
    {
        return std::nullopt;
    }
    return text;
}

// REG_MULTI_SZ data: non-empty strings, each terminated, then one more terminator.
std::optional<std::vector<std::wstring>> StringList(const std::vector<BYTE>& data)
{
    if (data.size() % sizeof(wchar_t) != 0)
    {
        return std::nullopt;
    }
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::copy(data.begin(), data.end(), reinterpret_cast<BYTE*>(text.data()));
    if (text.size() < 3 || text[text.size() - 1] != L'\0' || text[text.size() - 2] != L'\0')
    {
        return std::nullopt;
    }
    std::vector<std::wstring> strings;
    std::size_t start = 0;
    while (start < text.size() - 1)
    {
        const std::size_t end = text.find(L'\0', start);
        if (end == start)
        {
            return std::nullopt; // an empty string before the end
        }
        strings.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

struct Element
{
    std::wstring type;  // WiX RegistryValue type, as wixl spells it
    std::wstring value; // the Registry table's Value column, as wixl passes it on
};

Element ValueElement(const HarvestedKey& key, const HarvestedValue& value, const TextWriter& writer)
{
    switch (value.type)
    {
    case REG_SZ:
    {
        const auto text = SingleString(value.data);
        if (!text)
        {
            Refuse(key, &value, "REG_SZ data is not one terminated string");
        }
        if (text->empty() && (value.name.empty() || value.name == L"+" || value.name == L"-" || value.name == L"*"))
        {
            Refuse(key, &value, "an empty text here reads as a key-only entry to the installer");
        }
        // wixl doubles a leading "#" itself, so that the text is not taken for a number.
        return {L"string", writer.Value(key, value, *text)};
    }
    case REG_EXPAND_SZ:
    {
        const auto text = SingleString(value.data);
        if (!text)
        {
            Refuse(key, &value, "REG_EXPAND_SZ data is not one terminated string");
        }
        return {L"expandable", L"#%" + writer.Value(key, value, *text)};
    }
    case REG_MULTI_SZ:
    {
        const auto strings = StringList(value.data);
        if (!strings)
        {
            Refuse(key, &value, "REG_MULTI_SZ data is not a list of non-empty strings");
        }
        // "[~]" at both ends: the list replaces any list already there.
        std::wstring list = L"[~]";
        for (const std::wstring& text : *strings)
        {
            list += writer.Value(key, value, text) + L"[~]";
        }
        return {L"multistring", list};
    }
    case REG_DWORD:
    {
        if (value.data.size() != sizeof(std::uint32_t))
        {
            Refuse(key, &value, "REG_DWORD data is not 4 bytes");
        }
        std::uint32_t number = 0;
        std::copy(value.data.begin(), value.data.end(), reinterpret_cast<BYTE*>(&number));
        // The installer reads a signed decimal number; wixl adds the "#" that marks it.
        return {L"integer", std::to_wstring(static_cast<std::int32_t>(number))};
    }
    case REG_BINARY:
    {
        static const wchar_t digits[] = L"0123456789ABCDEF";
        std::wstring hex = L"#x";
        for (BYTE b : value.data)
        {
            hex += digits[b >> 4];
            hex += digits[b & 0x0F];
        }
        return {L"binary", hex};
    }
    default:
        Refuse(key, &value, "registry type " + std::to_string(value.type) + " cannot be carried into the package");
    }
}
} // namespace

std::string WriteWixRegistryInclude(const HarvestedRegistration& harvest, const std::wstring& fileReference)
{
    const TextWriter writer(harvest.modulePath, fileReference);
    const std::wstring moduleName = harvest.modulePath.substr(harvest.modulePath.find_last_of(L"\\/") + 1);
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                      "<!-- Registry entries of " +
                      ToUtf8(moduleName) +
                      ", harvested from its own DllRegisterServer by qvnharvest. Generated: do not edit. -->\n"
                      "<Include>\n";
    for (const HarvestedKey& key : harvest.keys)
    {
        const std::string keyAttribute = Attribute(writer.Name(key, nullptr, key.path));
        if (key.values.empty())
        {
            // Name "*" with no value: create the key on install, remove it on uninstall.
            xml += "  <RegistryValue Root=\"HKCR\" Key=\"" + keyAttribute +
                   "\" Name=\"*\" Type=\"string\" Value=\"\" />\n";
            continue;
        }
        for (const HarvestedValue& value : key.values)
        {
            const Element element = ValueElement(key, value, writer);
            xml += "  <RegistryValue Root=\"HKCR\" Key=\"" + keyAttribute + "\"";
            if (!value.name.empty())
            {
                xml += " Name=\"" + Attribute(writer.Name(key, &value, value.name)) + "\"";
            }
            xml += " Type=\"" + ToUtf8(element.type) + "\" Value=\"" + Attribute(element.value) + "\" />\n";
        }
    }
    xml += "</Include>\n";
    return xml;
}
