// The worker thread: start, the counting signal, the stop request, and a join
// that still delivers the calling thread's event messages.
#include "plugin/Thread.h"

#include "com_disp_evt/ProxyWindow.h"

Thread::Thread() noexcept
{
    m_hSignal = CreateSemaphoreA(nullptr, 0, 65535, nullptr);
}

Thread::~Thread()
{
    if (m_hThread) {
        RequestStop();
        Join();
        if (m_hThread) {
            CloseHandle(m_hThread);
            m_hThread = nullptr;
        }
    }
    if (m_hSignal)
        CloseHandle(m_hSignal);
}

bool Thread::Start() noexcept
{
    if (m_hThread && !m_finished.load())
        return true;
    if (m_hThread) {
        RequestStop();
        Join();
        if (m_hThread) // the join gave up: the old run is finished, its handle is not needed
            CloseHandle(m_hThread);
        m_hThread = nullptr;
        m_threadId = 0;
    }
    m_finished = false;
    m_stopRequested = false;
    m_running = true;
    DWORD id = 0;
    m_hThread = CreateThread(nullptr, 0, &Thread::ThreadProc, this, 0, &id);
    if (!m_hThread) {
        m_running = false;
        return true;
    }
    m_threadId = id;
    return true;
}

void Thread::RequestStop() noexcept
{
    m_stopRequested = true;
    Signal();
}

void Thread::Signal() noexcept
{
    if (!m_hSignal)
        return;
    ReleaseSemaphore(m_hSignal, 1, nullptr);
    ++m_signals;
}

bool Thread::WaitSignal(DWORD timeoutMs) noexcept
{
    if (m_hSignal) {
        m_signals = 0;
        const DWORD r = WaitForSingleObject(m_hSignal, timeoutMs);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r == WAIT_TIMEOUT)
            return false;
    }
    Sleep(100);
    return false;
}

void Thread::Join() noexcept
{
    if (!m_hThread || GetCurrentThreadId() == m_threadId.load())
        return;
    bool quitSeen = false;
    WPARAM quitCode = 0;
    DWORD waitedMs = 0;
    for (;;) {
        if (quitSeen && waitedMs > kQuitJoinLimitMs)
            break;
        const DWORD r = WaitForSingleObject(m_hThread, 5);
        if (r == WAIT_OBJECT_0) {
            CloseHandle(m_hThread);
            m_hThread = nullptr;
            break;
        }
        if (r != WAIT_TIMEOUT)
            break;
        waitedMs += 5;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, com_disp_evt::WM_COM_EVENT, com_disp_evt::WM_COM_EVENT, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quitSeen = true;
                quitCode = msg.wParam;
                continue;
            }
            DispatchMessageA(&msg);
        }
    }
    // The quit request belongs to the caller's message loop: hand it back.
    if (quitSeen)
        PostQuitMessage(static_cast<int>(quitCode));
}

DWORD WINAPI Thread::ThreadProc(LPVOID param)
{
    Thread* self = static_cast<Thread*>(param);
    if (!self)
        return 0;
    self->m_running = true;
    try {
        self->Run();
        self->m_running = false;
    } catch (...) {
        // Dropped; the running flag stays set to show the run did not end normally.
    }
    self->m_finished = true;
    try {
        self->OnExit();
    } catch (...) {
    }
    return 0;
}

void Thread::SleepMs(DWORD ms) noexcept
{
    Sleep(ms);
}

std::int64_t Thread::NowMicroseconds() noexcept
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<std::int64_t>(static_cast<double>(counter.QuadPart) * 1000000.0 /
                                     static_cast<double>(frequency.QuadPart));
}
