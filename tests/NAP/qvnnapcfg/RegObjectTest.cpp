// The registrar on its own: scripts given here run against a scratch HKEY_CLASSES_ROOT.
#include "RegObject.h"
#include "RegistrationScriptText.h"
#include "RegistrationState.h"

#include "support/ComponentDll.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace
{
const std::wstring ModulePath = L"C:\\Program Files\\Quorvane\\qvnnapcfg64.dll";

std::wstring Widen(const char* text)
{
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

class RegistrarTest : public ::testing::Test
{
protected:
    HRESULT Register(const std::wstring& script) { return registrar.RunScript(script.c_str(), TRUE); }
    HRESULT Unregister(const std::wstring& script) { return registrar.RunScript(script.c_str(), FALSE); }
    RegistrySnapshot State() const { return TakeRegistrySnapshot(HKEY_CLASSES_ROOT); }
    const RegistrySnapshot Empty = {{L"", {}}};

    ScratchRegistry scratch{{HKEY_CLASSES_ROOT}};
    CRegObject registrar;
};

// The module's own script with its path as the module does it (quotes doubled).
class ModuleScriptTest : public RegistrarTest
{
protected:
    void SetUp() override { ASSERT_EQ(registrar.AddReplacement(L"Module", ModulePath.c_str()), S_OK); }
    const std::wstring script = Widen(RegistrationScriptText);
};

TEST_F(RegistrarTest, LocalObjectNotComObject)
{
    void* out = &out;
    EXPECT_EQ(registrar.QueryInterface(IID_IUnknown, &out), E_NOTIMPL);
    EXPECT_EQ(out, &out) << "the out pointer stays untouched";
    EXPECT_EQ(registrar.AddRef(), 1u);
    EXPECT_EQ(registrar.Release(), 0u);
    EXPECT_EQ(registrar.AddReplacement(nullptr, L"x"), E_INVALIDARG);
    EXPECT_EQ(registrar.AddReplacement(L"x", nullptr), E_INVALIDARG);

    ASSERT_EQ(registrar.AddReplacement(L"Name", L"A"), S_OK);
    EXPECT_EQ(Register(L"HKCR { %Name% }"), S_OK);
    EXPECT_EQ(registrar.ClearReplacements(), S_OK);
    EXPECT_EQ(Register(L"HKCR { %Name% }"), DISP_E_EXCEPTION);
}

// Each case writes the value v of key K from "HKCR { K { val v = <assignment> } }".
struct ValueCase
{
    const wchar_t* assignment;
    HRESULT result;
    DWORD type;
    std::vector<BYTE> data;
};

std::vector<BYTE> Utf16(const std::wstring& text)
{
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(bytes, bytes + text.size() * sizeof(wchar_t));
}

TEST_F(RegistrarTest, ValueTypesAndTokens)
{
    const ValueCase cases[] = {
        {L"s 'a''b'", S_OK, REG_SZ, Utf16(std::wstring(L"a'b") + L'\0')},
        {L"s {73D1100C-337E-4de7-84B9-8F5B10202693}", S_OK, REG_SZ,
         Utf16(std::wstring(L"{73D1100C-337E-4de7-84B9-8F5B10202693}") + L'\0')},
        {L"s ''", S_OK, REG_SZ, Utf16(std::wstring(1, L'\0'))},
        {L"S 'two  words'", S_OK, REG_SZ, Utf16(std::wstring(L"two  words") + L'\0')},
        {L"m 'a\\0b'", S_OK, REG_MULTI_SZ, Utf16(std::wstring(L"a\0b\0\0", 5))},
        {L"m a\\0\\0b", S_OK, REG_MULTI_SZ, Utf16(std::wstring(L"a\0\0", 3))},
        {L"m ''", S_OK, REG_MULTI_SZ, Utf16(std::wstring(1, L'\0'))},
        {L"d 1", S_OK, REG_DWORD, {1, 0, 0, 0}},
        {L"D 4294967295", S_OK, REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
        {L"b 0aFf", S_OK, REG_BINARY, {0x0A, 0xFF}},
        {L"b 0g", S_OK, REG_BINARY, {0x00}},
        {L"b ''", S_OK, REG_BINARY, {}},
        {L"b abc", E_FAIL},
        {L"d abc", DISP_E_EXCEPTION}, // rejected text writes no made-up number
        {L"d -1", DISP_E_EXCEPTION},
        {L"d 4294967296", DISP_E_EXCEPTION},
        {L"sz x", DISP_E_EXCEPTION},
        {L"x 1", DISP_E_EXCEPTION},
        {L"s 'open", DISP_E_EXCEPTION},
        {L"s", DISP_E_EXCEPTION},
    };
    for (const ValueCase& c : cases)
    {
        SCOPED_TRACE(c.assignment);
        EXPECT_EQ(Register(std::wstring(L"HKCR { K { val v = ") + c.assignment + L" } }"), c.result);
        const auto value = ReadRegistryValue(HKEY_CLASSES_ROOT, L"K", L"v");
        ASSERT_EQ(value.has_value(), c.result == S_OK);
        if (value)
        {
            EXPECT_EQ(value->type, c.type);
            EXPECT_EQ(value->data, c.data);
        }
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L"K");
    }
}

TEST_F(RegistrarTest, TokenLengthLimits)
{
    const std::wstring longest(4094, L'x');
    EXPECT_EQ(Register(L"HKCR { K { val v = s " + longest + L" } }"), S_OK);
    EXPECT_EQ(ReadRegistryValue(HKEY_CLASSES_ROOT, L"K", L"v")->Text(), longest);
    EXPECT_EQ(Register(L"HKCR { K { val v = s " + longest + L"y } }"), DISP_E_EXCEPTION);
    // A quoted token counts what it stands for: a doubled quote is one character.
    const std::wstring quotedText = longest.substr(1) + L"'";
    EXPECT_EQ(Register(L"HKCR { K { val v = s '" + longest.substr(1) + L"''' } }"), S_OK);
    EXPECT_EQ(ReadRegistryValue(HKEY_CLASSES_ROOT, L"K", L"v")->Text(), quotedText);
    EXPECT_EQ(Register(L"HKCR { K { val v = s '" + longest + L"y' } }"), DISP_E_EXCEPTION);

    const std::wstring longestName(258, L'n');
    EXPECT_EQ(Register(L"HKCR { K { val " + longestName + L" = s x } }"), S_OK);
    EXPECT_TRUE(ReadRegistryValue(HKEY_CLASSES_ROOT, L"K", longestName.c_str()));
    EXPECT_EQ(Register(L"HKCR { K { val " + longestName + L"n = s x } }"), DISP_E_EXCEPTION);
}

TEST_F(RegistrarTest, Placeholders)
{
    ASSERT_EQ(registrar.AddReplacement(L"Module", L"C:\\50%\\%MODULE%\\x"), S_OK);
    ASSERT_EQ(registrar.AddReplacement(L"MODULE", L"second"), S_OK);
    ASSERT_EQ(registrar.AddReplacement(std::wstring(31, L'p').c_str(), L"long"), S_OK);
    ASSERT_EQ(registrar.AddReplacement(L"Key", L"Name"), S_OK);

    EXPECT_EQ(Register(L"HKCR { %key% = s '%%|%module%|%" + std::wstring(31, L'P') + L"%' }"), S_OK);
    EXPECT_EQ(ReadRegistryValue(HKEY_CLASSES_ROOT, L"Name", nullptr)->Text(), L"%|C:\\50%\\%MODULE%\\x|long")
        << "%% is one %, names match in any case, the first pair wins, values are not expanded again";

    EXPECT_EQ(Register(L"HKCR { %" + std::wstring(32, L'p') + L"% }"), E_FAIL);
    EXPECT_EQ(Register(L"HKCR { %Unknown% }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register(L"HKCR { K } %Module"), DISP_E_EXCEPTION);
    EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"K")) << "expansion fails before anything runs";
}

TEST_F(RegistrarTest, SyntaxErrors)
{
    const wchar_t* scripts[] = {
        L"HKXX { K }",                // unknown root key
        L"HKCR K",                    // no block after the root key
        L"HKCR { K { }",              // block without its end
        L"HKCR { a\\b }",             // key name with a backslash
        L"HKCR { ForceRemove a\\b }", //
        L"HKCR { '' }",               // empty key name: it would stand for the parent
        L"HKCR { ForceRemove '' }",   //
        L"HKCR { val v s x }",        // no "=" after a value name
        L"HKCR { val v = s x { } }",  // a value has no block
        L"HKCR { Delete K { } }",     // neither has a deleted key
        L"  ",                        // a root key expected
    };
    for (const wchar_t* script : scripts)
    {
        SCOPED_TRACE(script);
        EXPECT_EQ(Register(script), DISP_E_EXCEPTION);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L"K");
    }
    EXPECT_EQ(Register(L""), S_OK);
    EXPECT_EQ(Register(L"hkey_classes_root { 'NoRemove' K '{' } }\r\n\t "), S_OK)
        << "quoting keeps a token's meaning; root names ignore case; whitespace may follow";
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"K"));
}

TEST_F(ModuleScriptTest, RegistersTheClassAndRegistersAgainIdentically)
{
    ASSERT_EQ(Register(script), S_OK);
    ExpectRegistered(HKEY_CLASSES_ROOT, ModulePath);
    const RegistrySnapshot first = State();

    WriteRegistryString(HKEY_CLASSES_ROOT, ClassKey, L"ByHand", L"x");
    WriteRegistryString(HKEY_CLASSES_ROOT, ClassKey + L"\\InprocServer32\\Extra", L"ByHand", L"x");
    WriteRegistryString(HKEY_CLASSES_ROOT, AppIdKey, L"ByHand", L"kept");
    ASSERT_EQ(Register(script), S_OK);
    EXPECT_EQ(ReadRegistryValue(HKEY_CLASSES_ROOT, AppIdKey, L"ByHand")->Text(), L"kept");
    RegDeleteKeyValueW(HKEY_CLASSES_ROOT, AppIdKey.c_str(), L"ByHand");
    ExpectRegistered(HKEY_CLASSES_ROOT, ModulePath);
    EXPECT_EQ(State(), first);
}

TEST_F(ModuleScriptTest, UnregistersExactlyTheClass)
{
    EXPECT_EQ(Unregister(script), S_OK) << "nothing registered is no error";
    EXPECT_EQ(State(), Empty);

    WriteRegistryString(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-0000-0000-0000-000000000001}", nullptr, L"other");
    ASSERT_EQ(Register(script), S_OK);
    const RegistrySnapshot before = State();
    ASSERT_EQ(Unregister(script), S_OK);
    RegistrySnapshot expected;
    for (const auto& [path, values] : before)
    {
        if (path.rfind(ClassKey, 0) != 0 && path.rfind(AppIdKey, 0) != 0 && path.rfind(AppIdDllKey, 0) != 0)
        {
            expected[path] = values;
        }
    }
    EXPECT_EQ(State(), expected) << "CLSID and AppID themselves stay";
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"AppID"));
}

TEST_F(ModuleScriptTest, FailedRegistrationTakesTheWholeBlockBack)
{
    // Below a volatile key only volatile keys can be created, so AppID\qvnnapcfg64.dll
    // fails after the class key and AppID\{73D1100C-...} were written.
    for (const wchar_t* path : {L"AppID", L"AppID\\{73D1100C-337E-4de7-84B9-8F5B10202693}"})
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    EXPECT_EQ(Register(script), HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE));
    ExpectUnregistered(HKEY_CLASSES_ROOT);
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

TEST_F(RegistrarTest, FailingRootBlockEndsTheRun)
{
    EXPECT_EQ(Register(L"HKCR { A } HKCR { B { C } D\\x } HKCR { E }"), DISP_E_EXCEPTION);
    EXPECT_EQ(State(), (RegistrySnapshot{{L"", {}}, {L"A", {}}}))
        << "blocks before the failing one stay, the failing one goes, later ones are not read";
}

TEST_F(RegistrarTest, FailedBlockIsTakenBackUntilNothingIsLeft)
{
    // One unregister pass keeps K (it still holds C when its first entry is read), removes
    // C in the second entry and stops at the missing end before K is looked at again.
    EXPECT_EQ(Register(L"HKCR { K K { C }"), DISP_E_EXCEPTION);
    EXPECT_EQ(State(), Empty);
}

// Out of memory the registrar raises its exception, wherever that happens in the
// register pass: the failing block is taken back all the same.
TEST_F(RegistrarTest, AllocationFailureInTheRegisterPassIsTakenBack)
{
    const std::wstring script = L"HKCR { K = s x { val m = m 'a\\0b' Sub { val d = d 1 } } L }";
    unsigned failing = 1;
    for (;; ++failing)
    {
        SCOPED_TRACE(testing::Message() << "allocation " << failing);
        FailRegistrarAllocationForTesting(failing);
        const HRESULT hr = Register(script);
        FailRegistrarAllocationForTesting(0);
        if (hr == S_OK)
        {
            break; // fewer allocations than that
        }
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        EXPECT_EQ(State(), Empty);
        ASSERT_LT(failing, 100u);
    }
    EXPECT_GT(failing, 12u) << "every token and the multi-string's buffer allocate";
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"K\\Sub"));
}

// A block after a value or a Delete entry is outside the grammar. Both passes refuse it
// before they write or delete anything: read on, the block's entries would pass for
// entries of the parent ("K" below would be deleted from the root).
TEST_F(RegistrarTest, BlockAfterValueOrDeleteChangesNothingInEitherPass)
{
    for (const wchar_t* script : {L"HKCR { val v = s x { K } }", L"HKCR { NoRemove P { val v = s x { K } } }",
                                  L"HKCR { Delete D = s x { K } }", L"HKCR { Delete D { K } }"})
    {
        SCOPED_TRACE(script);
        WriteRegistryString(HKEY_CLASSES_ROOT, L"K", L"v", L"x");
        WriteRegistryString(HKEY_CLASSES_ROOT, L"D", L"v", L"x");
        WriteRegistryString(HKEY_CLASSES_ROOT, L"P", L"w", L"x");
        RegDeleteKeyValueW(HKEY_CLASSES_ROOT, L"K", L"v");
        const RegistrySnapshot before = State();
        EXPECT_EQ(Unregister(script), DISP_E_EXCEPTION);
        EXPECT_EQ(State(), before) << "unregister";
        EXPECT_EQ(Register(script), DISP_E_EXCEPTION);
        EXPECT_EQ(State(), before) << "register";
    }
}

TEST_F(RegistrarTest, ForceRemoveDeleteAndProtectedKeys)
{
    // Keys that hold what other software registered; their names match in any case.
    const std::wstring protectedNames[] = {
        L"AppID",    L"CLSID",     L"Component Categories",
        L"FileType", L"Interface", L"Hardware",
        L"Mime",     L"SAM",       L"SECURITY",
        L"SYSTEM",   L"Software",  L"TypeLib",
    };
    std::wstring script = L"HKCR { ";
    for (const std::wstring& name : protectedNames)
    {
        WriteRegistryString(HKEY_CLASSES_ROOT, name + L"\\Old", L"v", L"x");
        std::wstring lower = name;
        std::wstring upper = name;
        CharLowerW(lower.data());
        CharUpperW(upper.data());
        script += L"ForceRemove '" + lower + L"' Delete '" + upper + L"' ";
    }
    for (const wchar_t* path : {L"Gone\\Old\\Deeper", L"Also\\Old"})
    {
        WriteRegistryString(HKEY_CLASSES_ROOT, path, L"v", L"x");
    }
    ASSERT_EQ(Register(script + L"ForceRemove Gone { val n = s new } Delete Also = s ignored }"), S_OK);
    for (const std::wstring& name : protectedNames)
    {
        EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, name + L"\\Old")) << "protected, never deleted: " << name;
    }
    EXPECT_EQ(TakeRegistrySnapshot(HKEY_CLASSES_ROOT, L"Gone"), (RegistrySnapshot{{L"", {{L"n", SzValue(L"new")}}}}));
    EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Also"));
}

// The default value ('') and a value name with a backslash, which names a value, not a
// key below it, in both passes.
TEST_F(RegistrarTest, DefaultValueAndBackslashInValueNames)
{
    ASSERT_EQ(Register(L"HKCR { K { val '' = s default val 'a\\b' = s slash } }"), S_OK);
    EXPECT_EQ(State(),
              (RegistrySnapshot{{L"", {}}, {L"K", {{L"", SzValue(L"default")}, {L"a\\b", SzValue(L"slash")}}}}));
    ASSERT_EQ(Unregister(L"HKCR { NoRemove K { val '' = s x val 'a\\b' = s x } }"), S_OK);
    EXPECT_EQ(State(), (RegistrySnapshot{{L"", {}}, {L"K", {}}}));
}

// Gives a key below the scratch HKEY_CLASSES_ROOT another security descriptor (SDDL) for
// the object's lifetime, then full access again so that the scratch tree can go.
class KeySecurity
{
public:
    KeySecurity(const wchar_t* path, const wchar_t* sddl) : m_path(path) { m_status = Apply(sddl); }
    ~KeySecurity() { Apply(L"D:P(A;;KA;;;WD)"); }
    KeySecurity(const KeySecurity&) = delete;
    KeySecurity& operator=(const KeySecurity&) = delete;

    LSTATUS Status() const { return m_status; }

private:
    LSTATUS Apply(const wchar_t* sddl)
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        {
            return static_cast<LSTATUS>(GetLastError());
        }
        const bool owner = sddl[0] == L'O';
        UniqueRegistryKey key;
        LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, m_path, 0, WRITE_DAC | (owner ? WRITE_OWNER : 0), key.Put());
        if (status == ERROR_SUCCESS)
        {
            status = RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION | (owner ? OWNER_SECURITY_INFORMATION : 0),
                                       descriptor);
        }
        LocalFree(descriptor);
        return status;
    }

    const wchar_t* m_path;
    LSTATUS m_status;
};

// What the platform answers when the key at path (below HKEY_CLASSES_ROOT) is opened
// with access.
LSTATUS OpenStatus(const wchar_t* path, REGSAM access)
{
    UniqueRegistryKey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, access, key.Put());
}

// A value write, key open or key delete that fails (other than for a missing key) is the
// result of the pass, never passed over as success.
TEST_F(RegistrarTest, FailedRegistryCallsAreTheResult)
{
    WriteRegistryString(HKEY_CLASSES_ROOT, L"ReadOnly", L"v", L"x");
    WriteRegistryString(HKEY_CLASSES_ROOT, L"Closed", L"v", L"x");
    RegDeleteKeyValueW(HKEY_CLASSES_ROOT, L"ReadOnly", L"v");
    RegDeleteKeyValueW(HKEY_CLASSES_ROOT, L"Closed", L"v");
    WriteRegistryString(HKEY_CLASSES_ROOT, L"Undeletable", L"v", L"x");
    RegDeleteKeyValueW(HKEY_CLASSES_ROOT, L"Undeletable", L"v");
    const KeySecurity readOnly(L"ReadOnly", L"D:P(A;;KR;;;WD)");
    const KeySecurity closed(L"Closed", L"D:P");
    std::optional<KeySecurity> undeletable;
    undeletable.emplace(L"Undeletable", L"D:P(A;;KRWD;;;WD)");
    if (OpenStatus(L"Undeletable", DELETE) == ERROR_SUCCESS)
    {
        // Wine lets a key's owner delete it whatever the key's DACL says: hand it to SYSTEM.
        undeletable.reset();
        undeletable.emplace(L"Undeletable", L"O:SYD:P(A;;KRWD;;;WD)");
    }
    ASSERT_EQ(readOnly.Status(), ERROR_SUCCESS);
    ASSERT_EQ(closed.Status(), ERROR_SUCCESS);
    ASSERT_EQ(undeletable->Status(), ERROR_SUCCESS);

    const LSTATUS cannotWrite = OpenStatus(L"ReadOnly", KEY_SET_VALUE);
    ASSERT_NE(cannotWrite, ERROR_SUCCESS);
    EXPECT_EQ(Register(L"HKCR { ReadOnly { val v = s new } }"), HRESULT_FROM_WIN32(cannotWrite)) << "value write";
    EXPECT_EQ(Register(L"HKCR { ReadOnly = s new }"), HRESULT_FROM_WIN32(cannotWrite)) << "default value write";

    const LSTATUS cannotOpen = OpenStatus(L"Closed", KEY_READ);
    ASSERT_NE(cannotOpen, ERROR_SUCCESS);
    ASSERT_NE(cannotOpen, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Unregister(L"HKCR { Closed }"), HRESULT_FROM_WIN32(cannotOpen)) << "key open";

    const LSTATUS cannotDelete = OpenStatus(L"Undeletable", DELETE);
    ASSERT_NE(cannotDelete, ERROR_SUCCESS);
    EXPECT_EQ(Unregister(L"HKCR { Undeletable }"), HRESULT_FROM_WIN32(cannotDelete)) << "key delete";
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Undeletable"));
}

TEST_F(RegistrarTest, UnregisterKeepsWhatIsNotTheScripts)
{
    WriteRegistryString(HKEY_CLASSES_ROOT, L"Kept", L"listed", L"x");
    WriteRegistryString(HKEY_CLASSES_ROOT, L"Kept", L"unlisted", L"x");
    WriteRegistryString(HKEY_CLASSES_ROOT, L"Kept\\Unlisted", L"v", L"x");
    WriteRegistryString(HKEY_CLASSES_ROOT, L"Marked", L"v", L"x");
    WriteRegistryString(HKEY_CLASSES_ROOT, L"Deleted", L"v", L"x");
    ASSERT_EQ(Unregister(L"HKCR { Kept { val listed = s x } NoRemove Marked { NoRemove val v = s x } "
                         L"Delete Deleted Missing { Deeper { val v = s x } } }"),
              S_OK);
    EXPECT_EQ(State(), (RegistrySnapshot{{L"", {}},
                                         {L"Kept", {{L"unlisted", SzValue(L"x")}}},
                                         {L"Kept\\Unlisted", {{L"v", SzValue(L"x")}}},
                                         {L"Marked", {{L"v", SzValue(L"x")}}}}));
}

TEST_F(RegistrarTest, ErrorInsideAMissingKeysBlockEndsTheUnregisterPass)
{
    // Read on from the bad name, "{ Victim }" would become entries of the root block.
    WriteRegistryString(HKEY_CLASSES_ROOT, L"Victim", L"v", L"x");
    RegDeleteKeyValueW(HKEY_CLASSES_ROOT, L"Victim", L"v");
    EXPECT_EQ(Unregister(L"HKCR { Missing { a\\b { Victim } } }"), DISP_E_EXCEPTION);
    EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Victim"));
}

std::wstring NestedKeys(int depth)
{
    std::wstring script = L"HKCR { ";
    for (int i = 0; i < depth; ++i)
    {
        script += L"k { ";
    }
    for (int i = 0; i <= depth; ++i)
    {
        script += L"} ";
    }
    return script;
}

TEST_F(RegistrarTest, NestingDeeperThanTheRegistryFails)
{
    EXPECT_EQ(Unregister(NestedKeys(512)), S_OK);
    EXPECT_EQ(Unregister(NestedKeys(513)), DISP_E_EXCEPTION);
    EXPECT_EQ(Register(NestedKeys(513)), DISP_E_EXCEPTION);
    const std::wstring deep = NestedKeys(200000);
    EXPECT_EQ(Unregister(deep), DISP_E_EXCEPTION);
    EXPECT_EQ(Register(deep), DISP_E_EXCEPTION);
}

// Every root-key name reaches its key: each root in turn is redirected to a scratch key
// of its own, where the script's key must appear.
TEST(RegistrarRootKeyTest, EveryRootNameReachesItsKey)
{
    // Each key with its short and its long name.
    const struct
    {
        HKEY root;
        const wchar_t* names[2];
    } roots[] = {
        {HKEY_CLASSES_ROOT, {L"HKCR", L"HKEY_CLASSES_ROOT"}},
        {HKEY_CURRENT_USER, {L"HKCU", L"HKEY_CURRENT_USER"}},
        {HKEY_LOCAL_MACHINE, {L"HKLM", L"HKEY_LOCAL_MACHINE"}},
        {HKEY_USERS, {L"HKU", L"HKEY_USERS"}},
        {HKEY_PERFORMANCE_DATA, {L"HKPD", L"HKEY_PERFORMANCE_DATA"}},
        {HKEY_DYN_DATA, {L"HKDD", L"HKEY_DYN_DATA"}},
        {HKEY_CURRENT_CONFIG, {L"HKCC", L"HKEY_CURRENT_CONFIG"}},
    };
    for (const auto& [root, names] : roots)
    {
        for (const wchar_t* name : names)
        {
            SCOPED_TRACE(name);
            ScratchRegistry scratch{{root}};
            CRegObject registrar;
            const HRESULT hr = registrar.RunScript((name + std::wstring(L" { QvnRootProbe }")).c_str(), TRUE);
            if (root == HKEY_PERFORMANCE_DATA)
            {
                // Keys cannot be created below the performance data, redirected or not; the
                // registrar must meet that very refusal.
                UniqueRegistryKey probe;
                const LSTATUS refused = RegCreateKeyExW(HKEY_PERFORMANCE_DATA, L"QvnRootProbe", 0, nullptr, 0,
                                                        KEY_READ | KEY_WRITE, nullptr, probe.Put(), nullptr);
                ASSERT_NE(refused, ERROR_SUCCESS);
                EXPECT_EQ(hr, HRESULT_FROM_WIN32(refused));
                continue;
            }
            EXPECT_EQ(hr, S_OK);
            EXPECT_TRUE(RegistryKeyExists(scratch.Key(), L"QvnRootProbe"));
        }
    }
}

TEST_F(ModuleScriptTest, ResourceScriptOfTheDll)
{
    const std::wstring dll = PathBesideProgram(L"qvnnapcfg64.dll");
    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(101), L"REGISTRY");
    ASSERT_NE(resource, nullptr);
    const std::string bytes(static_cast<const char*>(LockResource(LoadResource(module, resource))),
                            SizeofResource(module, resource));
    EXPECT_EQ(bytes, RegistrationScriptText);
    std::vector<WORD> languages;
    EnumResourceLanguagesW(
        module, L"REGISTRY", MAKEINTRESOURCEW(101),
        [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
            reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, std::vector<WORD>{MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)});
    FreeLibrary(module);

    EXPECT_EQ(registrar.RunResourceScript(dll.c_str(), 101, L"REGISTRY", TRUE), S_OK);
    ExpectRegistered(HKEY_CLASSES_ROOT, ModulePath);
    EXPECT_EQ(registrar.RunResourceScript(dll.c_str(), 101, L"REGISTRY", FALSE), S_OK);
    ExpectUnregistered(HKEY_CLASSES_ROOT);
    EXPECT_EQ(registrar.RunResourceScript(dll.c_str(), 102, L"REGISTRY", TRUE),
              HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    const HRESULT missing = registrar.RunResourceScript(L"C:\\no\\such.dll", 101, L"REGISTRY", TRUE);
    EXPECT_TRUE(FAILED(missing) && HRESULT_FACILITY(missing) == FACILITY_WIN32) << std::hex << missing;
}
} // namespace
