/* A complete adapter, built for the other architecture than the build's own
 * (32-bit in the 64-bit build and the reverse): loading it must fail with a
 * record that names the mismatch. */
#include <stdint.h>

typedef int32_t(__cdecl *DeviceCallback)(uint32_t msg, uint32_t wParam, int32_t lParam);

__declspec(dllexport) int32_t __cdecl Intialize(DeviceCallback callback)
{
    (void)callback;
    return 0;
}

__declspec(dllexport) int32_t __cdecl execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    (void)code;
    (void)wParam;
    (void)lParam;
    return 0;
}

__declspec(dllexport) int32_t __cdecl UnInitialize(void)
{
    return 0;
}
