// Defines the interface identifiers that the platform headers only declare.
#include <windows.h>
#include <initguid.h>
#include <napcommon.h>
