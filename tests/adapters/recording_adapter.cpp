// The recording adapter of the tests: see recording_adapter.h.
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#define KEX_ADAPTER_BUILD
#include "adapters/KexUSBAdapter.h"

#include "tests/adapters/rec_journal.h"
#include "tests/adapters/recording_adapter.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <vector>

#define REC_EXPORT extern "C" __declspec(dllexport)

namespace {

std::mutex g_lock; // guards everything below except g_reports, owned by the raise thread
RecState g_state;
std::vector<RecCommand> g_commands;
int32_t g_intializeResult;
int32_t g_executeResult[KEX_CMD_LAST + 2]; // [0] for codes outside 1..13
bool g_reportOnExecute;
uint32_t g_reportOnExecuteCode;
RecReport g_executeReport;
bool g_pumpOnJoin;
bool g_inUnInitialize;

HANDLE g_raiseThread;
RecReport g_reports[REC_MAX_REPORTS];
int32_t g_reportCount;
volatile LONG g_raisedByThread;

int32_t& ExecuteResultSlot(uint32_t code)
{
    return g_executeResult[code >= KEX_CMD_FIRST && code <= KEX_CMD_LAST ? code : 0];
}

void CopyText(uintptr_t address, int32_t& has, uint32_t& length, char* out)
{
    has = address != 0;
    length = 0;
    out[0] = '\0';
    if (!address)
        return;
    const char* text = reinterpret_cast<const char*>(address);
    const size_t n = std::strlen(text);
    length = static_cast<uint32_t>(n);
    const size_t keep = n < REC_TEXT_MAX - 1 ? n : REC_TEXT_MAX - 1;
    std::memcpy(out, text, keep);
    out[keep] = '\0';
}

void Record(RecCommand& c)
{
    if (c.code >= KEX_CMD_LINK && c.code <= KEX_CMD_CALLINFO) {
        CopyText(c.wParam, c.hasText[0], c.textLen[0], c.text[0]);
        CopyText(c.lParam, c.hasText[1], c.textLen[1], c.text[1]);
    } else if (c.code == KEX_CMD_CONTACTINFO && c.wParam) {
        const ContactInfo* info = reinterpret_cast<const ContactInfo*>(c.wParam);
        c.hasContact = 1;
        for (int i = 0; i < KEX_CONTACT_ENTRIES; ++i) {
            int32_t has = 0;
            uint32_t length = 0;
            CopyText(reinterpret_cast<uintptr_t>(info->info[i]), has, length, c.info[i]);
            c.infoIsNull[i] = !has;
            c.iconType[i] = info->iconType[i];
        }
    }
}

void CountRaised(int32_t result)
{
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_state.raised;
    if (result != 0)
        ++g_state.raisedNonZero;
}

DWORD WINAPI RaiseThread(LPVOID)
{
    KexDeviceCallback callback;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        callback = g_state.callback;
    }
    for (int32_t i = 0; i < g_reportCount && callback; ++i) {
        const int32_t r = callback(g_reports[i].msg, g_reports[i].wParam, g_reports[i].lParam);
        CountRaised(r);
        InterlockedIncrement(&g_raisedByThread);
    }
    return 0;
}

// Waits for the raise thread, dispatching this thread's messages meanwhile.
void JoinPumping(HANDLE thread)
{
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        // Messages already in the queue do not wake this wait: dispatched first.
        if (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0 + 1)
            return;
    }
}

// Waits for the raise thread; true when there is none left.
bool JoinRaiseThread(DWORD timeoutMs, bool pump = false)
{
    if (!g_raiseThread)
        return true;
    if (pump)
        JoinPumping(g_raiseThread);
    if (WaitForSingleObject(g_raiseThread, timeoutMs) != WAIT_OBJECT_0)
        return false;
    CloseHandle(g_raiseThread);
    g_raiseThread = nullptr;
    return true;
}

} // namespace

// ---- The adapter contract ---------------------------------------------------

int32_t KEX_CDECL Intialize(KexDeviceCallback callback)
{
    int32_t result;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++g_state.intializeCalls;
        g_state.intializeThreadId = GetCurrentThreadId();
        g_state.callback = callback;
        result = g_intializeResult;
    }
    rec_journal_note(REC_EV_INTIALIZE, 0, result);
    return result;
}

int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    int32_t result;
    bool report = false;
    RecReport r = {};
    KexDeviceCallback callback;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++g_state.executeCalls;
        if (g_inUnInitialize)
            ++g_state.executeInUnInitialize;
        result = ExecuteResultSlot(code);
        if (g_commands.size() < REC_MAX_COMMANDS) {
            RecCommand c = {};
            c.code = code;
            c.wParam = wParam;
            c.lParam = lParam;
            c.threadId = GetCurrentThreadId();
            c.result = result;
            Record(c);
            g_commands.push_back(c);
            g_state.recorded = static_cast<int32_t>(g_commands.size());
        }
        if (g_reportOnExecute && (g_reportOnExecuteCode == 0 || g_reportOnExecuteCode == code)) {
            report = true;
            r = g_executeReport;
        }
        callback = g_state.callback;
    }
    rec_journal_note(REC_EV_EXECUTE, code, result);
    // Never call back while holding the lock: the callback may block.
    if (report && callback)
        CountRaised(callback(r.msg, r.wParam, r.lParam));
    return result;
}

int32_t KEX_CDECL UnInitialize(void)
{
    bool pump;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_inUnInitialize)
            ++g_state.unInitializeNested;
        g_inUnInitialize = true;
        pump = g_pumpOnJoin;
    }
    // No callback may run once this returns.
    JoinRaiseThread(INFINITE, pump);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++g_state.unInitializeCalls;
        g_inUnInitialize = false;
    }
    rec_journal_note(REC_EV_UNINITIALIZE, 0, 0);
    return 0;
}

// ---- Test controls ----------------------------------------------------------

REC_EXPORT void KEX_CDECL rec_reset(void)
{
    std::lock_guard<std::mutex> hold(g_lock);
    KexDeviceCallback callback = g_state.callback;
    g_state = RecState();
    g_state.callback = callback;
    g_commands.clear();
    g_intializeResult = 0;
    for (int32_t& r : g_executeResult)
        r = 0;
    g_reportOnExecute = false;
    g_pumpOnJoin = false;
}

REC_EXPORT void KEX_CDECL rec_set_intialize_result(int32_t result)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_intializeResult = result;
}

REC_EXPORT void KEX_CDECL rec_set_execute_result(uint32_t code, int32_t result)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (code == 0) {
        for (int32_t& r : g_executeResult)
            r = result;
    } else {
        ExecuteResultSlot(code) = result;
    }
}

REC_EXPORT void KEX_CDECL rec_get_state(RecState* state)
{
    if (!state)
        return;
    std::lock_guard<std::mutex> hold(g_lock);
    *state = g_state;
}

REC_EXPORT int32_t KEX_CDECL rec_get_command(int32_t index, RecCommand* out)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (!out || index < 0 || static_cast<size_t>(index) >= g_commands.size())
        return 1;
    *out = g_commands[index];
    return 0;
}

REC_EXPORT int32_t KEX_CDECL rec_raise(const RecReport* reports, int32_t count)
{
    if (!reports || count < 1 || count > REC_MAX_REPORTS)
        return 1;
    if (!JoinRaiseThread(0))
        return 1; // the previous raise is still running
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (!g_state.callback)
            return 1;
    }
    std::memcpy(g_reports, reports, sizeof(RecReport) * count);
    g_reportCount = count;
    g_raisedByThread = 0;
    DWORD id = 0;
    g_raiseThread = CreateThread(nullptr, 0, RaiseThread, nullptr, 0, &id);
    if (!g_raiseThread)
        return 1;
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.raiseThreadId = id;
    return 0;
}

REC_EXPORT int32_t KEX_CDECL rec_wait(uint32_t timeoutMs)
{
    if (!JoinRaiseThread(timeoutMs))
        return -1;
    return g_raisedByThread;
}

REC_EXPORT void KEX_CDECL rec_report_on_execute(uint32_t code, const RecReport* report)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_reportOnExecute = report != nullptr;
    g_reportOnExecuteCode = code;
    if (report)
        g_executeReport = *report;
}

REC_EXPORT void KEX_CDECL rec_set_pump_on_join(int32_t on)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_pumpOnJoin = on != 0;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        rec_journal_process_attach(self);
    else if (reason == DLL_PROCESS_DETACH)
        rec_journal_process_detach(reserved);
    return TRUE;
}
