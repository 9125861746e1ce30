// Where one handed-over call stands, kept on its raiser's stack: the registry
// and the window move it on and wake the raiser; the raiser waits for it to
// settle. This is the one wait/wake interface of the marshaller: address
// waits where the system has them, else an event of the raiser's own.
#pragma once

#include "win32/raii.h"

#include <windows.h>

#include <atomic>

namespace com_disp_evt {

class call_progress {
public:
    enum state : LONG {
        queued = 1, // behind another call of its SyncEvent; no message yet
        posted,     // its message is on its way to the window
        done,       // it ran on the window's thread (or threw there)
        failed,     // its message could not be posted: it never runs
    };

    // Chooses address waits or the event once, for the call's whole life.
    call_progress() noexcept;
    ~call_progress();
    call_progress(const call_progress&) = delete;
    call_progress& operator=(const call_progress&) = delete;

    // False when the event could not be made.
    bool Ready() const noexcept { return m_addressWaits || m_wake; }
    state Get() const noexcept { return static_cast<state>(m_state.load(std::memory_order_acquire)); }
    bool Ran() const noexcept { return Get() == done; }

    // Queued or posted: the raiser waits only for the call to settle, so
    // nobody is woken.
    void Mark(state s) noexcept { m_state.store(s, std::memory_order_release); }
    // Done or failed: wakes the raiser, which may return at once. Nothing may
    // touch this object afterwards.
    void Settle(state s) noexcept;
    // Raiser side: true once the call is done or failed; false when limitMs,
    // counted from `since` (GetTickCount), ran out first. INFINITE: no limit.
    bool WaitSettled(DWORD since, DWORD limitMs) noexcept;

private:
    const bool m_addressWaits;
    std::atomic<LONG> m_state{queued};
    // Without address waits: set after every change.
    kex::unique_handle m_wake;
    // Held around the settling change and its SetEvent, and taken by the
    // destructor, so the event outlives the Settle its raiser has seen.
    kex::srwlock m_settling;
};

} // namespace com_disp_evt
