#include "HostComponent.h"

#include <napcommon.h>
#include <objbase.h>

namespace
{
// Releases a COM interface when it goes out of scope.
template <class Interface> class ComPtr
{
public:
    ComPtr() = default;
    ~ComPtr()
    {
        if (m_pointer != nullptr)
        {
            m_pointer->Release();
        }
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    Interface* operator->() const { return m_pointer; }
    void** Out() { return reinterpret_cast<void**>(&m_pointer); }

private:
    Interface* m_pointer = nullptr;
};

HRESULT CreateConfig(ComPtr<INapComponentConfig>& config)
{
    return CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INapComponentConfig), config.Out());
}
} // namespace

ComApartment::ComApartment() : m_result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}

ComApartment::~ComApartment()
{
    if (SUCCEEDED(m_result))
    {
        CoUninitialize();
    }
}

ConfigSession::ConfigSession(ServerLocation location) : m_location(location) {}

ConfigSession::~ConfigSession()
{
    if (m_config != nullptr)
    {
        m_config->Release();
    }
}

HRESULT ConfigSession::Config(INapComponentConfig*& config)
{
    if (m_config == nullptr)
    {
        // A 64-bit console asks for the 64-bit surrogate, which loads the 64-bit DLL.
        const DWORD context = m_location == ServerLocation::Surrogate
                                  ? CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER
                                  : CLSCTX_INPROC_SERVER;
        const HRESULT hr = CoCreateInstance(ClsidSHVConfig, nullptr, context, __uuidof(INapComponentConfig),
                                            reinterpret_cast<void**>(&m_config));
        if (FAILED(hr))
        {
            m_config = nullptr;
            return hr;
        }
    }
    config = m_config;
    return S_OK;
}

HRESULT ConfigSession::ReadSettingsBlob(std::vector<std::uint8_t>& blob, ComponentStep& failedStep)
{
    INapComponentConfig* config = nullptr;
    failedStep = ComponentStep::Create;
    HRESULT hr = Config(config);
    if (FAILED(hr))
    {
        return hr;
    }
    failedStep = ComponentStep::Call;
    UINT16 count = 0;
    BYTE* data = nullptr;
    hr = config->GetConfig(&count, &data);
    if (FAILED(hr))
    {
        return hr;
    }
    blob.assign(data, data + count);
    CoTaskMemFree(data);
    return S_OK;
}

HRESULT ConfigSession::WriteSettingsBlob(const std::vector<std::uint8_t>& blob, ComponentStep& failedStep)
{
    failedStep = ComponentStep::Call;
    if (blob.size() > 0xFFFF)
    {
        return E_INVALIDARG;
    }
    INapComponentConfig* config = nullptr;
    failedStep = ComponentStep::Create;
    const HRESULT hr = Config(config);
    if (FAILED(hr))
    {
        return hr;
    }
    failedStep = ComponentStep::Call;
    std::vector<std::uint8_t> bytes = blob; // SetConfig takes a non-const pointer
    return config->SetConfig(static_cast<UINT16>(bytes.size()), bytes.data());
}

HRESULT ShowSettingsDialog(LCID locale, ComponentStep& failedStep)
{
    // On the calling thread, not on one of its own: Wine hosts a "Neutral" class in the
    // process's main apartment (the first single-threaded one) and has no proxy for
    // INapComponentConfig, so creating it from a second apartment waits for the first
    // one, which would be blocked waiting for the dialog.
    const LCID previous = GetThreadLocale();
    failedStep = ComponentStep::Call;
    if (locale != 0 && !SetThreadLocale(locale))
    {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    HRESULT result = S_OK;
    {
        ComPtr<INapComponentConfig> config;
        result = CreateConfig(config);
        failedStep = FAILED(result) ? ComponentStep::Create : ComponentStep::Call;
        if (SUCCEEDED(result))
        {
            result = config->InvokeUI(nullptr);
        }
    }
    SetThreadLocale(previous);
    return result;
}

HRESULT StartInSurrogate()
{
    IUnknown* object = nullptr;
    const HRESULT hr = CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER,
                                        IID_IUnknown, reinterpret_cast<void**>(&object));
    if (SUCCEEDED(hr))
    {
        object->Release();
    }
    return hr;
}

HRESULT CallRegistrationExport(const std::wstring& dllPath, bool doRegister, RegistrationStep& failedStep)
{
    failedStep = RegistrationStep::Load;
    // The loader's search rules apply to a bare name, and a relative path is undefined
    // with LOAD_WITH_ALTERED_SEARCH_PATH: load the file the user means by its full path.
    wchar_t fullPath[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(dllPath.c_str(), MAX_PATH, fullPath, nullptr);
    if (length == 0 || length >= MAX_PATH)
    {
        return HRESULT_FROM_WIN32(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    }
    HMODULE module = LoadLibraryExW(fullPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr)
    {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    failedStep = RegistrationStep::FindExport;
    const char* name = doRegister ? "DllRegisterServer" : "DllUnregisterServer";
    auto function = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    if (function != nullptr)
    {
        failedStep = RegistrationStep::Call;
        hr = function();
    }
    FreeLibrary(module);
    return hr;
}

std::wstring DefaultComponentPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    directory.erase(directory.find_last_of(L"\\/") + 1);
    return directory + L"qvnnapcfg64.dll";
}
