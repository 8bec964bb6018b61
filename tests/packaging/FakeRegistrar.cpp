// A stand-in COM server whose DllRegisterServer writes what the real module's script
// does not: every value type the package can carry, keys without values, and, on
// request, entries outside HKEY_CLASSES_ROOT or a failure. The environment variable
// QVN_FAKE_REGISTRATION selects the behaviour: unset for the entries only, "hklm" or
// "hkcu" to also write there, "fail" to fail after writing.
#include <windows.h>

#include <string>

namespace
{
HMODULE g_module = nullptr;

std::wstring Mode()
{
    wchar_t mode[32] = {};
    GetEnvironmentVariableW(L"QVN_FAKE_REGISTRATION", mode, ARRAYSIZE(mode));
    return mode;
}

LSTATUS SetValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD type, const void* data, std::size_t size)
{
    return RegSetKeyValueW(root, key, name, type, data, static_cast<DWORD>(size));
}

LSTATUS CreateEmptyKey(const wchar_t* path)
{
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS)
    {
        RegCloseKey(key);
    }
    return status;
}
} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        g_module = instance;
    }
    return TRUE;
}

namespace
{
HRESULT Register()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
    const wchar_t* values = L"QvnFakeRegistrar\\Values";
    const std::wstring expand = L"%SystemRoot%\\[x]";
    const std::wstring multi = std::wstring(L"first") + L'\0' + path + L'\0' + L'\0';
    const DWORD number = 0xFFFFFFFF;
    const BYTE bytes[] = {0x0A, 0xFF};
    LSTATUS status = SetValue(HKEY_CLASSES_ROOT, values, nullptr, REG_SZ, path, (length + 1) * sizeof(wchar_t));
    if (Mode() == L"fail")
    {
        return E_FAIL;
    }
    if (status == ERROR_SUCCESS)
    {
        status = SetValue(HKEY_CLASSES_ROOT, values, L"Expand", REG_EXPAND_SZ, expand.c_str(),
                          (expand.size() + 1) * sizeof(wchar_t));
    }
    if (status == ERROR_SUCCESS)
    {
        status =
            SetValue(HKEY_CLASSES_ROOT, values, L"Multi", REG_MULTI_SZ, multi.data(), multi.size() * sizeof(wchar_t));
    }
    if (status == ERROR_SUCCESS)
    {
        status = SetValue(HKEY_CLASSES_ROOT, values, L"Number", REG_DWORD, &number, sizeof(number));
    }
    if (status == ERROR_SUCCESS)
    {
        status = SetValue(HKEY_CLASSES_ROOT, values, L"Bytes", REG_BINARY, bytes, sizeof(bytes));
    }
    if (status == ERROR_SUCCESS)
    {
        status = CreateEmptyKey(L"QvnFakeRegistrar\\Empty");
    }
    if (status == ERROR_SUCCESS)
    {
        status = CreateEmptyKey(L"QvnFakeRegistrar\\Nested\\Deeper");
    }
    const DWORD one = 1;
    if (status == ERROR_SUCCESS && Mode() == L"hklm")
    {
        status = SetValue(HKEY_LOCAL_MACHINE, L"Software\\QvnFakeRegistrar", L"Written", REG_DWORD, &one, sizeof(one));
    }
    if (status == ERROR_SUCCESS && Mode() == L"hkcu")
    {
        status = SetValue(HKEY_CURRENT_USER, L"Software\\QvnFakeRegistrar", L"Written", REG_DWORD, &one, sizeof(one));
    }
    return HRESULT_FROM_WIN32(status);
}
} // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer()
{
    try
    {
        return Register();
    }
    catch (...)
    {
        return E_OUTOFMEMORY; // the strings above are all it allocates
    }
}
