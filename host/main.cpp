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
const char* const Usage = R"(Usage: qvnnaphost <command> [options]

Stands in for the NAP management console: talks to the Quorvane SHV configuration
component (qvnnapcfg64.dll) through COM.

Commands:
  register [--dll PATH]     register the component (its DllRegisterServer); PATH
                            defaults to qvnnapcfg64.dll beside this program
  unregister [--dll PATH]   remove the registration (DllUnregisterServer)
  show [--json]             print the five settings
  set [--server TEXT] [--port N] [--timeout N] [--cache-time N] [--enabled yes|no]
                            change any of the settings, checked as the settings
                            dialog checks them (a server name of blanks counts as
                            empty; numbers are digits 0-9)
  export FILE               save the settings blob (532 bytes) to FILE
  import FILE [--force]     apply a blob saved by export; settings that set would
                            refuse are refused unless --force is given
  ui [--locale LCID]        open the settings dialog, in the language of LCID
                            (decimal or 0x hex, e.g. 0x0419 for Russian)
  check                     diagnose the installation
  --help                    show this text

show, set, export and import also take --out-of-process: the component then runs in
the system's COM surrogate (dllhost.exe), as a console without administrator rights
uses it, and every call crosses the process boundary.

Exit status 0 on success; otherwise 1, with one line on standard error.
)";

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

// "--name value" options and flags after the command; each allowed name may appear once.
// With `operands`, the arguments that are not options are collected there; otherwise
// they are refused.
std::map<std::wstring, std::wstring> ParseOptions(const std::vector<std::wstring>& args, std::size_t first,
                                                  const std::vector<std::wstring>& allowed,
                                                  const std::vector<std::wstring>& flags = {},
                                                  std::vector<std::wstring>* operands = nullptr)
{
    std::map<std::wstring, std::wstring> options;
    for (std::size_t i = first; i < args.size(); ++i)
    {
        const std::wstring& name = args[i];
        if (operands != nullptr && !IsOptionName(name))
        {
            operands->push_back(name);
            continue;
        }
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
        if (isFlag)
        {
            options[name] = L"";
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

// A failed use of the component, named by its step: creating the object (the
// registration or the registered file is the likely cause) or the method called.
void CheckCom(HRESULT hr, ComponentStep failedStep, const char* method)
{
    if (SUCCEEDED(hr))
    {
        return;
    }
    if (failedStep == ComponentStep::Create)
    {
        if (hr == REGDB_E_CLASSNOTREG)
        {
            Fail("the component is not registered (REGDB_E_CLASSNOTREG); run 'qvnnaphost register'");
        }
        Fail("cannot create the component (CoCreateInstance): " + DescribeHresult(hr) +
             "; 'qvnnaphost check' diagnoses the installation");
    }
    Fail(std::string(method) + " failed: " + DescribeHresult(hr));
}

std::vector<std::uint8_t> CurrentBlob(ConfigSession& session)
{
    std::vector<std::uint8_t> blob;
    ComponentStep step = ComponentStep::Create;
    const HRESULT hr = session.ReadSettingsBlob(blob, step);
    CheckCom(hr, step, "GetConfig");
    return blob;
}

void StoreBlob(ConfigSession& session, const std::vector<std::uint8_t>& blob)
{
    ComponentStep step = ComponentStep::Create;
    const HRESULT hr = session.WriteSettingsBlob(blob, step);
    CheckCom(hr, step, "SetConfig");
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
    const auto options = ParseOptions(args, 2, {L"--dll"});
    const std::wstring path = Option(options, L"--dll").value_or(DefaultComponentPath());
    const HRESULT hr = CallRegistrationExport(path, doRegister);
    if (FAILED(hr))
    {
        // Loading the file fails with texts that name it ("Bad EXE format for %1.").
        const std::wstring fileName = path.substr(path.find_last_of(L"\\/") + 1);
        Fail(std::string(doRegister ? "DllRegisterServer" : "DllUnregisterServer") + " of '" + ToUtf8(path) +
             "' failed: " + DescribeHresult(hr, fileName));
    }
    Print(std::string(doRegister ? "registered " : "unregistered ") + ToUtf8(path) + "\n");
}

void Show(const std::vector<std::wstring>& args, ConfigSession& session)
{
    const auto options = ParseOptions(args, 2, {}, {L"--json"});
    const HostSettings settings = CurrentSettings(session);
    Print(options.count(L"--json") != 0 ? FormatSettingsJson(settings) : FormatSettings(settings));
}

void Set(const std::vector<std::wstring>& args, ConfigSession& session)
{
    const auto options = ParseOptions(args, 2, {L"--server", L"--port", L"--timeout", L"--cache-time", L"--enabled"});
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
    HostSettings settings = CurrentSettings(session);
    if (const auto refusal = ApplyChanges(settings, parsed))
    {
        Fail(refusal->Text());
    }
    StoreBlob(session, EncodeBlob(settings));
    Print(FormatSettings(CurrentSettings(session)));
}

void Export(const std::vector<std::wstring>& args, ConfigSession& session)
{
    if (args.size() != 3)
    {
        Fail("expected one file name");
    }
    const std::vector<std::uint8_t> blob = CurrentBlob(session);
    if (const auto error = WriteFileBytes(args[2], blob))
    {
        Fail(*error);
    }
    Print("exported " + std::to_string(blob.size()) + " bytes to " + ToUtf8(args[2]) + "\n");
}

void Import(const std::vector<std::wstring>& args, ConfigSession& session)
{
    std::vector<std::wstring> files;
    const auto options = ParseOptions(args, 2, {}, {L"--force"}, &files);
    if (files.size() != 1)
    {
        Fail("expected one file name");
    }
    const std::wstring& file = files.front();
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
    const auto refusal = FindRefusal(*decoded.settings);
    if (refusal && options.count(L"--force") == 0)
    {
        Fail("'" + ToUtf8(file) + "' holds settings the dialog refuses: " + refusal->Text() +
             " (--force imports them all the same)");
    }
    StoreBlob(session, *blob);
    Print(FormatSettings(CurrentSettings(session)));
}

void Ui(const std::vector<std::wstring>& args)
{
    const auto options = ParseOptions(args, 2, {L"--locale"});
    const auto locale = Option(options, L"--locale");
    const LCID lcid = locale ? ParseLocale(*locale) : 0;
    ComponentStep step = ComponentStep::Create;
    const HRESULT hr = ShowSettingsDialog(lcid, step);
    CheckCom(hr, step, "InvokeUI");
}

void Check(const std::vector<std::wstring>& args)
{
    ParseOptions(args, 2, {});
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

// Takes --out-of-process out of the arguments of the commands that read or write the
// settings, so that each of them sees only its own; other commands keep it and refuse it.
ServerLocation TakeServerLocation(std::vector<std::wstring>& args)
{
    const std::wstring& command = args[1];
    if (command != L"show" && command != L"set" && command != L"export" && command != L"import")
    {
        return ServerLocation::InProcess;
    }
    const auto first = std::remove(args.begin() + 2, args.end(), std::wstring(L"--out-of-process"));
    const std::ptrdiff_t given = args.end() - first;
    args.erase(first, args.end());
    if (given > 1)
    {
        Fail("--out-of-process given twice");
    }
    return given == 1 ? ServerLocation::Surrogate : ServerLocation::InProcess;
}

int Run(std::vector<std::wstring> args)
{
    if (args.size() < 2)
    {
        Print(Usage, stderr);
        return 1;
    }
    if (args[1] == L"--help" || args[1] == L"-h" || args[1] == L"help")
    {
        Print(Usage);
        return 0;
    }
    const std::wstring command = args[1];
    try
    {
        const ServerLocation location = TakeServerLocation(args);
        ComApartment apartment;
        if (FAILED(apartment.Result()))
        {
            Fail("CoInitializeEx failed: " + DescribeHresult(apartment.Result()));
        }
        ConfigSession session(location); // released before the apartment ends
        if (command == L"register" || command == L"unregister")
        {
            Register(args, command == L"register");
        }
        else if (command == L"show")
        {
            Show(args, session);
        }
        else if (command == L"set")
        {
            Set(args, session);
        }
        else if (command == L"export")
        {
            Export(args, session);
        }
        else if (command == L"import")
        {
            Import(args, session);
        }
        else if (command == L"ui")
        {
            Ui(args);
        }
        else if (command == L"check")
        {
            Check(args);
        }
        else
        {
            Fail("unknown command (see --help)");
        }
        return 0;
    }
    catch (const CommandError& error)
    {
        const std::string line = "qvnnaphost " + ToUtf8(command) + ": " + error.message + "\n";
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
