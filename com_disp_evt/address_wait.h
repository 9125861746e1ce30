// Waiting on the address of a word until it changes: a user-space affair (a
// futex under Wine), where a wait on an event object is a round trip to the
// server. The system offers it from Windows 8 on; before that, callers fall
// back to events.
#pragma once

#include <windows.h>

#include <atomic>

namespace com_disp_evt {

class address_wait {
public:
    // The system has address waits and tests have not switched them off.
    static bool Available() noexcept;
    // Seam for tests: off makes callers take their fallback.
    static void Enable(bool on) noexcept;

    // Sleeps while word still holds `seen`, at most ms; may return early.
    static void Wait(const std::atomic<LONG>& word, LONG seen, DWORD ms) noexcept;
    // Only the word's address is used: harmless when its waiter has already
    // returned.
    static void WakeAll(const std::atomic<LONG>& word) noexcept;
};

} // namespace com_disp_evt
