// The optional entry-point header both shipped adapters use: one adapter
// shared by every binding of the library and stopped by the last, the ways
// the initialisation fails, version 2 beside version 1, the host as the
// adapter sees it, and nothing thrown crossing the C boundary.
#include "adapters/AdapterEntry.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// What the adapter under test is told to do, and what happened to it.
struct Script {
    bool startResult = true;
    bool startThrows = false;
    bool executeThrows = false;
    bool stopThrows = false;
    int32_t executeResult = 0;
    std::string journal;
};
Script g_script;

class RecordingAdapter {
public:
    explicit RecordingAdapter(const kex::AdapterHost& host)
    {
        g_script.journal += host.Version() == 2 ? "new2 " : "new ";
    }
    ~RecordingAdapter() { g_script.journal += "delete "; }

    bool Start()
    {
        g_script.journal += "start ";
        if (g_script.startThrows)
            throw std::runtime_error("start");
        return g_script.startResult;
    }
    void Stop()
    {
        g_script.journal += "stop ";
        if (g_script.stopThrows)
            throw std::bad_alloc();
    }
    int32_t Execute(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam)
    {
        g_script.journal += "execute(" + std::string(deviceId ? deviceId : "all") + "," + std::to_string(code) +
                            "," + std::to_string(wParam) + "," + std::to_string(lParam) + ") ";
        if (g_script.executeThrows)
            throw std::logic_error("execute");
        return g_script.executeResult;
    }
};

int32_t KEX_CDECL Callback(uint32_t, uint32_t, int32_t) { return 0; }
int32_t KEX_CDECL HostReport(void*, const char*, uint32_t, uint32_t, int32_t) { return 0; }

// One export call: I = Intialize, N = Intialize with no callback,
// E = execute(KEX_CMD_RING, 5, 6), U = UnInitialize; version 2: J =
// KexInitialize2, K = KexInitialize2 with no host, S = with a record too
// small to hold Report, X = KexExecute2("dev", KEX_CMD_MUTE, 1, 0).
int32_t Call(kex::AdapterBinding<RecordingAdapter>& binding, char op)
{
    KexHost host = {sizeof(KexHost), 2, nullptr, HostReport, nullptr};
    KexHost small = host;
    small.size = offsetof(KexHost, Report);
    switch (op) {
    case 'I':
        return binding.Intialize(Callback);
    case 'N':
        return binding.Intialize(nullptr);
    case 'E':
        return binding.Execute(KEX_CMD_RING, 5, 6);
    case 'U':
        return binding.UnInitialize();
    case 'J':
        return binding.Initialize2(&host);
    case 'K':
        return binding.Initialize2(nullptr);
    case 'S':
        return binding.Initialize2(&small);
    case 'X':
        return binding.Execute2("dev", KEX_CMD_MUTE, 1, 0);
    }
    ADD_FAILURE() << "no such call: " << op;
    return -1;
}

TEST(AdapterEntry, EachSequenceOfCallsGivesItsResultsAndAdapterLife)
{
    const std::string run = "new start execute(all,3,5,6) stop delete ";
    const std::string refused = "new start stop delete ";
    const std::string run2 = "new2 start execute(dev,14,1,0) stop delete ";
    struct Row {
        const char* name;
        Script script;
        const char* calls;
        std::vector<int32_t> results;
        std::string journal;
    };
    Script failingStart;
    failingStart.startResult = false;
    Script throwingStart;
    throwingStart.startThrows = true;
    Script throwingExecute;
    throwingExecute.executeThrows = true;
    Script throwingStop;
    throwingStop.stopThrows = true;
    Script answering;
    answering.executeResult = 4;
    const Row rows[] = {
        {"one binding", {}, "IEUE", {0, 0, 0, 1}, run},
        // Two [AdapterList] keys name the library: the first UnInitialize
        // leaves the adapter to the second binding.
        {"two bindings", {}, "IIUEUE", {0, 0, 0, 0, 0, 1}, run},
        {"three bindings", {}, "IIIUUEUE", {0, 0, 0, 0, 0, 0, 0, 1}, run},
        {"bound again after the last", {}, "IUIU", {0, 0, 0, 0}, refused + refused},
        {"no callback", {}, "NEU", {1, 1, 0}, ""},
        {"no callback for a second binding", {}, "INUE", {0, 1, 0, 1}, refused},
        {"execute before Intialize", {}, "EIU", {1, 0, 0}, refused},
        {"UnInitialize without Intialize", {}, "UUIEU", {0, 0, 0, 0, 0}, run},
        {"start fails", failingStart, "IEU", {1, 1, 0}, refused},
        {"start throws", throwingStart, "IEU", {1, 1, 0}, refused},
        {"execute throws", throwingExecute, "IEU", {0, 1, 0}, run},
        {"stop throws", throwingStop, "IUE", {0, 1, 1}, refused},
        {"the adapter's own result", answering, "IEU", {0, 4, 0}, run},
        {"version 2", {}, "JXU", {0, 0, 0}, run2},
        {"version 2: execute is for every device", {}, "JEU", {0, 0, 0}, "new2 start execute(all,3,5,6) stop delete "},
        {"version 2: no host", {}, "KU", {1, 0}, ""},
        {"version 2: a record without Report", {}, "SU", {1, 0}, ""},
        {"version 2: start fails", failingStart, "JXU", {1, 1, 0}, "new2 start stop delete "},
        // Each version-2 binding has a host of its own: the second is
        // refused, and the UnInitialize owed for it leaves the first running.
        {"version 2 bound twice", {}, "JJXUXUX", {0, 1, 0, 0, 0, 0, 1},
         "new2 start execute(dev,14,1,0) execute(dev,14,1,0) stop delete "},
        {"version 1 while bound through version 2", {}, "JIUXUX", {0, 1, 0, 0, 0, 1}, run2},
        {"version 2 while bound through version 1", {}, "IJUEUE", {0, 1, 0, 0, 0, 1}, run},
        {"KexExecute2 through version 1", {}, "IXEU", {0, 1, 0, 0}, run},
        {"KexExecute2 before KexInitialize2", {}, "XJU", {1, 0, 0}, "new2 start stop delete "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        g_script = row.script;
        kex::AdapterBinding<RecordingAdapter> binding;
        std::vector<int32_t> results;
        for (const char* op = row.calls; *op; ++op)
            results.push_back(Call(binding, *op));
        EXPECT_EQ(row.results, results);
        EXPECT_EQ(row.journal, g_script.journal);
        EXPECT_EQ(0, binding.Bindings());
    }
}

// What reaches the component through each version: the version-1 callback,
// or the version-2 record with its context, the device's id and its record.
std::string g_received;

int32_t KEX_CDECL RecordCallback(uint32_t msg, uint32_t wParam, int32_t lParam)
{
    g_received += "callback(" + std::to_string(msg) + "," + std::to_string(wParam) + "," + std::to_string(lParam) + ") ";
    return 0;
}

int32_t KEX_CDECL RecordReport(void* context, const char* deviceId, uint32_t msg, uint32_t wParam, int32_t lParam)
{
    g_received += std::string(static_cast<const char*>(context)) + ".report(" + (deviceId ? deviceId : "first") +
                  "," + std::to_string(msg) + "," + std::to_string(wParam) + "," + std::to_string(lParam) + ") ";
    return 0;
}

int32_t KEX_CDECL RecordDescribe(void* context, const KexDeviceInfo* device)
{
    g_received += std::string(static_cast<const char*>(context)) + ".describe(" + device->id + "," + device->name +
                  ") ";
    return 0;
}

TEST(AdapterEntry, TheHostTakesReportsAndDevicesThroughTheVersionThatBoundIt)
{
    static char context[] = "host";
    const KexHost full = {sizeof(KexHost), 2, context, RecordReport, RecordDescribe};
    KexHost older = full; // built before DescribeDevice was added
    older.size = offsetof(KexHost, DescribeDevice);
    struct Row {
        const char* name;
        kex::AdapterHost host;
        uint32_t version, lastCommand;
        const char* deviceId;
        std::string received;
    };
    const Row rows[] = {
        {"version 1", kex::AdapterHost(RecordCallback), 1, KEX_CMD_LAST, "h1", "callback(3,5,-6) "},
        {"version 2", kex::AdapterHost(full), 2, KEX_CMD_LAST_V2, "h1",
         "host.report(h1,3,5,-6) host.describe(h1,Headset) "},
        {"version 2, the first device", kex::AdapterHost(full), 2, KEX_CMD_LAST_V2, nullptr,
         "host.report(first,3,5,-6) host.describe(h1,Headset) "},
        {"version 2, an older record", kex::AdapterHost(older), 2, KEX_CMD_LAST_V2, "h1", "host.report(h1,3,5,-6) "},
        {"nobody", kex::AdapterHost(), 1, KEX_CMD_LAST, "h1", ""},
    };
    const KexDeviceInfo device = {sizeof(KexDeviceInfo), "h1", "Headset", 0x1209, 0xB101, "SN1"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        g_received.clear();
        EXPECT_EQ(row.version, row.host.Version());
        EXPECT_EQ(row.lastCommand, row.host.LastCommand());
        row.host.Report(row.deviceId, KEX_DEV_KEY, 5, -6);
        row.host.DescribeDevice(device);
        EXPECT_EQ(row.received, g_received);
    }
}

} // namespace
