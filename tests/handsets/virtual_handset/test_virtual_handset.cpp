// The virtual handset adapter driven through its three entry points by a
// stand-in host: commands in, display lines in its log, device reports out
// of its own threads from a scenario and from the control pipe.
#include "adapters/KexUSBAdapter.h"
#include "win32/raii.h"
#include "win32/text.h"
#include "tests/support/TempDir.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
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
        static int counter = 0;
        m_pipe = pipe.empty() ? "\\\\.\\pipe\\vh_test_" + std::to_string(GetCurrentProcessId()) + "_" +
                                    std::to_string(++counter)
                              : pipe;
        std::string base = dllName.substr(0, dllName.find('.'));
        m_dir.CopyFromBin("virtual_handset.dll", dllName);
        m_dir.Write("test.scenario", scenario);
        m_dir.Write(base + ".ini", "[Handset]\nName=vh\nScenario=test.scenario\nControlPipe=" + m_pipe +
                                       "\nLogFile=handset.log\nConsole=0\n");
        m_module.reset(LoadLibraryA((m_dir / dllName).c_str()));
        EXPECT_TRUE(m_module);
        intialize = reinterpret_cast<KexIntializeFn>(GetProcAddress(m_module.get(), KEX_ADAPTER_INITIALIZE_NAME));
        execute = reinterpret_cast<KexExecuteFn>(GetProcAddress(m_module.get(), KEX_ADAPTER_EXECUTE_NAME));
        uninitialize =
            reinterpret_cast<KexUnInitializeFn>(GetProcAddress(m_module.get(), KEX_ADAPTER_UNINITIALIZE_NAME));
        EXPECT_TRUE(intialize && execute && uninitialize);
        std::lock_guard<std::mutex> lock(g_mutex);
        g_calls.clear();
        g_uninitialized = false;
        g_callsAfterUninit = 0;
    }

    std::string log() const { return test_support::ReadFile(m_dir / "handset.log"); }
    bool log_has(const std::string& text, DWORD ms = 10000) const
    {
        return wait_for([&] { return log().find(text) != std::string::npos; }, ms);
    }
    const std::string& pipe() const { return m_pipe; }
    const std::string& dir() const { return m_dir.Path(); }

    KexIntializeFn intialize = nullptr;
    KexExecuteFn execute = nullptr;
    KexUnInitializeFn uninitialize = nullptr;

private:
    test_support::TempDir m_dir{"vh"};
    std::string m_pipe;
    kex::unique_hmodule m_module; // unloaded before the folder goes
};

uintptr_t text(const char* s) { return reinterpret_cast<uintptr_t>(s); }

TEST(VirtualHandset, CommandsAreShownAndUnknownOnesRejected)
{
    Handset h("virtual_handset.dll", "");
    EXPECT_EQ(1, h.execute(KEX_CMD_RING, text("Alice"), text("100"))) << "before Intialize";
    ASSERT_EQ(0, h.intialize(record_callback));

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
        EXPECT_EQ(c.result, h.execute(c.code, c.wParam, c.lParam));
        std::string log = h.log();
        // Each line is time-stamped and carries the handset's name.
        EXPECT_NE(log.find(std::string(" vh  ") + c.shown), std::string::npos) << log;
    }
    h.uninitialize();
    EXPECT_EQ(1, h.execute(KEX_CMD_READY, 0, 0)) << "after UnInitialize";
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
    ASSERT_EQ(0, h.intialize(record_callback));
    EXPECT_TRUE(h.log_has("scenario line 3 \"pickupp\": unknown command \"pickupp\" - skipped"));
    EXPECT_TRUE(h.log_has("scenario line 6 \"key 12\": unknown key \"12\""));

    // Nothing beyond "plug in" until the host rings.
    ASSERT_TRUE(wait_for([] { return !calls().empty(); })) << "no \"plug in\" from the scenario within 10 s";
    Sleep(100);
    EXPECT_EQ(1u, calls().size());
    EXPECT_EQ(0, h.execute(KEX_CMD_RING, text("Alice"), text("100")));

    EXPECT_TRUE(h.log_has("scenario finished"));
    EXPECT_TRUE(h.log_has("scenario line 8: no \"hold\" from the host within 50 ms"));
    const std::vector<Call> expected = {
        {KEX_DEV_PLUG, KEX_PLUG_IN, 0, 0},    {KEX_DEV_PICKUP, 0, 0, 0},
        {KEX_DEV_KEY, KEX_KEY_5, 0, 0},       {KEX_DEV_KEY, KEX_KEY_POUND, 0, 0},
        {KEX_DEV_PLUG, 9, -7, 0},             {KEX_DEV_PLUG, KEX_PLUG_OUT, 0, 0},
    };
    std::vector<Call> got = calls();
    EXPECT_EQ(expected, got);
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
    ASSERT_EQ(0, h.intialize(record_callback));
    EXPECT_EQ(0, h.execute(KEX_CMD_RING, text("a"), text("1")));
    EXPECT_EQ(0, h.execute(KEX_CMD_RING, text("b"), text("2")));
    EXPECT_TRUE(h.log_has("scenario finished"));
    EXPECT_TRUE(h.log_has("scenario line 6: no \"ring\" from the host within 100 ms"));
    EXPECT_EQ(3u, calls().size());
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
    ASSERT_EQ(0, h.intialize(record_callback));
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
        EXPECT_EQ(c.exitCode, run_ctl("--pipe " + h.pipe() + " " + c.args, out)) << out;
        EXPECT_NE(out.find(c.inOutput), std::string::npos) << out;
        EXPECT_EQ(c.reports, calls());
    }
    EXPECT_TRUE(h.log_has("control line \"pickupp\": unknown command \"pickupp\" - skipped"));

    std::string out;
    EXPECT_EQ(2, run_ctl("--pipe \\\\.\\pipe\\vh_test_nobody key 5", out));
    EXPECT_NE(out.find("no virtual handset"), std::string::npos) << out;
    h.uninitialize();
}

// A raw client: an over-long line is refused without losing the connection.
TEST(VirtualHandset, OverlongControlLineIsRefused)
{
    Handset h("virtual_handset.dll", "");
    ASSERT_EQ(0, h.intialize(record_callback));
    kex::unique_file pipe;
    ASSERT_TRUE(wait_for([&] {
        pipe.reset(CreateFileA(h.pipe().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        return static_cast<bool>(pipe);
    })) << "the control pipe " << h.pipe() << " did not open within 10 s";
    auto exchange = [&](const std::string& line) {
        DWORD n = 0;
        WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
        std::string reply;
        char c;
        while (ReadFile(pipe.get(), &c, 1, &n, nullptr) && n == 1 && c != '\n')
            reply += c;
        return reply;
    };
    EXPECT_EQ("error: line longer than 1024 characters", exchange(std::string(5000, 'x') + "\n"));
    EXPECT_EQ("ok", exchange("hold\r\n"));
    EXPECT_EQ("ok", exchange("\n"));
    EXPECT_EQ((std::vector<Call>{{KEX_DEV_HOLD, 0, 0, 0}}), calls());
    pipe.reset();
    h.uninitialize();
}

TEST(VirtualHandset, UnInitializeStopsEverythingAndNoCallbackFollows)
{
    Handset h("virtual_handset.dll", "plug in\nsleep 600000\nplug out\n");
    ASSERT_EQ(0, h.intialize(record_callback));
    ASSERT_TRUE(wait_for([] { return calls().size() == 1; })) << "no \"plug in\" from the scenario within 10 s";
    std::string out;
    // The control pipe is served while a long scenario step runs.
    EXPECT_EQ(0, run_ctl("--pipe " + h.pipe() + " mute", out)) << out;
    EXPECT_EQ(2u, calls().size());

    h.uninitialize();
    g_uninitialized = true;
    EXPECT_TRUE(h.log_has("virtual handset stopped", 0));
    EXPECT_EQ(2, run_ctl("--pipe " + h.pipe() + " mute", out)) << "the pipe is gone";
    Sleep(200);
    EXPECT_EQ(0, g_callsAfterUninit);
    EXPECT_EQ(2u, calls().size());
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
    ASSERT_EQ(0, h.intialize(marshalling_callback));
    ASSERT_TRUE(wait_for([] { return g_waiting.load(); })) << "the scenario's report did not reach the callback within 10 s";
    // This thread pumps no messages of its own before stopping.
    DWORD start = GetTickCount();
    h.uninitialize();
    EXPECT_TRUE(g_delivered) << "the report was handled on the host's thread during UnInitialize";
    EXPECT_LT(GetTickCount() - start, 10000u) << "UnInitialize waited for the report to give up";
}

TEST(VirtualHandset, ListedTwiceItIsOneHandsetStoppedByTheLastUnInitialize)
{
    Handset h("virtual_handset.dll", "");
    ASSERT_EQ(0, h.intialize(record_callback));
    ASSERT_EQ(0, h.intialize(record_callback));
    std::string out;
    h.uninitialize();
    EXPECT_EQ(0, run_ctl("--pipe " + h.pipe() + " mute", out)) << "still running: " << out;
    h.uninitialize();
    EXPECT_EQ(2, run_ctl("--pipe " + h.pipe() + " mute", out)) << out;
    EXPECT_EQ(1, h.intialize(nullptr)) << "a null callback is refused";
}

TEST(VirtualHandset, MissingScenarioAndTakenPipeStillStart)
{
    Handset first("virtual_handset.dll", "");
    ASSERT_EQ(0, first.intialize(record_callback));
    // A second copy under another name, configured with the same pipe.
    Handset second("desk_handset.dll", "", first.pipe());
    DeleteFileA((second.dir() + "test.scenario").c_str());
    ASSERT_EQ(0, second.intialize(record_callback));
    EXPECT_TRUE(second.log_has("cannot open scenario file " + second.dir() + "test.scenario; no scenario", 0));
    EXPECT_TRUE(second.log_has("cannot open control pipe " + first.pipe(), 0));
    EXPECT_EQ(0, second.execute(KEX_CMD_READY, 0, 0));
    second.uninitialize();

    std::string out;
    EXPECT_EQ(0, run_ctl("--pipe " + first.pipe() + " mute", out)) << "the first copy keeps its pipe: " << out;
    first.uninitialize();
}

// A folder of wide paths, made level by level in the form that takes any
// length, and removed with the files named to it.
class WideFolder {
public:
    WideFolder(const std::wstring& base, const std::wstring& dir) : m_base(base), m_dir(dir)
    {
        for (std::size_t at = m_base.size() + 1; at <= m_dir.size(); ++at)
            if (at == m_dir.size() || m_dir[at] == L'\\')
                CreateDirectoryW(LongForm(m_dir.substr(0, at)).c_str(), nullptr);
    }
    ~WideFolder()
    {
        for (const std::wstring& f : m_files)
            DeleteFileW(LongForm(Path() + f).c_str());
        for (std::size_t at = m_dir.size(); at > m_base.size(); --at)
            if (at == m_dir.size() || m_dir[at] == L'\\')
                RemoveDirectoryW(LongForm(m_dir.substr(0, at)).c_str());
    }
    WideFolder(const WideFolder&) = delete;
    WideFolder& operator=(const WideFolder&) = delete;

    static std::wstring LongForm(const std::wstring& path) { return L"\\\\?\\" + path; }
    std::wstring Path() const { return m_dir + L"\\"; }
    void Adopt(const std::wstring& name) { m_files.push_back(name); }

    bool Write(const std::wstring& name, const std::string& bytes)
    {
        Adopt(name);
        kex::unique_file file(
            CreateFileW(LongForm(Path() + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    std::string Read(const std::wstring& name) const
    {
        kex::unique_file file(CreateFileW(LongForm(Path() + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        std::string text;
        char buffer[4096];
        DWORD got = 0;
        while (file && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
            text.append(buffer, got);
        return text;
    }

private:
    std::wstring m_base, m_dir;
    std::vector<std::wstring> m_files;
};

// Installed in a folder whose name the ANSI code page cannot spell, or whose
// path is longer than MAX_PATH: the handset still reads its settings and its
// scenario beside it and writes its log there.
TEST(VirtualHandset, AnyFolderNameAndLongPaths)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"vh_paths_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring named = base + L"\\T\u00e9l\u00e9phone \u260e";
    const std::wstring longTail = L"\\" + std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e');
    CreateDirectoryW(base.c_str(), nullptr);
    const struct {
        const char* what;
        std::wstring dir;
    } rows[] = {
        {"a name beyond the code page", named},
        {"longer than MAX_PATH", named + longTail},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        WideFolder folder(base, row.dir);
        folder.Adopt(L"virtual_handset.dll");
        ASSERT_TRUE(CopyFileW(kex::widen(bin_dir() + "virtual_handset.dll").c_str(),
                              WideFolder::LongForm(folder.Path() + L"virtual_handset.dll").c_str(), FALSE))
            << GetLastError();
        ASSERT_TRUE(folder.Write(L"virtual_handset.ini",
                                 "[Handset]\r\nName=vh\r\nScenario=test.scenario\r\nControlPipe=\r\n"
                                 "LogFile=handset.log\r\nConsole=0\r\n"));
        ASSERT_TRUE(folder.Write(L"test.scenario", "plug in\n"));
        folder.Adopt(L"handset.log");
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_calls.clear();
        }
        kex::unique_hmodule module(LoadLibraryW(WideFolder::LongForm(folder.Path() + L"virtual_handset.dll").c_str()));
        ASSERT_TRUE(module) << GetLastError();
        auto intialize = reinterpret_cast<KexIntializeFn>(GetProcAddress(module.get(), KEX_ADAPTER_INITIALIZE_NAME));
        auto execute = reinterpret_cast<KexExecuteFn>(GetProcAddress(module.get(), KEX_ADAPTER_EXECUTE_NAME));
        auto uninitialize =
            reinterpret_cast<KexUnInitializeFn>(GetProcAddress(module.get(), KEX_ADAPTER_UNINITIALIZE_NAME));
        ASSERT_TRUE(intialize && execute && uninitialize);
        ASSERT_EQ(0, intialize(record_callback));
        EXPECT_TRUE(wait_for([] { return !calls().empty(); })) << "no report from the scenario beside the DLL";
        EXPECT_EQ(0, execute(KEX_CMD_READY, 0, 0));
        uninitialize();
        EXPECT_EQ((std::vector<Call>{{KEX_DEV_PLUG, KEX_PLUG_IN, 0, 0}}), calls());
        const std::string log = folder.Read(L"handset.log");
        for (const char* line : {" vh  virtual handset started", " vh  >> plug in", " vh  [display] READY",
                                 " vh  virtual handset stopped"})
            EXPECT_NE(std::string::npos, log.find(line)) << line << " is not in the log:\n" << log;
    }
    RemoveDirectoryW(base.c_str());
}

} // namespace
