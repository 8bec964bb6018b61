// Mutations of the module's registration script run through the registrar against a
// scratch HKEY_CLASSES_ROOT, in the register and the unregister pass. Every result must
// be one the registrar documents, nothing may crash or hang, and a register pass that
// failed in a root block must leave nothing that the unregister pass of that block would
// still remove.
//
// The seed is fixed. The ordinary run is bounded in cases and seconds; QVN_FUZZ_SCALE=N
// runs N times as many cases, stopping early only when that takes more than 4N times
// as long (run the program directly, or raise CTest's time-out, for large N).
#include "RegObject.h"
#include "RegistrationScriptText.h"

#include "support/FuzzScale.h"
#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cwctype>
#include <random>
#include <string>
#include <vector>

namespace
{
constexpr unsigned Seed = 0x51A7E5u;
constexpr unsigned CasesPerScale = 1200;
constexpr auto SecondsPerScale = std::chrono::seconds(4);

bool IsDocumentedResult(HRESULT hr)
{
    return hr == S_OK || hr == DISP_E_EXCEPTION || hr == E_FAIL || hr == E_OUTOFMEMORY ||
           (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32);
}

class ScriptMutator
{
public:
    explicit ScriptMutator(unsigned seed) : m_random(seed) {}

    // One to three token or character mutations of text.
    std::wstring Mutate(std::wstring text)
    {
        for (unsigned count = 1 + Pick(3); count > 0; --count)
        {
            MutateOnce(text);
        }
        return text;
    }

private:
    struct Span
    {
        std::size_t start;
        std::size_t length;
    };

    unsigned Pick(std::size_t bound) { return bound == 0 ? 0 : static_cast<unsigned>(m_random() % bound); }

    static std::vector<Span> Tokens(const std::wstring& text)
    {
        std::vector<Span> spans;
        for (std::size_t i = 0; i < text.size();)
        {
            if (std::iswspace(text[i]))
            {
                ++i;
                continue;
            }
            const std::size_t start = i;
            while (i < text.size() && !std::iswspace(text[i]))
            {
                ++i;
            }
            spans.push_back({start, i - start});
        }
        return spans;
    }

    void MutateOnce(std::wstring& text)
    {
        // Letters that could turn HKCR into another root key are left out of the alphabet.
        static const std::wstring alphabet = L"{}=%'\\ \t\n0a1-x";
        static const std::vector<std::wstring> dictionary = {
            L"{",
            L"}",
            L"=",
            L"''",
            L"'",
            L"NoRemove",
            L"ForceRemove",
            L"Delete",
            L"val",
            L"s",
            L"d",
            L"m",
            L"b",
            L"%MODULE%",
            L"%%",
            L"%",
            L"a\\b",
            L"x",
            L"abc",
            L"0g",
            L"'a''b'",
            L"CLSID",
            L"AppID",
            L"'two words'",
            L"%Nope%",
            L"-1",
            L"1",
            L"}}",
            L"a\\0\\0",
            L"{{",
            std::wstring(4095, L'w'),
        };
        const std::vector<Span> tokens = Tokens(text);
        if (tokens.empty() || text.empty())
        {
            text += dictionary[Pick(dictionary.size())];
            return;
        }
        const Span& token = tokens[Pick(tokens.size())];
        const std::size_t at = Pick(text.size());
        switch (Pick(9))
        {
        case 0:
            text.erase(token.start, token.length);
            break;
        case 1:
            text.insert(token.start, text.substr(token.start, token.length) + L" ");
            break;
        case 2:
        {
            const Span& other = tokens[Pick(tokens.size())];
            if (other.start == token.start)
            {
                break;
            }
            const Span& first = other.start < token.start ? other : token;
            const Span& second = other.start < token.start ? token : other;
            const std::wstring firstText = text.substr(first.start, first.length);
            const std::wstring secondText = text.substr(second.start, second.length);
            text.replace(second.start, second.length, firstText); // the later one first: offsets hold
            text.replace(first.start, first.length, secondText);
            break;
        }
        case 3:
            text.replace(token.start, token.length, dictionary[Pick(dictionary.size())]);
            break;
        case 4:
            text.erase(at, 1);
            break;
        case 5:
            text.insert(at, 1, text[at]);
            break;
        case 6:
            if (at + 1 < text.size())
            {
                std::swap(text[at], text[at + 1]);
            }
            break;
        case 7:
            text[at] = alphabet[Pick(alphabet.size())];
            break;
        default:
            text.insert(at, 1, alphabet[Pick(alphabet.size())]);
            break;
        }
    }

    std::mt19937 m_random;
};

std::wstring Widen(const char* text)
{
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

std::string Printable(const std::wstring& text)
{
    std::string printable;
    for (wchar_t c : text)
    {
        printable += c == L'\t' ? std::string("\\t") : c == L'\n' ? std::string("\\n") : std::string(1, char(c));
    }
    return printable;
}

// How many tokens of the expanded script name HKEY_CLASSES_ROOT, the root redirected to
// the scratch root, or -1 when one names another root (mutations never reach the others,
// this makes sure). Every root block starts with such a token, so with one at most one
// block can run.
int ClassesRootNames(const std::wstring& text, const std::vector<Replacement>& replacements)
{
    static const wchar_t* const otherRoots[] = {
        L"HKCU", L"HKEY_CURRENT_USER",     L"HKLM", L"HKEY_LOCAL_MACHINE", L"HKU",  L"HKEY_USERS",
        L"HKPD", L"HKEY_PERFORMANCE_DATA", L"HKDD", L"HKEY_DYN_DATA",      L"HKCC", L"HKEY_CURRENT_CONFIG",
    };
    std::wstring expanded;
    if (FAILED(ExpandPlaceholders(text.c_str(), replacements, expanded)))
    {
        return 0; // nothing runs
    }
    ScriptTokenizer tokens(expanded.c_str());
    std::wstring token;
    int names = 0;
    while (SUCCEEDED(tokens.Next(token)))
    {
        for (const wchar_t* root : otherRoots)
        {
            if (SameNameIgnoringCase(token, root))
            {
                return -1;
            }
        }
        names += SameNameIgnoringCase(token, L"HKCR") || SameNameIgnoringCase(token, L"HKEY_CLASSES_ROOT") ? 1 : 0;
    }
    return names;
}

TEST(RegScriptFuzzTest, MutatedModuleScripts)
{
    const unsigned scale = FuzzScale();
    const unsigned maxCases = CasesPerScale * scale;
    // Beyond the ordinary run the count is what matters: the time limit only stops a run
    // that has become far slower than the ordinary one.
    const auto deadline = std::chrono::steady_clock::now() + SecondsPerScale * scale * (scale > 1 ? 4 : 1);

    ScratchRegistry scratch({HKEY_CLASSES_ROOT});
    CRegObject registrar;
    ASSERT_EQ(registrar.AddReplacement(L"Module", L"C:\\Fuzz\\it''s 100%\\qvnnapcfg64.dll"), S_OK);
    const std::vector<Replacement> replacements = {{L"Module", L"C:\\Fuzz\\it''s 100%\\qvnnapcfg64.dll"}};
    const std::wstring original = Widen(RegistrationScriptText);
    ScriptMutator mutator(Seed);

    unsigned ran = 0;
    unsigned failedRegistrations = 0;
    // The first cases run whatever the clock says: a loaded machine makes the run slower,
    // not shorter than it must be to mean something.
    constexpr unsigned AlwaysRun = 200;
    while (ran < maxCases && (ran < AlwaysRun || std::chrono::steady_clock::now() < deadline) && !HasFailure())
    {
        const std::wstring script = mutator.Mutate(original);
        ++ran;
        const int rootNames = ClassesRootNames(script, replacements);
        if (rootNames < 0)
        {
            continue;
        }
        SCOPED_TRACE("case " + std::to_string(ran) + ": " + Printable(script));

        const HRESULT registered = registrar.RunScript(script.c_str(), TRUE);
        EXPECT_TRUE(IsDocumentedResult(registered)) << std::hex << registered;
        // With one root block, a failure other than a syntax error (which may also come
        // after the block) arose in that block: once the block is taken back, the
        // script's unregister pass finds nothing more to remove.
        const bool takenBack = FAILED(registered) && registered != DISP_E_EXCEPTION && rootNames == 1;
        const RegistrySnapshot afterRegister = TakeRegistrySnapshot(HKEY_CLASSES_ROOT);
        const HRESULT unregistered = registrar.RunScript(script.c_str(), FALSE);
        EXPECT_TRUE(IsDocumentedResult(unregistered)) << std::hex << unregistered;
        if (takenBack)
        {
            ++failedRegistrations;
            EXPECT_EQ(TakeRegistrySnapshot(HKEY_CLASSES_ROOT), afterRegister)
                << "left behind:\n"
                << DescribeRegistrySnapshot(afterRegister);
        }

        RegDeleteTreeW(scratch.Key(), nullptr);
    }
    std::printf("%u mutated scripts, %u failed registrations taken back\n", ran, failedRegistrations);
    RecordProperty("scripts", static_cast<int>(ran));
    RecordProperty("failed_registrations_taken_back", static_cast<int>(failedRegistrations));
}
} // namespace
