// Helpers of the adapter tests: private temporary directories, files, the
// trace records of this process and the test adapters' journal.
#pragma once

#include "log/TraceLog.h"
#include "tests/adapters/recording_adapter.h"
#include "tests/support/TempDir.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace adapter_test {

inline std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

inline std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The directory of this test program, where the build puts the test adapters.
inline std::string BinDir() { return test_support::ExeDirectory(); }

using test_support::ReadFile;
using test_support::WriteFile;

using test_support::TempDir;

struct Record {
    std::string level; // "Error", "INFO", "Enter", "Leave"
    std::string message;
};

// The component's trace records written by this process, read back from a
// log file of its own (tests run in parallel in one directory).
class LogCapture {
public:
    static LogCapture& Instance()
    {
        static LogCapture capture;
        return capture;
    }

    // Records written since the last call.
    std::vector<Record> Take()
    {
        const std::string data = ReadFile(m_file);
        // Shorter than what was read already: the log was moved to a backup
        // and started again, and all of it is new.
        if (data.size() < m_offset)
            m_offset = 0;
        std::vector<Record> out;
        size_t pos = data.find("<!--", m_offset);
        m_offset = data.size();
        while (pos != std::string::npos) {
            const size_t next = data.find("<!--", pos + 4);
            const size_t end = std::min(next, data.size());
            // "<!--[time][file(line)][(tid/pid)][Level = message]-->"
            const size_t ids = data.find("][(", pos);
            const size_t head = ids == std::string::npos ? ids : data.find(")][", ids);
            const size_t eq = head == std::string::npos ? head : data.find(" = ", head);
            if (eq != std::string::npos && eq < end) {
                size_t stop = data.find("]-->", eq);
                if (stop == std::string::npos || stop > end)
                    stop = end;
                out.push_back({data.substr(head + 3, eq - head - 3), data.substr(eq + 3, stop - eq - 3)});
            }
            pos = next;
        }
        return out;
    }

    // Messages of one level since the last Take.
    std::vector<std::string> Take(const char* level);

    // The log's length on disk.
    long long FileSize() const
    {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!GetFileAttributesExA(m_file.c_str(), GetFileExInfoStandard, &data))
            return -1;
        return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    // Fills the log to the logger's size limit as another process writing
    // to it would, so that the next record first moves it to a backup. The
    // records already written are taken and dropped.
    void FillToLimit()
    {
        Take();
        HANDLE other = CreateFileA(m_file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, other) << m_file;
        LARGE_INTEGER size = {};
        GetFileSizeEx(other, &size);
        const long long missing = g_traceLog.MaxSize() - size.QuadPart;
        ASSERT_GT(missing, 0) << "the logger's limit is below what it already holds";
        ASSERT_LE(missing, 64LL << 20) << "the logger's limit is too large to fill";
        const std::string padding(static_cast<size_t>(missing), '-');
        DWORD written = 0;
        const BOOL ok = ::WriteFile(other, padding.data(), static_cast<DWORD>(padding.size()), &written, nullptr);
        CloseHandle(other);
        ASSERT_TRUE(ok && written == padding.size());
        m_offset = static_cast<size_t>(size.QuadPart + missing); // the padding holds no record
    }

private:
    LogCapture()
    {
        m_file = m_dir / "trace.log";
        g_traceLog.SetLogFile(m_file.c_str());
        g_traceLog.Open();
        g_traceLog.SetSwitch(true);
        g_traceLog.AddLevel(7); // Error, Info, Enter and Leave whatever the ini beside us says
    }

    TempDir m_dir;
    std::string m_file;
    size_t m_offset = 0;
};

inline std::vector<std::string> Messages(const std::vector<Record>& records, const char* level)
{
    std::vector<std::string> out;
    for (const Record& r : records)
        if (r.level == level)
            out.push_back(r.message);
    return out;
}

inline std::vector<std::string> LogCapture::Take(const char* level) { return Messages(Take(), level); }

// The journal of the test adapters: one per process, installed once.
inline RecJournal& Journal()
{
    static RecJournal* journal = [] {
        auto* j = new RecJournal(); // never freed: adapters may write to it up to process exit
        rec_journal_install(j);
        return j;
    }();
    return *journal;
}

struct JournalEvent {
    std::string module; // full path, lower case
    int32_t event;
    uint32_t code;
    int32_t result;
};

// Events since the last call.
inline std::vector<JournalEvent> TakeJournal()
{
    static long taken;
    RecJournal& j = Journal();
    const long count = std::min<long>(static_cast<long>(j.count), REC_JOURNAL_MAX);
    std::vector<JournalEvent> out;
    for (long i = taken; i < count; ++i)
        out.push_back({Lower(j.entries[i].module), j.entries[i].event, j.entries[i].code, j.entries[i].result});
    taken = count;
    return out;
}

// Base names of the modules that wrote this event, in order.
inline std::vector<std::string> Modules(const std::vector<JournalEvent>& events, int32_t kind)
{
    std::vector<std::string> out;
    for (const JournalEvent& e : events)
        if (e.event == kind)
            out.push_back(BaseName(e.module));
    return out;
}

inline int Count(const std::vector<JournalEvent>& events, int32_t kind, const std::string& base)
{
    int n = 0;
    for (const JournalEvent& e : events)
        if (e.event == kind && BaseName(e.module) == Lower(base))
            ++n;
    return n;
}

// Runs the callback-free adapters: a device callback that records nothing.
inline int32_t KEX_CDECL NullCallback(uint32_t, uint32_t, int32_t) { return 0; }

} // namespace adapter_test
