// The phone object's life: references, holds, the event target, adapter code
// on the stack and the unloading of stopped managers (contract in the header).
#include "phone/PhoneInternal.h"

#include "phone/PhoneLifetime.h"

#include "adapters/AdapterManager.h"
#include "com_disp_evt/SyncEvent.h"
#include "phone/KexPhone.h"
#include "win32/raii.h"

#include <algorithm>

KexUsbPhone* g_pPhone = nullptr;

namespace {

// Adapter threads may take it at any time, also while static objects are
// built or torn down: an SRW lock needs no construction.
kex::srwlock g_phoneLock;

// Every object alive, oldest first; the newest is the event target.
std::vector<PhoneLifetime*>& LiveObjects()
{
    static std::vector<PhoneLifetime*> objects;
    return objects;
}

// Managers stopped whose adapters have not run "UnInitialize" yet.
std::atomic<int> g_unloadsPending{0};

void UnloadManager(std::unique_ptr<CUSBManager>& manager) noexcept
{
    try {
        manager->UnLoad();
    } catch (...) {
        KEX_ERROR("UnLoad exception.");
    }
    manager.reset();
    --g_unloadsPending;
}

void UnloadManagers(std::vector<std::unique_ptr<CUSBManager>>& managers) noexcept
{
    for (std::unique_ptr<CUSBManager>& manager : managers)
        UnloadManager(manager);
    managers.clear();
}

} // namespace

// ---- references and holds --------------------------------------------------

PhoneLifetime::PhoneLifetime(KexUsbPhone& owner, IUnknown* controlling) noexcept
    : m_owner(owner), m_controlling(controlling)
{
}
PhoneLifetime::~PhoneLifetime() = default;

ULONG PhoneLifetime::Release() noexcept
{
    if (--m_references != 0)
        return m_references;
    // A stray AddRef and Release pair during the final release must not
    // come back here.
    m_references = 1;
    // A host that forgot Stop must not leave adapters calling into a freed
    // object.
    m_owner.Stop();
    Withdraw();
    m_owner.FinalRelease();
    Drop();
    return 0;
}

HRESULT PhoneLifetime::Register() noexcept
{
    auto lock = g_phoneLock.lock_exclusive();
    try {
        LiveObjects().push_back(this);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    g_pPhone = &m_owner;
    return S_OK;
}

void PhoneLifetime::Withdraw() noexcept
{
    auto lock = g_phoneLock.lock_exclusive();
    std::vector<PhoneLifetime*>& live = LiveObjects();
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
    // The newest one left takes the events again, so a short-lived second
    // object never silences the first.
    g_pPhone = live.empty() ? nullptr : &live.back()->m_owner;
}

void PhoneLifetime::Drop() noexcept
{
    bool last;
    {
        auto lock = g_phoneLock.lock_exclusive();
        last = --m_holds == 0;
    }
    if (last)
        delete &m_owner;
}

PhoneLifetime::TargetHold::TargetHold() noexcept
{
    auto lock = g_phoneLock.lock_exclusive();
    m_target = g_pPhone ? &g_pPhone->m_life : nullptr;
    if (m_target)
        ++m_target->m_holds;
}

PhoneLifetime::TargetHold::~TargetHold()
{
    if (m_target)
        m_target->Drop();
}

KexUsbPhone* PhoneLifetime::TargetHold::operator->() const noexcept { return &m_target->m_owner; }

// ---- adapter code on the stack -----------------------------------------------

void PhoneLifetime::UnloadWaiting() noexcept
{
    std::vector<std::unique_ptr<CUSBManager>> managers;
    managers.swap(m_waiting);
    // The handler may be running for a report whose adapter thread waits for
    // it to return; "UnInitialize" joins that thread, so it runs once that
    // thread has been let go.
    try {
        auto later = std::make_shared<std::vector<std::unique_ptr<CUSBManager>>>(std::move(managers));
        if (com_disp_evt::DeferPastDispatchedCalls([later] { UnloadManagers(*later); }))
            return;
        managers.swap(*later);
    } catch (...) {
    }
    UnloadManagers(managers);
}

// ---- stopping ----------------------------------------------------------------

bool PhoneLifetime::UnloadsPending() noexcept { return g_unloadsPending > 0; }

void PhoneLifetime::Unload(std::unique_ptr<CUSBManager> manager, int ownCalls) noexcept
{
    if (m_adapterCalls > ownCalls) {
        // Adapter code is on the stack: the outermost call unloads it.
        try {
            m_waiting.push_back(std::move(manager));
        } catch (...) {
            // No memory to remember it: better a leak than freeing running code.
            manager.release();
            KEX_ERROR("Retire adapter manager failed.");
            return;
        }
        ++g_unloadsPending;
        return;
    }
    ++g_unloadsPending; // also while it unloads: another object's Start waits
    UnloadManager(manager);
}
