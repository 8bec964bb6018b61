// The one place where exceptions become HRESULTs. Every COM method and export that
// can reach throwing code runs its body through ComBoundary, so no exception ever
// leaves the module.
#pragma once

#include <windows.h>

#include <new>

template <class Body> HRESULT ComBoundary(Body&& body) noexcept
{
    try
    {
        return body();
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_FAIL;
    }
}
