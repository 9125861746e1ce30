// Per-thread count of the window's running calls and the work deferred past
// them.
#include "com_disp_evt/dispatch_scope.h"

#include <memory>
#include <utility>
#include <vector>

namespace com_disp_evt {

namespace {

// Plain values: a thread_local with a destructor is costly in a DLL.
thread_local int t_dispatchDepth = 0;
thread_local std::vector<std::function<void()>>* t_deferred = nullptr;

void RunDeferred() noexcept
{
    // Deferred work that pumps messages may run further calls, and they may
    // defer more.
    while (t_dispatchDepth == 0 && t_deferred) {
        std::unique_ptr<std::vector<std::function<void()>>> work(t_deferred);
        t_deferred = nullptr;
        for (std::function<void()>& fn : *work) {
            try {
                fn();
            } catch (...) {
            }
        }
    }
}

} // namespace

bool DeferPastDispatchedCalls(std::function<void()> fn) noexcept
{
    if (t_dispatchDepth == 0)
        return false;
    try {
        if (!t_deferred)
            t_deferred = new std::vector<std::function<void()>>;
        t_deferred->push_back(std::move(fn));
        return true;
    } catch (...) {
        return false;
    }
}

dispatch_scope::dispatch_scope() noexcept
{
    ++t_dispatchDepth;
}

dispatch_scope::~dispatch_scope()
{
    --t_dispatchDepth;
    RunDeferred();
}

} // namespace com_disp_evt
