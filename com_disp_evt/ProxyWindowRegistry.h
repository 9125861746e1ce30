// The process-wide record of attached SyncEvents, the event window of each
// thread that attached one, and the calls handed over and not yet taken.
#pragma once

#include "com_disp_evt/ProxyWindow.h"
#include "com_disp_evt/call_progress.h"
#include "com_disp_evt/call_ticket.h"
#include "com_disp_evt/disp_evt_fun_ptr_base.h"
#include "com_disp_evt/safe_ptr.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace com_disp_evt {

class SyncEvent;

// One per process, with one window per thread that has attached SyncEvents:
// each SyncEvent's calls run on the thread that attached it. Every operation
// holds the registry mutex throughout.
//
// Calls take turns per SyncEvent: one is posted or running, the others wait
// here in the order they were handed over. Each call is recorded under a
// ticket from hand-over until the window takes it or its raiser withdraws
// it; only the registry writes those records.
class ProxyWindowRegistry {
public:
    ProxyWindowRegistry() = default;
    ~ProxyWindowRegistry();
    ProxyWindowRegistry(const ProxyWindowRegistry&) = delete;
    ProxyWindowRegistry& operator=(const ProxyWindowRegistry&) = delete;

    // Adds ev; the calling thread's first attach after all of its SyncEvents
    // have detached makes a new window on it. Windows of other threads that
    // nobody uses any more, or whose thread has gone, are retired.
    // Returns the number attached.
    static std::size_t Register(SyncEvent* ev);
    static std::size_t Unregister(SyncEvent* ev);
    // A SyncEvent going away: its record goes, with any call it left behind
    // (nothing is read from those).
    static void Forget(const SyncEvent* ev) noexcept;
    // The calling thread's window, else the newest one; null when none.
    static HWND WindowHandle() noexcept;
    // The window ev's calls go to and the thread it was made on (0 when none).
    static HWND WindowHandle(const SyncEvent* ev, DWORD& thread) noexcept;
    static std::size_t UserCount() noexcept;
    // Calls handed over and neither taken by the window nor withdrawn by
    // their raiser. For tests: a given-up call must not stay behind.
    static std::size_t PendingCallCount() noexcept;

    // Raiser side: records call under a new ticket and posts it, or queues it
    // behind the call of ev that holds the turn. False when no window can
    // carry it; then nothing is recorded. progress must live until it has
    // settled or the call has been withdrawn.
    static bool BeginCall(const SyncEvent* ev, disp_evt_fun_ptr_base& call, call_progress& progress,
                          call_ticket& ticket);
    // Raiser side: withdraws a call the window has not taken and invalidates
    // it; a call that held the turn passes it on. False when the window has
    // taken it already (its raiser must wait for it to end) or it failed.
    static bool Withdraw(call_ticket ticket) noexcept;

    // A call the window has taken: its raiser waits until Finish.
    struct running_call {
        disp_evt_fun_ptr_base* call = nullptr;
        const SyncEvent* owner = nullptr;
        call_progress* progress = nullptr;
    };
    // Window side: takes the posted call named by ticket; false when it was
    // withdrawn or no longer looks alive.
    static bool Take(call_ticket ticket, running_call& taken) noexcept;
    // Window side, after call ran: hands its owner's turn on and lets its
    // raiser go. True, with that owner's next queued call in `call`, when it
    // is to run straight away (only when chain is set); otherwise the turn
    // goes on by message.
    static bool Finish(running_call& call, bool chain) noexcept;

private:
    struct owner_record {
        DWORD thread = 0; // the thread that attached it last; kept past Detach,
                          // so calls still queued stay on that thread
        bool attached = false;
        bool busy = false; // one of its calls is posted or running
    };
    struct pending_call {
        call_ticket ticket;
        running_call run;
    };
    using pending_list = std::vector<pending_call>;

    static ProxyWindowRegistry& Instance() noexcept;
    // The window ev's calls go to: that of the thread which attached it; once
    // that one is retired, the newest, as a single window would be.
    CProxyWindow* WindowOfLocked(const SyncEvent* ev) const noexcept;
    void RetireWindowsLocked();
    std::size_t UsersLocked() const noexcept;
    pending_list::iterator FindLocked(call_ticket ticket) noexcept;
    pending_list::iterator NextQueuedLocked(const SyncEvent* owner) noexcept;
    bool HandOnLocked(running_call& call, bool chain) noexcept;
    void PassTurnLocked(const SyncEvent* owner) noexcept;

    std::map<const SyncEvent*, owner_record> m_owners;
    std::map<DWORD, safe_ptr<CProxyWindow>> m_windows;
    DWORD m_newest = 0; // thread of the window made last
    pending_list m_pending;
    std::uint64_t m_nextTicket = 1;
};

} // namespace com_disp_evt
