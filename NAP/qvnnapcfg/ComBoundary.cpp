#include "ComBoundary.h"

#include <exception>
#include <new>

HRESULT HResultFromCurrentException(const char** description) noexcept
{
    if (description != nullptr)
    {
        *description = nullptr;
    }
    try
    {
        throw;
    }
    catch (const CAtlException& failure)
    {
        return failure;
    }
    catch (const std::bad_alloc& failure)
    {
        if (description != nullptr)
        {
            *description = failure.what();
        }
        return E_OUTOFMEMORY;
    }
    catch (const std::exception& failure)
    {
        if (description != nullptr)
        {
            *description = failure.what();
        }
        return E_FAIL;
    }
    catch (...)
    {
        return E_FAIL;
    }
}
