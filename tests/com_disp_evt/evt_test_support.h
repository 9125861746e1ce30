// Test fixtures for event marshalling: a thread with a message loop that can
// be handed work (the stub event sink is tests/support/StubSink.h).
#pragma once

#include "win32/raii.h"
#include "tests/support/StubSink.h"

#include <oaidl.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace evt_test {

// A thread that pumps messages (like a host's UI thread) and runs tasks
// handed to it between messages.
class HostThread {
public:
    static constexpr UINT WM_TASK = WM_APP + 77;

    HostThread()
    {
        m_thread = std::thread([this] { Loop(); });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_id != 0; });
    }
    ~HostThread() { Stop(); }

    DWORD id() const { return m_id; }

    // Runs f on the host thread and waits for it.
    void Run(std::function<void()> f)
    {
        kex::unique_handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        auto* task = new Task{std::move(f), done.get()};
        PostThreadMessageA(m_id, WM_TASK, 0, reinterpret_cast<LPARAM>(task));
        WaitForSingleObject(done.get(), INFINITE);
    }
    // Runs f on the host thread without waiting.
    void Post(std::function<void()> f)
    {
        PostThreadMessageA(m_id, WM_TASK, 0, reinterpret_cast<LPARAM>(new Task{std::move(f), nullptr}));
    }
    void Stop()
    {
        if (!m_thread.joinable())
            return;
        PostThreadMessageA(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }

private:
    struct Task {
        std::function<void()> fn;
        HANDLE done;
    };

    void Loop()
    {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // make the queue
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_id = GetCurrentThreadId();
        }
        m_cv.notify_all();
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (msg.hwnd == nullptr && msg.message == WM_TASK) {
                Task* task = reinterpret_cast<Task*>(msg.lParam);
                task->fn();
                if (task->done)
                    SetEvent(task->done);
                delete task;
                continue;
            }
            DispatchMessageA(&msg);
        }
    }

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    DWORD m_id = 0;
};

} // namespace evt_test
