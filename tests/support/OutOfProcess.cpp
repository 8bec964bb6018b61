#include "support/OutOfProcess.h"

#include "RegistryKey.h"
#include "UniqueHandle.h"
#include "support/ComponentDll.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>
#include <napcommon.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

namespace
{
const std::wstring ProxyFileName = L"qvn_test_proxy.dll";
const wchar_t* const ComponentFileName = L"qvnnapcfg64.dll";
const std::wstring InterfaceKey = L"Interface\\{A9E0AF1A-3713-478E-AE03-8EDD272D21FA}";
const std::wstring AppIdKey = L"AppID\\{73D1100C-337E-4de7-84B9-8F5B10202693}";

using UniqueKernelHandle = UniqueHandle<HANDLE, &CloseHandle>;

// A Toolhelp snapshot; empty when it cannot be taken.
UniqueKernelHandle Snapshot(DWORD what, DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(what, processId);
    return UniqueKernelHandle(snapshot != INVALID_HANDLE_VALUE ? snapshot : nullptr);
}

template <class Function> Function ProcAs(FARPROC proc)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

// Calls DllRegisterServer or DllUnregisterServer of the tests' proxy.
HRESULT CallProxyRegistration(const char* exportName)
{
    UniqueModule proxy(LoadLibraryW(PathBesideProgram(ProxyFileName.c_str()).c_str()));
    if (!proxy)
    {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    auto function = ProcAs<HRESULT(WINAPI*)()>(GetProcAddress(proxy.Get(), exportName));
    return function != nullptr ? function() : HRESULT_FROM_WIN32(GetLastError());
}

// Whether the interface's proxy is registered and is not the tests' own (which an
// earlier run may have left behind).
bool PlatformHasProxy()
{
    const std::optional<RegistryValue> proxyClass =
        ReadRegistryValue(HKEY_CLASSES_ROOT, InterfaceKey + L"\\ProxyStubClsid32", nullptr);
    if (!proxyClass)
    {
        return false;
    }
    const std::optional<RegistryValue> server =
        ReadRegistryValue(HKEY_CLASSES_ROOT, L"CLSID\\" + proxyClass->Text() + L"\\InprocServer32", nullptr);
    const std::wstring path = server ? server->Text() : L"";
    return path.size() < ProxyFileName.size() ||
           _wcsicmp(path.c_str() + path.size() - ProxyFileName.size(), ProxyFileName.c_str()) != 0;
}

bool HasModule(DWORD processId, const wchar_t* moduleName)
{
    const UniqueKernelHandle snapshot = Snapshot(TH32CS_SNAPMODULE, processId);
    if (!snapshot)
    {
        return false; // the process ended meanwhile, or is not ours to look into
    }
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    for (BOOL more = Module32FirstW(snapshot.Get(), &module); more; more = Module32NextW(snapshot.Get(), &module))
    {
        if (_wcsicmp(module.szModule, moduleName) == 0)
        {
            return true;
        }
    }
    return false;
}
} // namespace

bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TestProxyRegistration::TestProxyRegistration()
{
    if (PlatformHasProxy())
    {
        return;
    }
    const HRESULT hr = CallProxyRegistration("DllRegisterServer");
    EXPECT_EQ(hr, S_OK) << "registering the tests' proxy/stub " << ProxyFileName;
    m_registered = true; // also after a partial failure, so that it is taken back
}

TestProxyRegistration::~TestProxyRegistration()
{
    if (m_registered)
    {
        EXPECT_EQ(CallProxyRegistration("DllUnregisterServer"), S_OK) << "unregistering " << ProxyFileName;
    }
}

ULONG GiveBackFactoryReferencesHeldByWine(IClassFactory* factory)
{
    // The class table's, the caller's and the one taken here to read the count.
    constexpr ULONG Known = 3;
    const ULONG count = factory->AddRef();
    factory->Release();
    const ULONG extra = count > Known ? count - Known : 0;
    for (ULONG i = 0; i < extra; ++i)
    {
        factory->Release();
    }
    return extra;
}

void UseSixtyFourBitSurrogate()
{
    if (!RunningUnderWine())
    {
        return;
    }
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<UINT>(MAX_PATH));
    ASSERT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, AppIdKey)) << "register the component first";
    WriteRegistryString(HKEY_CLASSES_ROOT, AppIdKey, L"DllSurrogate", std::wstring(system) + L"\\dllhost.exe");
}

std::vector<DWORD> SurrogatesHosting(const wchar_t* moduleName)
{
    std::vector<DWORD> found;
    const UniqueKernelHandle snapshot = Snapshot(TH32CS_SNAPPROCESS, 0);
    if (!snapshot)
    {
        ADD_FAILURE() << "cannot list the processes, error " << GetLastError();
        return found;
    }
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof process;
    for (BOOL more = Process32FirstW(snapshot.Get(), &process); more; more = Process32NextW(snapshot.Get(), &process))
    {
        if (_wcsicmp(process.szExeFile, L"dllhost.exe") == 0 && HasModule(process.th32ProcessID, moduleName))
        {
            found.push_back(process.th32ProcessID);
        }
    }
    return found;
}

void EndSurrogate(DWORD processId)
{
    const UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process)
    {
        return; // it has ended already
    }
    // Measured under load: now and then Wine takes several seconds to let a terminated
    // process go.
    constexpr DWORD Patience = 15000;
    if (!TerminateProcess(process.Get(), 1) && WaitForSingleObject(process.Get(), 0) != WAIT_OBJECT_0)
    {
        ADD_FAILURE() << "cannot end surrogate process " << processId << ", error " << GetLastError();
        return;
    }
    EXPECT_EQ(WaitForSingleObject(process.Get(), Patience), WAIT_OBJECT_0)
        << "surrogate process " << processId << " did not end within " << Patience << " ms";
}

SurrogateScope::SurrogateScope()
    : m_before(SurrogatesHosting(ComponentFileName)),
      m_settings(TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, SettingsKeyPath))
{
}

SurrogateScope::~SurrogateScope()
{
    for (DWORD processId : Started())
    {
        EndSurrogate(processId);
    }
    EXPECT_EQ(RestoreRegistrySnapshot(HKEY_LOCAL_MACHINE, SettingsKeyPath, m_settings), ERROR_SUCCESS)
        << "putting the settings key back";
}

std::vector<DWORD> SurrogateScope::Started() const
{
    std::vector<DWORD> started = SurrogatesHosting(ComponentFileName);
    started.erase(
        std::remove_if(started.begin(), started.end(),
                       [this](DWORD id) { return std::find(m_before.begin(), m_before.end(), id) != m_before.end(); }),
        started.end());
    return started;
}
