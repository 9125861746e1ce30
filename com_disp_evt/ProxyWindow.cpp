// The event window: its class, its creation and retirement, and the running
// of the calls its message names.
#include "com_disp_evt/ProxyWindow.h"

#include "com_disp_evt/ProxyWindowRegistry.h"
#include "com_disp_evt/dispatch_scope.h"
#include "win32/path.h"

#include <mutex>

namespace com_disp_evt {

const char kProxyWindowClass[] = "CProxyWindow";
const char kProxyWindowTitle[] = "EventProxy_Window";

namespace {

// Queued calls of one SyncEvent that the window runs back to back before it
// returns to its message loop and posts for the rest.
constexpr int kMaxChain = 8;

LRESULT CALLBACK ProxyWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COM_EVENT) {
        BOOL handled = FALSE;
        return CProxyWindow::OnComEvent(message, wParam, lParam, handled);
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool RegisterProxyClass(HINSTANCE instance) noexcept
{
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = ProxyWndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = kProxyWindowClass;
    return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void RunOne(disp_evt_fun_ptr_base& call) noexcept
{
    std::lock_guard<disp_evt_fun_ptr_base> running(call);
    try {
        call.execute();
    } catch (...) {
        // Exceptions stop at the window; the raiser is still released.
    }
}

} // namespace

CProxyWindow::~CProxyWindow()
{
    HWND hwnd = m_hWnd;
    m_hWnd = nullptr;
    if (!hwnd || !IsWindow(hwnd))
        return;
    if (GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId()) {
        DestroyWindow(hwnd);
        return;
    }
    // Only the owning thread may destroy it. Unhook it from this code first,
    // so nothing dispatches here once the object (or the library) is gone,
    // then let the default procedure close it when that thread next pumps.
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcA));
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
}

HWND CProxyWindow::Create(HWND parent) noexcept
{
    HINSTANCE instance = kex::this_module();
    if (!RegisterProxyClass(instance))
        return nullptr;
    m_hWnd = CreateWindowExA(WS_EX_TOOLWINDOW, kProxyWindowClass, kProxyWindowTitle, WS_POPUP, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, parent, nullptr, instance,
                             nullptr);
    // Without a desktop (no display driver) a message-only window still
    // carries the calls.
    if (!m_hWnd)
        m_hWnd = CreateWindowExA(0, kProxyWindowClass, kProxyWindowTitle, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 instance, nullptr);
    m_threadId = m_hWnd ? GetCurrentThreadId() : 0;
    return m_hWnd;
}

void CProxyWindow::UnregisterWindowClass() noexcept
{
    UnregisterClassA(kProxyWindowClass, kex::this_module());
}

bool CProxyWindow::Post(HWND window, call_ticket ticket) noexcept
{
    return window && PostMessageA(window, WM_COM_EVENT, ticket.wParam(), ticket.lParam()) != FALSE;
}

LRESULT CProxyWindow::OnComEvent(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled) noexcept
{
    handled = TRUE;
    // A withdrawn call is not in the registry any more: skip it and signal
    // nothing, so its late message cannot pass for another call's completion.
    ProxyWindowRegistry::running_call current;
    if (!ProxyWindowRegistry::Take(call_ticket::FromMessage(wParam, lParam), current))
        return 1;
    dispatch_scope dispatching;
    for (int run = 1;; ++run) {
        RunOne(*current.call);
        if (!ProxyWindowRegistry::Finish(current, run < kMaxChain))
            break;
    }
    return 1;
}

} // namespace com_disp_evt
