/* The journal side of the test adapters (see recording_adapter.h). */
#ifndef KEX_REC_JOURNAL_H
#define KEX_REC_JOURNAL_H

#include <windows.h>

#include "tests/adapters/recording_adapter.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Call from DllMain: finds the test's journal and notes the attach/detach. */
void rec_journal_process_attach(HINSTANCE self);
void rec_journal_process_detach(LPVOID reserved);
void rec_journal_note(int32_t event, uint32_t code, int32_t result);

#ifdef __cplusplus
}
#endif

#endif
