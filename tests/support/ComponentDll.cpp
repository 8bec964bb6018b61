#include "support/ComponentDll.h"

#include "SHVConfigBlob.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{
// GetProcAddress returns a generic pointer; going through void(*)() states that the
// real signature is known.
template <class Function> Function ProcAs(FARPROC proc)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};
} // namespace

std::wstring PathBesideProgram(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    directory.erase(directory.find_last_of(L"\\/") + 1);
    return directory + fileName;
}

ComponentDll::ComponentDll() : m_module(LoadLibraryW(PathBesideProgram(L"qvnnapcfg64.dll").c_str()))
{
    if (!m_module)
    {
        ADD_FAILURE() << "LoadLibrary(qvnnapcfg64.dll) failed, error " << GetLastError();
    }
}

ComponentDll::~ComponentDll() = default;

FARPROC ComponentDll::Export(const char* name) const
{
    FARPROC function = m_module ? GetProcAddress(m_module.Get(), name) : nullptr;
    if (function == nullptr)
    {
        ADD_FAILURE() << "qvnnapcfg64.dll does not export " << name;
    }
    return function;
}

HRESULT ComponentDll::DllCanUnloadNow() const
{
    auto function = ProcAs<HRESULT(WINAPI*)()>(Export("DllCanUnloadNow"));
    return function != nullptr ? function() : E_UNEXPECTED;
}

HRESULT ComponentDll::DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) const
{
    auto function = ProcAs<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(Export("DllGetClassObject"));
    return function != nullptr ? function(clsid, iid, out) : E_UNEXPECTED;
}

HRESULT ComponentDll::DllRegisterServer() const
{
    auto function = ProcAs<HRESULT(WINAPI*)()>(Export("DllRegisterServer"));
    return function != nullptr ? function() : E_UNEXPECTED;
}

HRESULT ComponentDll::DllUnregisterServer() const
{
    auto function = ProcAs<HRESULT(WINAPI*)()>(Export("DllUnregisterServer"));
    return function != nullptr ? function() : E_UNEXPECTED;
}

IClassFactory* ComponentDll::Factory() const
{
    IClassFactory* factory = nullptr;
    const HRESULT hr = DllGetClassObject(ClsidSHVConfig, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    EXPECT_EQ(hr, S_OK) << "DllGetClassObject(SHVConfig, IClassFactory)";
    return factory;
}

INapComponentConfig* ComponentDll::CreateConfig() const
{
    IClassFactory* factory = Factory();
    if (factory == nullptr)
    {
        return nullptr;
    }
    INapComponentConfig* config = nullptr;
    const HRESULT hr =
        factory->CreateInstance(nullptr, __uuidof(INapComponentConfig), reinterpret_cast<void**>(&config));
    factory->Release();
    EXPECT_EQ(hr, S_OK) << "CreateInstance(INapComponentConfig)";
    return config;
}

bool UnloadComponentDllCompletely()
{
    for (int i = 0; i < 64; ++i)
    {
        HMODULE module = GetModuleHandleW(L"qvnnapcfg64.dll");
        if (module == nullptr)
        {
            return true;
        }
        FreeLibrary(module);
    }
    return GetModuleHandleW(L"qvnnapcfg64.dll") == nullptr;
}

FreshComponentLoad::FreshComponentLoad()
{
    EXPECT_TRUE(UnloadComponentDllCompletely()) << "the DLL is still loaded";
}

Blob MakeBlob(const std::u16string& name, std::uint32_t port, std::uint32_t timeout, std::uint32_t cache,
              std::uint32_t enabled, std::uint32_t version)
{
    SHVConfigBlob blob;
    std::memset(&blob, 0, sizeof(blob));
    blob.version = version;
    std::memcpy(blob.serverName, name.data(), name.size() * sizeof(char16_t));
    blob.serverPort = port;
    blob.serverTimeout = timeout;
    blob.cacheTime = cache;
    blob.validationEnabled = enabled;
    const auto* bytes = reinterpret_cast<const BYTE*>(&blob);
    return Blob(bytes, bytes + sizeof(blob));
}

Blob GetBlob(INapComponentConfig* config)
{
    UINT16 count = 0;
    BYTE* data = nullptr;
    const HRESULT hr = config->GetConfig(&count, &data);
    EXPECT_EQ(hr, S_OK);
    if (hr != S_OK)
    {
        return {};
    }
    Blob blob(data, data + count);
    CoTaskMemFree(data);
    return blob;
}
