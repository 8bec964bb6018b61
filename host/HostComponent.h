// The host tool's access to the component: through COM, as the NAP console uses it,
// and through the DLL's registration exports, as regsvr32 uses them.
#pragma once

#include <windows.h>

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

// GetConfig of a new SHVConfig object (CoCreateInstance, in-process server). The
// HRESULT of the first failing step, whose kind goes to `failedStep`;
// REGDB_E_CLASSNOTREG when the class is not registered.
HRESULT ReadSettingsBlob(std::vector<std::uint8_t>& blob, ComponentStep& failedStep);

// SetConfig of a new SHVConfig object with the bytes as they are; as ReadSettingsBlob.
HRESULT WriteSettingsBlob(const std::vector<std::uint8_t>& blob, ComponentStep& failedStep);

// InvokeUI of a new SHVConfig object, as the console opens the dialog: on the calling
// thread, which must be in a single-threaded apartment, with its locale set to the given
// one (0: left as it is) until the dialog has closed. The HRESULT of the first failing
// step, as ReadSettingsBlob; SetThreadLocale's error (a failed call) when the locale
// cannot be set.
HRESULT ShowSettingsDialog(LCID locale, ComponentStep& failedStep);

// Loads the DLL at the path and calls DllRegisterServer or DllUnregisterServer.
HRESULT CallRegistrationExport(const std::wstring& dllPath, bool doRegister);

// The component DLL that ships beside the host tool.
std::wstring DefaultComponentPath();
