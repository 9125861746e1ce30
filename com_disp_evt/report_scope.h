// One device report on the raising thread: the calls it makes until the
// scope ends share one pick-up limit, counted from its start.
#pragma once

#include <windows.h>

namespace com_disp_evt {

class report_scope {
public:
    report_scope() noexcept;
    // Seam for tests: a report that began begunMsAgo ms ago, so a limit can
    // be shown running out without waiting for all of it.
    explicit report_scope(DWORD begunMsAgo) noexcept;
    ~report_scope();
    report_scope(const report_scope&) = delete;
    report_scope& operator=(const report_scope&) = delete;

    // What a call raised now on this thread counts its pick-up limit from
    // (GetTickCount): the start of the report under way, else now.
    static DWORD RaisedAt() noexcept;

private:
    bool m_outer; // a nested scope leaves the outer report's start alone
};

} // namespace com_disp_evt
