// What the tests need to use the component across apartments and processes through
// COM: the tests' own proxy/stub of INapComponentConfig (tests/proxy; Wine has none),
// the system's COM surrogate (dllhost.exe) that hosts the DLL out of process, and the
// surrogate processes themselves.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "support/RegistrySnapshot.h"

#include <string>
#include <vector>

// Whether this program runs under Wine (its ntdll exports wine_get_version).
bool RunningUnderWine();

// Registers qvn_test_proxy.dll, which sits beside the test program, as the proxy/stub
// of INapComponentConfig for the object's life, the way the platform registers its own
// (the interface's ProxyStubClsid32 and the proxy's class in the HKEY_CLASSES_ROOT this
// process sees), and removes that registration afterwards. Where the platform has a
// proxy of its own (Windows ships one) it registers nothing: a second registration
// would replace the system's. Fails the test when the proxy cannot be registered.
class TestProxyRegistration
{
public:
    TestProxyRegistration();
    ~TestProxyRegistration();
    TestProxyRegistration(const TestProxyRegistration&) = delete;
    TestProxyRegistration& operator=(const TestProxyRegistration&) = delete;

private:
    bool m_registered = false;
};

// Wine 8 keeps one reference to a class factory for every object it creates in one
// apartment on behalf of another (a "Neutral" class created from the multi-threaded
// apartment, for one): it marshals the factory to the creating apartment and never
// releases its own reference, so the server stays locked. Given a reference of the
// caller's own to the component's factory, answers how many references it holds beyond
// the class table's and the caller's, and gives those back: the test checks that they
// are exactly the ones Wine took (none on Windows) before it checks that the server can
// unload. Call it only when no other reference to the factory exists.
ULONG GiveBackFactoryReferencesHeldByWine(IClassFactory* factory);

// Under Wine, names the 64-bit surrogate, <system folder>\dllhost.exe, as the
// component's DllSurrogate. The registration writes the value empty, which means "the
// system's surrogate": Windows then starts its 64-bit dllhost.exe for a 64-bit server,
// but Wine 8 starts the 32-bit one (SysWOW64\dllhost.exe), which needs 32-bit Wine, and
// the creation fails with 0x80070002. On Windows it leaves the value as registered.
// Call it after registering; unregistering removes the value with the AppID key. Fails
// the test on error.
void UseSixtyFourBitSurrogate();

// The ids of the surrogate processes (dllhost.exe) that have the module (a file name
// such as L"qvnnapcfg64.dll") loaded, in no particular order.
std::vector<DWORD> SurrogatesHosting(const wchar_t* moduleName);

// Ends a surrogate process that the test started and waits until it has gone. Wine's
// surrogate never ends by itself, and a process left running keeps the prefix's server
// up. Fails the test when the process cannot be ended within a few seconds.
void EndSurrogate(DWORD processId);

// For the object's life: the surrogates hosting the component (qvnnapcfg64.dll) that run
// when it is made are left alone, and those started meanwhile are ended when it goes.
// The prefix's settings key, which the surrogates write (a scratch key of this process
// does not reach them), is put back as it was.
class SurrogateScope
{
public:
    SurrogateScope();
    ~SurrogateScope();
    SurrogateScope(const SurrogateScope&) = delete;
    SurrogateScope& operator=(const SurrogateScope&) = delete;

    // The surrogates hosting the component that were started since the scope began.
    std::vector<DWORD> Started() const;

private:
    std::vector<DWORD> m_before;
    RegistrySnapshot m_settings;
};
