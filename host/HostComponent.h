// The host tool's access to the component: through COM, as the NAP console uses it,
// and through the DLL's registration exports, as regsvr32 uses them.
#pragma once

#include <windows.h>
#include <napcommon.h>

#include <cstdint>
#include <string>
#include <vector>

// {0C5C9CEC-1FF7-42E3-AC8F-4D9BAE296C5D}
inline constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};

// COM for the calling thread, in a single-threaded apartment, for the object's life.
class ComApartment
{
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT Result() const { return m_result; }

private:
    HRESULT m_result;
};

// Which step of a use of the component failed: creating the object through COM, or the
// method called on it.
enum class ComponentStep
{
    Create,
    Call,
};

// Where the SHVConfig object of a command lives.
enum class ServerLocation
{
    // The DLL loaded into this process (CLSCTX_INPROC_SERVER), as an elevated console
    // uses it.
    InProcess,
    // The DLL loaded into the system's COM surrogate, dllhost.exe (CLSCTX_LOCAL_SERVER),
    // as a console without administrator rights uses it: every call crosses the process
    // boundary through the interface's proxy/stub.
    Surrogate,
};

// The one SHVConfig object a command reads and writes the settings through: created by
// the first call, released with the session, which must end before the apartment. One
// object serves the whole command, since under Wine every activation in the surrogate
// starts a surrogate process of its own that never ends.
class ConfigSession
{
public:
    explicit ConfigSession(ServerLocation location);
    ~ConfigSession();
    ConfigSession(const ConfigSession&) = delete;
    ConfigSession& operator=(const ConfigSession&) = delete;

    // GetConfig. The HRESULT of the first failing step, whose kind goes to `failedStep`
    // (creation included); REGDB_E_CLASSNOTREG when the class is not registered.
    HRESULT ReadSettingsBlob(std::vector<std::uint8_t>& blob, ComponentStep& failedStep);

    // SetConfig with the bytes as they are; as ReadSettingsBlob. E_INVALIDARG (a failed
    // call) for more than 65535 bytes.
    HRESULT WriteSettingsBlob(const std::vector<std::uint8_t>& blob, ComponentStep& failedStep);

    ServerLocation Location() const { return m_location; }

private:
    // The session's object, created when there is none yet; the creation's HRESULT.
    HRESULT Config(INapComponentConfig*& config);

    ServerLocation m_location;
    INapComponentConfig* m_config = nullptr;
};

// InvokeUI of a new SHVConfig object, as the console opens the dialog: on the calling
// thread, which must be in a single-threaded apartment, with its locale set to the given
// one (0: left as it is) until the dialog has closed. The HRESULT of the first failing
// step, as ReadSettingsBlob; SetThreadLocale's error (a failed call) when the locale
// cannot be set.
HRESULT ShowSettingsDialog(LCID locale, ComponentStep& failedStep);

// Creates the component in the system's COM surrogate asking for IUnknown only, which
// needs no proxy/stub of the component's interface, and releases it at once: whether the
// surrogate starts the component at all. The creation's HRESULT. Under Wine the
// surrogate process stays behind when it started.
HRESULT StartInSurrogate();

// Which step of calling a registration export failed.
enum class RegistrationStep
{
    Load,       // the file is missing or not a module of this platform
    FindExport, // the module does not export the function
    Call,       // the function returned the failure
};

// Loads the DLL at the path (a relative one taken from the current folder) and calls
// DllRegisterServer or DllUnregisterServer. The HRESULT of the first failing step, whose
// kind goes to `failedStep`.
HRESULT CallRegistrationExport(const std::wstring& dllPath, bool doRegister, RegistrationStep& failedStep);

// The component DLL that ships beside the host tool.
std::wstring DefaultComponentPath();
