// A DLL without a single resource, for lookups that must find no resource section.
#include <windows.h>

extern "C" __declspec(dllexport) int NoResourcesMarker()
{
    return 0;
}
