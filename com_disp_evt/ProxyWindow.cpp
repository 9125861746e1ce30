#include "com_disp_evt/ProxyWindow.h"

#include "win32/init_order.h"
#include "win32/path.h"

#include <algorithm>
#include <new>

namespace com_disp_evt {

const char kProxyWindowClass[] = "CProxyWindow";
const char kProxyWindowTitle[] = "EventProxy_Window";

namespace {

// Constructed before the registry and destroyed after it.
Mutex g_registryMutex KEX_INIT_PRIORITY(KEX_INIT_REGISTRY_MUTEX);
ProxyWindowRegistry g_registry KEX_INIT_PRIORITY(KEX_INIT_REGISTRY);

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

std::uint32_t Cookie(const void* self, std::uint32_t salt) noexcept
{
    return ~(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(self)) ^ salt);
}

// Waiting on an address is a user-space affair (a futex under Wine), where a
// wait on an event object is a round trip to the server. Absent before
// Windows 8: events then.
class wait_on_address {
public:
    wait_on_address() noexcept
    {
        if (HMODULE kernelbase = GetModuleHandleA("kernelbase.dll")) {
            m_wait = reinterpret_cast<wait_fn>(GetProcAddress(kernelbase, "WaitOnAddress"));
            m_wake = reinterpret_cast<wake_fn>(GetProcAddress(kernelbase, "WakeByAddressAll"));
        }
        if (!m_wait || !m_wake)
            m_wait = nullptr, m_wake = nullptr;
    }
    bool available() const noexcept { return m_wait != nullptr && m_enabled.load(std::memory_order_relaxed); }
    void enable(bool on) noexcept { m_enabled.store(on); }
    void wait(volatile LONG* address, LONG seen, DWORD ms) const noexcept
    {
        m_wait(address, &seen, sizeof seen, ms);
    }
    void wake(volatile LONG* address) const noexcept { m_wake(const_cast<LONG*>(address)); }

private:
    using wait_fn = BOOL(WINAPI*)(volatile VOID*, PVOID, SIZE_T, DWORD);
    using wake_fn = void(WINAPI*)(PVOID);
    wait_fn m_wait = nullptr;
    wake_fn m_wake = nullptr;
    std::atomic<bool> m_enabled{true};
};

wait_on_address& WaitOnAddressFns() noexcept
{
    static wait_on_address fns;
    return fns;
}

void SetState(volatile LONG* state, LONG value) noexcept
{
    InterlockedExchange(state, value);
    // Only the address is used: harmless if the raiser saw the value and
    // has already gone.
    WaitOnAddressFns().wake(state);
}

LONG ReadState(volatile LONG* state) noexcept
{
    return InterlockedCompareExchange(state, 0, 0);
}

// Waits until *state leaves `from` (until: false) or becomes `to` (until:
// true), for at most ms. Returns whether that happened.
bool WaitState(volatile LONG* state, LONG value, bool until, DWORD ms) noexcept
{
    const DWORD start = GetTickCount();
    for (;;) {
        const LONG seen = ReadState(state);
        if ((seen == value) == until)
            return true;
        DWORD remaining = INFINITE;
        if (ms != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= ms)
                return false;
            remaining = ms - elapsed;
        }
        WaitOnAddressFns().wait(state, seen, remaining); // may wake early: look again
    }
}

// Calls of the window running on this thread, nested ones included, and the
// work deferred until they have all returned. Plain pointers: a thread_local
// with a destructor is costly in a DLL.
thread_local int t_dispatchDepth = 0;
thread_local std::vector<std::function<void()>>* t_deferred = nullptr;

// Start of the report being raised on this thread (report_scope).
thread_local bool t_inReport = false;
thread_local DWORD t_reportStart = 0;

DWORD RaisedAt() noexcept { return t_inReport ? t_reportStart : GetTickCount(); }

// What is left of the limit since start (INFINITE stays INFINITE).
DWORD Remaining(DWORD start, DWORD limit) noexcept
{
    if (limit == INFINITE)
        return INFINITE;
    const DWORD elapsed = GetTickCount() - start;
    return elapsed >= limit ? 0 : limit - elapsed;
}

void RunDeferred() noexcept
{
    while (t_dispatchDepth == 0 && t_deferred) {
        std::vector<std::function<void()>>* work = t_deferred;
        t_deferred = nullptr;
        for (std::function<void()>& fn : *work) {
            try {
                fn();
            } catch (...) {
            }
        }
        delete work;
    }
}

// Queued calls of one SyncEvent that the window runs back to back before it
// returns to its message loop and posts for the rest.
constexpr int kMaxChain = 8;

} // namespace

// --- call object ------------------------------------------------------------

disp_evt_fun_ptr_base::disp_evt_fun_ptr_base()
    : m_cookie1(Cookie(this, 0x008B09AAu)), m_cookie2(Cookie(this, 0x004CA11Eu))
{
}

disp_evt_fun_ptr_base::~disp_evt_fun_ptr_base()
{
    invalidate();
}

bool disp_evt_fun_ptr_base::is_valid() const noexcept
{
    return m_cookie1 == Cookie(this, 0x008B09AAu) && m_cookie2 == Cookie(this, 0x004CA11Eu);
}

void disp_evt_fun_ptr_base::invalidate() noexcept
{
    ++m_cookie1;
    ++m_cookie2;
}

// --- window -------------------------------------------------------------------

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

LRESULT CProxyWindow::OnComEvent(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled) noexcept
{
    handled = TRUE;
    const std::uint64_t ticket = static_cast<std::uint32_t>(wParam) |
                                 static_cast<std::uint64_t>(static_cast<std::uint32_t>(lParam)) << 32;
    // A withdrawn call is not in the table any more: skip it and signal
    // nothing, so its late message cannot pass for another call's completion.
    ProxyWindowRegistry::pending_call current;
    if (!ProxyWindowRegistry::Take(ticket, current))
        return 1;
    ++t_dispatchDepth;
    for (int run = 1;; ++run) {
        try {
            current.call->execute();
        } catch (...) {
            // Exceptions stop at the window; the raiser is still released.
        }
        current.call->m_lock.unlock();
        // Raisers queued behind this one are still waiting, so its owner is
        // alive until the turn has been handed on.
        ProxyWindowRegistry::pending_call next;
        const bool chained = ProxyWindowRegistry::Next(current.owner, run < kMaxChain, next);
        if (current.state)
            SetState(current.state, ProxyWindowRegistry::CALL_DONE);
        else
            SetEvent(current.owner->m_hDone.get());
        if (!chained)
            break;
        current = next;
    }
    --t_dispatchDepth;
    RunDeferred();
    return 1;
}

bool DeferPastDispatchedCalls(std::function<void()> fn) noexcept
{
    if (t_dispatchDepth == 0)
        return false;
    try {
        if (!t_deferred)
            t_deferred = new std::vector<std::function<void()>>;
        t_deferred->push_back(std::move(fn));
        return true;
    } catch (...) {
        return false;
    }
}

// --- registry -----------------------------------------------------------------

ProxyWindowRegistry& ProxyWindowRegistry::Instance() noexcept
{
    return g_registry;
}

ProxyWindowRegistry::~ProxyWindowRegistry()
{
    m_windows.clear();
    m_users.clear();
    UnregisterClassA(kProxyWindowClass, kex::this_module());
}

CProxyWindow* ProxyWindowRegistry::WindowOfLocked(const SyncEvent* ev) const noexcept
{
    // Kept past Detach, so calls still queued stay on their own thread.
    auto it = ev->m_windowThread ? m_windows.find(ev->m_windowThread) : m_windows.end();
    if (it == m_windows.end())
        it = m_windows.find(m_newest);
    return it == m_windows.end() ? nullptr : it->second.get();
}

std::size_t ProxyWindowRegistry::Register(SyncEvent* ev)
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    const DWORD self = GetCurrentThreadId();
    // A window nobody uses any more is replaced on its own thread's next
    // attach and retired from any other; so is one that died with its thread.
    for (auto it = r.m_windows.begin(); it != r.m_windows.end();) {
        const DWORD thread = it->first;
        const bool used = std::any_of(r.m_users.begin(), r.m_users.end(),
                                      [thread](const std::pair<SyncEvent* const, DWORD>& u) {
                                          return u.second == thread;
                                      });
        if (used && IsWindow(it->second->Handle()))
            ++it;
        else
            it = r.m_windows.erase(it);
    }
    safe_ptr<CProxyWindow>& window = r.m_windows[self];
    if (!window)
        window.reset(new (std::nothrow) CProxyWindow);
    if (!window->Handle() && window->Create()) // throws null_ref when the object could not be made
        r.m_newest = self;
    r.m_users[ev] = self;
    ev->m_windowThread = self;
    return r.m_users.size();
}

std::size_t ProxyWindowRegistry::Unregister(SyncEvent* ev)
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    r.m_users.erase(ev);
    return r.m_users.size();
}

HWND ProxyWindowRegistry::WindowHandle() noexcept
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    auto it = r.m_windows.find(GetCurrentThreadId());
    if (it == r.m_windows.end())
        it = r.m_windows.find(r.m_newest);
    return it == r.m_windows.end() ? nullptr : it->second->Handle();
}

HWND ProxyWindowRegistry::WindowHandle(const SyncEvent* ev, DWORD& thread) noexcept
{
    MutexLock lock(g_registryMutex);
    CProxyWindow* w = Instance().WindowOfLocked(ev);
    HWND window = w ? w->Handle() : nullptr;
    thread = window ? w->ThreadId() : 0;
    return window;
}

std::size_t ProxyWindowRegistry::UserCount() noexcept
{
    MutexLock lock(g_registryMutex);
    return Instance().m_users.size();
}

std::size_t ProxyWindowRegistry::PendingCallCount() noexcept
{
    MutexLock lock(g_registryMutex);
    return Instance().m_pending.size();
}

ProxyWindowRegistry::begin_result ProxyWindowRegistry::BeginCall(SyncEvent* owner, disp_evt_fun_ptr_base& call,
                                                                 volatile LONG* state, std::uint64_t& ticket,
                                                                 HWND& window)
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    CProxyWindow* w = r.WindowOfLocked(owner);
    window = w ? w->Handle() : nullptr;
    if (!window)
        return begin_result::no_window;
    ticket = r.m_nextTicket++;
    begin_result result = begin_result::post;
    if (state) {
        result = owner->m_busy ? begin_result::queued : begin_result::post;
        *state = result == begin_result::queued ? CALL_QUEUED : CALL_POSTED;
        owner->m_busy = true;
    }
    r.m_pending.push_back(pending_call{ticket, &call, owner, state});
    return result;
}

bool ProxyWindowRegistry::Withdraw(std::uint64_t ticket) noexcept
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    auto it = std::find_if(r.m_pending.begin(), r.m_pending.end(),
                           [ticket](const pending_call& p) { return p.ticket == ticket; });
    if (it == r.m_pending.end())
        return false;
    const pending_call gone = *it;
    r.m_pending.erase(it);
    {
        MutexLock callLock(gone.call->m_lock);
        gone.call->invalidate();
    }
    // Only a call that held the turn passes it on; one still queued had none.
    if (gone.state && ReadState(gone.state) != CALL_QUEUED)
        PassTurnLocked(gone.owner);
    return true;
}

void ProxyWindowRegistry::PassTurnLocked(SyncEvent* owner) noexcept
{
    ProxyWindowRegistry& r = Instance();
    CProxyWindow* w = r.WindowOfLocked(owner);
    HWND window = w ? w->Handle() : nullptr;
    for (auto it = r.m_pending.begin(); it != r.m_pending.end();) {
        if (it->owner != owner || !it->state || ReadState(it->state) != CALL_QUEUED) {
            ++it;
            continue;
        }
        // Its pick-up limit starts now.
        if (window && PostMessageA(window, WM_COM_EVENT, static_cast<WPARAM>(static_cast<std::uint32_t>(it->ticket)),
                                   static_cast<LPARAM>(static_cast<std::uint32_t>(it->ticket >> 32)))) {
            SetState(it->state, CALL_POSTED);
            return;
        }
        volatile LONG* state = it->state;
        it = r.m_pending.erase(it);
        SetState(state, CALL_FAILED);
    }
    owner->m_busy = false;
}

bool ProxyWindowRegistry::Take(std::uint64_t ticket, pending_call& taken) noexcept
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    auto it = std::find_if(r.m_pending.begin(), r.m_pending.end(),
                           [ticket](const pending_call& p) { return p.ticket == ticket; });
    // A call object that does not look alive is left for its raiser to
    // withdraw; running it or signalling for it could only do harm. A queued
    // call has no message of its own yet.
    if (it == r.m_pending.end() || !it->call->is_valid() || (it->state && ReadState(it->state) != CALL_POSTED))
        return false;
    taken = *it;
    r.m_pending.erase(it);
    // Held while the call runs; the registry is free for others meanwhile.
    taken.call->m_lock.lock();
    return true;
}

bool ProxyWindowRegistry::Next(SyncEvent* owner, bool chain, pending_call& next) noexcept
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    auto it = std::find_if(r.m_pending.begin(), r.m_pending.end(), [owner](const pending_call& p) {
        return p.owner == owner && p.state && ReadState(p.state) == CALL_QUEUED;
    });
    if (it == r.m_pending.end()) {
        owner->m_busy = false;
        return false;
    }
    if (!chain || !it->call->is_valid()) {
        PassTurnLocked(owner);
        return false;
    }
    next = *it;
    r.m_pending.erase(it);
    next.call->m_lock.lock();
    return true;
}

void ProxyWindowRegistry::Forget(const SyncEvent* owner) noexcept
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    r.m_pending.erase(std::remove_if(r.m_pending.begin(), r.m_pending.end(),
                                     [owner](const pending_call& p) { return p.owner == owner; }),
                      r.m_pending.end());
    r.m_users.erase(const_cast<SyncEvent*>(owner));
}

// --- SyncEvent ------------------------------------------------------------------

report_scope::report_scope() noexcept : m_outer(!t_inReport)
{
    if (m_outer) {
        t_reportStart = GetTickCount();
        t_inReport = true;
    }
}

report_scope::~report_scope()
{
    if (m_outer)
        t_inReport = false;
}

SyncEvent::SyncEvent()
    : m_hDone(CreateEventA(nullptr, FALSE, FALSE, nullptr)), m_turn(CreateSemaphoreA(nullptr, 1, 1, nullptr))
{
}

SyncEvent::~SyncEvent()
{
    Detach();
    ProxyWindowRegistry::Forget(this);
}

void SyncEvent::UseAddressWaits(bool on) noexcept
{
    WaitOnAddressFns().enable(on);
}

bool SyncEvent::Attach() noexcept
{
    if (m_attached.exchange(true))
        return false;
    try {
        ProxyWindowRegistry::Register(this);
        return true;
    } catch (...) {
        m_attached.store(false);
        return false;
    }
}

void SyncEvent::Detach() noexcept
{
    if (m_attached.exchange(false))
        ProxyWindowRegistry::Unregister(this);
}

bool SyncEvent::Call(disp_evt_fun_ptr_base& call) noexcept
{
    try {
        if (!IsAttached())
            return false;
        DWORD owner = 0;
        HWND window = ProxyWindowRegistry::WindowHandle(this, owner);
        // The recorded owner is confirmed (cheaply, on the owner's own
        // thread) in case the window died and its thread id was reused.
        if (owner != 0 && owner == GetCurrentThreadId() && GetWindowThreadProcessId(window, nullptr) == owner) {
            call.execute();
            return true;
        }
        return WaitOnAddressFns().available() ? CallWithTurns(call) : CallWithEvent(call);
    } catch (...) {
        return false;
    }
}

namespace {
bool PostTicket(HWND window, std::uint64_t ticket) noexcept
{
    return PostMessageA(window, WM_COM_EVENT, static_cast<WPARAM>(static_cast<std::uint32_t>(ticket)),
                        static_cast<LPARAM>(static_cast<std::uint32_t>(ticket >> 32))) != FALSE;
}
} // namespace

bool SyncEvent::CallWithTurns(disp_evt_fun_ptr_base& call) noexcept
{
    const DWORD raised = RaisedAt();
    volatile LONG state = 0;
    std::uint64_t ticket = 0;
    HWND window = nullptr;
    switch (ProxyWindowRegistry::BeginCall(this, call, &state, ticket, window)) {
    case ProxyWindowRegistry::begin_result::no_window:
        return false;
    case ProxyWindowRegistry::begin_result::post:
        if (!PostTicket(window, ticket)) {
            // No window to carry it (its thread has gone): give up at once.
            ProxyWindowRegistry::Withdraw(ticket);
            return false;
        }
        break;
    case ProxyWindowRegistry::begin_result::queued:
        // One raiser at a time; waiting for the turn counts against the limit.
        if (!WaitState(&state, ProxyWindowRegistry::CALL_QUEUED, false, Remaining(raised, PickupLimit())) &&
            ProxyWindowRegistry::Withdraw(ticket))
            return true; // given up in the queue: it will never run
        WaitState(&state, ProxyWindowRegistry::CALL_QUEUED, false, INFINITE); // given the turn just now
        if (ReadState(&state) == ProxyWindowRegistry::CALL_FAILED)
            return false;
        break;
    }
    if (WaitState(&state, ProxyWindowRegistry::CALL_DONE, true, Remaining(raised, PickupLimit())))
        return true;
    if (ProxyWindowRegistry::Withdraw(ticket))
        return true; // not picked up in time: it will never run
    // Picked up just now or running long: wait as long as it takes.
    WaitState(&state, ProxyWindowRegistry::CALL_DONE, true, INFINITE);
    return true;
}

bool SyncEvent::CallWithEvent(disp_evt_fun_ptr_base& call) noexcept
{
    if (!m_hDone || !m_turn)
        return false;
    const DWORD raised = RaisedAt();
    if (WaitForSingleObject(m_turn.get(), Remaining(raised, PickupLimit())) != WAIT_OBJECT_0)
        return true; // given up waiting for the turn: never handed over
    struct turn_release {
        HANDLE turn;
        ~turn_release() { ReleaseSemaphore(turn, 1, nullptr); }
    } hold{m_turn.get()};
    std::uint64_t ticket = 0;
    HWND window = nullptr;
    if (ProxyWindowRegistry::BeginCall(this, call, nullptr, ticket, window) ==
        ProxyWindowRegistry::begin_result::no_window)
        return false;
    if (!PostTicket(window, ticket)) {
        ProxyWindowRegistry::Withdraw(ticket);
        return false;
    }
    // m_hDone is set only when this very call has run, so a wake-up here
    // always means it finished.
    if (WaitForSingleObject(m_hDone.get(), Remaining(raised, PickupLimit())) == WAIT_OBJECT_0)
        return true;
    if (ProxyWindowRegistry::Withdraw(ticket))
        return true;
    WaitForSingleObject(m_hDone.get(), INFINITE);
    return true;
}

} // namespace com_disp_evt
