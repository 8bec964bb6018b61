// The in-process server's module state: the records built when the DLL loads, the
// module object with the server lock count, and the class table with its cached
// class factories. The objects themselves are defined, in their construction order,
// in ModuleLifetime.cpp.
#pragma once

#include "ComObject.h"

#include <atomic>
#include <vector>

struct IRegistrarBase;

// Set by any module-wide record or start-up step that fails (through RefuseModuleLoad);
// DllMain then refuses the process attach, so the DLL never runs half built.
extern std::atomic<bool> g_moduleInitFailed;

// Marks the module as failed and keeps the first reason given, "<part>: <reason>" (cut
// to about 250 characters), for DllMain to report when it refuses the load. Either text
// may be null. Never fails; meant for start-up, which runs on one thread.
void RefuseModuleLoad(const char* part, const char* reason) noexcept;

// The instance handle DllMain last received; dialogs and strings load from it.
extern std::atomic<HINSTANCE> g_moduleInstance;

// A critical section whose creation can fail (InitializeCriticalSection cannot report
// that; this can). Create() returns false on failure.
class ModuleCriticalSection
{
public:
    ModuleCriticalSection() = default;
    ~ModuleCriticalSection() { Delete(); }
    ModuleCriticalSection(const ModuleCriticalSection&) = delete;
    ModuleCriticalSection& operator=(const ModuleCriticalSection&) = delete;

    bool Create() noexcept;
    void Delete() noexcept;
    void Enter() noexcept { EnterCriticalSection(&m_section); }
    void Leave() noexcept { LeaveCriticalSection(&m_section); }

    // Holds the section from construction to the end of the scope, whichever way the
    // scope is left.
    class Guard
    {
    public:
        explicit Guard(ModuleCriticalSection& section) noexcept : m_held(section) { m_held.Enter(); }
        ~Guard() { m_held.Leave(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        ModuleCriticalSection& m_held;
    };

private:
    CRITICAL_SECTION m_section{};
    bool m_created = false;
};

// One creatable class. The update-registry function returns S_OK without doing
// anything: the class's registry entries come from the module's registration script.
struct ClassEntry
{
    const CLSID* clsid;
    HRESULT (*updateRegistry)(BOOL doRegister);
    FactoryCreator createFactory;
    InstanceCreator createInstance;
    std::atomic<IUnknown*> cachedFactory; // null until the first successful request
    const void* (*categoryMap)();         // the class's component categories; null: none
    void (*objectMain)(bool starting);    // called at module start and stop
};

// The classes the server offers and the lock that serialises the first creation of
// each class factory. Built first at load, destroyed last at unload.
class ClassTable
{
public:
    ClassTable(ClassEntry* const* first, ClassEntry* const* last) noexcept;
    ~ClassTable();
    ClassTable(const ClassTable&) = delete;
    ClassTable& operator=(const ClassTable&) = delete;

    // The class factory for clsid, answered for iid. The factory is created once,
    // under the table's lock, and cached; later requests take no lock. Results:
    // E_UNEXPECTED once the table is torn down, E_POINTER for a null out,
    // CLASS_E_CLASSNOTAVAILABLE for an unknown class, the factory's QueryInterface
    // result otherwise (E_NOINTERFACE leaves the factory cached).
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;

    ClassEntry* const* begin() const noexcept { return m_first; }
    ClassEntry* const* end() const noexcept { return m_last; }

private:
    std::atomic<UINT> m_size{0}; // the record's size while live, 0 before and after
    ClassEntry* const* m_first;
    ClassEntry* const* m_last;
    ModuleCriticalSection m_lock;
};

// The DLL's own image and its resources, as the loader mapped it.
class BaseModuleRecord
{
public:
    BaseModuleRecord() noexcept;
    ~BaseModuleRecord() = default;

    HINSTANCE Instance() const noexcept { return m_instance; }
    HINSTANCE ResourceInstance() const noexcept { return m_resourceInstance; }

    static constexpr DWORD BuildVersion = 0x0800;

private:
    UINT m_size = 0;
    HINSTANCE m_instance;
    HINSTANCE m_resourceInstance;
    ModuleCriticalSection m_lock;
};

// Window classes the module registered, unregistered at unload. None in this module.
class WindowClassRecord
{
public:
    WindowClassRecord() noexcept;
    ~WindowClassRecord();

private:
    UINT m_size = 0;
    std::vector<ATOM> m_atoms;
    ModuleCriticalSection m_lock;
};

// Fields shared by every module object: the size marker (the record's size while the
// module is live), the server lock count and the module lock.
struct _ATL_MODULE70
{
    UINT cbSize = 0;
    std::atomic<LONG> m_nLockCnt{0};
    ModuleCriticalSection m_csModuleLock;
};

// An extra replacement for UpdateRegistryFromScript: "%name%" stands for value.
struct RegistryReplacement
{
    LPCOLESTR name;
    LPCOLESTR value;
};

// The module object: owns the server lock count that DllCanUnloadNow answers from.
class CAtlModule : public _ATL_MODULE70
{
public:
    CAtlModule() noexcept;
    virtual ~CAtlModule();
    CAtlModule(const CAtlModule&) = delete;
    CAtlModule& operator=(const CAtlModule&) = delete;

    // Interlocked changes of the lock count; both return the new count.
    virtual LONG Lock() noexcept;
    virtual LONG Unlock() noexcept;
    virtual LONG GetLockCount() noexcept;

    // Adds the replacements every registration script of the module may use: "APPID"
    // with the empty text. Returns the registrar's result.
    virtual HRESULT AddStandardReplacements(IRegistrarBase* registrar) noexcept;

    // Runs the module's registration script (resource "REGISTRY" resourceId of the
    // module file) in the register or unregister pass, with "%MODULE%" standing for the
    // module's path (single quotes doubled, as the script quotes it) and the extra pairs
    // (an array ended by a null name; may be null). The registrar's result, or the
    // HRESULT of the last error when the module path cannot be read, 0x8007007A when it
    // does not fit MAX_PATH characters.
    HRESULT UpdateRegistryFromScript(UINT resourceId, BOOL doRegister,
                                     const RegistryReplacement* extra = nullptr) noexcept;

    // The one module object of the process: set when it is built, null again once it is
    // destroyed (and before it is built).
    static CAtlModule* Current() noexcept { return s_current.load(); }

private:
    static std::atomic<CAtlModule*> s_current;
};

template <class T> class CAtlModuleT : public CAtlModule
{
};

// The exports of an in-process server, answered from the module object and the
// class table.
template <class T> class CAtlDllModuleT : public CAtlModuleT<T>
{
public:
    // S_OK when the lock count is 0, S_FALSE otherwise (negative counts included).
    HRESULT DllCanUnloadNow() noexcept { return this->GetLockCount() == 0 ? S_OK : S_FALSE; }
};

class SHVConfigModule final : public CAtlDllModuleT<SHVConfigModule>
{
public:
    SHVConfigModule() noexcept;
    ~SHVConfigModule() override;

    HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;

    // Write or remove the module's registry entries: each class's own step (under the
    // system default thread locale, restored afterwards), then the registration script
    // (resource 101). DllRegisterServer returns the first failing class step's result
    // without running the script; DllUnregisterServer always runs the script. Otherwise
    // UpdateRegistryFromScript's result. The calling thread's locale is unchanged after.
    HRESULT DllRegisterServer() noexcept;
    HRESULT DllUnregisterServer() noexcept;

    // What DllMain does: records the instance handle on every call and refuses a
    // process attach when the module could not be built. A refusal is reported where an
    // administrator finds it: "[qvnnapcfg64] Load refused: <reason>" goes to the
    // debugger output (OutputDebugString) and, when the runtime logger was built, to the
    // runtime log at level "ERR".
    static BOOL DllMain(HINSTANCE instance, DWORD reason) noexcept;
};

// The process-wide records, defined in ModuleLifetime.cpp.
extern ClassTable g_classTable;
extern BaseModuleRecord g_baseModule;
extern SHVConfigModule g_module;
