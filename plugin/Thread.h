// Base class for a worker thread: override Run (and OnExit), then Start.
// Signal/WaitSignal form a counting wake-up; RequestStop sets the stop flag
// and wakes the worker; Join waits for it to finish while still running the
// marshalled event calls (message 3002) aimed at the joining thread, so a
// worker that raises a synchronous event during the join cannot dead-lock.
// A derived class whose Run uses its own members must RequestStop and Join in
// its own destructor: by the time the base destructor joins, they are gone.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

class Thread {
public:
    Thread() noexcept;
    // Stops and joins a thread still running, then closes the semaphore.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Always true; does nothing while the thread runs; joins a finished one
    // and starts anew.
    bool Start() noexcept;
    void RequestStop() noexcept;
    void Signal() noexcept;
    // True when signalled within timeoutMs.
    bool WaitSignal(DWORD timeoutMs) noexcept;
    // Not on the worker itself (it returns at once there).
    void Join() noexcept;

    DWORD ThreadId() const noexcept { return m_threadId.load(); }
    bool IsRunning() const noexcept { return m_running.load(); }
    bool HasSignals() const noexcept { return m_signals.load() > 0; }
    bool IsFinished() const noexcept { return m_finished.load(); }
    bool IsStopRequested() const noexcept { return m_stopRequested.load(); }
    HANDLE ThreadHandle() const noexcept { return m_hThread; }

    static void SleepMs(DWORD ms) noexcept;
    static std::int64_t NowMicroseconds() noexcept;

    // How long a join that has seen WM_QUIT keeps waiting, counted from its start.
    static constexpr DWORD kQuitJoinLimitMs = 20000;

protected:
    virtual void Run() {}
    virtual void OnExit() {}

private:
    static DWORD WINAPI ThreadProc(LPVOID param);

    HANDLE m_hThread = nullptr;
    HANDLE m_hSignal = nullptr;
    std::atomic<DWORD> m_threadId{0};
    std::atomic<bool> m_running{false};
    std::atomic<long> m_signals{0};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_stopRequested{false};
};
