// The one place where exceptions become HRESULTs. Code that can throw (allocations of
// the standard library, the registrar's CAtlException, the runtime library's exceptions)
// runs inside ComBoundary wherever a noexcept function (a COM method, an export) reaches
// it, so no exception ever leaves the module; every handler maps the exception through
// HResultFromCurrentException, so none can forget a kind.
#pragma once

#include <windows.h>

// The registrar's internal failure: carries the HRESULT that the code which caught it
// reports. Never leaves the registrar.
class CAtlException
{
public:
    explicit CAtlException(HRESULT hr) noexcept : m_hr(hr) {}
    operator HRESULT() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

// Call only inside a catch handler. The HRESULT of the exception being handled: a
// CAtlException's own, E_OUTOFMEMORY for std::bad_alloc, E_FAIL for anything else (the
// runtime library's exceptions included). When description is given it receives what()
// of a std::exception and null otherwise.
HRESULT HResultFromCurrentException(const char** description = nullptr) noexcept;

template <class Body> HRESULT ComBoundary(Body&& body) noexcept
{
    try
    {
        return body();
    }
    catch (...)
    {
        return HResultFromCurrentException();
    }
}
