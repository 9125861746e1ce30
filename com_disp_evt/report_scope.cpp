// The start of the report being raised on this thread, kept per thread.
#include "com_disp_evt/report_scope.h"

namespace com_disp_evt {

namespace {

// Plain values: a thread_local with a destructor is costly in a DLL.
thread_local bool t_inReport = false;
thread_local DWORD t_reportStart = 0;

} // namespace

report_scope::report_scope() noexcept : report_scope(0)
{
}

report_scope::report_scope(DWORD begunMsAgo) noexcept : m_outer(!t_inReport)
{
    if (m_outer) {
        t_reportStart = GetTickCount() - begunMsAgo;
        t_inReport = true;
    }
}

report_scope::~report_scope()
{
    if (m_outer)
        t_inReport = false;
}

DWORD report_scope::RaisedAt() noexcept
{
    return t_inReport ? t_reportStart : GetTickCount();
}

} // namespace com_disp_evt
