#include "SHVConfigModule.h"

#include "ComBoundary.h"
#include "RegObject.h"
#include "ResourceIds.h"
#include "Win32Result.h"

#include "runtime/logger.h"
#include "runtime/syncers.h"

#include <cstdio>
#include <string>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace
{
constexpr UINT RegistrationScriptId = IDR_REGISTRATION_SCRIPT;

// Switches the calling thread to another locale for the object's lifetime.
class ThreadLocaleSwitch
{
public:
    explicit ThreadLocaleSwitch(LCID locale) noexcept : m_saved(GetThreadLocale()) { SetThreadLocale(locale); }
    ~ThreadLocaleSwitch() { SetThreadLocale(m_saved); }
    ThreadLocaleSwitch(const ThreadLocaleSwitch&) = delete;
    ThreadLocaleSwitch& operator=(const ThreadLocaleSwitch&) = delete;

private:
    LCID m_saved;
};

// No class of this module declares component categories; one that did would need the
// category manager, which the module does not use.
HRESULT CheckNoCategories(const ClassEntry& entry) noexcept
{
    return entry.categoryMap != nullptr && entry.categoryMap() != nullptr ? E_NOTIMPL : S_OK;
}

// The script quotes the module path as '%MODULE%', so its single quotes are doubled. A
// path under MAX_PATH characters stays under 520 characters doubled.
std::wstring QuoteEscaped(const wchar_t* text)
{
    std::wstring escaped;
    for (; *text != L'\0'; ++text)
    {
        escaped.push_back(*text);
        if (*text == L'\'')
        {
            escaped.push_back(L'\'');
        }
    }
    return escaped;
}
} // namespace

std::atomic<bool> g_moduleInitFailed{false};
std::atomic<HINSTANCE> g_moduleInstance{nullptr};

namespace
{
char g_loadRefusal[256]; // the first RefuseModuleLoad reason; empty while none

// Writes why the load is refused where an administrator can find it, even when the
// host shows nothing but a failed load.
void ReportRefusedLoad() noexcept
{
    char line[sizeof(g_loadRefusal) + 64];
    const int length = std::snprintf(line, sizeof(line), "[qvnnapcfg64] Load refused: %s\n",
                                     g_loadRefusal[0] != '\0' ? g_loadRefusal : "start-up failed");
    OutputDebugStringA(line);

    lock_guard_t guard(default_logging_lock());
    if_logger_t* logger = global_logger();
    if (logger != nullptr && logger->is_enabled(log_level_error))
    {
        log_error(logger, "%.*s", length - 1, line); // the logger ends the line itself
    }
}
} // namespace

void RefuseModuleLoad(const char* part, const char* reason) noexcept
{
    if (!g_moduleInitFailed.exchange(true))
    {
        // NOLINTNEXTLINE(cert-err33-c): a longer refusal is cut to the buffer, as meant
        std::snprintf(g_loadRefusal, sizeof(g_loadRefusal), "%s: %s", part != nullptr ? part : "",
                      reason != nullptr ? reason : "");
    }
}

std::atomic<CAtlModule*> CAtlModule::s_current{nullptr};

bool ModuleCriticalSection::Create() noexcept
{
    m_created = InitializeCriticalSectionAndSpinCount(&m_section, 0) != FALSE;
    return m_created;
}

void ModuleCriticalSection::Delete() noexcept
{
    if (m_created)
    {
        DeleteCriticalSection(&m_section);
        m_created = false;
    }
}

ClassTable::ClassTable(ClassEntry* const* first, ClassEntry* const* last) noexcept : m_first(first), m_last(last)
{
    if (m_lock.Create())
    {
        m_size.store(sizeof(*this));
    }
    else
    {
        RefuseModuleLoad("class table", "cannot create its lock");
    }
}

ClassTable::~ClassTable()
{
    if (m_size.exchange(0) == 0)
    {
        return;
    }
    for (ClassEntry* entry : *this)
    {
        if (entry != nullptr)
        {
            if (IUnknown* factory = entry->cachedFactory.exchange(nullptr))
            {
                factory->Release();
            }
        }
    }
    m_lock.Delete();
}

HRESULT ClassTable::GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept
{
    if (m_size.load(std::memory_order_acquire) == 0)
    {
        return E_UNEXPECTED;
    }
    if (out == nullptr)
    {
        return E_POINTER;
    }
    *out = nullptr;

    ClassEntry* found = nullptr;
    for (ClassEntry* entry : *this)
    {
        if (entry != nullptr && entry->createFactory != nullptr && IsEqualCLSID(*entry->clsid, clsid))
        {
            found = entry;
            break;
        }
    }
    if (found == nullptr)
    {
        return CLASS_E_CLASSNOTAVAILABLE;
    }

    // Fast path: a published factory is complete (release store below, acquire here).
    HRESULT hr = S_OK;
    IUnknown* factory = found->cachedFactory.load(std::memory_order_acquire);
    if (factory == nullptr)
    {
        const ModuleCriticalSection::Guard guard(m_lock);
        factory = found->cachedFactory.load(std::memory_order_relaxed);
        if (factory == nullptr)
        {
            hr = found->createFactory(found->createInstance, IID_IUnknown, reinterpret_cast<void**>(&factory));
            if (factory != nullptr)
            {
                found->cachedFactory.store(factory, std::memory_order_release);
            }
        }
    }
    if (factory != nullptr)
    {
        hr = factory->QueryInterface(iid, out);
    }
    if (*out == nullptr && hr == S_OK)
    {
        hr = CLASS_E_CLASSNOTAVAILABLE;
    }
    return hr;
}

BaseModuleRecord::BaseModuleRecord() noexcept
    : m_instance(reinterpret_cast<HINSTANCE>(&__ImageBase)), m_resourceInstance(m_instance)
{
    m_size = sizeof(*this);
    if (!m_lock.Create())
    {
        RefuseModuleLoad("base module record", "cannot create its lock");
    }
}

WindowClassRecord::WindowClassRecord() noexcept
{
    m_size = sizeof(*this);
    if (!m_lock.Create())
    {
        m_size = 0;
        RefuseModuleLoad("window-class record", "cannot create its lock");
    }
}

WindowClassRecord::~WindowClassRecord()
{
    for (ATOM atom : m_atoms)
    {
        UnregisterClassW(reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(atom)), g_baseModule.Instance());
    }
    m_atoms.clear();
    m_lock.Delete();
    m_size = 0;
}

CAtlModule::CAtlModule() noexcept
{
    s_current = this;
    if (m_csModuleLock.Create())
    {
        cbSize = sizeof(*this);
    }
    else
    {
        RefuseModuleLoad("module object", "cannot create its lock");
    }
}

CAtlModule::~CAtlModule()
{
    // Objects a leaky host releases after this (at process exit, say) must not reach a
    // module that is gone.
    CAtlModule* self = this;
    s_current.compare_exchange_strong(self, nullptr);
    if (cbSize != 0)
    {
        m_csModuleLock.Delete();
        cbSize = 0;
    }
}

LONG CAtlModule::Lock() noexcept
{
    return ++m_nLockCnt;
}

LONG CAtlModule::Unlock() noexcept
{
    return --m_nLockCnt;
}

LONG CAtlModule::GetLockCount() noexcept
{
    return m_nLockCnt.load();
}

HRESULT CAtlModule::AddStandardReplacements(IRegistrarBase* registrar) noexcept
{
    return registrar->AddReplacement(L"APPID", L"");
}

HRESULT CAtlModule::UpdateRegistryFromScript(UINT resourceId, BOOL doRegister,
                                             const RegistryReplacement* extra) noexcept
{
    CRegObject registrar;
    for (; extra != nullptr && extra->name != nullptr; ++extra)
    {
        const HRESULT hr = registrar.AddReplacement(extra->name, extra->value);
        if (FAILED(hr))
        {
            return hr;
        }
    }
    HRESULT hr = AddStandardReplacements(&registrar);
    if (FAILED(hr))
    {
        return hr;
    }

    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(g_baseModule.Instance(), path, MAX_PATH);
    if (length == 0)
    {
        return HResultFromLastError();
    }
    if (length == MAX_PATH)
    {
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER); // the name was cut short
    }

    std::wstring escaped;
    hr = ComBoundary([&] {
        escaped = QuoteEscaped(path);
        return S_OK;
    });
    if (FAILED(hr))
    {
        return hr;
    }
    hr = registrar.AddReplacement(L"Module", escaped.c_str());
    if (SUCCEEDED(hr))
    {
        hr = registrar.AddReplacement(L"Module_Raw", escaped.c_str());
    }
    if (FAILED(hr))
    {
        return hr;
    }
    return registrar.RunResourceScript(path, resourceId, L"REGISTRY", doRegister);
}

SHVConfigModule::SHVConfigModule() noexcept
{
    for (ClassEntry* entry : g_classTable)
    {
        if (entry != nullptr && entry->objectMain != nullptr)
        {
            entry->objectMain(true);
        }
    }
}

SHVConfigModule::~SHVConfigModule()
{
    for (ClassEntry* entry : g_classTable)
    {
        if (entry != nullptr && entry->objectMain != nullptr)
        {
            entry->objectMain(false);
        }
    }
}

HRESULT SHVConfigModule::DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept
{
    return g_classTable.GetClassObject(clsid, iid, out);
}

HRESULT SHVConfigModule::DllRegisterServer() noexcept
{
    HRESULT hr = S_OK;
    {
        const ThreadLocaleSwitch systemLocale(LOCALE_SYSTEM_DEFAULT);
        for (ClassEntry* entry : g_classTable)
        {
            if (entry == nullptr)
            {
                continue;
            }
            hr = entry->updateRegistry != nullptr ? entry->updateRegistry(TRUE) : S_OK;
            if (SUCCEEDED(hr))
            {
                hr = CheckNoCategories(*entry);
            }
            if (FAILED(hr))
            {
                break;
            }
        }
    }
    if (FAILED(hr))
    {
        return hr;
    }
    return UpdateRegistryFromScript(RegistrationScriptId, TRUE);
}

HRESULT SHVConfigModule::DllUnregisterServer() noexcept
{
    {
        // The classes' own steps do not decide the result: the script always runs, so
        // that whatever it registered goes.
        const ThreadLocaleSwitch systemLocale(LOCALE_SYSTEM_DEFAULT);
        for (ClassEntry* entry : g_classTable)
        {
            if (entry == nullptr)
            {
                continue;
            }
            if (FAILED(CheckNoCategories(*entry)) ||
                (entry->updateRegistry != nullptr && FAILED(entry->updateRegistry(FALSE))))
            {
                break;
            }
        }
    }
    return UpdateRegistryFromScript(RegistrationScriptId, FALSE);
}

BOOL SHVConfigModule::DllMain(HINSTANCE instance, DWORD reason) noexcept
{
    g_moduleInstance.store(instance);
    if (reason == DLL_PROCESS_ATTACH && g_moduleInitFailed.load())
    {
        ReportRefusedLoad();
        return FALSE;
    }
    return TRUE;
}
