/*
 * recording_adapter.dll: an adapter for tests. It records every command it
 * receives (code, raw arguments, the texts or a copy of the ContactInfo they
 * point at, the calling thread), answers with configurable results, and can
 * call the device callback from a thread of its own or from inside "execute".
 *
 * Built with REC_VERSION_2 (recording_adapter_v2.dll and its copies) it also
 * speaks contract version 2: "KexAdapterVersion" answers what
 * rec_set_version set (2 unless changed), "KexInitialize2" keeps the host
 * record, "KexExecute2" records the device id with the command, rec_describe
 * names devices through the host, and reports carry a device id. It keeps
 * "Intialize" and "execute", so a component that binds it in version 1
 * still can; each recorded command says which entry point it came through.
 * REC_NO_INITIALIZE2 or REC_NO_EXECUTE2 leave one version-2 export out: an
 * adapter that claims version 2 without being able to speak it.
 *
 * All state lives in the loaded DLL: each copy under another file name (the
 * build also produces recording_adapter2.dll) is an adapter of its own. A test
 * reaches a loaded copy with GetModuleHandleA("recording_adapter.dll") and
 * GetProcAddress; rec_bind() below does that. To configure a copy before the
 * component loads it (e.g. the "Intialize" result), load it yourself first by
 * the same full path: the component then shares that module.
 *
 * Events that must be seen after the library is released (it was released,
 * "UnInitialize" ran, the order of calls across several adapters) go to an
 * optional journal owned by the test: set the environment variable
 * REC_JOURNAL_ENV to the address of a RecJournal (rec_journal_install) before
 * the adapters are loaded. The broken test adapters write to it too.
 */
#ifndef KEX_RECORDING_ADAPTER_H
#define KEX_RECORDING_ADAPTER_H

#include "adapters/KexUSBAdapter.h"

#ifdef __cplusplus
extern "C" {
#endif

#define REC_TEXT_MAX 256   /* texts are cut to REC_TEXT_MAX - 1 bytes */
#define REC_MAX_COMMANDS 4096 /* commands kept; later ones are only counted */
#define REC_MAX_REPORTS 64 /* device reports per rec_raise */

typedef struct RecCommand {
    uint32_t code;
    uintptr_t wParam, lParam; /* as received */
    uint32_t threadId;        /* thread that called "execute" */
    int32_t result;           /* what "execute" answered */
    /* Codes 2-12: the texts at wParam and lParam (hasText 0 for a 0 address). */
    int32_t hasText[2];
    uint32_t textLen[2]; /* full length, before any cut */
    char text[2][REC_TEXT_MAX];
    /* Code 13 with a non-zero wParam: a copy of the record. */
    int32_t hasContact;
    int32_t infoIsNull[KEX_CONTACT_ENTRIES];
    char info[KEX_CONTACT_ENTRIES][REC_TEXT_MAX];
    int32_t iconType[KEX_CONTACT_ENTRIES];
    /* REC_ENTRY_EXECUTE ("execute") or REC_ENTRY_EXECUTE2 ("KexExecute2"). */
    int32_t entry;
    /* KexExecute2's deviceId: hasDevice 0 for a null one. */
    int32_t hasDevice;
    char device[REC_TEXT_MAX];
} RecCommand;

#define REC_ENTRY_EXECUTE 1
#define REC_ENTRY_EXECUTE2 2

typedef struct RecState {
    int32_t intializeCalls;
    int32_t executeCalls;
    int32_t unInitializeCalls;
    uint32_t intializeThreadId;
    KexDeviceCallback callback; /* as handed to "Intialize" (kept after "UnInitialize") */
    int32_t recorded;           /* commands kept, at most REC_MAX_COMMANDS */
    int32_t raised;             /* callbacks made by rec_raise threads and rec_report_on_execute */
    int32_t raisedNonZero;      /* of those, how many did not answer 0 */
    uint32_t raiseThreadId;     /* thread of the last rec_raise */
    int32_t executeInUnInitialize; /* "execute" calls while "UnInitialize" ran */
    int32_t unInitializeNested;    /* "UnInitialize" entered while it ran */
    /* Version 2 */
    int32_t versionCalls;      /* "KexAdapterVersion" */
    int32_t initialize2Calls;  /* "KexInitialize2" */
    const KexHost *host;       /* as handed to it (kept after "UnInitialize") */
    KexHost hostCopy;          /* the record as it was then */
} RecState;

/* A device report. device: the device id of a version-2 report (0: none;
 * copied when the report is taken); a version-1 adapter ignores it. */
typedef struct RecReport {
    uint32_t msg;
    uint32_t wParam;
    int32_t lParam;
    const char *device;
} RecReport;

/* Forgets the commands and counters, sets every result back to 0. */
typedef void(KEX_CDECL *RecResetFn)(void);
/* The result of the next "Intialize" calls. */
typedef void(KEX_CDECL *RecSetIntializeResultFn)(int32_t result);
/* The result of "execute" for one code; code 0 sets it for every code. */
typedef void(KEX_CDECL *RecSetExecuteResultFn)(uint32_t code, int32_t result);
typedef void(KEX_CDECL *RecGetStateFn)(RecState *state);
/* 0 and *out filled when index < recorded, else 1. */
typedef int32_t(KEX_CDECL *RecGetCommandFn)(int32_t index, RecCommand *out);
/* Starts a thread that calls the callback once per report, in order.
 * 1 when there is no callback, a raise is still running, or count is out of
 * 1..REC_MAX_REPORTS. */
typedef int32_t(KEX_CDECL *RecRaiseFn)(const RecReport *reports, int32_t count);
/* Waits for the thread of the last rec_raise: the number of callbacks it made,
 * or -1 on timeout. "UnInitialize" waits for it too. */
typedef int32_t(KEX_CDECL *RecWaitFn)(uint32_t timeoutMs);
/* When a command with this code arrives (0: any), "execute" calls the callback
 * with the report on the caller's thread before answering; null clears it. */
typedef void(KEX_CDECL *RecReportOnExecuteFn)(uint32_t code, const RecReport *report);

/* Nonzero: "UnInitialize" dispatches the calling thread's messages while it
 * waits for the raise thread, as adapters with windows of their own do. */
typedef void(KEX_CDECL *RecSetPumpOnJoinFn)(int32_t on);

/* Version 2 only. What "KexAdapterVersion" answers from now on. */
typedef void(KEX_CDECL *RecSetVersionFn)(int32_t version);
/* Calls the host's DescribeDevice on the caller's thread: its answer, or -1
 * when there is no host record. */
typedef int32_t(KEX_CDECL *RecDescribeFn)(const KexDeviceInfo *device);
/* Devices described (copied), then reports made, inside the next
 * "KexInitialize2", as an adapter that finds its devices at start does;
 * count 0 clears them. */
typedef void(KEX_CDECL *RecAtStartFn)(const KexDeviceInfo *devices, int32_t deviceCount, const RecReport *reports,
                                      int32_t reportCount);

/* ---- Journal ------------------------------------------------------------ */
#define REC_JOURNAL_ENV "KEX_REC_JOURNAL" /* value: the address, in hex */
#define REC_JOURNAL_MAX 4096
#define REC_MODULE_MAX 260

enum RecEvent {
    REC_EV_ATTACH = 1, /* library loaded (process attach) */
    REC_EV_INTIALIZE,  /* result = what it answered */
    REC_EV_EXECUTE,    /* code, result */
    REC_EV_UNINITIALIZE,
    REC_EV_DETACH /* library released (process detach) */
};

typedef struct RecJournalEntry {
    char module[REC_MODULE_MAX]; /* full file name of the adapter's library */
    int32_t event;
    uint32_t code;
    int32_t result;
} RecJournalEntry;

typedef struct RecJournal {
    volatile long count; /* entries written; may exceed REC_JOURNAL_MAX */
    RecJournalEntry entries[REC_JOURNAL_MAX];
} RecJournal;

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
#include <windows.h>

#include <cstdio>

/* The exports of one loaded copy; every pointer null when it is not loaded. */
struct RecAdapter {
    RecResetFn reset = nullptr;
    RecSetIntializeResultFn setIntializeResult = nullptr;
    RecSetExecuteResultFn setExecuteResult = nullptr;
    RecGetStateFn getState = nullptr;
    RecGetCommandFn getCommand = nullptr;
    RecRaiseFn raise = nullptr;
    RecWaitFn wait = nullptr;
    RecReportOnExecuteFn reportOnExecute = nullptr;
    RecSetPumpOnJoinFn setPumpOnJoin = nullptr;
    RecSetVersionFn setVersion = nullptr;
    RecDescribeFn describe = nullptr;
    RecAtStartFn atStart = nullptr;

    explicit operator bool() const { return getState != nullptr; }

    RecState State() const
    {
        RecState s = {};
        if (getState)
            getState(&s);
        return s;
    }
};

/* Looks up the exports of a loaded copy by its module name. */
inline RecAdapter rec_bind(HMODULE module)
{
    RecAdapter a;
    if (!module)
        return a;
#define REC_GET(field, name) a.field = reinterpret_cast<decltype(a.field)>(GetProcAddress(module, name))
    REC_GET(reset, "rec_reset");
    REC_GET(setIntializeResult, "rec_set_intialize_result");
    REC_GET(setExecuteResult, "rec_set_execute_result");
    REC_GET(getState, "rec_get_state");
    REC_GET(getCommand, "rec_get_command");
    REC_GET(raise, "rec_raise");
    REC_GET(wait, "rec_wait");
    REC_GET(reportOnExecute, "rec_report_on_execute");
    REC_GET(setPumpOnJoin, "rec_set_pump_on_join");
    REC_GET(setVersion, "rec_set_version");
    REC_GET(describe, "rec_describe");
    REC_GET(atStart, "rec_at_start");
#undef REC_GET
    return a;
}
inline RecAdapter rec_bind(const char *moduleName) { return rec_bind(GetModuleHandleA(moduleName)); }

/* Points the journal variable of this process at journal (null clears it).
 * Only libraries loaded afterwards write to it. */
inline void rec_journal_install(RecJournal *journal)
{
    if (!journal) {
        SetEnvironmentVariableA(REC_JOURNAL_ENV, nullptr);
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(journal)));
    SetEnvironmentVariableA(REC_JOURNAL_ENV, text);
}
#endif

#endif /* KEX_RECORDING_ADAPTER_H */
