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

#include "com_disp_evt/disp_evt_fun_ptr_base.h"
#include "com_disp_evt/dispatch_scope.h" // DeferPastDispatchedCalls, for the owner's handlers
#include "com_disp_evt/report_scope.h"   // one limit for all the calls of a report

#include <windows.h>

#include <atomic>

namespace com_disp_evt {

class SyncEvent {
public:
    static constexpr DWORD kPickupLimitMs = 15000;

    SyncEvent() noexcept = default;
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
    // Seam for tests: false makes raisers wait on events of their own, as on
    // systems without address waits. Switch only while no call is under way.
    static void UseAddressWaits(bool on) noexcept;

private:
    bool OnWindowThread() const noexcept;
    bool Raise(disp_evt_fun_ptr_base& call) noexcept;

    std::atomic<bool> m_attached{false};
    std::atomic<DWORD> m_pickupLimitMs{kPickupLimitMs};
};

} // namespace com_disp_evt
