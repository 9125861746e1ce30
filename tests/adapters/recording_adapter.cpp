// The recording adapter of the tests: see recording_adapter.h.
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#ifdef REC_VERSION_2
#define KEX_ADAPTER_DECLARE_VERSION_2
#endif
#define KEX_ADAPTER_BUILD
#include "adapters/KexUSBAdapter.h"

#include "tests/adapters/rec_journal.h"
#include "tests/adapters/recording_adapter.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#define REC_EXPORT extern "C" __declspec(dllexport)

namespace {

std::mutex g_lock; // guards everything below except g_raiseOwned, owned by the raise thread
RecState g_state;
std::vector<RecCommand> g_commands;
int32_t g_intializeResult;
int32_t g_executeResult[KEX_CMD_LAST + 2]; // [0] for codes outside 1..13
bool g_reportOnExecute;
uint32_t g_reportOnExecuteCode;
bool g_pumpOnJoin;
bool g_inUnInitialize;

HANDLE g_raiseThread;
int32_t g_reportCount;
volatile LONG g_raisedByThread;

// A report with its device id copied: the caller's text may be gone by the
// time the report is made.
struct OwnedReport {
    RecReport report = {};
    bool hasDevice = false;
    std::string device;

    OwnedReport() = default;
    explicit OwnedReport(const RecReport& r) : report(r), hasDevice(r.device != nullptr)
    {
        if (hasDevice)
            device = r.device;
    }
    RecReport Get() const
    {
        RecReport r = report;
        r.device = hasDevice ? device.c_str() : nullptr;
        return r;
    }
};

OwnedReport g_executeOwned; // the report of rec_report_on_execute
OwnedReport g_raiseOwned[REC_MAX_REPORTS]; // the reports of the last rec_raise

#ifdef REC_VERSION_2
int32_t g_version = KEX_CONTRACT_VERSION;
bool g_boundV2; // the last initialisation was "KexInitialize2": reports go to the host record

// A device of rec_at_start, its texts copied.
struct OwnedDevice {
    KexDeviceInfo info = {};
    bool hasId = false, hasName = false, hasSerial = false;
    std::string id, name, serial;

    KexDeviceInfo Get() const
    {
        KexDeviceInfo d = info;
        d.id = hasId ? id.c_str() : nullptr;
        d.name = hasName ? name.c_str() : nullptr;
        d.serial = hasSerial ? serial.c_str() : nullptr;
        return d;
    }
};
std::vector<OwnedDevice> g_startDevices;
std::vector<OwnedReport> g_startReports;
#endif

// Makes one report to whatever the adapter was initialised with; 0 when
// there is nothing to report to.
int32_t Deliver(KexDeviceCallback callback, const KexHost* host, const RecReport& r)
{
    if (host)
        return host->Report(host->context, r.device, r.msg, r.wParam, r.lParam);
    return callback ? callback(r.msg, r.wParam, r.lParam) : 0;
}

// What reports go to now: the callback, or the host record of a version-2 binding.
void Receiver(KexDeviceCallback& callback, const KexHost*& host)
{
    callback = g_state.callback;
    host = nullptr;
#ifdef REC_VERSION_2
    if (g_boundV2) {
        callback = nullptr;
        host = g_state.host;
    }
#endif
}

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
    c.entry = REC_ENTRY_EXECUTE;
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
    const KexHost* host;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        Receiver(callback, host);
    }
    for (int32_t i = 0; i < g_reportCount && (callback || host); ++i) {
        const int32_t r = Deliver(callback, host, g_raiseOwned[i].Get());
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
#ifdef REC_VERSION_2
        g_boundV2 = false;
#endif
    }
    rec_journal_note(REC_EV_INTIALIZE, 0, result);
    return result;
}

namespace {

// "execute" and "KexExecute2": deviceId is recorded for the second only.
int32_t RecordExecute(int32_t entry, const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    int32_t result;
    bool report = false;
    RecReport r = {};
    std::string reportDevice;
    KexDeviceCallback callback;
    const KexHost* host;
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
            c.entry = entry;
            if (deviceId) {
                c.hasDevice = 1;
                const size_t n = std::strlen(deviceId);
                const size_t keep = n < REC_TEXT_MAX - 1 ? n : REC_TEXT_MAX - 1;
                std::memcpy(c.device, deviceId, keep);
                c.device[keep] = '\0';
            }
            g_commands.push_back(c);
            g_state.recorded = static_cast<int32_t>(g_commands.size());
        }
        if (g_reportOnExecute && (g_reportOnExecuteCode == 0 || g_reportOnExecuteCode == code)) {
            report = true;
            r = g_executeOwned.Get();
            if (r.device) {
                reportDevice = r.device; // the owned copy may be replaced while the lock is not held
                r.device = reportDevice.c_str();
            }
        }
        Receiver(callback, host);
    }
    rec_journal_note(REC_EV_EXECUTE, code, result);
    // Never call back while holding the lock: the callback may block.
    if (report && (callback || host))
        CountRaised(Deliver(callback, host, r));
    return result;
}

} // namespace

int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    return RecordExecute(REC_ENTRY_EXECUTE, nullptr, code, wParam, lParam);
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

#ifdef REC_VERSION_2
// ---- Contract version 2 -----------------------------------------------------

int32_t KEX_CDECL KexAdapterVersion(void)
{
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_state.versionCalls;
    return g_version;
}

#ifndef REC_NO_INITIALIZE2
int32_t KEX_CDECL KexInitialize2(const KexHost* host)
{
    int32_t result;
    std::vector<OwnedDevice> devices;
    std::vector<OwnedReport> reports;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++g_state.initialize2Calls;
        g_state.intializeThreadId = GetCurrentThreadId();
        g_state.host = host;
        if (host)
            g_state.hostCopy = *host;
        g_boundV2 = host != nullptr;
        result = g_intializeResult;
        devices = g_startDevices;
        reports = g_startReports;
    }
    rec_journal_note(REC_EV_INTIALIZE, 0, result);
    if (host) {
        for (const OwnedDevice& d : devices) {
            const KexDeviceInfo info = d.Get();
            host->DescribeDevice(host->context, &info);
        }
        for (const OwnedReport& r : reports)
            CountRaised(Deliver(nullptr, host, r.Get()));
    }
    return result;
}
#endif

#ifndef REC_NO_EXECUTE2
int32_t KEX_CDECL KexExecute2(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    return RecordExecute(REC_ENTRY_EXECUTE2, deviceId, code, wParam, lParam);
}
#endif
#endif

// ---- Test controls ----------------------------------------------------------

REC_EXPORT void KEX_CDECL rec_reset(void)
{
    std::lock_guard<std::mutex> hold(g_lock);
    KexDeviceCallback callback = g_state.callback;
    const KexHost* host = g_state.host;
    const KexHost hostCopy = g_state.hostCopy;
    g_state = RecState();
    g_state.callback = callback;
    g_state.host = host;
    g_state.hostCopy = hostCopy;
#ifdef REC_VERSION_2
    g_version = KEX_CONTRACT_VERSION;
    g_startDevices.clear();
    g_startReports.clear();
#endif
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
        KexDeviceCallback callback;
        const KexHost* host;
        Receiver(callback, host);
        if (!callback && !host)
            return 1;
    }
    for (int32_t i = 0; i < count; ++i)
        g_raiseOwned[i] = OwnedReport(reports[i]);
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
    if (report) {
        g_executeOwned = OwnedReport(*report);
    }
}

REC_EXPORT void KEX_CDECL rec_set_pump_on_join(int32_t on)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_pumpOnJoin = on != 0;
}

#ifdef REC_VERSION_2
REC_EXPORT void KEX_CDECL rec_set_version(int32_t version)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_version = version;
}

REC_EXPORT int32_t KEX_CDECL rec_describe(const KexDeviceInfo* device)
{
    const KexHost* host;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        host = g_state.host;
    }
    if (!host)
        return -1;
    return host->DescribeDevice(host->context, device);
}

REC_EXPORT void KEX_CDECL rec_at_start(const KexDeviceInfo* devices, int32_t deviceCount, const RecReport* reports,
                                       int32_t reportCount)
{
    std::vector<OwnedDevice> ownedDevices;
    for (int32_t i = 0; devices && i < deviceCount; ++i) {
        OwnedDevice d;
        d.info = devices[i];
        d.hasId = devices[i].id != nullptr;
        d.id = d.hasId ? devices[i].id : "";
        d.hasName = devices[i].name != nullptr;
        d.name = d.hasName ? devices[i].name : "";
        d.hasSerial = devices[i].serial != nullptr;
        d.serial = d.hasSerial ? devices[i].serial : "";
        ownedDevices.push_back(std::move(d));
    }
    std::vector<OwnedReport> ownedReports;
    for (int32_t i = 0; reports && i < reportCount; ++i)
        ownedReports.emplace_back(reports[i]);
    std::lock_guard<std::mutex> hold(g_lock);
    g_startDevices = std::move(ownedDevices);
    g_startReports = std::move(ownedReports);
}
#endif

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        rec_journal_process_attach(self);
    else if (reason == DLL_PROCESS_DETACH)
        rec_journal_process_detach(reserved);
    return TRUE;
}
