// Shared pieces of the phone object's tests: a private directory with its own
// "USBPhone.ini", the stub event sink, and a message pump for waiting on
// adapter threads.
#pragma once

#include "tests/support/StubSink.h"
#include "tests/support/files.h"

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "KexUSBPhone_h.h"
#include "win32/raii.h"

namespace phone_test {

using test_support::ExeDirectory;

// A directory of this process's own under %TEMP%, removed with its files.
class TempDir {
public:
    explicit TempDir(const char* tag)
    {
        char base[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, base);
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%skexphone_%s_%lu_%lu\\", base, tag, GetCurrentProcessId(),
                      static_cast<unsigned long>(GetTickCount()));
        m_path = name;
        CreateDirectoryA(m_path.c_str(), nullptr);
    }
    ~TempDir()
    {
        for (const std::string& f : m_files)
            DeleteFileA(f.c_str());
        RemoveDirectoryA(m_path.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name)
    {
        std::string f = m_path + name;
        m_files.push_back(f);
        return f;
    }
    void write(const std::string& name, const std::string& text)
    {
        FILE* f = std::fopen(file(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    void copy(const std::string& from, const std::string& name)
    {
        ASSERT_TRUE(CopyFileA(from.c_str(), file(name).c_str(), FALSE)) << from;
    }

private:
    std::string m_path;
    std::vector<std::string> m_files;
};

using test_support::ReadFile;

// Dispatches this thread's messages until h is signalled or the time is up.
inline bool PumpUntil(HANDLE h, DWORD timeoutMs = 10000)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
        DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0)
            return true;
    }
}

inline void PumpPending()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Dispatches messages until done() holds; false when the time ran out.
template <class Done>
bool PumpWhileNot(Done done, DWORD timeoutMs = 20000)
{
    const DWORD start = GetTickCount();
    for (;;) {
        PumpPending();
        if (done())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
}

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

struct ComApartment {
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { CoUninitialize(); }
};

} // namespace phone_test
