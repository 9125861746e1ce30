// Shared pieces of the phone object's tests: the support folder, pump and
// sink, BSTR makers, a memory figure, a watchdog and a failure that ends the
// program at once.
#pragma once

#include "tests/support/EventSubscription.h"
#include "tests/support/MessagePump.h"
#include "tests/support/StubSink.h"
#include "tests/support/TempDir.h"
#include "tests/support/files.h"

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "KexUSBPhone_h.h"
#include "win32/raii.h"

namespace phone_test {

using test_support::ExeDirectory;

using test_support::TempDir;
using test_support::ReadFile;

using test_support::PumpPending;
using test_support::PumpUntil;
using test_support::PumpWhileNot;

inline kex::unique_bstr Bstr(const wchar_t* s) { return kex::unique_bstr(SysAllocString(s)); }
inline kex::unique_bstr BstrLen(const wchar_t* s, UINT len) { return kex::unique_bstr(SysAllocStringLen(s, len)); }

// One event as a sink saw it: arguments in parameter order.
using SeenEvent = test_support::SinkCall;
using test_support::StubSink;

inline std::string Describe(const std::vector<SeenEvent>& events)
{
    std::string s;
    for (const SeenEvent& e : events) {
        s += "{" + std::to_string(e.id) + ":";
        for (long a : e.args)
            s += " " + std::to_string(a);
        s += "}";
    }
    return s;
}

// The process's private bytes. Wine leaves PrivateUsage at 0; there the sum
// of the committed private regions of the address space is the same figure.
inline long PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc) &&
        pmc.PrivateUsage != 0)
        return static_cast<long>(pmc.PrivateUsage);
    size_t total = 0;
    MEMORY_BASIC_INFORMATION mbi;
    for (const char* p = nullptr; VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi;
         p = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            total += mbi.RegionSize;
        if (mbi.RegionSize == 0)
            break;
    }
    return static_cast<long>(total);
}

// Ends the process when a step has not finished in time: a deadlock then
// fails the test run instead of stopping it.
class Watchdog {
public:
    Watchdog(const char* what, DWORD ms) : m_what(what), m_ms(ms), m_done(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = CreateThread(nullptr, 0, &Watchdog::Main, this, 0, nullptr);
    }
    ~Watchdog()
    {
        SetEvent(m_done);
        if (m_thread) {
            WaitForSingleObject(m_thread, INFINITE);
            CloseHandle(m_thread);
        }
        CloseHandle(m_done);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Main(LPVOID self)
    {
        Watchdog* w = static_cast<Watchdog*>(self);
        if (WaitForSingleObject(w->m_done, w->m_ms) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "HANG: %s did not finish within %lu ms\n", w->m_what,
                         static_cast<unsigned long>(w->m_ms));
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return 0;
    }
    const char* m_what;
    DWORD m_ms;
    HANDLE m_done;
    HANDLE m_thread = nullptr;
};

// Records a failure and ends the program with exit code 1 at once: for a
// fault after which going on would return into adapter code that was
// unloaded or a manager that was freed. A crash could end the program
// without a failing exit code under Wine.
[[noreturn]] inline void FailAndExit(const std::string& why)
{
    ADD_FAILURE() << why << " (the test program ends here)\n";
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 1);
    std::abort();
}

} // namespace phone_test
