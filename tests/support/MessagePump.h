// The tests' one message pump: the thread that owns a phone object must
// dispatch its messages for events to arrive, so every wait on that thread
// pumps. Each wait has a time limit and says whether it ended in time.
#pragma once

#include <windows.h>

namespace test_support {

// Dispatches the messages already queued for this thread.
inline void PumpPending()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Dispatches messages until h is signalled; false when the time ran out.
inline bool PumpUntil(HANDLE h, DWORD timeoutMs = 10000)
{
    const DWORD start = GetTickCount();
    for (;;) {
        PumpPending();
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
        if (MsgWaitForMultipleObjects(1, &h, FALSE, timeoutMs - elapsed, QS_ALLINPUT) == WAIT_OBJECT_0)
            return true;
    }
}

// Dispatches messages until done() holds; false when the time ran out.
template <class Done>
bool PumpWhileNot(Done done, DWORD timeoutMs = 20000)
{
    const DWORD start = GetTickCount();
    for (;;) {
        PumpPending();
        if (done())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
}

// Waits until a message is queued for this thread, without taking it;
// false when none came in time.
inline bool WaitForQueuedMessage(DWORD timeoutMs = 10000)
{
    const DWORD start = GetTickCount();
    MSG msg;
    while (!PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLPOSTMESSAGE);
    }
    return true;
}

} // namespace test_support
