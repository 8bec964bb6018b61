// qvnnaphost: stands in for the NAP management console. It registers the component,
// shows and changes its settings through COM exactly as the console does, keeps blobs
// in files as the console keeps them in its policy store, opens the settings dialog and
// diagnoses an installation.
#include "HostCheck.h"
#include "HostComponent.h"
#include "HostFile.h"
#include "HostSettings.h"
#include "HostText.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace
{
// Failures end the command with one line on standard error.
struct CommandError
{
    std::string message;
};

void Print(const std::string& text, FILE* stream = stdout)
{
    // NOLINTNEXTLINE(cert-err33-c): a failed write marks the stream, which wmain checks
    std::fwrite(text.data(), 1, text.size(), stream);
}

[[noreturn]] void Fail(const std::string& message)
{
    throw CommandError{message};
}

bool IsOptionName(const std::wstring& text)
{
    return text.compare(0, 2, L"--") == 0;
}

// "--name value" (or "--name=value") options and flags after the command; each allowed
// name may appear once. With `operands`, the arguments that are not options are
// collected there; otherwise they are refused.
std::map<std::wstring, std::wstring> ParseOptions(const std::vector<std::wstring>& args,
                                                  const std::vector<std::wstring>& allowed,
                                                  const std::vector<std::wstring>& flags = {},
                                                  std::vector<std::wstring>* operands = nullptr)
{
    std::map<std::wstring, std::wstring> options;
    for (std::size_t i = 2; i < args.size(); ++i)
    {
        if (operands != nullptr && !IsOptionName(args[i]))
        {
            operands->push_back(args[i]);
            continue;
        }
        const std::size_t equals = args[i].find(L'=');
        const std::wstring name = args[i].substr(0, equals);
        const bool isFlag = std::find(flags.begin(), flags.end(), name) != flags.end();
        const bool isOption = std::find(allowed.begin(), allowed.end(), name) != allowed.end();
        if (!isFlag && !isOption)
        {
            Fail("unknown argument '" + ToUtf8(name) + "' (see --help)");
        }
        if (options.count(name) != 0)
        {
            Fail(ToUtf8(name) + " given twice");
        }
        if (isFlag && equals != std::wstring::npos)
        {
            Fail(ToUtf8(name) + " takes no value");
        }
        if (isFlag)
        {
            options[name] = L"";
            continue;
        }
        if (equals != std::wstring::npos)
        {
            options[name] = args[i].substr(equals + 1);
            continue;
        }
        if (i + 1 >= args.size())
        {
            Fail(ToUtf8(name) + " needs a value");
        }
        if (IsOptionName(args[i + 1]))
        {
            Fail(ToUtf8(name) + " needs a value, got the option '" + ToUtf8(args[i + 1]) + "'");
        }
        options[name] = args[++i];
    }
    return options;
}

std::optional<std::wstring> Option(const std::map<std::wstring, std::wstring>& options, const wchar_t* name)
{
    const auto found = options.find(name);
    return found == options.end() ? std::nullopt : std::optional<std::wstring>(found->second);
}

// The commands that read or write the settings take this flag.
const wchar_t* const OutOfProcess = L"--out-of-process";

ServerLocation LocationOf(const std::map<std::wstring, std::wstring>& options)
{
    return options.count(OutOfProcess) != 0 ? ServerLocation::Surrogate : ServerLocation::InProcess;
}

// A failed use of the component, named by its step: creating the object (the
// registration, the registered file or, out of process, the surrogate and the
// interface's proxy/stub are the likely causes) or the method called.
void CheckCom(HRESULT hr, ComponentStep failedStep, const char* method, ServerLocation location)
{
    if (SUCCEEDED(hr))
    {
        return;
    }
    if (failedStep == ComponentStep::Call)
    {
        Fail(std::string(method) + " failed: " + DescribeHresult(hr));
    }
    if (hr == REGDB_E_CLASSNOTREG)
    {
        Fail("the component is not registered (REGDB_E_CLASSNOTREG); run 'qvnnaphost register'");
    }
    if (location == ServerLocation::InProcess)
    {
        Fail("cannot create the component (CoCreateInstance): " + DescribeHresult(hr) +
             "; 'qvnnaphost check' diagnoses the installation");
    }
    // Out of process the surrogate and the proxy/stub are needed as well: name what fails.
    const CheckFinding proxyStub = CheckProxyStub();
    Fail("cannot create the component out of process (CoCreateInstance): " + DescribeHresult(hr) +
         (CheckSurrogate().ok ? "" : "; the COM surrogate cannot start it") +
         (proxyStub.ok ? "" : "; " + proxyStub.subject + ": " + proxyStub.detail) +
         "; 'qvnnaphost check' diagnoses the installation");
}

std::vector<std::uint8_t> CurrentBlob(ConfigSession& session)
{
    std::vector<std::uint8_t> blob;
    ComponentStep step = ComponentStep::Create;
    const HRESULT hr = session.ReadSettingsBlob(blob, step);
    CheckCom(hr, step, "GetConfig", session.Location());
    return blob;
}

void StoreBlob(ConfigSession& session, const std::vector<std::uint8_t>& blob)
{
    ComponentStep step = ComponentStep::Create;
    const HRESULT hr = session.WriteSettingsBlob(blob, step);
    CheckCom(hr, step, "SetConfig", session.Location());
}

HostSettings CurrentSettings(ConfigSession& session)
{
    const std::vector<std::uint8_t> blob = CurrentBlob(session);
    DecodedBlob decoded = DecodeBlob(blob);
    if (!decoded.settings)
    {
        Fail("the component returned " + decoded.error);
    }
    return *decoded.settings;
}

LCID ParseLocale(const std::wstring& text)
{
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(text.c_str(), &end, 0);
    if (text.empty() || *end != L'\0' || value == 0 || value > 0xFFFFFFFFul)
    {
        Fail("--locale: expected a locale identifier such as 0x0409, got '" + ToUtf8(text) + "'");
    }
    if (!IsValidLocale(static_cast<LCID>(value), LCID_SUPPORTED))
    {
        Fail("--locale: '" + ToUtf8(text) + "' is not a locale this system supports");
    }
    return static_cast<LCID>(value);
}

void Register(const std::vector<std::wstring>& args, bool doRegister)
{
    const auto options = ParseOptions(args, {L"--dll"});
    const std::wstring path = Option(options, L"--dll").value_or(DefaultComponentPath());
    const std::string name = "'" + ToUtf8(path) + "'";
    const char* function = doRegister ? "DllRegisterServer" : "DllUnregisterServer";
    RegistrationStep step = RegistrationStep::Load;
    const HRESULT hr = CallRegistrationExport(path, doRegister, step);
    if (FAILED(hr))
    {
        // Loading the file fails with texts that name it ("Bad EXE format for %1.").
        const std::wstring fileName = path.substr(path.find_last_of(L"\\/") + 1);
        switch (step)
        {
        case RegistrationStep::Load:
            Fail("cannot load " + name + ": " + DescribeHresult(hr, fileName));
        case RegistrationStep::FindExport:
            Fail(name + " has no " + function + " export: it cannot register itself");
        case RegistrationStep::Call:
            Fail(std::string(function) + " of " + name + " failed: " + DescribeHresult(hr, fileName));
        }
    }
    Print(std::string(doRegister ? "registered " : "unregistered ") + ToUtf8(path) + "\n");
}

void Show(const std::vector<std::wstring>& args)
{
    const auto options = ParseOptions(args, {}, {L"--json", OutOfProcess});
    ConfigSession session(LocationOf(options));
    const HostSettings settings = CurrentSettings(session);
    Print(options.count(L"--json") != 0 ? FormatSettingsJson(settings) : FormatSettings(settings));
}

void Set(const std::vector<std::wstring>& args)
{
    const auto options =
        ParseOptions(args, {L"--server", L"--port", L"--timeout", L"--cache-time", L"--enabled"}, {OutOfProcess});
    SettingsChanges changes;
    changes.server = Option(options, L"--server");
    changes.port = Option(options, L"--port");
    changes.timeout = Option(options, L"--timeout");
    changes.cacheTime = Option(options, L"--cache-time");
    changes.enabled = Option(options, L"--enabled");
    if (changes.Empty())
    {
        Fail("nothing to change (see --help)");
    }
    // Every argument is checked before the component is asked for anything.
    ParsedChanges parsed;
    if (const auto refusal = ParseChanges(changes, parsed))
    {
        Fail(refusal->Text());
    }
    ConfigSession session(LocationOf(options));
    HostSettings settings = CurrentSettings(session);
    const std::vector<SettingsRefusal> refusals = ApplyChanges(settings, parsed);
    if (!refusals.empty())
    {
        Fail(RefusalsText(refusals));
    }
    StoreBlob(session, EncodeBlob(settings));
    Print(FormatSettings(CurrentSettings(session)));
}

// The one file name of export and import.
std::wstring FileOperand(const std::vector<std::wstring>& files)
{
    if (files.size() != 1)
    {
        Fail("expected one file name");
    }
    return files.front();
}

void Export(const std::vector<std::wstring>& args)
{
    std::vector<std::wstring> files;
    const auto options = ParseOptions(args, {}, {OutOfProcess}, &files);
    const std::wstring file = FileOperand(files);
    ConfigSession session(LocationOf(options));
    const std::vector<std::uint8_t> blob = CurrentBlob(session);
    if (const auto error = WriteFileBytes(file, blob))
    {
        Fail(*error);
    }
    Print("exported " + std::to_string(blob.size()) + " bytes to " + ToUtf8(file) + "\n");
}

void Import(const std::vector<std::wstring>& args)
{
    std::vector<std::wstring> files;
    const auto options = ParseOptions(args, {}, {L"--force", OutOfProcess}, &files);
    const std::wstring file = FileOperand(files);
    std::string error;
    const auto blob = ReadFileBytes(file, error);
    if (!blob)
    {
        Fail(error);
    }
    const DecodedBlob decoded = DecodeBlob(*blob);
    if (!decoded.settings)
    {
        Fail("'" + ToUtf8(file) + "' is " + decoded.error);
    }
    // The console stores any blob; what the dialog would refuse needs a deliberate --force.
    const std::vector<SettingsRefusal> refusals = FindRefusals(*decoded.settings);
    if (!refusals.empty() && options.count(L"--force") == 0)
    {
        Fail("'" + ToUtf8(file) + "' holds settings the dialog refuses: " + RefusalsText(refusals) +
             " (--force imports them all the same)");
    }
    ConfigSession session(LocationOf(options));
    StoreBlob(session, *blob);
    Print(FormatSettings(CurrentSettings(session)));
}

void Ui(const std::vector<std::wstring>& args)
{
    const auto options = ParseOptions(args, {L"--locale"});
    const auto locale = Option(options, L"--locale");
    const LCID lcid = locale ? ParseLocale(*locale) : 0;
    ComponentStep step = ComponentStep::Create;
    const HRESULT hr = ShowSettingsDialog(lcid, step);
    CheckCom(hr, step, "InvokeUI", ServerLocation::InProcess);
}

void Check(const std::vector<std::wstring>& args)
{
    ParseOptions(args, {});
    int problems = 0;
    for (const CheckFinding& finding : CheckInstallation())
    {
        Print(std::string(finding.ok ? "ok    " : "FAIL  ") + finding.subject + ": " + finding.detail + "\n");
        problems += finding.ok ? 0 : 1;
    }
    if (problems != 0)
    {
        Fail(std::to_string(problems) + (problems == 1 ? " problem" : " problems") + " found");
    }
}

struct Command
{
    const char* name;
    const char* options;     // what follows the name on the command line; lines after the first are aligned
    const char* description; // lines after the first are indented in the list
    void (*run)(const std::vector<std::wstring>& args);
};

constexpr Command Commands[] = {
    {"register", "[--dll PATH]",
     "register the component (its DllRegisterServer); PATH defaults to\nqvnnapcfg64.dll beside this program",
     [](const std::vector<std::wstring>& args) { Register(args, true); }},
    {"unregister", "[--dll PATH]", "remove the registration (DllUnregisterServer)",
     [](const std::vector<std::wstring>& args) { Register(args, false); }},
    {"show", "[--json] [--out-of-process]",
     "print the five settings as they are stored; a value that set would refuse\nis marked invalid", Show},
    {"set", "[--server TEXT] [--port N] [--timeout N] [--cache-time N]\n[--enabled yes|no] [--out-of-process]",
     "change any of the settings, checked as the settings dialog checks them\n(a server name of blanks counts as "
     "empty, control characters are refused;\nnumbers are digits 0-9)",
     Set},
    {"export", "FILE [--out-of-process]", "save the settings blob (532 bytes) to FILE", Export},
    {"import", "FILE [--force] [--out-of-process]",
     "apply a blob saved by export; settings that set would refuse are\nrefused unless --force is given", Import},
    {"ui", "[--locale LCID]",
     "open the settings dialog, in the language of LCID (decimal or 0x hex,\ne.g. 0x0419 for Russian)", Ui},
    {"check", "", "diagnose the installation, out-of-process use included", Check},
};

const char* const OutOfProcessHelp =
    R"(--out-of-process: the component runs in the system's COM surrogate (dllhost.exe), as
a console without administrator rights uses it, and every call crosses the process
boundary.
)";

const char* const Footer = R"(Options take their value as --name value or --name=value.
Exit status 0 on success; otherwise 1, with one line on standard error.
)";

// The text with every line after the first indented.
std::string Continued(const std::string& text, const std::string& indent)
{
    std::string result;
    for (char c : text)
    {
        result += c;
        result += c == '\n' ? indent : "";
    }
    return result;
}

// "register [--dll PATH]", its lines after the first aligned under the options.
std::string Synopsis(const Command& command, const std::string& indent)
{
    const std::string name = command.name;
    return *command.options == '\0'
               ? name
               : name + " " + Continued(command.options, indent + std::string(name.size() + 1, ' '));
}

std::string Usage()
{
    std::string text = R"(Usage: qvnnaphost <command> [options]
       qvnnaphost <command> --help

Stands in for the NAP management console: talks to the Quorvane SHV configuration
component (qvnnapcfg64.dll) through COM.

Commands:
)";
    for (const Command& command : Commands)
    {
        text += "  " + Synopsis(command, "  ") + "\n      " + Continued(command.description, "      ") + "\n";
    }
    return text + "  --help\n      show this text\n\n" + OutOfProcessHelp + "\n" + Footer;
}

std::string CommandUsage(const Command& command)
{
    const std::string usage = "Usage: qvnnaphost ";
    std::string text =
        usage + Synopsis(command, std::string(usage.size(), ' ')) + "\n\n" + command.description + "\n\n";
    if (std::string(command.options).find(ToUtf8(OutOfProcess)) != std::string::npos)
    {
        text += std::string(OutOfProcessHelp) + "\n";
    }
    return text + Footer;
}

int Run(const std::vector<std::wstring>& args)
{
    if (args.size() < 2)
    {
        Print("qvnnaphost: no command given (see --help)\n", stderr);
        return 1;
    }
    if (args[1] == L"--help" || args[1] == L"-h" || args[1] == L"help")
    {
        Print(Usage());
        return 0;
    }
    try
    {
        const auto command = std::find_if(std::begin(Commands), std::end(Commands),
                                          [&](const Command& c) { return FromUtf8(c.name) == args[1]; });
        if (command == std::end(Commands))
        {
            Fail("unknown command (see --help)");
        }
        if (std::find(args.begin() + 2, args.end(), L"--help") != args.end())
        {
            Print(CommandUsage(*command));
            return 0;
        }
        ComApartment apartment;
        if (FAILED(apartment.Result()))
        {
            Fail("CoInitializeEx failed: " + DescribeHresult(apartment.Result()));
        }
        command->run(args);
        return 0;
    }
    catch (const CommandError& error)
    {
        const std::string line = "qvnnaphost " + ToUtf8(args[1]) + ": " + error.message + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr); // NOLINT(cert-err33-c): nowhere left to report
        return 1;
    }
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    // Plain LF line ends on every console and pipe; text is UTF-8.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    int status = 1;
    try
    {
        status = Run(std::vector<std::wstring>(argv, argv + argc));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "qvnnaphost: %s\n", error.what()); // NOLINT(cert-err33-c): nowhere left to report
    }
    // Output that never reached its file (a full disk, a closed pipe) fails the command;
    // a command that failed already said why in its one line.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
    {
        if (status == 0)
        {
            // NOLINTNEXTLINE(cert-err33-c,concurrency-mt-unsafe): nowhere left to report; one thread
            std::fprintf(stderr, "qvnnaphost: cannot write to standard output: %s\n", std::strerror(errno));
        }
        return 1;
    }
    return status;
}
