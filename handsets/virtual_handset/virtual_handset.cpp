// The virtual handset: a complete handset adapter without hardware.
//
// It shows every command it receives as a handset display would (on the
// console and in a log of its own) and sends device reports from threads of
// its own: the steps of a scenario file, and lines that another process sends
// through a named pipe (see handset_ctl). Settings come from an INI file
// beside the DLL with the DLL's own base name ("virtual_handset.ini").
//
// What every adapter has to get right, shown here:
//  - never let an exception or a bad input escape an entry point;
//  - copy texts out of "execute" before returning;
//  - call the callback without holding a lock that "execute" takes;
//  - stop and join every thread in "UnInitialize", so no callback runs
//    after it returns.
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#include "adapters/KexUSBAdapter.h"
#include "handsets/virtual_handset/handset_lines.h"

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Settings {
    std::string name = "handset";
    std::string scenario;                       // full path, empty = none
    std::string pipe = "\\\\.\\pipe\\KexVirtualHandset"; // empty = no control channel
    std::string logFile;                        // full path, empty = no log
    bool console = true;
};

// Directory (with trailing backslash) and base name of this DLL.
void own_location(std::string& dir, std::string& base)
{
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&own_location), &self);
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    std::string full(path, n < MAX_PATH ? n : 0);
    size_t slash = full.find_last_of("\\/");
    dir = slash == std::string::npos ? ".\\" : full.substr(0, slash + 1);
    std::string file = slash == std::string::npos ? full : full.substr(slash + 1);
    size_t dot = file.find_last_of('.');
    base = dot == std::string::npos ? file : file.substr(0, dot);
    if (base.empty())
        base = "virtual_handset";
}

bool is_absolute(const std::string& p)
{
    return (p.size() > 1 && p[1] == ':') || (!p.empty() && (p[0] == '\\' || p[0] == '/'));
}

Settings read_settings()
{
    std::string dir, base;
    own_location(dir, base);
    std::string ini = dir + base + ".ini";
    auto get = [&](const char* key, const std::string& def) {
        char buf[1024] = {};
        GetPrivateProfileStringA("Handset", key, def.c_str(), buf, sizeof buf, ini.c_str());
        return std::string(buf);
    };
    auto beside = [&](const std::string& p) { return p.empty() || is_absolute(p) ? p : dir + p; };
    Settings s;
    s.name = get("Name", s.name);
    s.scenario = beside(get("Scenario", ""));
    s.pipe = get("ControlPipe", s.pipe);
    s.logFile = beside(get("LogFile", base + ".log"));
    s.console = get("Console", "1") != "0";
    return s;
}

void write_console(const std::string& text)
{
    // One unbuffered write per line keeps our lines whole and in order with
    // the host's output, whatever C runtime the host uses.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

class Handset {
public:
    explicit Handset(KexDeviceCallback callback) : m_callback(callback), m_settings(read_settings()) {}

    bool start()
    {
        if (!m_settings.logFile.empty()) {
            m_log = std::fopen(m_settings.logFile.c_str(), "a");
            if (!m_log)
                show("cannot open log file " + m_settings.logFile + "; logging to the console only");
        }
        show("virtual handset started");
        m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!m_stop)
            return false;
        if (!m_settings.pipe.empty())
            open_pipe();
        if (!m_settings.scenario.empty())
            load_scenario();
        if (!m_steps.empty())
            m_scenarioThread = CreateThread(nullptr, 0, scenario_main, this, 0, nullptr);
        return true;
    }

    // Runs on the host's thread.
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        SetEvent(m_stop);
        wait_pumping(m_scenarioThread);
        wait_pumping(m_pipeThread);
        if (m_pipe != INVALID_HANDLE_VALUE)
            CloseHandle(m_pipe);
        show("virtual handset stopped");
        if (m_log)
            std::fclose(m_log);
        m_log = nullptr;
        CloseHandle(m_stop);
    }

    int32_t execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
    {
        vhs::Rendered r = vhs::render_command(code, wParam, lParam);
        show("[display] " + r.line);
        if (!r.ok)
            return 1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_received[code];
        }
        m_changed.notify_all();
        return 0;
    }

    // Writes one line of the handset's output: console and log.
    void show(const std::string& text)
    {
        std::string line = m_settings.name + "  " + text + "\n";
        if (m_settings.console)
            write_console(line);
        std::lock_guard<std::mutex> lock(m_logMutex);
        if (!m_log)
            return;
        SYSTEMTIME t;
        GetLocalTime(&t);
        std::fprintf(m_log, "%04u-%02u-%02u %02u:%02u:%02u.%03u %s", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                     t.wSecond, t.wMilliseconds, line.c_str());
        std::fflush(m_log);
    }

private:
    struct ScenarioStep {
        int lineNo;
        vhs::Step step;
    };

    void load_scenario()
    {
        std::ifstream in(m_settings.scenario);
        if (!in) {
            show("cannot open scenario file " + m_settings.scenario + "; no scenario");
            return;
        }
        std::string line;
        int lineNo = 0;
        while (std::getline(in, line)) {
            ++lineNo;
            vhs::ParseResult r = vhs::parse_line(line);
            if (!r.ok) {
                show("scenario line " + std::to_string(lineNo) + " \"" + vhs::printable(line.c_str()) +
                     "\": " + r.error + " - skipped");
                continue;
            }
            if (r.step.kind != vhs::StepKind::none)
                m_steps.push_back(ScenarioStep{lineNo, std::move(r.step)});
        }
        show("scenario " + m_settings.scenario + ": " + std::to_string(m_steps.size()) + " steps");
    }

    // Runs one step on a thread of ours. Returns the error to report, empty
    // when the step was done (or cut short because we are stopping).
    std::string run(const vhs::Step& step)
    {
        switch (step.kind) {
        case vhs::StepKind::none:
            return {};
        case vhs::StepKind::report:
            for (const vhs::Report& rep : step.reports) {
                if (stopping())
                    return {};
                show(">> " + rep.what);
                // No lock held here: the host's thread may be in execute().
                m_callback(rep.msg, rep.wParam, rep.lParam);
            }
            return {};
        case vhs::StepKind::sleep: {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::milliseconds(step.ms), [&] { return m_stopping; });
            return {};
        }
        case vhs::StepKind::await: {
            // Each await takes one command of that kind, the oldest not yet
            // taken, so a command that came early is not missed.
            std::unique_lock<std::mutex> lock(m_mutex);
            bool got = m_changed.wait_for(lock, std::chrono::milliseconds(step.ms), [&] {
                return m_stopping || m_received[step.command] > m_taken[step.command];
            });
            if (m_stopping)
                return {};
            if (!got)
                return std::string("no \"") + vhs::command_name(step.command) + "\" from the host within " +
                       std::to_string(step.ms) + " ms";
            ++m_taken[step.command];
            return {};
        }
        }
        return {};
    }

    bool stopping()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopping;
    }

    static DWORD WINAPI scenario_main(void* self) noexcept
    {
        auto* h = static_cast<Handset*>(self);
        try {
            for (const ScenarioStep& s : h->m_steps) {
                if (h->stopping())
                    return 0;
                std::string err = h->run(s.step);
                if (!err.empty())
                    h->show("scenario line " + std::to_string(s.lineNo) + ": " + err);
            }
            h->show("scenario finished");
        } catch (...) {
            h->show("scenario stopped by an internal error");
        }
        return 0;
    }

    // ---- Control channel: a named pipe, one client at a time; each line
    // is answered with "ok" or "error: <why>".

    void open_pipe()
    {
        m_pipe = CreateNamedPipeA(m_settings.pipe.c_str(),
                                  PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                  4096, 4096, 0, nullptr);
        if (m_pipe == INVALID_HANDLE_VALUE) {
            show("cannot open control pipe " + m_settings.pipe + " (error " + std::to_string(GetLastError()) +
                 "); no control channel");
            return;
        }
        m_pipeThread = CreateThread(nullptr, 0, pipe_main, this, 0, nullptr);
        if (m_pipeThread)
            show("control pipe " + m_settings.pipe);
    }

    // Waits for overlapped I/O or the stop event. False when stopping (the
    // I/O is then cancelled and finished, so its buffers may go).
    bool wait_io(OVERLAPPED& ov, DWORD& bytes)
    {
        HANDLE events[2] = {m_stop, ov.hEvent};
        DWORD w = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0 + 1) {
            CancelIo(m_pipe);
            GetOverlappedResult(m_pipe, &ov, &bytes, TRUE);
            return false;
        }
        return GetOverlappedResult(m_pipe, &ov, &bytes, FALSE) != 0;
    }

    enum class Io { done, failed, stopping };

    Io overlapped(BOOL (*op)(HANDLE, void*, DWORD, DWORD*, OVERLAPPED*), void* buf, DWORD size, DWORD& bytes,
                  HANDLE ev)
    {
        OVERLAPPED ov = {};
        ov.hEvent = ev;
        ResetEvent(ev);
        bytes = 0;
        if (op(m_pipe, buf, size, &bytes, &ov))
            return Io::done;
        if (GetLastError() != ERROR_IO_PENDING)
            return Io::failed;
        if (wait_io(ov, bytes))
            return Io::done;
        return stopping() ? Io::stopping : Io::failed;
    }

    static BOOL read_op(HANDLE h, void* b, DWORD n, DWORD* got, OVERLAPPED* ov)
    {
        return ReadFile(h, b, n, got, ov);
    }
    static BOOL write_op(HANDLE h, void* b, DWORD n, DWORD* got, OVERLAPPED* ov)
    {
        return WriteFile(h, b, n, got, ov);
    }

    std::string handle_control_line(const std::string& line)
    {
        vhs::ParseResult r = vhs::parse_line(line);
        std::string err = r.ok ? run(r.step) : r.error;
        if (err.empty())
            return "ok\n";
        show("control line \"" + vhs::printable(line.c_str()) + "\": " + err + (r.ok ? "" : " - skipped"));
        return "error: " + err + "\n";
    }

    // Serves one connected client until it goes. False when stopping.
    bool serve_client(HANDLE ev)
    {
        std::string pending;
        bool overlong = false;
        char buf[512];
        for (;;) {
            DWORD got = 0;
            Io io = overlapped(read_op, buf, sizeof buf, got, ev);
            if (io == Io::stopping)
                return false;
            if (io == Io::failed)
                return true; // client gone
            for (DWORD i = 0; i < got; ++i) {
                char c = buf[i];
                if (c != '\n') {
                    if (pending.size() <= vhs::kMaxLineLength)
                        pending += c;
                    else
                        overlong = true;
                    continue;
                }
                if (!pending.empty() && pending.back() == '\r')
                    pending.pop_back();
                std::string reply = overlong ? "error: line longer than " + std::to_string(vhs::kMaxLineLength) +
                                                   " characters\n"
                                             : handle_control_line(pending);
                if (overlong)
                    show("control line \"" + vhs::printable(pending.substr(0, 40).c_str()) +
                         "...\": too long - skipped");
                pending.clear();
                overlong = false;
                DWORD sent = 0;
                io = overlapped(write_op, &reply[0], static_cast<DWORD>(reply.size()), sent, ev);
                if (io == Io::stopping)
                    return false;
                if (io == Io::failed)
                    return true;
            }
        }
    }

    static DWORD WINAPI pipe_main(void* self) noexcept
    {
        auto* h = static_cast<Handset*>(self);
        HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!ev)
            return 0;
        try {
            for (;;) {
                OVERLAPPED ov = {};
                ov.hEvent = ev;
                ResetEvent(ev);
                bool connected = ConnectNamedPipe(h->m_pipe, &ov) != 0;
                DWORD err = GetLastError();
                if (!connected && err == ERROR_IO_PENDING) {
                    DWORD dummy = 0;
                    if (!h->wait_io(ov, dummy) && h->stopping())
                        break;
                } else if (!connected && err != ERROR_PIPE_CONNECTED) {
                    h->show("control pipe failed (error " + std::to_string(err) + "); no control channel");
                    break;
                }
                if (!h->serve_client(ev))
                    break;
                DisconnectNamedPipe(h->m_pipe);
            }
        } catch (...) {
            h->show("control channel stopped by an internal error");
        }
        CloseHandle(ev);
        return 0;
    }

    // Waits for one of our threads on the host's thread. That thread may be
    // the one a pending report waits for (the component hands reports over to
    // it), so keep its messages flowing meanwhile instead of deadlocking.
    static void wait_pumping(HANDLE& thread)
    {
        if (!thread)
            return;
        for (;;) {
            DWORD w = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
            if (w != WAIT_OBJECT_0 + 1)
                break;
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    PostQuitMessage(static_cast<int>(msg.wParam)); // for the host's own loop
                    WaitForSingleObject(thread, INFINITE);
                    CloseHandle(thread);
                    thread = nullptr;
                    return;
                }
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        CloseHandle(thread);
        thread = nullptr;
    }

    KexDeviceCallback m_callback;
    Settings m_settings;
    std::vector<ScenarioStep> m_steps;
    std::FILE* m_log = nullptr;
    std::mutex m_logMutex;
    HANDLE m_stop = nullptr;
    HANDLE m_scenarioThread = nullptr;
    HANDLE m_pipeThread = nullptr;
    HANDLE m_pipe = INVALID_HANDLE_VALUE;

    std::mutex m_mutex; // guards what follows
    std::condition_variable m_changed;
    bool m_stopping = false;
    unsigned m_received[KEX_CMD_LAST + 1] = {};
    unsigned m_taken[KEX_CMD_LAST + 1] = {};
};

// The component may list this library under two names and so initialise it
// twice: one handset, counted.
std::unique_ptr<Handset> g_handset;
int g_users = 0;

} // namespace

extern "C" int32_t KEX_CDECL Intialize(KexDeviceCallback callback)
{
    try {
        if (!callback)
            return 1;
        if (g_users > 0) {
            ++g_users;
            return 0;
        }
        auto h = std::make_unique<Handset>(callback);
        bool started = false;
        try {
            started = h->start();
        } catch (...) {
        }
        if (!started) {
            h->stop(); // threads already running must not outlive the handset
            return 1;
        }
        g_handset = std::move(h);
        g_users = 1;
        return 0;
    } catch (...) {
        return 1;
    }
}

extern "C" int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    try {
        return g_handset ? g_handset->execute(code, wParam, lParam) : 1;
    } catch (...) {
        return 1;
    }
}

extern "C" int32_t KEX_CDECL UnInitialize(void)
{
    try {
        if (g_users == 0 || --g_users > 0)
            return 0;
        if (g_handset)
            g_handset->stop();
        g_handset.reset();
    } catch (...) {
    }
    return 0;
}
