// Test fixtures for event marshalling: a thread with a message loop that can
// be handed work, a way to hold that loop up, and raising threads whose
// waits are bounded (the stub event sink is tests/support/StubSink.h).
#pragma once

#include "win32/raii.h"
#include "tests/support/StubSink.h"

#include <oaidl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace evt_test {

// How long a test waits for anything that should happen at once; only a
// fault makes a wait last that long.
constexpr DWORD kStuckMs = 30000;

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

    // Runs f on the host thread and waits for it; a task that has not ended
    // within kStuckMs fails the test, naming it, and is still waited for.
    void Run(std::function<void()> f, const char* what = "a task on the host thread")
    {
        auto done = std::make_shared<kex::unique_handle>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        HANDLE signal = done->get();
        Post([f = std::move(f), done] {
            f();
            SetEvent(done->get());
        });
        if (WaitForSingleObject(signal, kStuckMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "timed out waiting for " << what;
            WaitForSingleObject(signal, INFINITE);
        }
    }
    // Runs f on the host thread without waiting.
    void Post(std::function<void()> f)
    {
        PostThreadMessageA(m_id, WM_TASK, 0, reinterpret_cast<LPARAM>(new Task{std::move(f)}));
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
                std::unique_ptr<Task> task(reinterpret_cast<Task*>(msg.lParam));
                task->fn();
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

// Holds the host thread's message loop up from Begin until Release (at the
// latest until it goes), so calls for its window queue up unpicked. Declared
// before the SyncEvents of a test, it lets the host go only after they have
// gone, whatever the test left behind.
class HostHoldUp {
public:
    explicit HostHoldUp(HostThread& host)
        : m_host(host), m_release(std::make_shared<kex::unique_handle>(CreateEventA(nullptr, TRUE, FALSE, nullptr)))
    {
    }
    ~HostHoldUp() { Release(); }
    HostHoldUp(const HostHoldUp&) = delete;
    HostHoldUp& operator=(const HostHoldUp&) = delete;

    void Begin()
    {
        m_host.Post([release = m_release] {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(release->get(), kStuckMs))
                << "timed out waiting for the test to let the held-up host thread go";
        });
    }
    void Release() { SetEvent(m_release->get()); }

private:
    HostThread& m_host;
    std::shared_ptr<kex::unique_handle> m_release; // shared with the task
};

// A thread of its own that raises calls, as an adapter's thread does.
class Raiser {
public:
    explicit Raiser(std::function<void()> fn) : m_returned(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this, fn = std::move(fn)] {
            fn();
            SetEvent(m_returned.get());
        });
    }
    // Joins it: one that never returns was already reported by Returned.
    ~Raiser() { m_thread.join(); }
    Raiser(const Raiser&) = delete;
    Raiser& operator=(const Raiser&) = delete;

    // True when it has returned within ms.
    bool Returned(DWORD ms = kStuckMs) { return WaitForSingleObject(m_returned.get(), ms) == WAIT_OBJECT_0; }

private:
    kex::unique_handle m_returned;
    std::thread m_thread;
};

// Runs fn on a raising thread and waits for it; one that has not returned
// within ms fails the test naming `what`, and is still waited for.
inline void RaiseAndWait(const char* what, std::function<void()> fn, DWORD ms = kStuckMs)
{
    Raiser raiser(std::move(fn));
    EXPECT_TRUE(raiser.Returned(ms)) << "timed out waiting for " << what << " to return";
}

// Waits for a signalled handle; false (with the wait named in the failure
// message) when it did not come within ms.
inline ::testing::AssertionResult Signalled(HANDLE h, const char* what, DWORD ms = kStuckMs)
{
    if (WaitForSingleObject(h, ms) == WAIT_OBJECT_0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "timed out waiting for " << what;
}

} // namespace evt_test
