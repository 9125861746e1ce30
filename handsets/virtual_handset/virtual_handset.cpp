// The virtual handset: a complete handset adapter without hardware.
//
// It shows every command it receives as a handset display would (on the
// console and in a log of its own) and sends device reports from threads of
// its own: the steps of a scenario file, and lines that another process sends
// through a named pipe (see handset_ctl). Settings come from an INI file
// beside the DLL with the DLL's own base name ("virtual_handset.ini").
// To a component speaking version 2 of the contract it is one device, named
// and identified by its [Handset] Name, and it shows the host's mute state.
//
// What every adapter has to get right, shown here:
//  - never let an exception or a bad input escape an entry point (the
//    entry points come from AdapterEntry.h);
//  - copy texts out of "execute" before returning;
//  - call the callback without holding a lock that "execute" takes;
//  - stop and join every thread in "UnInitialize", so no callback runs
//    after it returns.
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#define KEX_ADAPTER_DECLARE_VERSION_2
#include "adapters/AdapterEntry.h"
#include "adapters/KexUSBAdapter.h"
#include "handsets/profile_string.h"
#include "handsets/virtual_handset/handset_lines.h"
#include "win32/path.h"
#include "win32/raii.h"
#include "win32/text.h"

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kSettingsSection[] = L"Handset";
constexpr wchar_t kDefaultBaseName[] = L"virtual_handset";
constexpr DWORD kPipeBufferBytes = 4096;
constexpr std::size_t kReadChunkBytes = 512;
constexpr std::size_t kShownPrefixOfLongLine = 40;

struct Settings {
    std::string name = "handset";
    std::string deviceName = "handset"; // the name again, in UTF-8: the device's id and name
    std::wstring scenario;                            // full path, empty = none
    std::wstring pipe = L"\\\\.\\pipe\\KexVirtualHandset"; // empty = no control channel
    std::wstring logFile;                             // full path, empty = no log
    bool console = true;
};

bool IsAbsolute(const std::wstring& p)
{
    return (p.size() > 1 && p[1] == L':') || (!p.empty() && (p[0] == L'\\' || p[0] == L'/'));
}

// From the INI file beside this DLL with its base name; relative paths are
// taken from the DLL's directory.
Settings ReadSettings()
{
    const std::wstring file = kex::module_file_name<wchar_t>(kex::this_module());
    const std::wstring dir = kex::directory_of(file);
    std::wstring base = file.substr(dir.size());
    base = base.substr(0, base.find_last_of(L'.'));
    if (base.empty())
        base = kDefaultBaseName;
    const std::wstring ini = dir + base + L".ini";
    auto get = [&](const wchar_t* key, const std::wstring& fallback) {
        return ProfileString(ini, kSettingsSection, key, fallback.c_str());
    };
    auto beside = [&](const std::wstring& p) { return p.empty() || IsAbsolute(p) ? p : dir + p; };
    Settings s;
    const std::wstring name = get(L"Name", kex::widen(s.name));
    s.name = kex::narrow(name);
    if (!name.empty())
        s.deviceName = kex::narrow(name, CP_UTF8);
    s.scenario = beside(get(L"Scenario", L""));
    s.pipe = get(L"ControlPipe", s.pipe);
    s.logFile = beside(get(L"LogFile", base + L".log"));
    s.console = get(L"Console", L"1") != L"0";
    return s;
}

void WriteConsole(const std::string& text)
{
    // One unbuffered write per line keeps our lines whole and in order with
    // the host's output, whatever C runtime the host uses.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

class Handset {
public:
    explicit Handset(const kex::AdapterHost& host) : m_host(host), m_settings(ReadSettings()) {}

    bool Start()
    {
        if (!m_settings.logFile.empty()) {
            m_log.reset(_wfopen(kex::long_path(m_settings.logFile).c_str(), L"a"));
            if (!m_log)
                Show("cannot open log file " + kex::narrow(m_settings.logFile) + "; logging to the console only");
        }
        Show("virtual handset started");
        const KexDeviceInfo device = {sizeof device, m_settings.deviceName.c_str(), m_settings.deviceName.c_str(),
                                      0, 0, ""};
        m_host.DescribeDevice(device);
        m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!m_stop)
            return false;
        if (!m_settings.pipe.empty())
            OpenPipe();
        if (!m_settings.scenario.empty())
            LoadScenario();
        if (!m_steps.empty())
            m_scenarioThread.reset(CreateThread(nullptr, 0, ScenarioMain, this, 0, nullptr));
        return true;
    }

    // Runs on the host's thread.
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        if (m_stop)
            SetEvent(m_stop.get());
        WaitPumping(m_scenarioThread);
        WaitPumping(m_pipeThread);
        m_pipe.reset();
        Show("virtual handset stopped");
        std::lock_guard<std::mutex> lock(m_logMutex);
        m_log.reset();
    }

    int32_t Execute(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam)
    {
        if (deviceId && m_settings.deviceName != deviceId)
            return 1; // not this handset
        vhs::Rendered r = vhs::render_command(code, wParam, lParam, m_host.LastCommand());
        Show("[display] " + r.line);
        if (!r.ok)
            return 1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_received[code];
        }
        m_changed.notify_all();
        return 0;
    }

private:
    struct ScenarioStep {
        int lineNo;
        vhs::Step step;
    };

    // Writes one line of the handset's output: console and log.
    void Show(const std::string& text)
    {
        std::string line = m_settings.name + "  " + text + "\n";
        if (m_settings.console)
            WriteConsole(line);
        std::lock_guard<std::mutex> lock(m_logMutex);
        if (!m_log)
            return;
        SYSTEMTIME t;
        GetLocalTime(&t);
        std::fprintf(m_log.get(), "%04u-%02u-%02u %02u:%02u:%02u.%03u %s", t.wYear, t.wMonth, t.wDay, t.wHour,
                     t.wMinute, t.wSecond, t.wMilliseconds, line.c_str());
        std::fflush(m_log.get());
    }

    void LoadScenario()
    {
        const std::string shownPath = kex::narrow(m_settings.scenario);
        std::ifstream in(kex::long_path(m_settings.scenario).c_str());
        if (!in) {
            Show("cannot open scenario file " + shownPath + "; no scenario");
            return;
        }
        std::string line;
        int lineNo = 0;
        while (std::getline(in, line)) {
            ++lineNo;
            vhs::ParseResult r = vhs::parse_line(line);
            if (!r.ok) {
                Show("scenario line " + std::to_string(lineNo) + " \"" + vhs::printable(line.c_str()) +
                     "\": " + r.error + " - skipped");
                continue;
            }
            if (r.step.kind != vhs::StepKind::none)
                m_steps.push_back(ScenarioStep{lineNo, std::move(r.step)});
        }
        Show("scenario " + shownPath + ": " + std::to_string(m_steps.size()) + " steps");
    }

    // Runs one step on a thread of ours. Returns the error to report, empty
    // when the step was done (or cut short because we are stopping).
    std::string Run(const vhs::Step& step)
    {
        switch (step.kind) {
        case vhs::StepKind::none:
            return {};
        case vhs::StepKind::report:
            for (const vhs::Report& rep : step.reports) {
                if (Stopping())
                    return {};
                Show(">> " + rep.what);
                // No lock held here: the host's thread may be in Execute().
                m_host.Report(m_settings.deviceName.c_str(), rep.msg, rep.wParam, rep.lParam);
            }
            return {};
        case vhs::StepKind::sleep: {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::milliseconds(step.ms), [&] { return m_stopping; });
            return {};
        }
        case vhs::StepKind::await:
            return Await(step);
        }
        return {};
    }

    // Each await takes one command of that kind, the oldest not yet taken,
    // so a command that came early is not missed.
    std::string Await(const vhs::Step& step)
    {
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

    bool Stopping()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopping;
    }

    static DWORD WINAPI ScenarioMain(void* self) noexcept
    {
        auto* h = static_cast<Handset*>(self);
        try {
            for (const ScenarioStep& s : h->m_steps) {
                if (h->Stopping())
                    return 0;
                std::string err = h->Run(s.step);
                if (!err.empty())
                    h->Show("scenario line " + std::to_string(s.lineNo) + ": " + err);
            }
            h->Show("scenario finished");
        } catch (...) {
            h->Show("scenario stopped by an internal error");
        }
        return 0;
    }

    // ---- Control channel: a named pipe, one client at a time; each line
    // is answered with "ok" or "error: <why>".

    void OpenPipe()
    {
        const std::string shownName = kex::narrow(m_settings.pipe);
        m_pipe.reset(CreateNamedPipeW(m_settings.pipe.c_str(),
                                      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                      kPipeBufferBytes, kPipeBufferBytes, 0, nullptr));
        if (!m_pipe) {
            Show("cannot open control pipe " + shownName + " (error " + std::to_string(GetLastError()) +
                 "); no control channel");
            return;
        }
        m_pipeThread.reset(CreateThread(nullptr, 0, PipeMain, this, 0, nullptr));
        if (m_pipeThread)
            Show("control pipe " + shownName);
    }

    // Waits for overlapped I/O or the stop event. False when stopping (the
    // I/O is then cancelled and finished, so its buffers may go).
    bool WaitIo(OVERLAPPED& ov, DWORD& bytes)
    {
        HANDLE events[2] = {m_stop.get(), ov.hEvent};
        DWORD w = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0 + 1) {
            CancelIo(m_pipe.get());
            GetOverlappedResult(m_pipe.get(), &ov, &bytes, TRUE);
            return false;
        }
        return GetOverlappedResult(m_pipe.get(), &ov, &bytes, FALSE) != 0;
    }

    enum class Io { done, failed, stopping };

    Io Overlapped(BOOL (*op)(HANDLE, void*, DWORD, DWORD*, OVERLAPPED*), void* buf, DWORD size, DWORD& bytes,
                  HANDLE ev)
    {
        OVERLAPPED ov = {};
        ov.hEvent = ev;
        ResetEvent(ev);
        bytes = 0;
        if (op(m_pipe.get(), buf, size, &bytes, &ov))
            return Io::done;
        if (GetLastError() != ERROR_IO_PENDING)
            return Io::failed;
        if (WaitIo(ov, bytes))
            return Io::done;
        return Stopping() ? Io::stopping : Io::failed;
    }

    static BOOL ReadOp(HANDLE h, void* b, DWORD n, DWORD* got, OVERLAPPED* ov) { return ReadFile(h, b, n, got, ov); }
    static BOOL WriteOp(HANDLE h, void* b, DWORD n, DWORD* got, OVERLAPPED* ov) { return WriteFile(h, b, n, got, ov); }

    std::string HandleControlLine(const std::string& line)
    {
        vhs::ParseResult r = vhs::parse_line(line);
        std::string err = r.ok ? Run(r.step) : r.error;
        if (err.empty())
            return "ok\n";
        Show("control line \"" + vhs::printable(line.c_str()) + "\": " + err + (r.ok ? "" : " - skipped"));
        return "error: " + err + "\n";
    }

    // The answer to one complete line; an over-long one is refused.
    std::string Answer(const std::string& line, bool overlong)
    {
        if (!overlong)
            return HandleControlLine(line);
        Show("control line \"" + vhs::printable(line.substr(0, kShownPrefixOfLongLine).c_str()) +
             "...\": too long - skipped");
        return "error: line longer than " + std::to_string(vhs::kMaxLineLength) + " characters\n";
    }

    // Serves one connected client until it goes. False when stopping.
    bool ServeClient(HANDLE ev)
    {
        std::string pending;
        bool overlong = false;
        char buf[kReadChunkBytes];
        for (;;) {
            DWORD got = 0;
            Io io = Overlapped(ReadOp, buf, sizeof buf, got, ev);
            if (io != Io::done)
                return io == Io::failed; // failed: the client is gone
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
                std::string reply = Answer(pending, overlong);
                pending.clear();
                overlong = false;
                DWORD sent = 0;
                io = Overlapped(WriteOp, &reply[0], static_cast<DWORD>(reply.size()), sent, ev);
                if (io != Io::done)
                    return io == Io::failed;
            }
        }
    }

    // False when the pipe cannot serve any more (stopping, or failed).
    bool Connect(HANDLE ev)
    {
        OVERLAPPED ov = {};
        ov.hEvent = ev;
        ResetEvent(ev);
        bool connected = ConnectNamedPipe(m_pipe.get(), &ov) != 0;
        DWORD err = GetLastError();
        if (!connected && err == ERROR_IO_PENDING) {
            DWORD ignored = 0;
            return WaitIo(ov, ignored) || !Stopping();
        }
        if (!connected && err != ERROR_PIPE_CONNECTED) {
            Show("control pipe failed (error " + std::to_string(err) + "); no control channel");
            return false;
        }
        return true;
    }

    static DWORD WINAPI PipeMain(void* self) noexcept
    {
        auto* h = static_cast<Handset*>(self);
        kex::unique_handle ev(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!ev)
            return 0;
        try {
            while (h->Connect(ev.get()) && h->ServeClient(ev.get()))
                DisconnectNamedPipe(h->m_pipe.get());
        } catch (...) {
            h->Show("control channel stopped by an internal error");
        }
        return 0;
    }

    // Waits for one of our threads on the host's thread. That thread may be
    // the one a pending report waits for (the component hands reports over to
    // it), so keep its messages flowing meanwhile instead of deadlocking.
    static void WaitPumping(kex::unique_handle& thread)
    {
        if (!thread)
            return;
        HANDLE h = thread.get();
        for (;;) {
            DWORD w = MsgWaitForMultipleObjects(1, &h, FALSE, INFINITE, QS_ALLINPUT);
            if (w != WAIT_OBJECT_0 + 1)
                break;
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    PostQuitMessage(static_cast<int>(msg.wParam)); // for the host's own loop
                    WaitForSingleObject(h, INFINITE);
                    thread.reset();
                    return;
                }
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        thread.reset();
    }

    const kex::AdapterHost& m_host;
    Settings m_settings;
    std::vector<ScenarioStep> m_steps;
    std::unique_ptr<std::FILE, FileCloser> m_log;
    std::mutex m_logMutex;
    kex::unique_handle m_stop;
    kex::unique_handle m_scenarioThread;
    kex::unique_handle m_pipeThread;
    kex::unique_file m_pipe;

    // A condition variable needs the standard mutex: it guards what follows.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    unsigned m_received[KEX_CMD_LAST_V2 + 1] = {};
    unsigned m_taken[KEX_CMD_LAST_V2 + 1] = {};
};

} // namespace

// The component may list this library under two names and so initialise it
// twice: one handset, counted by the binding.
KEX_ADAPTER_ENTRY_POINTS2(Handset)
