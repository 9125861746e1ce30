// The virtual handset adapter driven through its three entry points by a
// stand-in host: commands in, display lines in its log, device reports out
// of its own threads from a scenario and from the control pipe.
#include "adapters/KexUSBAdapter.h"
#include "win32/raii.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Call {
    uint32_t msg;
    uint32_t wParam;
    int32_t lParam;
    DWORD thread;
    bool operator==(const Call& o) const { return msg == o.msg && wParam == o.wParam && lParam == o.lParam; }
};

// What the stand-in host's callback received.
std::mutex g_mutex;
std::vector<Call> g_calls;
std::atomic<bool> g_uninitialized{false};
std::atomic<int> g_callsAfterUninit{0};

int32_t KEX_CDECL record_callback(uint32_t msg, uint32_t wParam, int32_t lParam)
{
    if (g_uninitialized)
        ++g_callsAfterUninit;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back(Call{msg, wParam, lParam, GetCurrentThreadId()});
    return 0;
}

std::vector<Call> calls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

std::string bin_dir() { return test_support::ExeDirectory(); }

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool wait_for(const std::function<bool()>& cond, DWORD ms = 10000)
{
    DWORD start = GetTickCount();
    while (!cond()) {
        if (GetTickCount() - start > ms)
            return false;
        Sleep(5);
    }
    return true;
}

// One copy of the adapter in a directory of its own, with its settings.
class Handset {
public:
    Handset(const std::string& dllName, const std::string& scenario, const std::string& pipe = "")
    {
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        static int counter = 0;
        m_dir = std::string(tmp) + "vh_test_" + std::to_string(GetCurrentProcessId()) + "_" +
                std::to_string(++counter) + "\\";
        CreateDirectoryA(m_dir.c_str(), nullptr);
        m_pipe = pipe.empty() ? "\\\\.\\pipe\\vh_test_" + std::to_string(GetCurrentProcessId()) + "_" +
                                    std::to_string(counter)
                              : pipe;
        std::string base = dllName.substr(0, dllName.find('.'));
        EXPECT_TRUE(CopyFileA((bin_dir() + "virtual_handset.dll").c_str(), (m_dir + dllName).c_str(), FALSE));
        std::ofstream(m_dir + "test.scenario") << scenario;
        std::ofstream(m_dir + base + ".ini") << "[Handset]\nName=vh\nScenario=test.scenario\nControlPipe=" << m_pipe
                                             << "\nLogFile=handset.log\nConsole=0\n";
        m_module.reset(LoadLibraryA((m_dir + dllName).c_str()));
        EXPECT_TRUE(m_module);
        intialize = reinterpret_cast<KexIntializeFn>(GetProcAddress(m_module.get(), "Intialize"));
        execute = reinterpret_cast<KexExecuteFn>(GetProcAddress(m_module.get(), "execute"));
        uninitialize = reinterpret_cast<KexUnInitializeFn>(GetProcAddress(m_module.get(), "UnInitialize"));
        EXPECT_TRUE(intialize && execute && uninitialize);
        std::lock_guard<std::mutex> lock(g_mutex);
        g_calls.clear();
        g_uninitialized = false;
        g_callsAfterUninit = 0;
    }

    ~Handset()
    {
        m_module.reset();
        for (const char* f : {"handset.log", "test.scenario", "virtual_handset.ini", "virtual_handset.dll",
                              "desk_handset.ini", "desk_handset.dll"})
            DeleteFileA((m_dir + f).c_str());
        RemoveDirectoryA(m_dir.c_str());
    }

    std::string log() const { return read_file(m_dir + "handset.log"); }
    bool log_has(const std::string& text, DWORD ms = 10000) const
    {
        return wait_for([&] { return log().find(text) != std::string::npos; }, ms);
    }
    const std::string& pipe() const { return m_pipe; }
    const std::string& dir() const { return m_dir; }

    KexIntializeFn intialize = nullptr;
    KexExecuteFn execute = nullptr;
    KexUnInitializeFn uninitialize = nullptr;

private:
    std::string m_dir;
    std::string m_pipe;
    kex::unique_hmodule m_module;
};

uintptr_t text(const char* s) { return reinterpret_cast<uintptr_t>(s); }

TEST(VirtualHandset, CommandsAreShownAndUnknownOnesRejected)
{
    Handset h("virtual_handset.dll", "");
    EXPECT_EQ(h.execute(KEX_CMD_RING, text("Alice"), text("100")), 1) << "before Intialize";
    ASSERT_EQ(h.intialize(record_callback), 0);

    ContactInfo contact = {{"Alice Smith", "Acme", "+1 555"}, {1, 2, 3}};
    struct Case {
        uint32_t code;
        uintptr_t wParam, lParam;
        int32_t result;
        const char* shown;
    };
    const Case cases[] = {
        {KEX_CMD_READY, 0, 0, 0, "[display] READY"},
        {KEX_CMD_LINK, text("Alice"), text("100"), 0, "[display] CONNECTING  Alice <100>"},
        {KEX_CMD_RING, text("Alice"), text("100"), 0, "[display] RINGING     Alice <100>"},
        {KEX_CMD_RINGBACK, text("Bob"), text("200"), 0, "[display] RING-BACK   Bob <200>"},
        {KEX_CMD_TALKING, text("Alice"), text("100"), 0, "[display] TALKING     Alice <100>"},
        {KEX_CMD_HANGUP, text(""), text(""), 0, "[display] HUNG UP     (unknown caller)"},
        {KEX_CMD_HOLD, text("Alice"), text("100"), 0, "[display] ON HOLD     Alice <100>"},
        {KEX_CMD_RESUME, text("Alice"), text("100"), 0, "[display] RESUMED     Alice <100>"},
        {KEX_CMD_CALLFAILED, text("Alice"), text("100"), 0, "[display] CALL FAILED Alice <100>"},
        {KEX_CMD_RINGBUSY, text("Alice"), text("100"), 0, "[display] BUSY        Alice <100>"},
        {KEX_CMD_NUMBER, 0, text("100"), 0, "[display] NUMBER      100"},
        {KEX_CMD_CALLINFO, text("Alice"), text("100"), 0, "[display] CALLER      Alice <100>"},
        {KEX_CMD_CONTACTINFO, reinterpret_cast<uintptr_t>(&contact), 0, 0,
         "[display] CONTACT     \"Alice Smith\" icon 1 | \"Acme\" icon 2 | \"+1 555\" icon 3"},
        {KEX_CMD_CONTACTINFO, 0, 0, 1, "[display] CONTACT     (no record)"},
        {0, 0, 0, 1, "[display] UNKNOWN COMMAND 0"},
        {14, 5, 6, 1, "[display] UNKNOWN COMMAND 14 (0x5, 0x6)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(h.execute(c.code, c.wParam, c.lParam), c.result);
        std::string log = h.log();
        // Each line is time-stamped and carries the handset's name.
        EXPECT_NE(log.find(std::string(" vh  ") + c.shown), std::string::npos) << log;
    }
    h.uninitialize();
    EXPECT_EQ(h.execute(KEX_CMD_READY, 0, 0), 1) << "after UnInitialize";
    EXPECT_TRUE(calls().empty());
}

TEST(VirtualHandset, ScenarioRunsOnItsOwnThreadAndSkipsBadLines)
{
    Handset h("virtual_handset.dll",
              "# incoming call\n"
              "plug in\n"
              "pickupp\n"            // line 3: misspelt
              "await ring 10000\n"   // line 4
              "pickup\n"
              "key 12\n"             // line 6: no such key
              "keys 5#\n"
              "await hold 50\n"      // line 8: never sent
              "raw 17 9 -7\n"
              "plug out\n");
    ASSERT_EQ(h.intialize(record_callback), 0);
    EXPECT_TRUE(h.log_has("scenario line 3 \"pickupp\": unknown command \"pickupp\" - skipped"));
    EXPECT_TRUE(h.log_has("scenario line 6 \"key 12\": unknown key \"12\""));

    // Nothing beyond "plug in" until the host rings.
    ASSERT_TRUE(wait_for([] { return !calls().empty(); }));
    Sleep(100);
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_EQ(h.execute(KEX_CMD_RING, text("Alice"), text("100")), 0);

    EXPECT_TRUE(h.log_has("scenario finished"));
    EXPECT_TRUE(h.log_has("scenario line 8: no \"hold\" from the host within 50 ms"));
    const std::vector<Call> expected = {
        {KEX_DEV_PLUG, KEX_PLUG_IN, 0, 0},    {KEX_DEV_PICKUP, 0, 0, 0},
        {KEX_DEV_KEY, KEX_KEY_5, 0, 0},       {KEX_DEV_KEY, KEX_KEY_POUND, 0, 0},
        {KEX_DEV_PLUG, 9, -7, 0},             {KEX_DEV_PLUG, KEX_PLUG_OUT, 0, 0},
    };
    std::vector<Call> got = calls();
    EXPECT_EQ(got, expected);
    for (const Call& c : got)
        EXPECT_NE(c.thread, GetCurrentThreadId()) << "reports come from the handset's own thread";
    EXPECT_NE(h.log().find("vh  >> key pick-up"), std::string::npos) << "reports are shown before they are sent";
    h.uninitialize();
}

TEST(VirtualHandset, AwaitTakesCommandsThatCameEarlyOnceEach)
{
    // Two rings were sent before the scenario looks: each await takes one;
    // a third await has none left.
    Handset h("virtual_handset.dll", "sleep 300\nawait ring 5000\nkey 1\nawait ring 5000\nkey 2\nawait ring 100\nkey 3\n");
    ASSERT_EQ(h.intialize(record_callback), 0);
    EXPECT_EQ(h.execute(KEX_CMD_RING, text("a"), text("1")), 0);
    EXPECT_EQ(h.execute(KEX_CMD_RING, text("b"), text("2")), 0);
    EXPECT_TRUE(h.log_has("scenario finished"));
    EXPECT_TRUE(h.log_has("scenario line 6: no \"ring\" from the host within 100 ms"));
    EXPECT_EQ(calls().size(), 3u);
    h.uninitialize();
}

// Runs handset_ctl.exe with the given arguments; returns its exit code and
// its output.
int run_ctl(const std::string& args, std::string& output)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    kex::unique_handle readEnd, writeEnd;
    CreatePipe(readEnd.put(), writeEnd.put(), &sa, 0);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::string cmd = "\"" + bin_dir() + "handset_ctl.exe\" " + args;
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    writeEnd.reset();
    kex::unique_handle process(pi.hProcess), thread(pi.hThread);
    output.clear();
    char buf[256];
    DWORD got = 0;
    while (ReadFile(readEnd.get(), buf, sizeof buf, &got, nullptr) && got)
        output.append(buf, got);
    WaitForSingleObject(process.get(), 30000);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

TEST(VirtualHandset, ControlToolSendsLinesAndBadOnesAreNamed)
{
    Handset h("virtual_handset.dll", "");
    ASSERT_EQ(h.intialize(record_callback), 0);
    struct Case {
        const char* args;
        int exitCode;
        std::vector<Call> reports;
        const char* inOutput;
    };
    const Case cases[] = {
        {"key 5", 0, {{KEX_DEV_KEY, KEX_KEY_5, 0, 0}}, ""},
        {"plug in, pickup, keys 0*, hangup, plug out", 0,
         {{KEX_DEV_PLUG, KEX_PLUG_IN, 0, 0}, {KEX_DEV_PICKUP, 0, 0, 0}, {KEX_DEV_KEY, KEX_KEY_0, 0, 0},
          {KEX_DEV_KEY, KEX_KEY_STAR, 0, 0}, {KEX_DEV_HANGUP, 0, 0, 0}, {KEX_DEV_PLUG, KEX_PLUG_OUT, 0, 0}},
         ""},
        // A bad line is answered with its error; the lines around it still go.
        {"mute, pickupp, redial", 1, {{KEX_DEV_MUTE, 0, 0, 0}, {KEX_DEV_REDIAL, 0, 0, 0}},
         "\"pickupp\": error: unknown command \"pickupp\""},
        {"await talking 50", 1, {}, "\"await talking 50\": error: no \"talking\" from the host within 50 ms"},
        {"raw 3 13", 0, {{KEX_DEV_KEY, 13, 0, 0}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_calls.clear();
        }
        std::string out;
        EXPECT_EQ(run_ctl("--pipe " + h.pipe() + " " + c.args, out), c.exitCode) << out;
        EXPECT_NE(out.find(c.inOutput), std::string::npos) << out;
        EXPECT_EQ(calls(), c.reports);
    }
    EXPECT_TRUE(h.log_has("control line \"pickupp\": unknown command \"pickupp\" - skipped"));

    std::string out;
    EXPECT_EQ(run_ctl("--pipe \\\\.\\pipe\\vh_test_nobody key 5", out), 2);
    EXPECT_NE(out.find("no virtual handset"), std::string::npos) << out;
    h.uninitialize();
}

// A raw client: an over-long line is refused without losing the connection.
TEST(VirtualHandset, OverlongControlLineIsRefused)
{
    Handset h("virtual_handset.dll", "");
    ASSERT_EQ(h.intialize(record_callback), 0);
    kex::unique_handle pipe;
    ASSERT_TRUE(wait_for([&] {
        pipe.reset(CreateFileA(h.pipe().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        return pipe.get() != INVALID_HANDLE_VALUE;
    }));
    auto exchange = [&](const std::string& line) {
        DWORD n = 0;
        WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
        std::string reply;
        char c;
        while (ReadFile(pipe.get(), &c, 1, &n, nullptr) && n == 1 && c != '\n')
            reply += c;
        return reply;
    };
    EXPECT_EQ(exchange(std::string(5000, 'x') + "\n"), "error: line longer than 1024 characters");
    EXPECT_EQ(exchange("hold\r\n"), "ok");
    EXPECT_EQ(exchange("\n"), "ok");
    EXPECT_EQ(calls(), (std::vector<Call>{{KEX_DEV_HOLD, 0, 0, 0}}));
    pipe.reset();
    h.uninitialize();
}

TEST(VirtualHandset, UnInitializeStopsEverythingAndNoCallbackFollows)
{
    Handset h("virtual_handset.dll", "plug in\nsleep 600000\nplug out\n");
    ASSERT_EQ(h.intialize(record_callback), 0);
    ASSERT_TRUE(wait_for([] { return calls().size() == 1; }));
    std::string out;
    // The control pipe is served while a long scenario step runs.
    EXPECT_EQ(run_ctl("--pipe " + h.pipe() + " mute", out), 0) << out;
    EXPECT_EQ(calls().size(), 2u);

    h.uninitialize();
    g_uninitialized = true;
    EXPECT_TRUE(h.log_has("virtual handset stopped", 0));
    EXPECT_EQ(run_ctl("--pipe " + h.pipe() + " mute", out), 2) << "the pipe is gone";
    Sleep(200);
    EXPECT_EQ(g_callsAfterUninit, 0);
    EXPECT_EQ(calls().size(), 2u);
}

// The component hands a report to the host's thread and waits for it there.
// UnInitialize runs on that same thread: it must keep the thread's messages
// flowing while it waits for the handset's threads, or both wait for ever.
const UINT kDeliver = WM_APP + 1;
HWND g_hostWindow = nullptr;
std::atomic<bool> g_delivered{false};
std::atomic<bool> g_waiting{false};

LRESULT CALLBACK host_window_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == kDeliver) {
        g_delivered = true;
        SetEvent(reinterpret_cast<HANDLE>(lParam));
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

int32_t KEX_CDECL marshalling_callback(uint32_t msg, uint32_t, int32_t)
{
    kex::unique_handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    PostMessageA(g_hostWindow, kDeliver, msg, reinterpret_cast<LPARAM>(done.get()));
    g_waiting = true;
    WaitForSingleObject(done.get(), 15000);
    return 0;
}

TEST(VirtualHandset, UnInitializeDeliversAReportWaitingForTheHostThread)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = host_window_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "vh_test_host";
    RegisterClassA(&wc);
    kex::unique_hwnd window(CreateWindowExA(0, "vh_test_host", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                            wc.hInstance, nullptr));
    ASSERT_TRUE(window);
    g_hostWindow = window.get();

    Handset h("virtual_handset.dll", "plug in\n");
    ASSERT_EQ(h.intialize(marshalling_callback), 0);
    ASSERT_TRUE(wait_for([] { return g_waiting.load(); }));
    // This thread pumps no messages of its own before stopping.
    DWORD start = GetTickCount();
    h.uninitialize();
    EXPECT_TRUE(g_delivered) << "the report was handled on the host's thread during UnInitialize";
    EXPECT_LT(GetTickCount() - start, 10000u) << "UnInitialize waited for the report to give up";
}

TEST(VirtualHandset, ListedTwiceItIsOneHandsetStoppedByTheLastUnInitialize)
{
    Handset h("virtual_handset.dll", "");
    ASSERT_EQ(h.intialize(record_callback), 0);
    ASSERT_EQ(h.intialize(record_callback), 0);
    std::string out;
    h.uninitialize();
    EXPECT_EQ(run_ctl("--pipe " + h.pipe() + " mute", out), 0) << "still running: " << out;
    h.uninitialize();
    EXPECT_EQ(run_ctl("--pipe " + h.pipe() + " mute", out), 2) << out;
    EXPECT_EQ(h.intialize(nullptr), 1) << "a null callback is refused";
}

TEST(VirtualHandset, MissingScenarioAndTakenPipeStillStart)
{
    Handset first("virtual_handset.dll", "");
    ASSERT_EQ(first.intialize(record_callback), 0);
    // A second copy under another name, configured with the same pipe.
    Handset second("desk_handset.dll", "", first.pipe());
    DeleteFileA((second.dir() + "test.scenario").c_str());
    ASSERT_EQ(second.intialize(record_callback), 0);
    EXPECT_TRUE(second.log_has("cannot open scenario file " + second.dir() + "test.scenario; no scenario", 0));
    EXPECT_TRUE(second.log_has("cannot open control pipe " + first.pipe(), 0));
    EXPECT_EQ(second.execute(KEX_CMD_READY, 0, 0), 0);
    second.uninitialize();

    std::string out;
    EXPECT_EQ(run_ctl("--pipe " + first.pipe() + " mute", out), 0) << "the first copy keeps its pipe: " << out;
    first.uninitialize();
}

} // namespace
