/* The test adapters' journal: the test program's journal is found at the
 * address an environment variable gives, and each entry names the adapter's
 * file. */
#include "tests/adapters/rec_journal.h"

static RecJournal *s_journal;
static char s_module[REC_MODULE_MAX];

static RecJournal *find_journal(void)
{
    char text[32];
    uintptr_t address = 0;
    DWORD i, n = GetEnvironmentVariableA(REC_JOURNAL_ENV, text, sizeof text);
    if (n == 0 || n >= sizeof text)
        return NULL;
    for (i = 0; i < n; ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = (unsigned)(c - 'a' + 10);
        else
            return NULL;
        address = address * 16 + digit;
    }
    return (RecJournal *)address;
}

void rec_journal_note(int32_t event, uint32_t code, int32_t result)
{
    long slot;
    RecJournalEntry *e;
    if (!s_journal)
        return;
    slot = InterlockedIncrement((LONG volatile *)&s_journal->count) - 1;
    if (slot < 0 || slot >= REC_JOURNAL_MAX)
        return;
    e = &s_journal->entries[slot];
    lstrcpynA(e->module, s_module, REC_MODULE_MAX);
    e->event = event;
    e->code = code;
    e->result = result;
}

void rec_journal_process_attach(HINSTANCE self)
{
    DWORD n = GetModuleFileNameA(self, s_module, REC_MODULE_MAX);
    if (n == 0 || n >= REC_MODULE_MAX)
        s_module[0] = '\0';
    s_journal = find_journal();
    rec_journal_note(REC_EV_ATTACH, 0, 0);
}

void rec_journal_process_detach(LPVOID reserved)
{
    /* At process exit the test's journal may already be gone. */
    if (reserved == NULL)
        rec_journal_note(REC_EV_DETACH, 0, 0);
    s_journal = NULL;
}
