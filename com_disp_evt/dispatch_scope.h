// The marshalled calls the event window is running on this thread, and work
// that must wait until they have all returned.
#pragma once

#include <functional>

namespace com_disp_evt {

// Runs fn on this thread once every call the event window is running on it
// has returned and its raiser has been let go: work that waits for a raising
// thread (an adapter joining it) must not run inside that thread's call.
// False when no such call is running here, or no memory: the caller then
// decides itself.
bool DeferPastDispatchedCalls(std::function<void()> fn) noexcept;

// Held by the window while it runs calls on this thread, nested ones
// included; the outermost one runs the deferred work as it ends.
class dispatch_scope {
public:
    dispatch_scope() noexcept;
    ~dispatch_scope();
    dispatch_scope(const dispatch_scope&) = delete;
    dispatch_scope& operator=(const dispatch_scope&) = delete;
};

} // namespace com_disp_evt
