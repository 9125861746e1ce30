// P1: median round trip of a call raised on a worker and run on the event
// window's thread, against the floor (a two-event ping-pong between two
// threads) and against COM's own cross-apartment IDispatch::Invoke.
// P2: calls per second with 4 raisers through one SyncEvent against 1.
#include "com_disp_evt/ProxyWindow.h"
#include "com_disp_evt/SyncEvent.h"
#include "com_disp_evt/disp_evt_fun.h"
#include "tests/support/files.h"

#include <objbase.h>
#include <oaidl.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int kWarmup = 50;
constexpr int kSamples = 500;

double NowUs() { return test_support::Seconds() * 1e6; }

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The floor: a two-event ping-pong with an echo thread.
class PingPong {
public:
    PingPong()
    {
        m_echo = std::thread([this] {
            for (;;) {
                WaitForSingleObject(m_ping, INFINITE);
                if (m_stop)
                    return;
                SetEvent(m_pong);
            }
        });
    }
    ~PingPong()
    {
        m_stop = true;
        SetEvent(m_ping);
        m_echo.join();
        CloseHandle(m_ping);
        CloseHandle(m_pong);
    }
    void RoundTrip()
    {
        SetEvent(m_ping);
        WaitForSingleObject(m_pong, INFINITE);
    }

private:
    HANDLE m_ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE m_pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> m_stop{false};
    std::thread m_echo;
};

// A thread with a message loop that owns the event window.
class WindowThread {
public:
    WindowThread()
    {
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_thread = std::thread([this, ready] {
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
            m_id = GetCurrentThreadId();
            ev.Attach();
            SetEvent(ready);
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                DispatchMessageA(&msg);
            ev.Detach();
        });
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
    }
    ~WindowThread()
    {
        PostThreadMessageA(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }
    com_disp_evt::SyncEvent ev;

private:
    std::thread m_thread;
    DWORD m_id = 0;
};

struct Sink {
    std::atomic<long> hits{0};
    HRESULT Hit(long) { ++hits; return S_OK; }
};

// A trivial automation object living in a single-threaded apartment.
class Trivial : public IDispatch {
public:
    virtual ~Trivial() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch)
            return E_NOINTERFACE;
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG n = --m_refs;
        if (!n)
            delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override
    {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        ++hits;
        return S_OK;
    }
    std::atomic<long> hits{0};

private:
    std::atomic<ULONG> m_refs{1};
};

// COM's own path: the object lives in an STA thread and is reached from the
// calling thread (in the MTA) through the global interface table.
class ComPath {
public:
    ComPath()
    {
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_sta = std::thread([this, ready] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
            m_staId = GetCurrentThreadId();
            IGlobalInterfaceTable* git = nullptr;
            Trivial* obj = new Trivial;
            if (SUCCEEDED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git))))
                git->RegisterInterfaceInGlobal(obj, IID_IDispatch, &m_cookie);
            obj->Release();
            SetEvent(ready);
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                DispatchMessageA(&msg);
            if (git) {
                if (m_cookie)
                    git->RevokeInterfaceFromGlobal(m_cookie);
                git->Release();
            }
            CoUninitialize();
        });
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
        IGlobalInterfaceTable* git = nullptr;
        if (m_cookie &&
            SUCCEEDED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git)))) {
            git->GetInterfaceFromGlobal(m_cookie, IID_IDispatch, reinterpret_cast<void**>(&m_proxy));
            git->Release();
        }
        VariantInit(&m_arg);
        m_arg.vt = VT_I4;
        m_arg.lVal = 1;
    }
    ~ComPath()
    {
        if (m_proxy)
            m_proxy->Release();
        PostThreadMessageA(m_staId, WM_QUIT, 0, 0);
        m_sta.join();
    }
    bool Ready() const { return m_proxy != nullptr; }
    void RoundTrip()
    {
        DISPPARAMS params = {&m_arg, nullptr, 1, 0};
        m_proxy->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }

private:
    std::thread m_sta;
    DWORD m_staId = 0;
    DWORD m_cookie = 0;
    IDispatch* m_proxy = nullptr;
    VARIANT m_arg;
};

// Calls per second through one SyncEvent with the given number of raisers.
double Throughput(int raisers, int totalCalls, long& lost)
{
    WindowThread host;
    Sink sink;
    std::vector<std::thread> threads;
    const int each = totalCalls / raisers;
    std::atomic<int> failed{0};
    const double t0 = NowUs();
    for (int r = 0; r < raisers; ++r)
        threads.emplace_back([&] {
            long arg = 0;
            for (int i = 0; i < each; ++i)
                if (!com_disp_evt::sync_call(host.ev, &sink, &Sink::Hit, arg))
                    ++failed;
        });
    for (auto& t : threads)
        t.join();
    const double seconds = (NowUs() - t0) / 1e6;
    lost += each * raisers - sink.hits.load();
    return each * raisers / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    const char* where = argc > 1 ? argv[1] : "wine32";
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    constexpr int kRounds = 6;

    // P1: the three paths measured in turn, one round trip each, from this
    // thread, so a change in the machine's load falls on all of them alike.
    std::vector<double> floorSamples, oursSamples, comSamples;
    {
        PingPong floor;
        WindowThread host;
        ComPath com;
        Sink sink;
        long arg = 1;
        auto time = [](std::vector<double>& to, bool keep, const std::function<void()>& op) {
            const double t0 = NowUs();
            op();
            const double t1 = NowUs();
            if (keep)
                to.push_back(t1 - t0);
        };
        for (int i = 0; i < kWarmup + kRounds * kSamples; ++i) {
            const bool keep = i >= kWarmup;
            time(floorSamples, keep, [&] { floor.RoundTrip(); });
            time(oursSamples, keep, [&] { com_disp_evt::sync_call(host.ev, &sink, &Sink::Hit, arg); });
            if (com.Ready())
                time(comSamples, keep, [&] { com.RoundTrip(); });
        }
    }
    const double floorUs = Median(floorSamples), oursUs = Median(oursSamples);
    const double comUs = comSamples.empty() ? 0.0 : Median(comSamples);
    std::printf("BENCH P1 event-roundtrip ratio=%.2f (%s: median round trip %.1f us, floor two-event ping-pong "
                "%.1f us, COM cross-apartment IDispatch::Invoke %.1f us, ours/COM=%.2f, %zu samples each)\n",
                oursUs / floorUs, where, oursUs, floorUs, comUs, comUs > 0 ? oursUs / comUs : 0.0,
                oursSamples.size());

    // P2: alternating runs with 1 and 4 raisers; the median rate of each.
    long lost = 0;
    constexpr int kCalls = 4000;
    std::vector<double> one, four;
    for (int round = 0; round < kRounds; ++round) {
        one.push_back(Throughput(1, kCalls, lost));
        four.push_back(Throughput(4, kCalls, lost));
    }
    const double oneRate = Median(one), fourRate = Median(four);
    std::printf("BENCH P2 event-throughput ratio=%.2f (%s: 4 raisers %.0f calls/s, 1 raiser %.0f calls/s, "
                "median of %d runs of %d calls, lost %ld)\n",
                fourRate / oneRate, where, fourRate, oneRate, kRounds, kCalls, lost);
    std::fflush(stdout);
    CoUninitialize();
    return lost == 0 ? 0 : 1;
}
