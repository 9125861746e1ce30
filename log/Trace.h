// Trace helpers: one line per record at the call site, with its file and line.
//
//   KEX_TRACE_SCOPE("CUSBManager::Load");   // Enter now, Leave on every way out
//   if (!opened) { KEX_ERROR("Open file %s failed.", path); return 1; }
//
// KEX_ENTER, KEX_LEAVE and KEX_RETURN write the Enter and Leave records by
// hand, for a function whose Leave record must carry the line it returns on.
// A source file may define KEX_TRACE_FILE (for example "AdapterManager")
// before including this header; otherwise the file name of __FILE__ is used.
#pragma once

#include "log/TraceLog.h"

namespace kex_log {
constexpr const char* SourceFileName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}
} // namespace kex_log

#ifndef KEX_TRACE_FILE
#define KEX_TRACE_FILE ::kex_log::SourceFileName(__FILE__)
#endif

#define KEX_LOG(level, ...)                                                                     \
    (g_traceLog.Enabled(level)                                                                  \
         ? (g_traceLog.SetLocation(KEX_TRACE_FILE, __LINE__), g_traceLog.Log((level), __VA_ARGS__)) \
         : void())
#define KEX_ENTER(name) KEX_LOG(TRACE_ENTER, "%s.", name)
#define KEX_LEAVE(name) KEX_LOG(TRACE_LEAVE, "%s.", name)
#define KEX_ERROR(...) KEX_LOG(TRACE_ERROR, __VA_ARGS__)
#define KEX_INFO(...) KEX_LOG(TRACE_INFO, __VA_ARGS__)

// Enter now and Leave on every way out of the scope, exceptions included, so
// no return can miss its Leave record. Both records carry the scope's line.
namespace kex_log {
class TraceScope {
public:
    TraceScope(const char* file, int line, const char* name) noexcept : m_file(file), m_line(line), m_name(name)
    {
        Write(TRACE_ENTER);
    }
    ~TraceScope() { Write(TRACE_LEAVE); }
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    void Write(int level) const noexcept
    {
        if (!g_traceLog.Enabled(level))
            return;
        g_traceLog.SetLocation(m_file, m_line);
        g_traceLog.Log(level, "%s.", m_name);
    }

    const char* m_file;
    int m_line;
    const char* m_name;
};
} // namespace kex_log
#define KEX_TRACE_SCOPE(name) ::kex_log::TraceScope kex_trace_scope_(KEX_TRACE_FILE, __LINE__, (name))

// Evaluates the result first (it may trace on its own), then writes the Leave
// record with this line and returns the result.
#define KEX_RETURN(name, ...)                  \
    do {                                       \
        auto kex_result_ = (__VA_ARGS__);      \
        KEX_LEAVE(name);                       \
        return kex_result_;                    \
    } while (0)
#define KEX_RETURN_VOID(name) \
    do {                      \
        KEX_LEAVE(name);      \
        return;               \
    } while (0)
