// The hidden window that runs marshalled calls on its thread, and the
// process-wide registry that says which SyncEvents it serves.
#pragma once

#include "com_disp_evt/SyncEvent.h"
#include "com_disp_evt/safe_ptr.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace com_disp_evt {

// The window's own message. wParam and lParam carry the low and high halves
// of the call's ticket.
constexpr UINT WM_COM_EVENT = WM_USER + 1978;

extern const char kProxyWindowClass[]; // "CProxyWindow"
extern const char kProxyWindowTitle[]; // "EventProxy_Window"

class CProxyWindow {
public:
    CProxyWindow() noexcept = default;
    // Destroys the window; one that belongs to another thread is detached
    // from this code and asked to close on its own thread.
    ~CProxyWindow();
    CProxyWindow(const CProxyWindow&) = delete;
    CProxyWindow& operator=(const CProxyWindow&) = delete;

    // Creates the window on the calling thread, with the desktop as parent,
    // or message-only when that is refused. Null handle on failure.
    HWND Create() noexcept { return Create(GetDesktopWindow()); }
    HWND Create(HWND parent) noexcept;
    HWND Handle() const noexcept { return m_hWnd; }
    DWORD ThreadId() const noexcept { return m_threadId; }

    // Runs the call whose ticket the message carries, unless it was withdrawn.
    static LRESULT OnComEvent(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled) noexcept;

private:
    HWND m_hWnd = nullptr;
    DWORD m_threadId = 0; // asking the system each time costs a server round trip under Wine
};

// One per process, with one window per thread that has attached SyncEvents:
// each SyncEvent's calls run on the thread that attached it. Every operation
// holds the registry mutex throughout.
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
    // The calling thread's window, else the newest one; null when none.
    static HWND WindowHandle() noexcept;
    // The window ev's calls go to and the thread it was made on (0 when none).
    static HWND WindowHandle(const SyncEvent* ev, DWORD& thread) noexcept;
    static std::size_t UserCount() noexcept;
    // Calls handed over and neither taken by the window nor withdrawn by
    // their raiser. For tests: a given-up call must not stay behind.
    static std::size_t PendingCallCount() noexcept;

private:
    friend class SyncEvent;
    friend class CProxyWindow;

    // Where a call stands. The raising thread keeps this value in a variable
    // on its own stack and waits on that variable's address (WaitOnAddress)
    // until the window's thread sets it to CALL_DONE or CALL_FAILED.
    enum call_state : LONG { CALL_QUEUED = 1, CALL_POSTED, CALL_DONE, CALL_FAILED };

    struct pending_call {
        std::uint64_t ticket;
        disp_evt_fun_ptr_base* call;
        SyncEvent* owner;
        volatile LONG* state; // null: the owner's event reports completion
    };
    enum class begin_result { no_window, post, queued };

    // Raiser side: records a call and gives its ticket and the window to post
    // to. With a state word the call queues behind one that holds the turn.
    static begin_result BeginCall(SyncEvent* owner, disp_evt_fun_ptr_base& call, volatile LONG* state,
                                  std::uint64_t& ticket, HWND& window);
    // Raiser side: withdraws a call that has not been picked up and passes
    // the turn on. False when the window already took it (the raiser must
    // then wait for it to end).
    static bool Withdraw(std::uint64_t ticket) noexcept;
    // Window side: takes a posted call, locked, or nothing when withdrawn.
    static bool Take(std::uint64_t ticket, pending_call& taken) noexcept;
    // Window side, after a call of owner ran: the next queued call of owner
    // to run straight away (true, locked), or the turn handed on by message.
    static bool Next(SyncEvent* owner, bool chain, pending_call& next) noexcept;
    static void PassTurnLocked(SyncEvent* owner) noexcept;
    // A SyncEvent going away drops whatever it left behind.
    static void Forget(const SyncEvent* owner) noexcept;

    static ProxyWindowRegistry& Instance() noexcept;
    // Locked: the window ev's calls go to. That of the thread which attached
    // it; once that one is retired, the newest, as a single window would be.
    CProxyWindow* WindowOfLocked(const SyncEvent* ev) const noexcept;

    std::map<SyncEvent*, DWORD> m_users; // the thread that attached each
    std::map<DWORD, safe_ptr<CProxyWindow>> m_windows;
    DWORD m_newest = 0; // thread of the window made last
    std::vector<pending_call> m_pending;
    std::uint64_t m_nextTicket = 1;
};

} // namespace com_disp_evt
