// Lock over a heap-allocated critical section.
#pragma once

#include <windows.h>

#include <new>
#include <stdexcept>

namespace com_disp_evt {

class Mutex {
public:
    Mutex()
    {
        m_cs = new (std::nothrow) CRITICAL_SECTION;
        if (!m_cs)
            throw std::runtime_error("Mutex construction fail");
        InitializeCriticalSection(m_cs);
    }
    ~Mutex()
    {
        DeleteCriticalSection(m_cs);
        delete m_cs;
    }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() noexcept { EnterCriticalSection(m_cs); }
    void unlock() noexcept { LeaveCriticalSection(m_cs); }

private:
    CRITICAL_SECTION* m_cs;
};

// Holds a Mutex for a scope; Unlock() releases it early.
class MutexLock {
public:
    explicit MutexLock(Mutex& m) noexcept : m_mutex(&m) { m_mutex->lock(); }
    ~MutexLock() { Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() noexcept
    {
        if (m_mutex) {
            m_mutex->unlock();
            m_mutex = nullptr;
        }
    }

private:
    Mutex* m_mutex;
};

} // namespace com_disp_evt
