// The benchmark's reference for loading: a DLL with nothing of its own, built by the
// same toolchain with the same options and layout as the component.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
