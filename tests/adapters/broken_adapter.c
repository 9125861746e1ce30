/* Broken adapters for tests, one DLL per variant, chosen at build time:
 *   BROKEN_INITIALIZE_TYPO  exports "Initialize" instead of "Intialize"
 *   BROKEN_NO_INTIALIZE     exports only "execute" and "UnInitialize"
 *   BROKEN_NO_EXECUTE       exports only "Intialize" and "UnInitialize"
 *   BROKEN_INTIALIZE_RESULT "Intialize" answers this value
 *   BROKEN_EXECUTE_RESULT   "execute" answers this value
 *   BROKEN_START_UP         DllMain fails the load (the system then detaches it)
 * Written in C89 against the contract header, as an adapter writer would.
 * Every call goes to the test's journal. */
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#define KEX_ADAPTER_BUILD
#include "adapters/KexUSBAdapter.h"

#include "tests/adapters/rec_journal.h"

#ifndef BROKEN_INTIALIZE_RESULT
#define BROKEN_INTIALIZE_RESULT 0
#endif
#ifndef BROKEN_EXECUTE_RESULT
#define BROKEN_EXECUTE_RESULT 0
#endif

#ifndef BROKEN_NO_INTIALIZE
static int32_t do_intialize(KexDeviceCallback callback)
{
    (void)callback;
    rec_journal_note(REC_EV_INTIALIZE, 0, BROKEN_INTIALIZE_RESULT);
    return BROKEN_INTIALIZE_RESULT;
}
#endif

#if defined(BROKEN_INITIALIZE_TYPO)
KEX_ADAPTER_API int32_t KEX_CDECL Initialize(KexDeviceCallback callback);
KEX_ADAPTER_API int32_t KEX_CDECL Initialize(KexDeviceCallback callback)
{
    return do_intialize(callback);
}
#elif !defined(BROKEN_NO_INTIALIZE)
KEX_ADAPTER_API int32_t KEX_CDECL Intialize(KexDeviceCallback callback)
{
    return do_intialize(callback);
}
#endif

#ifndef BROKEN_NO_EXECUTE
KEX_ADAPTER_API int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    (void)wParam;
    (void)lParam;
    rec_journal_note(REC_EV_EXECUTE, code, BROKEN_EXECUTE_RESULT);
    return BROKEN_EXECUTE_RESULT;
}
#endif

KEX_ADAPTER_API int32_t KEX_CDECL UnInitialize(void)
{
    rec_journal_note(REC_EV_UNINITIALIZE, 0, 0);
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        rec_journal_process_attach(self);
    else if (reason == DLL_PROCESS_DETACH)
        rec_journal_process_detach(reserved);
#ifdef BROKEN_START_UP
    if (reason == DLL_PROCESS_ATTACH)
        return FALSE;
#endif
    return TRUE;
}
