// The hidden window that runs marshalled calls on the thread that made it.
#pragma once

#include "com_disp_evt/call_ticket.h"

#include <windows.h>

namespace com_disp_evt {

// The window's own message: the ticket of a call to run (call_ticket).
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

    // Queues the call named by ticket for window; false when it cannot.
    static bool Post(HWND window, call_ticket ticket) noexcept;
    // Runs the call whose ticket the message carries, unless it was
    // withdrawn, then those queued behind it for a while.
    static LRESULT OnComEvent(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled) noexcept;
    // Once no window of the class is left (the library unloading).
    static void UnregisterWindowClass() noexcept;

private:
    HWND m_hWnd = nullptr;
    DWORD m_threadId = 0; // asking the system each time costs a server round trip under Wine
};

} // namespace com_disp_evt
