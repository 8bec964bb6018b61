// Mutations of the module's registration script run through the registrar against a
// scratch HKEY_CLASSES_ROOT, in the register and the unregister pass. Every result must
// be one the registrar documents, nothing may crash or hang, and a failed register pass
// must leave nothing that the unregister pass of its root block would still remove.
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

// Whether every root key the script could name is HKEY_CLASSES_ROOT, the one redirected
// to the scratch root (mutations never reach the others, this makes sure).
bool OnlyClassesRoot(const std::wstring& text, const std::vector<Replacement>& replacements)
{
    static const wchar_t* const otherRoots[] = {
        L"HKCU", L"HKEY_CURRENT_USER",     L"HKLM", L"HKEY_LOCAL_MACHINE", L"HKU",  L"HKEY_USERS",
        L"HKPD", L"HKEY_PERFORMANCE_DATA", L"HKDD", L"HKEY_DYN_DATA",      L"HKCC", L"HKEY_CURRENT_CONFIG",
    };
    std::wstring expanded;
    if (FAILED(ExpandPlaceholders(text.c_str(), replacements, expanded)))
    {
        return true; // nothing runs
    }
    ScriptTokenizer tokens(expanded.c_str());
    std::wstring token;
    while (SUCCEEDED(tokens.Next(token)))
    {
        for (const wchar_t* root : otherRoots)
        {
            if (SameNameIgnoringCase(token, root))
            {
                return false;
            }
        }
    }
    return true;
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
    while (ran < maxCases && std::chrono::steady_clock::now() < deadline && !HasFailure())
    {
        const std::wstring script = mutator.Mutate(original);
        ++ran;
        if (!OnlyClassesRoot(script, replacements))
        {
            continue;
        }
        SCOPED_TRACE("case " + std::to_string(ran) + ": " + Printable(script));

        CRegObject::FailedRootBlock failed;
        const HRESULT registered = registrar.RunScript(script.c_str(), TRUE, &failed);
        EXPECT_TRUE(IsDocumentedResult(registered)) << std::hex << registered;
        if (FAILED(registered) && failed.root != nullptr)
        {
            ++failedRegistrations;
            const RegistrySnapshot afterFailure = TakeRegistrySnapshot(HKEY_CLASSES_ROOT);
            const HRESULT again = CRegObject::RunRootBlock(failed.root, failed.blockText.c_str(), FALSE);
            EXPECT_TRUE(IsDocumentedResult(again)) << std::hex << again;
            const RegistrySnapshot afterAgain = TakeRegistrySnapshot(HKEY_CLASSES_ROOT);
            EXPECT_EQ(afterAgain, afterFailure) << "left behind:\n" << DescribeRegistrySnapshot(afterFailure);
        }
        const HRESULT unregistered = registrar.RunScript(script.c_str(), FALSE);
        EXPECT_TRUE(IsDocumentedResult(unregistered)) << std::hex << unregistered;

        RegDeleteTreeW(scratch.Key(), nullptr);
    }
    std::printf("%u mutated scripts, %u failed registrations taken back\n", ran, failedRegistrations);
    RecordProperty("scripts", static_cast<int>(ran));
    RecordProperty("failed_registrations_taken_back", static_cast<int>(failedRegistrations));
    EXPECT_GT(ran, 100u) << "the run is too short to mean much";
}
} // namespace
