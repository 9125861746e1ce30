// The call object a SyncEvent carries to the window's thread: its liveness
// cookies and the lock held while it runs or is withdrawn.
#pragma once

#include "com_disp_evt/Mutex.h"

#include <cstdint>

namespace com_disp_evt {

// A call handed to SyncEvent::Call. Built on the raising thread's stack for
// one event and destroyed when the raising function returns.
class disp_evt_fun_ptr_base {
public:
    disp_evt_fun_ptr_base();
    virtual ~disp_evt_fun_ptr_base();
    disp_evt_fun_ptr_base(const disp_evt_fun_ptr_base&) = delete;
    disp_evt_fun_ptr_base& operator=(const disp_evt_fun_ptr_base&) = delete;

    virtual void execute() = 0;

    // Liveness cookies derived from the object's address; a withdrawn or
    // destroyed call is no longer valid.
    bool is_valid() const noexcept;
    void invalidate() noexcept;

    // Held by the window's thread while the call runs and by its raiser
    // while it withdraws it, so the two never overlap.
    void lock() noexcept { m_lock.lock(); }
    void unlock() noexcept { m_lock.unlock(); }

private:
    std::uint32_t m_cookie1;
    std::uint32_t m_cookie2;
    Mutex m_lock;
};

} // namespace com_disp_evt
