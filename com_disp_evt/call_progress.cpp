// A raiser's wait for its call to settle, and the wake-up that ends it.
#include "com_disp_evt/call_progress.h"

#include "com_disp_evt/address_wait.h"

namespace com_disp_evt {

namespace {

// What is left of limitMs since `since` (INFINITE stays INFINITE).
DWORD Remaining(DWORD since, DWORD limitMs) noexcept
{
    if (limitMs == INFINITE)
        return INFINITE;
    const DWORD elapsed = GetTickCount() - since;
    return elapsed >= limitMs ? 0 : limitMs - elapsed;
}

bool Settled(LONG s) noexcept
{
    return s == call_progress::done || s == call_progress::failed;
}

} // namespace

call_progress::call_progress() noexcept
    : m_addressWaits(address_wait::Available()),
      m_wake(m_addressWaits ? nullptr : CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
}

call_progress::~call_progress()
{
    if (!m_addressWaits) {
        // Settle has let go of the event before it is closed.
        auto settled = m_settling.lock_exclusive();
    }
}

void call_progress::Settle(state s) noexcept
{
    if (m_addressWaits) {
        m_state.store(s, std::memory_order_release);
        address_wait::WakeAll(m_state);
        return;
    }
    auto settling = m_settling.lock_exclusive();
    m_state.store(s, std::memory_order_release);
    SetEvent(m_wake.get());
}

bool call_progress::WaitSettled(DWORD since, DWORD limitMs) noexcept
{
    for (;;) {
        const LONG seen = m_state.load(std::memory_order_acquire);
        if (Settled(seen))
            return true;
        const DWORD left = Remaining(since, limitMs);
        if (left == 0)
            return false;
        // Either may wake early: look again.
        if (m_addressWaits)
            address_wait::Wait(m_state, seen, left);
        else
            WaitForSingleObject(m_wake.get(), left);
    }
}

} // namespace com_disp_evt
