// Declarations the generated proxy code uses but mingw-w64's rpcproxy.h lacks: the
// IUnknown methods of a stubless proxy, which rpcrt4 exports.
#pragma once

#include <objbase.h>

#ifdef __cplusplus
extern "C"
{
#endif

    HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
    ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
    ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#ifdef __cplusplus
}
#endif
