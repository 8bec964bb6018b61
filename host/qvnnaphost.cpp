// Stands in for the NAP management console: loads the component beside this program,
// takes an SHVConfig object from its class factory and prints the settings.
#include "SHVConfigBlob.h"

#include <windows.h>
#include <napcommon.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};

int Fail(const char* what, HRESULT hr)
{
    std::fprintf(stderr, "qvnnaphost: %s failed (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return 1;
}

std::wstring PathBesideProgram(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    directory.erase(directory.find_last_of(L"\\/") + 1);
    return directory + fileName;
}
} // namespace

int main()
{
    HMODULE dll = LoadLibraryW(PathBesideProgram(L"qvnnapcfg64.dll").c_str());
    if (dll == nullptr)
    {
        return Fail("loading qvnnapcfg64.dll", HRESULT_FROM_WIN32(GetLastError()));
    }
    auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllGetClassObject")));
    if (getClassObject == nullptr)
    {
        return Fail("finding DllGetClassObject", HRESULT_FROM_WIN32(GetLastError()));
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(ClsidSHVConfig, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
    {
        return Fail("DllGetClassObject", hr);
    }
    INapComponentConfig* config = nullptr;
    hr = factory->CreateInstance(nullptr, __uuidof(INapComponentConfig), reinterpret_cast<void**>(&config));
    factory->Release();
    if (FAILED(hr))
    {
        return Fail("CreateInstance", hr);
    }
    UINT16 count = 0;
    BYTE* data = nullptr;
    hr = config->GetConfig(&count, &data);
    config->Release();
    if (FAILED(hr) || count != sizeof(SHVConfigBlob))
    {
        return Fail("GetConfig", FAILED(hr) ? hr : E_UNEXPECTED);
    }
    SHVConfigBlob blob;
    std::memcpy(&blob, data, sizeof(blob));
    CoTaskMemFree(data);

    const std::u16string name(blob.serverName);
    std::printf("server:      %ls\n", std::wstring(name.begin(), name.end()).c_str());
    std::printf("port:        %u\n", blob.serverPort);
    std::printf("time-out:    %u\n", blob.serverTimeout);
    std::printf("cache time:  %u s\n", blob.cacheTime);
    std::printf("enabled:     %s\n", blob.validationEnabled ? "yes" : "no");
    return 0;
}
