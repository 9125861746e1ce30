// The phone object's life in one place: its COM references, the device
// callbacks running on it, adapter code on its stack, adapter managers waiting
// to be unloaded, stopped or not, and which object receives device reports.
//
// Who touches what, and from which thread. The host thread is the thread of
// the object's apartment: it makes every COM call, runs every event handler,
// Start, Stop and the final release. Adapter threads are whatever threads
// adapters call the device callback on. The phone lock is an SRW lock private
// to PhoneLifetime.cpp, a leaf lock any thread may take.
//
//   state                       written on          read on            guarded by
//   references                  host                host               the apartment
//   adapter calls on the stack  host                host               the apartment
//   managers waiting to unload  host                host               the apartment
//   stopped                     host                any thread         atomic
//   holds (see below)           host, adapters      host, adapters     the phone lock
//   live objects, g_pPhone      host                any thread         the phone lock
//   unloads pending (process)   any host thread     any host thread    atomic
//
// Deleting: the COM side holds the object until its final release is done,
// and each device callback holds it while it runs. Whoever drops the last
// hold deletes it, in one place (Drop).
//
// Unloading: while adapter code is on the stack (an adapter's "Intialize" or
// "execute", or an event handler, which may run inside either or while an
// adapter thread waits for it), a stopped manager only waits; the outermost
// of those calls unloads it when it returns, after the adapter thread it
// serves has been let go. Start is refused while any manager of the process
// waits or is being unloaded: adapters may be shared, and none may be
// initialized again before its "UnInitialize" has returned.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

class CUSBManager;
class KexUsbPhone;

// The object that receives device reports: the newest live object, null when
// none is alive. Written only here, under the phone lock.
extern KexUsbPhone* g_pPhone;

class PhoneLifetime {
public:
    // controlling: the object's controlling unknown (the outer one when it
    // is aggregated), which adapter calls hold a reference on.
    PhoneLifetime(KexUsbPhone& owner, IUnknown* controlling) noexcept;
    ~PhoneLifetime();
    PhoneLifetime(const PhoneLifetime&) = delete;
    PhoneLifetime& operator=(const PhoneLifetime&) = delete;

    // ---- references (host thread) -------------------------------------------
    // The non-delegating unknown's count. The last Release runs the final
    // release: Stop, no longer the event target, the owner's own final
    // release (event window and sinks), then the COM side's hold is dropped.
    // Nothing may touch the object after the last Release.
    ULONG AddRef() noexcept { return ++m_references; }
    ULONG Release() noexcept;

    // Final construction: the object becomes the newest live object and so
    // the event target. E_OUTOFMEMORY when it cannot be recorded.
    HRESULT Register() noexcept;

    // ---- the device callback (any thread) -----------------------------------
    // Holds the event target while a callback runs on it; empty when there is
    // none. The target may be released meanwhile: it is deleted only when the
    // last hold goes.
    class TargetHold {
    public:
        TargetHold() noexcept;
        ~TargetHold();
        TargetHold(const TargetHold&) = delete;
        TargetHold& operator=(const TargetHold&) = delete;
        explicit operator bool() const noexcept { return m_target != nullptr; }
        KexUsbPhone* operator->() const noexcept;

    private:
        PhoneLifetime* m_target;
    };

    // ---- adapter code on the stack (host thread) ----------------------------
    // Counts adapter code on the stack for the scope. Start's "Intialize"
    // calls and each command's "execute" also hold a COM reference, as a
    // handler may release the host's last one. An event handler does not:
    // whoever delivers the event keeps the object alive (the device callback
    // holds it), and an aggregated object's outer one may be gone by then.
    class AdapterCall {
    public:
        enum Kind { kAdapterCode, kEventHandler };
        AdapterCall(PhoneLifetime& life, Kind kind) noexcept : m_life(life), m_holdsReference(kind == kAdapterCode)
        {
            if (m_holdsReference)
                m_life.m_controlling->AddRef();
            ++m_life.m_adapterCalls;
        }
        ~AdapterCall()
        {
            IUnknown* const controlling = m_life.m_controlling;
            m_life.LeaveAdapterCall();
            if (m_holdsReference)
                controlling->Release(); // may be the last reference: nothing after this
        }
        AdapterCall(const AdapterCall&) = delete;
        AdapterCall& operator=(const AdapterCall&) = delete;

    private:
        PhoneLifetime& m_life;
        const bool m_holdsReference;
    };

    // ---- stopping -----------------------------------------------------------
    // Set by Stop, cleared by Start (host thread); read on any thread. A
    // stopped object fires nothing and a report reaching it returns at once.
    // An object that was never started is not stopped.
    bool IsStopped() const noexcept { return m_stopped.load(); }
    // The previous value.
    bool SetStopped(bool stopped) noexcept { return m_stopped.exchange(stopped); }
    // Whether any manager of the process still waits for its unload or is
    // being unloaded (host).
    static bool UnloadsPending() noexcept;
    // Takes a manager out of use (host thread): unloaded now, or, while
    // adapter code other than the caller's own `ownCalls` is on the stack,
    // when the outermost of it returns.
    void Unload(std::unique_ptr<CUSBManager> manager, int ownCalls) noexcept;

private:
    void LeaveAdapterCall() noexcept
    {
        if (--m_adapterCalls == 0 && !m_waiting.empty())
            UnloadWaiting();
    }
    // The outermost adapter call has returned: unload the managers stopped
    // meanwhile.
    void UnloadWaiting() noexcept;
    void Withdraw() noexcept;
    void Drop() noexcept;

    KexUsbPhone& m_owner;
    IUnknown* const m_controlling;
    ULONG m_references = 0;
    int m_adapterCalls = 0;
    std::vector<std::unique_ptr<CUSBManager>> m_waiting;
    std::atomic<bool> m_stopped{false};
    long m_holds = 1; // the COM side's, until its final release is done
};
