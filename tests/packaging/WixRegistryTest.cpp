// The WiX include written from harvested entries: every value reaches the Registry
// table as the installer must read it, and entries it could not reproduce are refused.
#include "PackagingError.h"
#include "WixRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{
const std::wstring ModulePath = L"C:\\build\\bin\\qvnfake.dll";
const std::wstring FileReference = L"[#QvnFakeDll]";

HarvestedValue Bytes(const std::wstring& name, DWORD type, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const BYTE*>(data);
    return {name, type, std::vector<BYTE>(bytes, bytes + size)};
}

// Text data as the registry holds it: the characters and a terminator.
HarvestedValue Text(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ)
{
    return Bytes(name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

HarvestedValue Dword(const std::wstring& name, DWORD number)
{
    return Bytes(name, REG_DWORD, &number, sizeof(number));
}

std::string Write(std::vector<HarvestedKey> keys)
{
    return WriteWixRegistryInclude({ModulePath, std::move(keys)}, FileReference);
}

std::string WriteValue(const HarvestedValue& value)
{
    return Write({{L"Key", {value}}});
}

// The one element written for a value under "Key".
std::string Element(const std::string& attributes)
{
    return "  <RegistryValue Root=\"HKCR\" Key=\"Key\" " + attributes + " />\n";
}

void ExpectRefused(const HarvestedValue& value, const std::string& reason)
{
    try
    {
        WriteValue(value);
        ADD_FAILURE() << "accepted, expected a refusal: " << reason;
    }
    catch (const PackagingError& error)
    {
        EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("HKCR\\Key"), std::string::npos) << error.what();
    }
}

TEST(WixRegistryTest, EachTypeReachesTheTableAsTheInstallerReadsIt)
{
    const std::string multi = "first\0second\0\0";
    const std::wstring wideMulti(L"first\0second\0\0", 14);
    const BYTE bytes[] = {0x0A, 0xFF, 0x00};
    const std::string xml =
        Write({{L"Key",
                {Text(L"", L"Quorvane SHV Configurator"), Text(L"Name", L"Neutral"), Text(L"Empty", L""),
                 Text(L"Expand", L"%SystemRoot%\\x", REG_EXPAND_SZ),
                 Bytes(L"Multi", REG_MULTI_SZ, wideMulti.data(), wideMulti.size() * 2), Dword(L"One", 1),
                 Dword(L"Max", 0xFFFFFFFF), Bytes(L"Bytes", REG_BINARY, bytes, sizeof(bytes)),
                 Bytes(L"NoBytes", REG_BINARY, bytes, 0)}}});
    EXPECT_NE(xml.find(Element("Type=\"string\" Value=\"Quorvane SHV Configurator\"")), std::string::npos) << xml;
    EXPECT_NE(xml.find(Element("Name=\"Name\" Type=\"string\" Value=\"Neutral\"")), std::string::npos) << xml;
    EXPECT_NE(xml.find(Element("Name=\"Empty\" Type=\"string\" Value=\"\"")), std::string::npos) << xml;
    EXPECT_NE(xml.find(Element("Name=\"Expand\" Type=\"expandable\" Value=\"#%%SystemRoot%\\x\"")), std::string::npos)
        << xml;
    EXPECT_NE(xml.find(Element("Name=\"Multi\" Type=\"multistring\" Value=\"[~]first[~]second[~]\"")),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find(Element("Name=\"One\" Type=\"integer\" Value=\"1\"")), std::string::npos) << xml;
    EXPECT_NE(xml.find(Element("Name=\"Max\" Type=\"integer\" Value=\"-1\"")), std::string::npos) << xml;
    EXPECT_NE(xml.find(Element("Name=\"Bytes\" Type=\"binary\" Value=\"#x0AFF00\"")), std::string::npos) << xml;
    EXPECT_NE(xml.find(Element("Name=\"NoBytes\" Type=\"binary\" Value=\"#x\"")), std::string::npos) << xml;
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n", 0), 0u);
    EXPECT_NE(xml.find("<Include>\n"), std::string::npos);
    EXPECT_EQ(xml.substr(xml.size() - 11), "</Include>\n");
}

TEST(WixRegistryTest, KeysWithoutValuesAreCreatedAndRemovedWithThePackage)
{
    const std::string xml = Write({{L"Parent\\Empty", {}}, {L"Other", {Text(L"", L"x")}}});
    EXPECT_NE(xml.find("  <RegistryValue Root=\"HKCR\" Key=\"Parent\\Empty\" Name=\"*\" Type=\"string\" Value=\"\" />"),
              std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("Key=\"Parent\""), std::string::npos) << "only the harvested keys are written";
}

TEST(WixRegistryTest, ModulePathBecomesTheInstalledFileReference)
{
    const std::wstring list = std::wstring(L"a\0", 2) + ModulePath + std::wstring(L"\0\0", 2);
    const std::string xml =
        Write({{L"CLSID\\{X}\\InprocServer32", {Text(L"", ModulePath)}},
               {L"CLSID\\{X}",
                {Text(L"LocalizedString", L"@" + ModulePath + L",-100"), Text(L"Twice", ModulePath + L";" + ModulePath),
                 Bytes(L"List", REG_MULTI_SZ, list.data(), list.size() * 2)}}});
    EXPECT_NE(xml.find("Key=\"CLSID\\{X}\\InprocServer32\" Type=\"string\" Value=\"[#QvnFakeDll]\""), std::string::npos)
        << xml;
    EXPECT_NE(xml.find("Value=\"@[#QvnFakeDll],-100\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("Value=\"[#QvnFakeDll];[#QvnFakeDll]\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("Value=\"[~]a[~][#QvnFakeDll][~]\""), std::string::npos) << xml;
    EXPECT_EQ(xml.find("build"), std::string::npos) << "the build path leaked: " << xml;
}

TEST(WixRegistryTest, TextIsEscapedForTheInstallerAndForWixl)
{
    // Brackets would start a property reference, "$" a wixl variable, the others XML.
    EXPECT_NE(WriteValue(Text(L"N", L"a[b]c$d&e<f>g\"h"))
                  .find(Element("Name=\"N\" Type=\"string\" Value=\"a[\\[]b[\\]]c$$d&amp;e&lt;f&gt;g&quot;h\"")),
              std::string::npos);
    // wixl itself doubles a leading "#", which would otherwise mark a number.
    EXPECT_NE(WriteValue(Text(L"N", L"#1")).find("Value=\"#1\""), std::string::npos);
    EXPECT_NE(WriteValue(Text(L"N", L"line\r\n\tnext")).find("Value=\"line&#13;&#10;&#9;next\""), std::string::npos);
    EXPECT_NE(Write({{L"K[1]", {Text(L"V$", L"x")}}}).find("Key=\"K[\\[]1[\\]]\" Name=\"V$$\""), std::string::npos);
}

TEST(WixRegistryTest, EntriesThePackageCannotReproduceAreRefused)
{
    const std::uint64_t quad = 1;
    ExpectRefused(Bytes(L"Q", REG_QWORD, &quad, sizeof(quad)), "registry type 11");
    ExpectRefused(Bytes(L"Unterminated", REG_SZ, L"ab", 4), "not one terminated string");
    ExpectRefused(Bytes(L"Embedded", REG_SZ, L"a\0b", 8), "not one terminated string");
    ExpectRefused(Bytes(L"Odd", REG_SZ, "abc", 3), "not one terminated string");
    ExpectRefused(Bytes(L"Expand", REG_EXPAND_SZ, L"ab", 4), "not one terminated string");
    ExpectRefused(Bytes(L"EmptyInside", REG_MULTI_SZ, L"a\0\0b\0\0", 14), "not a list of non-empty strings");
    ExpectRefused(Bytes(L"Unended", REG_MULTI_SZ, L"a\0b", 8), "not a list of non-empty strings");
    ExpectRefused(Bytes(L"NoStrings", REG_MULTI_SZ, L"\0", 4), "not a list of non-empty strings");
    ExpectRefused(Bytes(L"Short", REG_DWORD, "abc", 3), "not 4 bytes");
    ExpectRefused(Text(L"", L""), "key-only entry");
    ExpectRefused(Text(L"*", L""), "key-only entry");
    ExpectRefused(Text(L"+", L""), "key-only entry");
    ExpectRefused(Text(L"Cyrillic", L"\x0416"), "printable ASCII");
    ExpectRefused(Text(L"Bell", L"\a"), "printable ASCII");
    // Another file of the build folder: the installed system would not have it.
    ExpectRefused(Text(L"Other", L"C:\\Build\\Bin\\other.dll"), "names the build folder");
    ExpectRefused(Text(ModulePath, L"x"), "holds the module's path");
}
} // namespace
