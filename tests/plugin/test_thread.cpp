// The worker thread: runs, signals, stop requests, exceptions, and a join
// that delivers events and gives a quit request back.
#include "com_disp_evt/ProxyWindow.h"
#include "com_disp_evt/SyncEvent.h"
#include "com_disp_evt/disp_evt_fun.h"
#include "plugin/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace {
class Worker : public Thread {
public:
    std::function<void(Worker&)> body;
    std::atomic<int> runs{0}, exits{0};
    using Thread::IsRunning;

protected:
    void Run() override
    {
        ++runs;
        if (body)
            body(*this);
    }
    void OnExit() override { ++exits; }
};
} // namespace

TEST(WorkerThread, StartRunsOnceUntilFinishedThenStartsAgain)
{
    Worker w;
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w.body = [release](Worker&) { WaitForSingleObject(release, INFINITE); };
    EXPECT_EQ(0u, w.ThreadId());
    EXPECT_TRUE(w.Start());
    const DWORD id = w.ThreadId();
    EXPECT_NE(0u, id);
    EXPECT_TRUE(w.IsRunning());
    EXPECT_TRUE(w.Start()); // running: nothing happens
    EXPECT_EQ(id, w.ThreadId());
    SetEvent(release);
    w.Join();
    EXPECT_EQ(nullptr, w.ThreadHandle());
    EXPECT_EQ(1, w.runs.load());
    EXPECT_EQ(1, w.exits.load());
    EXPECT_TRUE(w.IsFinished());
    EXPECT_FALSE(w.IsRunning());

    EXPECT_TRUE(w.Start());
    w.Join();
    EXPECT_EQ(2, w.runs.load());
    CloseHandle(release);
}

TEST(WorkerThread, StartJoinsAFinishedRunBeforeStartingAnother)
{
    Worker w;
    w.Start();
    while (!w.IsFinished())
        Sleep(1);
    EXPECT_NE(nullptr, w.ThreadHandle());
    EXPECT_TRUE(w.Start());
    w.Join();
    EXPECT_EQ(2, w.runs.load());
    EXPECT_FALSE(w.IsStopRequested());
}

TEST(WorkerThread, SignalsCountAndWaitSignalConsumes)
{
    Worker w;
    EXPECT_FALSE(w.WaitSignal(0));
    w.Signal();
    w.Signal();
    EXPECT_TRUE(w.HasSignals());
    EXPECT_TRUE(w.WaitSignal(0));
    EXPECT_FALSE(w.HasSignals());
    EXPECT_TRUE(w.WaitSignal(0)); // the second one is still there
    EXPECT_FALSE(w.WaitSignal(10));
}

TEST(WorkerThread, RequestStopWakesAWaitingWorker)
{
    Worker w;
    std::atomic<int> wakeups{0};
    w.body = [&](Worker& self) {
        while (!self.IsStopRequested())
            if (self.WaitSignal(INFINITE))
                ++wakeups;
    };
    w.Start();
    w.Signal();
    while (wakeups.load() == 0)
        Sleep(1);
    w.RequestStop(); // the worker is asleep in WaitSignal again, or about to be
    EXPECT_TRUE(w.IsStopRequested());
    w.Join();
    EXPECT_GE(wakeups.load(), 1);
    EXPECT_EQ(1, w.exits.load());
}

TEST(WorkerThread, AnExceptionFromRunIsDroppedAndOnExitStillRuns)
{
    Worker w;
    w.body = [](Worker&) { throw 7; };
    w.Start();
    w.Join();
    EXPECT_TRUE(w.IsFinished());
    EXPECT_TRUE(w.IsRunning()); // the run did not end normally
    EXPECT_EQ(1, w.exits.load());
}

namespace {
struct Counter {
    std::atomic<int> hits{0};
    DWORD thread = 0;
    HRESULT Hit(long)
    {
        ++hits;
        thread = GetCurrentThreadId();
        return S_OK;
    }
};
} // namespace

TEST(WorkerThread, JoinRunsTheWorkersSynchronousEventsMeanwhile)
{
    // This thread owns the event window and pumps nothing but Join.
    com_disp_evt::SyncEvent ev;
    ASSERT_TRUE(ev.Attach());
    Counter counter;
    Worker w;
    w.body = [&](Worker&) {
        for (long n = 0; n < 20; ++n)
            com_disp_evt::sync_call(ev, &counter, &Counter::Hit, n);
    };
    w.Start();
    w.Join();
    EXPECT_EQ(nullptr, w.ThreadHandle());
    EXPECT_EQ(20, counter.hits.load());
    EXPECT_EQ(GetCurrentThreadId(), counter.thread);
    ev.Detach();
}

TEST(WorkerThread, JoinGivesAQuitRequestBackToTheCaller)
{
    Worker w;
    w.body = [](Worker&) { Sleep(50); };
    w.Start();
    PostQuitMessage(3);
    w.Join();
    EXPECT_EQ(nullptr, w.ThreadHandle());
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(3u, msg.wParam);
}

// A quit request while the worker keeps running: Join gives up once 20000 ms
// of waiting have been counted, leaves the handle open, and a later Join
// after the worker stopped completes. (Takes 20 s or more.)
TEST(WorkerThread, JoinInterruptedByQuitGivesUpAfterTheLimit)
{
    Worker w;
    w.body = [](Worker& self) {
        while (!self.IsStopRequested())
            self.WaitSignal(50);
    };
    w.Start();
    PostQuitMessage(4);
    const DWORD started = GetTickCount();
    w.Join();
    EXPECT_GE(GetTickCount() - started, 20000u) << "gave up before the limit";
    EXPECT_NE(nullptr, w.ThreadHandle()) << "the handle of a running worker was closed";
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(4u, msg.wParam);
    w.RequestStop();
    w.Join();
    EXPECT_EQ(nullptr, w.ThreadHandle());
    EXPECT_EQ(1, w.exits.load());
}

TEST(WorkerThread, DestructorStopsAndJoins)
{
    // A derived class whose Run uses its own members stops in its own
    // destructor; the base's destructor covers the rest.
    struct Waiter : Worker {
        ~Waiter() override
        {
            RequestStop();
            Join();
        }
    };
    std::atomic<bool> stopped{false};
    {
        Waiter w;
        w.body = [&](Worker& self) {
            while (!self.IsStopRequested())
                self.WaitSignal(1000);
            stopped = true;
        };
        w.Start();
    }
    EXPECT_TRUE(stopped.load());
    {
        Thread plain;
        plain.Start();
    } // joined and closed by the base destructor
}

TEST(WorkerThread, MicrosecondClockAdvances)
{
    const auto a = Thread::NowMicroseconds();
    Thread::SleepMs(20);
    const auto b = Thread::NowMicroseconds();
    EXPECT_GE(b - a, 15000);
    EXPECT_LT(b - a, 2000000);
}
