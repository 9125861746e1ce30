// The optional entry-point header both shipped adapters use: one adapter
// shared by every binding of the library and stopped by the last, the ways
// Intialize fails, and nothing thrown crossing the C boundary.
#include "adapters/AdapterEntry.h"

#include <gtest/gtest.h>

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
    explicit RecordingAdapter(KexDeviceCallback callback)
    {
        g_script.journal += callback ? "new " : "new(null) ";
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
    int32_t Execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
    {
        g_script.journal += "execute(" + std::to_string(code) + "," + std::to_string(wParam) + "," +
                            std::to_string(lParam) + ") ";
        if (g_script.executeThrows)
            throw std::logic_error("execute");
        return g_script.executeResult;
    }
};

int32_t KEX_CDECL Callback(uint32_t, uint32_t, int32_t) { return 0; }

// One export call: I = Intialize, N = Intialize with no callback,
// E = execute(KEX_CMD_RING, 5, 6), U = UnInitialize.
int32_t Call(kex::AdapterBinding<RecordingAdapter>& binding, char op)
{
    switch (op) {
    case 'I':
        return binding.Intialize(Callback);
    case 'N':
        return binding.Intialize(nullptr);
    case 'E':
        return binding.Execute(KEX_CMD_RING, 5, 6);
    case 'U':
        return binding.UnInitialize();
    }
    ADD_FAILURE() << "no such call: " << op;
    return -1;
}

TEST(AdapterEntry, EachSequenceOfCallsGivesItsResultsAndAdapterLife)
{
    const std::string run = "new start execute(3,5,6) stop delete ";
    const std::string refused = "new start stop delete ";
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

} // namespace
