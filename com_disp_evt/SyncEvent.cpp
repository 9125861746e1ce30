// SyncEvent: attaching to the registry, and the one protocol by which a
// raiser hands a call to the window's thread and waits for it.
#include "com_disp_evt/SyncEvent.h"

#include "com_disp_evt/ProxyWindowRegistry.h"
#include "com_disp_evt/address_wait.h"
#include "com_disp_evt/call_progress.h"
#include "com_disp_evt/call_ticket.h"

namespace com_disp_evt {

SyncEvent::~SyncEvent()
{
    Detach();
    ProxyWindowRegistry::Forget(this);
}

void SyncEvent::UseAddressWaits(bool on) noexcept
{
    address_wait::Enable(on);
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
        if (OnWindowThread()) {
            call.execute();
            return true;
        }
        return Raise(call);
    } catch (...) {
        return false;
    }
}

bool SyncEvent::OnWindowThread() const noexcept
{
    DWORD owner = 0;
    HWND window = ProxyWindowRegistry::WindowHandle(this, owner);
    // The recorded owner is confirmed (cheaply, on the owner's own thread) in
    // case the window died and its thread id was reused.
    return owner != 0 && owner == GetCurrentThreadId() && GetWindowThreadProcessId(window, nullptr) == owner;
}

bool SyncEvent::Raise(disp_evt_fun_ptr_base& call) noexcept
{
    // Waiting for the turn behind other raisers and for the pick-up share
    // one limit.
    const DWORD raised = report_scope::RaisedAt();
    const DWORD limit = PickupLimit();
    call_progress progress;
    call_ticket ticket;
    if (!progress.Ready() || !ProxyWindowRegistry::BeginCall(this, call, progress, ticket))
        return false; // nothing to wait with, or no window to carry it
    if (progress.WaitSettled(raised, limit))
        return progress.Ran();
    if (ProxyWindowRegistry::Withdraw(ticket))
        return true; // not picked up in time: it will never run
    // Picked up just now, or running long: wait as long as it takes.
    progress.WaitSettled(raised, INFINITE);
    return progress.Ran();
}

} // namespace com_disp_evt
