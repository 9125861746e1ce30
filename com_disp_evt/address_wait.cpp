// The address-wait functions, looked up at run time so the library still
// loads on systems that lack them.
#include "com_disp_evt/address_wait.h"

#include <atomic>

namespace com_disp_evt {

// The system compares and wakes the word's bytes in place.
static_assert(sizeof(std::atomic<LONG>) == sizeof(LONG), "an atomic word is a plain LONG in memory");

namespace {

class address_wait_functions {
public:
    address_wait_functions() noexcept
    {
        if (HMODULE kernelbase = GetModuleHandleA("kernelbase.dll")) {
            m_wait = reinterpret_cast<wait_fn>(GetProcAddress(kernelbase, "WaitOnAddress"));
            m_wake = reinterpret_cast<wake_fn>(GetProcAddress(kernelbase, "WakeByAddressAll"));
        }
        if (!m_wait || !m_wake)
            m_wait = nullptr, m_wake = nullptr;
    }

    using wait_fn = BOOL(WINAPI*)(volatile VOID*, PVOID, SIZE_T, DWORD);
    using wake_fn = void(WINAPI*)(PVOID);
    wait_fn m_wait = nullptr;
    wake_fn m_wake = nullptr;
    std::atomic<bool> m_enabled{true};
};

address_wait_functions& Functions() noexcept
{
    static address_wait_functions functions;
    return functions;
}

} // namespace

bool address_wait::Available() noexcept
{
    const address_wait_functions& f = Functions();
    return f.m_wait != nullptr && f.m_enabled.load(std::memory_order_relaxed);
}

void address_wait::Enable(bool on) noexcept
{
    Functions().m_enabled.store(on);
}

void address_wait::Wait(const std::atomic<LONG>& word, LONG seen, DWORD ms) noexcept
{
    Functions().m_wait(const_cast<std::atomic<LONG>*>(&word), &seen, sizeof seen, ms);
}

void address_wait::WakeAll(const std::atomic<LONG>& word) noexcept
{
    Functions().m_wake(const_cast<std::atomic<LONG>*>(&word));
}

} // namespace com_disp_evt
