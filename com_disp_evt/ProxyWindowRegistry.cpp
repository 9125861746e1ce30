// The registry's bookkeeping: attached SyncEvents and their threads, one
// window per thread, and the pending-call records with their turns.
#include "com_disp_evt/ProxyWindowRegistry.h"

#include "com_disp_evt/Mutex.h"
#include "win32/init_order.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace com_disp_evt {

namespace {

// Constructed before the registry and destroyed after it.
Mutex g_registryMutex KEX_INIT_PRIORITY(KEX_INIT_REGISTRY_MUTEX);
ProxyWindowRegistry g_registry KEX_INIT_PRIORITY(KEX_INIT_REGISTRY);

} // namespace

ProxyWindowRegistry& ProxyWindowRegistry::Instance() noexcept
{
    return g_registry;
}

ProxyWindowRegistry::~ProxyWindowRegistry()
{
    m_windows.clear();
    m_owners.clear();
    CProxyWindow::UnregisterWindowClass();
}

// --- attaching --------------------------------------------------------------

std::size_t ProxyWindowRegistry::Register(SyncEvent* ev)
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    const DWORD self = GetCurrentThreadId();
    r.RetireWindowsLocked();
    safe_ptr<CProxyWindow>& window = r.m_windows[self];
    if (!window)
        window.reset(new (std::nothrow) CProxyWindow);
    if (!window->Handle() && window->Create()) // throws null_ref when the object could not be made
        r.m_newest = self;
    owner_record& owner = r.m_owners[ev];
    owner.thread = self;
    owner.attached = true;
    return r.UsersLocked();
}

std::size_t ProxyWindowRegistry::Unregister(SyncEvent* ev)
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    auto owner = r.m_owners.find(ev);
    if (owner != r.m_owners.end())
        owner->second.attached = false;
    return r.UsersLocked();
}

void ProxyWindowRegistry::Forget(const SyncEvent* ev) noexcept
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    r.m_pending.erase(std::remove_if(r.m_pending.begin(), r.m_pending.end(),
                                     [ev](const pending_call& p) { return p.run.owner == ev; }),
                      r.m_pending.end());
    r.m_owners.erase(ev);
}

void ProxyWindowRegistry::RetireWindowsLocked()
{
    // A window nobody uses any more is replaced on its own thread's next
    // attach and retired from any other; so is one that died with its thread.
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        const DWORD thread = it->first;
        const bool used = std::any_of(m_owners.begin(), m_owners.end(), [thread](const auto& owner) {
            return owner.second.attached && owner.second.thread == thread;
        });
        if (used && IsWindow(it->second->Handle()))
            ++it;
        else
            it = m_windows.erase(it);
    }
}

std::size_t ProxyWindowRegistry::UsersLocked() const noexcept
{
    return static_cast<std::size_t>(std::count_if(m_owners.begin(), m_owners.end(),
                                                  [](const auto& owner) { return owner.second.attached; }));
}

std::size_t ProxyWindowRegistry::UserCount() noexcept
{
    MutexLock lock(g_registryMutex);
    return Instance().UsersLocked();
}

// --- windows ----------------------------------------------------------------

CProxyWindow* ProxyWindowRegistry::WindowOfLocked(const SyncEvent* ev) const noexcept
{
    auto owner = m_owners.find(ev);
    auto it = owner != m_owners.end() ? m_windows.find(owner->second.thread) : m_windows.end();
    if (it == m_windows.end())
        it = m_windows.find(m_newest);
    return it == m_windows.end() ? nullptr : it->second.get();
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

// --- pending calls ------------------------------------------------------------

std::size_t ProxyWindowRegistry::PendingCallCount() noexcept
{
    MutexLock lock(g_registryMutex);
    return Instance().m_pending.size();
}

ProxyWindowRegistry::pending_list::iterator ProxyWindowRegistry::FindLocked(call_ticket ticket) noexcept
{
    return std::find_if(m_pending.begin(), m_pending.end(),
                        [ticket](const pending_call& p) { return p.ticket == ticket; });
}

ProxyWindowRegistry::pending_list::iterator ProxyWindowRegistry::NextQueuedLocked(const SyncEvent* owner) noexcept
{
    return std::find_if(m_pending.begin(), m_pending.end(), [owner](const pending_call& p) {
        return p.run.owner == owner && p.run.progress->Get() == call_progress::queued;
    });
}

bool ProxyWindowRegistry::BeginCall(const SyncEvent* ev, disp_evt_fun_ptr_base& call, call_progress& progress,
                                    call_ticket& ticket)
{
    HWND window = nullptr;
    {
        MutexLock lock(g_registryMutex);
        ProxyWindowRegistry& r = Instance();
        CProxyWindow* w = r.WindowOfLocked(ev);
        auto owner = r.m_owners.find(ev);
        if (!w || !w->Handle() || owner == r.m_owners.end())
            return false;
        ticket = call_ticket{r.m_nextTicket++};
        r.m_pending.push_back(pending_call{ticket, running_call{&call, ev, &progress}});
        if (owner->second.busy) {
            progress.Mark(call_progress::queued);
            return true;
        }
        owner->second.busy = true;
        progress.Mark(call_progress::posted);
        window = w->Handle();
    }
    // Posted once the lock is free, for the window's thread to take at once.
    if (CProxyWindow::Post(window, ticket))
        return true;
    // No window to carry it (its thread has gone): give up at once.
    Withdraw(ticket);
    return false;
}

bool ProxyWindowRegistry::Withdraw(call_ticket ticket) noexcept
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    auto it = r.FindLocked(ticket);
    if (it == r.m_pending.end())
        return false;
    const running_call gone = it->run;
    r.m_pending.erase(it);
    {
        std::lock_guard<disp_evt_fun_ptr_base> withdrawing(*gone.call);
        gone.call->invalidate();
    }
    // Only a call that held the turn passes it on; one still queued had none.
    if (gone.progress->Get() != call_progress::queued)
        r.PassTurnLocked(gone.owner);
    return true;
}

void ProxyWindowRegistry::PassTurnLocked(const SyncEvent* owner) noexcept
{
    for (auto it = NextQueuedLocked(owner); it != m_pending.end(); it = NextQueuedLocked(owner)) {
        CProxyWindow* window = WindowOfLocked(owner);
        if (window && CProxyWindow::Post(window->Handle(), it->ticket)) {
            it->run.progress->Mark(call_progress::posted);
            return;
        }
        call_progress* failed = it->run.progress;
        m_pending.erase(it);
        failed->Settle(call_progress::failed);
    }
    auto record = m_owners.find(owner);
    if (record != m_owners.end())
        record->second.busy = false;
}

bool ProxyWindowRegistry::Take(call_ticket ticket, running_call& taken) noexcept
{
    MutexLock lock(g_registryMutex);
    ProxyWindowRegistry& r = Instance();
    auto it = r.FindLocked(ticket);
    // A call object that does not look alive is left for its raiser to
    // withdraw; running it or signalling for it could only do harm. A queued
    // call has no message of its own yet.
    if (it == r.m_pending.end() || !it->run.call->is_valid() ||
        it->run.progress->Get() != call_progress::posted)
        return false;
    taken = it->run;
    r.m_pending.erase(it);
    return true;
}

bool ProxyWindowRegistry::HandOnLocked(running_call& call, bool chain) noexcept
{
    auto next = NextQueuedLocked(call.owner);
    if (next == m_pending.end() || !chain || !next->run.call->is_valid()) {
        PassTurnLocked(call.owner); // by message; free when nobody waits
        return false;
    }
    call = next->run;
    m_pending.erase(next);
    return true;
}

bool ProxyWindowRegistry::Finish(running_call& call, bool chain) noexcept
{
    call_progress& finished = *call.progress;
    bool chained = false;
    {
        MutexLock lock(g_registryMutex);
        chained = Instance().HandOnLocked(call, chain);
    }
    // Last: once let go, the raiser may return and its SyncEvent go away.
    finished.Settle(call_progress::done);
    return chained;
}

} // namespace com_disp_evt
