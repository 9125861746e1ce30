// An adapter whose entry point named at build time throws a C++ exception
// (THROWING_INTIALIZE, THROWING_EXECUTE or THROWING_UNINITIALIZE); the others
// answer 0.
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#define KEX_ADAPTER_BUILD
#include "adapters/KexUSBAdapter.h"

#include <windows.h>

#include <stdexcept>

extern "C" int32_t KEX_CDECL Intialize(KexDeviceCallback)
{
#ifdef THROWING_INTIALIZE
    throw std::runtime_error("Intialize");
#endif
    return 0;
}

extern "C" int32_t KEX_CDECL execute(uint32_t, uintptr_t, uintptr_t)
{
#ifdef THROWING_EXECUTE
    throw std::runtime_error("execute");
#endif
    return 0;
}

extern "C" int32_t KEX_CDECL UnInitialize(void)
{
#ifdef THROWING_UNINITIALIZE
    throw 42;
#endif
    return 0;
}
