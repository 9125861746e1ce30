// Carrying a call from any thread to the thread that attached the SyncEvent,
// through that thread's hidden event window, and running it there while the
// raising thread waits.
//
//   SyncEvent ev;            // one per object whose events must reach its thread
//   ev.Attach();             // on the object's thread: its first attach makes
//                            // the thread's window
//   ev.Call(callObject);     // from any thread: runs callObject.execute() on the
//                            // window's thread, inline when already there
//   ev.Detach();             // the window stays for the thread's next object
//
// Call waits up to PickupLimit() ms (15000), counted from the moment the call
// was handed over (or its report_scope began), for the window's thread to
// pick the call up, whatever queue of other raisers it is in, and then as
// long as the call takes. A call that was not picked up in time is withdrawn:
// it never runs, even if its message is reached later.
#pragma once

#include "com_disp_evt/Mutex.h"
#include "win32/raii.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>

namespace com_disp_evt {

class CProxyWindow;
class ProxyWindowRegistry;

// A call handed to SyncEvent::Call. Built on the raising thread's stack for
// one event and destroyed when the raising function returns.
class disp_evt_fun_ptr_base {
public:
    disp_evt_fun_ptr_base();
    virtual ~disp_evt_fun_ptr_base();
    disp_evt_fun_ptr_base(const disp_evt_fun_ptr_base&) = delete;
    disp_evt_fun_ptr_base& operator=(const disp_evt_fun_ptr_base&) = delete;

    virtual void execute() = 0;

    // Liveness cookies derived from the object's address; a withdrawn or
    // destroyed call is no longer valid.
    bool is_valid() const noexcept;
    void invalidate() noexcept;

private:
    friend class CProxyWindow;
    friend class ProxyWindowRegistry;
    friend class SyncEvent;

    std::uint32_t m_cookie1;
    std::uint32_t m_cookie2;
    Mutex m_lock; // held while the call runs and while it is withdrawn
};

// Runs fn on this thread once every call the event window is running on it
// has returned and its raiser has been let go: work that waits for a raising
// thread (an adapter joining it) must not run inside that thread's call.
// False when no such call is running here, or no memory: the caller then
// decides itself.
bool DeferPastDispatchedCalls(std::function<void()> fn) noexcept;

// One device report on the raising thread: the calls it makes until the
// scope ends share one pick-up limit, counted from its start.
class report_scope {
public:
    report_scope() noexcept;
    ~report_scope();
    report_scope(const report_scope&) = delete;
    report_scope& operator=(const report_scope&) = delete;

private:
    bool m_outer;
};

class SyncEvent {
public:
    static constexpr DWORD kPickupLimitMs = 15000;

    SyncEvent();
    virtual ~SyncEvent();
    SyncEvent(const SyncEvent&) = delete;
    SyncEvent& operator=(const SyncEvent&) = delete;

    // False when already attached (or the window could not be set up).
    bool Attach() noexcept;
    // Does nothing when not attached.
    void Detach() noexcept;
    // True: the call ran inline, ran on the window's thread, or was withdrawn
    // after the pick-up limit. False: not attached, no window to post to, or
    // an exception escaped (inline execute() included).
    bool Call(disp_evt_fun_ptr_base& call) noexcept;

    bool IsAttached() const noexcept { return m_attached.load(std::memory_order_acquire); }

    // Seam for tests: how long Call waits for the window's thread to pick a
    // call up before withdrawing it.
    void SetPickupLimit(DWORD ms) noexcept { m_pickupLimitMs.store(ms, std::memory_order_relaxed); }
    DWORD PickupLimit() const noexcept { return m_pickupLimitMs.load(std::memory_order_relaxed); }
    // Seam for tests: false makes completion go through the event, as on
    // systems without address waits. Switch only while no call is under way.
    static void UseAddressWaits(bool on) noexcept;

private:
    friend class CProxyWindow;
    friend class ProxyWindowRegistry;

    bool CallWithEvent(disp_evt_fun_ptr_base& call) noexcept;
    bool CallWithTurns(disp_evt_fun_ptr_base& call) noexcept;

    std::atomic<bool> m_attached{false};
    // Address waits (a futex under Wine, where an event is a round trip to
    // the server): raisers queue for their turn in the registry and each
    // waits on a word of its own. Without them (before Windows 8): m_turn
    // gives the turn and the auto-reset event reports completion; it is set
    // only for a call that really ran.
    bool m_busy = false; // a call holds the turn; guarded by the registry mutex
    DWORD m_windowThread = 0; // the thread that last attached it; guarded likewise
    kex::unique_handle m_hDone;
    kex::unique_handle m_turn; // a semaphore of one: waiting for it has a limit
    std::atomic<DWORD> m_pickupLimitMs{kPickupLimitMs};
};

} // namespace com_disp_evt
