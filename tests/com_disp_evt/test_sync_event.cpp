// SyncEvent and the event windows: where calls run, turns between raisers,
// the pick-up limit, and the window's class and attributes. Every case runs
// with address waits and with the event fallback.
#include "com_disp_evt/ProxyWindow.h"
#include "com_disp_evt/ProxyWindowRegistry.h"
#include "com_disp_evt/SyncEvent.h"
#include "com_disp_evt/disp_evt_fun.h"
#include "tests/com_disp_evt/evt_test_support.h"
#include "tests/support/MessagePump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using com_disp_evt::ProxyWindowRegistry;
using com_disp_evt::SyncEvent;
using com_disp_evt::report_scope;
using com_disp_evt::sync_call;
using evt_test::HostHoldUp;
using evt_test::HostThread;
using evt_test::RaiseAndWait;
using evt_test::Raiser;
using evt_test::Signalled;

namespace {

enum TestEvent { TEST_EVENT_ERROR = -1, TEST_EVENT_OUT = 0, TEST_EVENT_IN = 1 };

// Stands in for the phone object: its members record where and with what
// they ran.
struct Target {
    struct Record {
        int what;
        long a, b, c;
        DWORD thread;
    };
    std::mutex mutex;
    std::vector<Record> runs;
    DWORD sleepMs = 0; // a slow sink
    bool throwIt = false;
    kex::unique_handle began{CreateEventA(nullptr, TRUE, FALSE, nullptr)}; // set as a member starts

    HRESULT Three(TestEvent e, long w, long l)
    {
        Begin();
        std::lock_guard<std::mutex> lock(mutex);
        runs.push_back({3, e, w, l, GetCurrentThreadId()});
        return S_OK;
    }
    HRESULT One(long k)
    {
        Begin();
        std::lock_guard<std::mutex> lock(mutex);
        runs.push_back({1, k, 0, 0, GetCurrentThreadId()});
        return S_OK;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return runs.size();
    }

private:
    void Begin()
    {
        SetEvent(began.get());
        if (sleepMs)
            Sleep(sleepMs);
        if (throwIt)
            throw std::runtime_error("sink blew up");
    }
};

DWORD WindowThread()
{
    HWND h = ProxyWindowRegistry::WindowHandle();
    return h ? GetWindowThreadProcessId(h, nullptr) : 0;
}

bool MessagePending(UINT message)
{
    MSG msg;
    return PeekMessageA(&msg, nullptr, message, message, PM_NOREMOVE) != 0;
}

long long MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Waits until n calls are recorded as handed over and not yet taken; the
// count is also what shows a given-up call left behind.
::testing::AssertionResult PendingCallsReach(size_t n)
{
    constexpr DWORD kHandOverMs = 10000; // a hand-over takes a moment
    if (test_support::PumpWhileNot([n] { return ProxyWindowRegistry::PendingCallCount() == n; }, kHandOverMs))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "timed out waiting for the pending-call count to reach " << n
                                         << " (it is " << ProxyWindowRegistry::PendingCallCount() << ")";
}

// What most cases need: a host thread with a SyncEvent attached on it, as a
// phone object's is, a Target for its calls, and a way to hold the host up.
// Members go in reverse order: the SyncEvent first, dropping any call it left
// behind, and only then is the host let go.
struct ObjectOnHost {
    HostThread host;
    HostHoldUp holdUp{host};
    Target t;
    SyncEvent ev;

    ObjectOnHost() { host.Run([this] { EXPECT_TRUE(ev.Attach()); }, "attaching on the host thread"); }
    // As the phone object's final release does, on its own thread.
    void Detach() { host.Run([this] { ev.Detach(); }, "detaching on the host thread"); }
};

// Every test leaves the registry with no users, so the next test's first
// attach makes the window on its own host thread.
// Completion is signalled by address waits where the system has them, else
// by events: every case runs both ways.
class SyncEventTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { SyncEvent::UseAddressWaits(GetParam()); }
    void TearDown() override
    {
        EXPECT_EQ(0u, ProxyWindowRegistry::UserCount());
        SyncEvent::UseAddressWaits(true);
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Completion, SyncEventTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AddressWait" : "Event");
                         });

TEST_P(SyncEventTest, CallOnWindowThreadRunsInlineAndPostsNothing)
{
    HostThread host;
    host.Run([] {
        Target t;
        SyncEvent ev;
        ASSERT_TRUE(ev.Attach());
        ASSERT_EQ(GetCurrentThreadId(), WindowThread());
        char cls[64] = {}, title[64] = {};
        GetClassNameA(ProxyWindowRegistry::WindowHandle(), cls, sizeof cls);
        GetWindowTextA(ProxyWindowRegistry::WindowHandle(), title, sizeof title);
        EXPECT_STREQ("CProxyWindow", cls);
        EXPECT_STREQ("EventProxy_Window", title);
        const HWND w = ProxyWindowRegistry::WindowHandle();
        EXPECT_FALSE(IsWindowVisible(w));
        struct {
            const char* what;
            LONG_PTR got, want;
        } attrs[] = {
            {"class styles", static_cast<LONG_PTR>(GetClassLongPtrA(w, GCL_STYLE)),
             CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS},
            {"window style", GetWindowLongPtrA(w, GWL_STYLE) & ~static_cast<LONG_PTR>(WS_CLIPSIBLINGS),
             static_cast<LONG_PTR>(static_cast<DWORD>(WS_POPUP))},
            {"extended style", GetWindowLongPtrA(w, GWL_EXSTYLE), WS_EX_TOOLWINDOW},
            {"background", static_cast<LONG_PTR>(GetClassLongPtrA(w, GCLP_HBRBACKGROUND)), COLOR_WINDOW + 1},
        };
        for (const auto& a : attrs)
            EXPECT_EQ(a.want, a.got) << a.what;
        EXPECT_EQ(GetDesktopWindow(), GetAncestor(w, GA_PARENT));

        long key = 7;
        EXPECT_TRUE(sync_call(ev, &t, &Target::One, key));
        ASSERT_EQ(1u, t.runs.size()); // before Call returned
        EXPECT_EQ(7, t.runs[0].a);
        EXPECT_FALSE(MessagePending(com_disp_evt::WM_COM_EVENT));
        ev.Detach();
    });
}

TEST_P(SyncEventTest, CallsFromOtherThreadsRunOnWindowThreadWithTheirArguments)
{
    ObjectOnHost o;

    struct Row {
        int what;
        long a, b, c;
    } rows[] = {{3, TEST_EVENT_IN, 0, -1}, {3, TEST_EVENT_ERROR, -1, -1}, {1, 5, 0, 0}, {1, -1, 0, 0}, {1, 16, 0, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << row.what << " " << row.a << "," << row.b << "," << row.c);
        const size_t before = o.t.count();
        bool ok = false;
        RaiseAndWait("the call", [&] {
            if (row.what == 3) {
                TestEvent e = static_cast<TestEvent>(row.a);
                long w = row.b, l = row.c;
                ok = sync_call(o.ev, &o.t, &Target::Three, e, w, l);
            } else {
                long k = row.a;
                ok = sync_call(o.ev, &o.t, &Target::One, k);
            }
            // Call returned only after the call had run.
            EXPECT_EQ(before + 1, o.t.count());
        });
        EXPECT_TRUE(ok);
        ASSERT_EQ(before + 1, o.t.count());
        const Target::Record& r = o.t.runs.back();
        EXPECT_EQ(row.what, r.what);
        EXPECT_EQ(row.a, r.a);
        EXPECT_EQ(row.b, r.b);
        EXPECT_EQ(row.c, r.c);
        EXPECT_EQ(o.host.id(), r.thread);
    }
    o.Detach();
}

TEST_P(SyncEventTest, ArgumentsAreReadWhenTheCallRuns)
{
    // The call object keeps the addresses of the raiser's variables.
    ObjectOnHost o;
    RaiseAndWait("the calls", [&] {
        long key = 1;
        com_disp_evt::disp_evt_fun_ptr<long> call;
        call.set_function(member_fun_ptr<long>(&o.t, &Target::One));
        call.set_args(key);
        key = 9;
        EXPECT_TRUE(o.ev.Call(call));
        ASSERT_EQ(1u, o.t.count());
        EXPECT_EQ(9, o.t.runs[0].a);

        // A call object without arguments or without a member runs nothing.
        com_disp_evt::disp_evt_fun_ptr<long> unbound;
        unbound.set_function(member_fun_ptr<long>(&o.t, &Target::One));
        EXPECT_TRUE(o.ev.Call(unbound));
        com_disp_evt::disp_evt_fun_ptr<long> empty;
        empty.set_args(key);
        EXPECT_TRUE(o.ev.Call(empty));
    });
    EXPECT_EQ(1u, o.t.count());
    o.Detach();
}

TEST_P(SyncEventTest, EachAttachingThreadGetsItsOwnCallsEvenAfterTheOtherEnds)
{
    auto first = std::make_unique<HostThread>();
    HostThread second;
    const DWORD firstId = first->id();
    Target t;
    SyncEvent a, b;
    HWND windowA = nullptr, windowB = nullptr;
    first->Run([&] {
        EXPECT_TRUE(a.Attach());
        windowA = ProxyWindowRegistry::WindowHandle();
    });
    second.Run([&] {
        EXPECT_TRUE(b.Attach());
        windowB = ProxyWindowRegistry::WindowHandle();
    });
    EXPECT_EQ(2u, ProxyWindowRegistry::UserCount());
    ASSERT_NE(windowA, windowB);
    EXPECT_EQ(firstId, GetWindowThreadProcessId(windowA, nullptr));
    EXPECT_EQ(second.id(), GetWindowThreadProcessId(windowB, nullptr));
    char cls[64] = {}, title[64] = {};
    GetClassNameA(windowB, cls, sizeof cls);
    GetWindowTextA(windowB, title, sizeof title);
    EXPECT_STREQ("CProxyWindow", cls);
    EXPECT_STREQ("EventProxy_Window", title);

    long k = 4;
    RaiseAndWait("a call through each object", [&] {
        EXPECT_TRUE(sync_call(a, &t, &Target::One, k));
        EXPECT_TRUE(sync_call(b, &t, &Target::One, k));
    });
    ASSERT_EQ(2u, t.count());
    EXPECT_EQ(firstId, t.runs[0].thread);
    EXPECT_EQ(second.id(), t.runs[1].thread);
    // Raised on the second object's own thread, it runs there at once.
    second.Run([&] {
        EXPECT_TRUE(sync_call(b, &t, &Target::One, k));
        EXPECT_EQ(3u, t.count());
        EXPECT_FALSE(MessagePending(com_disp_evt::WM_COM_EVENT));
    });
    ASSERT_EQ(3u, t.count());
    EXPECT_EQ(second.id(), t.runs[2].thread);

    // The first thread ends with its object still attached: the second's
    // calls still arrive, on its own thread; the first's give up at once.
    first.reset();
    b.SetPickupLimit(5000);
    a.SetPickupLimit(5000);
    bool okB = false, okA = true;
    RaiseAndWait("the calls after the first thread ended", [&] {
        okB = sync_call(b, &t, &Target::One, k);
        okA = sync_call(a, &t, &Target::One, k);
    });
    EXPECT_TRUE(okB);
    EXPECT_FALSE(okA);
    ASSERT_EQ(4u, t.count());
    EXPECT_EQ(second.id(), t.runs[3].thread);
    EXPECT_EQ(0u, ProxyWindowRegistry::PendingCallCount());

    a.Detach();
    second.Run([&] { b.Detach(); });
}

TEST_P(SyncEventTest, AfterAllDetachANewAttachOnAnotherThreadOwnsANewWindow)
{
    HostThread first, second;
    SyncEvent a, b;
    first.Run([&] { a.Attach(); });
    const HWND old = ProxyWindowRegistry::WindowHandle();
    EXPECT_EQ(first.id(), WindowThread());
    first.Run([&] { a.Detach(); });
    EXPECT_EQ(old, ProxyWindowRegistry::WindowHandle()); // the window stays

    second.Run([&] { b.Attach(); });
    EXPECT_EQ(second.id(), WindowThread());
    EXPECT_NE(old, ProxyWindowRegistry::WindowHandle());
    // The old window is closed by its own thread, not left behind.
    first.Run([&] {
        EXPECT_TRUE(test_support::PumpWhileNot([&] { return !IsWindow(old); }, evt_test::kStuckMs))
            << "timed out waiting for the old window to close on its own thread";
    });

    Target t;
    long k = 2;
    RaiseAndWait("the call", [&] { EXPECT_TRUE(sync_call(b, &t, &Target::One, k)); });
    ASSERT_EQ(1u, t.count());
    EXPECT_EQ(second.id(), t.runs[0].thread);
    second.Run([&] { b.Detach(); });
}

TEST_P(SyncEventTest, WindowThreadGoneMeansCallGivesUpAtOnce)
{
    Target t;
    SyncEvent ev;
    {
        HostThread host;
        host.Run([&] { ev.Attach(); });
    } // the window dies with its thread
    ev.SetPickupLimit(5000);
    long k = 1;
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    RaiseAndWait("the call", [&] { ok = sync_call(ev, &t, &Target::One, k); });
    const long long ms = MsSince(start);
    EXPECT_FALSE(ok);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(0u, t.count());

    // A later attach elsewhere brings a working window back.
    HostThread next;
    SyncEvent other;
    next.Run([&] { other.Attach(); });
    EXPECT_EQ(next.id(), WindowThread());
    RaiseAndWait("the call after the new attach", [&] { EXPECT_TRUE(sync_call(ev, &t, &Target::One, k)); });
    EXPECT_EQ(1u, t.count());
    next.Run([&] {
        other.Detach();
        ev.Detach();
    });
}

TEST_P(SyncEventTest, CallNotPickedUpInTimeNeverRunsAndDoesNotConfuseTheNext)
{
    ObjectOnHost o;
    o.ev.SetPickupLimit(200);

    o.holdUp.Begin(); // the window's thread is busy
    long first = 1;
    const auto start = std::chrono::steady_clock::now();
    bool ok = false;
    RaiseAndWait("the call not picked up", [&] { ok = sync_call(o.ev, &o.t, &Target::One, first); });
    const long long ms = MsSince(start);
    EXPECT_TRUE(ok); // handed over, then withdrawn
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 900);
    // Withdrawn, not merely ignored later: nothing points at the raiser's
    // stack once it has returned (and a call left behind would hold the
    // turn, so the next call could never start).
    ASSERT_EQ(0u, ProxyWindowRegistry::PendingCallCount());

    // The next call is raised while the withdrawn one's message still waits:
    // its own completion, not the late message, must end its Call.
    long second = 2;
    size_t seenAtReturn = 0;
    o.ev.SetPickupLimit(5000);
    {
        Raiser next([&] {
            EXPECT_TRUE(sync_call(o.ev, &o.t, &Target::One, second));
            seenAtReturn = o.t.count();
        });
        EXPECT_TRUE(PendingCallsReach(1));
        o.holdUp.Release();
        EXPECT_TRUE(next.Returned()) << "timed out waiting for the next call to return";
    }
    EXPECT_EQ(1u, seenAtReturn);
    o.host.Run([] {}); // every queued message has been handled
    ASSERT_EQ(1u, o.t.count());
    EXPECT_EQ(2, o.t.runs[0].a);
    o.Detach();
}

// Raisers queued behind each other while the window's thread is blocked:
// each one's limit counts from its own hand-over, not from when its turn
// came, and none of the given-up calls runs once the thread is free again.
TEST_P(SyncEventTest, EveryQueuedRaiserGivesUpAtItsOwnLimit)
{
    ObjectOnHost o;
    o.ev.SetPickupLimit(500);
    o.holdUp.Begin(); // for longer than any limit
    long keys[3] = {1, 2, 3};
    long long took[3] = {};
    {
        std::vector<std::unique_ptr<Raiser>> raisers;
        for (int i = 0; i < 3; ++i) {
            raisers.push_back(std::make_unique<Raiser>([&, i] {
                const auto start = std::chrono::steady_clock::now();
                EXPECT_TRUE(sync_call(o.ev, &o.t, &Target::One, keys[i]));
                took[i] = MsSince(start);
            }));
        }
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(raisers[i]->Returned()) << "timed out waiting for raiser " << i << " to give up";
    }
    ASSERT_EQ(0u, ProxyWindowRegistry::PendingCallCount());
    o.holdUp.Release();
    o.host.Run([] {}); // every queued message has been handled
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        // One limit, with room for a loaded machine; two limits would mean it
        // waited for the turn first.
        EXPECT_LT(took[i], 950);
    }
    EXPECT_EQ(0u, o.t.count()) << "a call given up ran later";
    o.Detach();
}

TEST_P(SyncEventTest, PickupLimitDoesNotCutShortACallThatIsRunning)
{
    ObjectOnHost o;
    o.t.sleepMs = 500;
    o.ev.SetPickupLimit(100);
    long k = 3;
    bool ok = false;
    RaiseAndWait("the slow call", [&] {
        ok = sync_call(o.ev, &o.t, &Target::One, k);
        EXPECT_EQ(1u, o.t.count()); // waited for the end
    });
    EXPECT_TRUE(ok);
    o.Detach();
}

TEST_P(SyncEventTest, ConcurrentRaisersTakeTurns)
{
    // The first call keeps the window busy for a while; the second raiser
    // posts only once the first has finished, so the events keep their order.
    ObjectOnHost o;
    o.t.sleepMs = 400;
    o.ev.SetPickupLimit(5000);
    long a = 1, b = 2;
    {
        Raiser first([&] { EXPECT_TRUE(sync_call(o.ev, &o.t, &Target::One, a)); });
        ASSERT_TRUE(Signalled(o.t.began.get(), "the first call to begin"));
        Raiser second([&] { EXPECT_TRUE(sync_call(o.ev, &o.t, &Target::One, b)); });
        EXPECT_TRUE(first.Returned()) << "timed out waiting for the first raiser to return";
        EXPECT_TRUE(second.Returned()) << "timed out waiting for the second raiser to return";
    }
    ASSERT_EQ(2u, o.t.count());
    EXPECT_EQ(1, o.t.runs[0].a);
    EXPECT_EQ(2, o.t.runs[1].a);
    o.Detach();
}

TEST_P(SyncEventTest, AQueuedCallsLimitCountsFromItsOwnHandOver)
{
    ObjectOnHost o;
    o.ev.SetPickupLimit(200);
    o.holdUp.Begin();
    long a = 1, b = 2;
    long long aMs = 0, bMs = 0;
    const auto start = std::chrono::steady_clock::now();
    {
        Raiser first([&] {
            EXPECT_TRUE(sync_call(o.ev, &o.t, &Target::One, a));
            aMs = MsSince(start);
        });
        ASSERT_TRUE(PendingCallsReach(1)); // the first holds the turn
        Raiser second([&] {
            EXPECT_TRUE(sync_call(o.ev, &o.t, &Target::One, b));
            bMs = MsSince(start);
        });
        EXPECT_TRUE(first.Returned()) << "timed out waiting for the first raiser to give up";
        EXPECT_TRUE(second.Returned()) << "timed out waiting for the second raiser to give up";
    }
    EXPECT_GE(aMs, 190);
    EXPECT_LT(aMs, 650);
    EXPECT_LT(bMs, aMs + 150) << "the second limit started only when the first call was given up";
    ASSERT_EQ(0u, ProxyWindowRegistry::PendingCallCount()) << "both given-up calls were withdrawn";
    o.holdUp.Release();
    o.host.Run([] {});
    EXPECT_EQ(0u, o.t.count()); // neither ran, even once the window was free
    o.ev.SetPickupLimit(5000);
    RaiseAndWait("a call after both gave up", [&] { EXPECT_TRUE(sync_call(o.ev, &o.t, &Target::One, b)); });
    EXPECT_EQ(1u, o.t.count());
    o.Detach();
}

// The calls of one report while the window's thread is held up: each waits
// only for what is left of the report's limit, all are withdrawn, and none
// runs once the thread is free.
TEST_P(SyncEventTest, TheCallsOfAReportShareOneDeadline)
{
    struct Row {
        const char* name;
        DWORD limitMs;    // 0: the limit a SyncEvent starts with
        DWORD begunMsAgo; // when the report began, before its first call
        int calls;
        long long deadlineMs; // when the last call returns, from the first
    } rows[] = {
        {"one call waits its whole limit", 300, 0, 1, 300},
        {"three calls of one report give up together", 400, 0, 3, 400},
        {"calls of a report begun earlier get what is left", 600, 300, 2, 300},
        {"the limit a SyncEvent starts with is fifteen seconds", 0, 14000, 1, 1000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ObjectOnHost o;
        if (row.limitMs)
            o.ev.SetPickupLimit(row.limitMs);
        o.holdUp.Begin();
        int handedOver = 0;
        long long took = 0;
        {
            Raiser reporter([&] {
                report_scope report(row.begunMsAgo);
                const auto start = std::chrono::steady_clock::now();
                for (long k = 0; k < row.calls; ++k)
                    handedOver += sync_call(o.ev, &o.t, &Target::One, k) ? 1 : 0;
                took = MsSince(start);
            });
            ASSERT_TRUE(PendingCallsReach(1)) << "the first call was never recorded as waiting";
            EXPECT_TRUE(reporter.Returned()) << "timed out waiting for the report's calls to give up";
        }
        EXPECT_EQ(row.calls, handedOver);
        EXPECT_GE(took, row.deadlineMs - 100);
        EXPECT_LT(took, row.deadlineMs + 450);
        ASSERT_EQ(0u, ProxyWindowRegistry::PendingCallCount()) << "a given-up call was left behind";
        o.holdUp.Release();
        o.host.Run([] {}); // every queued message has been handled
        EXPECT_EQ(0u, o.t.count()) << "a given-up call ran later";
        o.Detach();
    }
}

namespace {

// Records, in order, when each call begins ("3<") and ends ("3>"). The call
// with the key `pumper` pumps its thread's messages until let go, as a sink
// showing a modal dialog would.
struct Journal {
    std::mutex mutex;
    std::string text;
    long pumper = 0;
    kex::unique_handle pumping{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    kex::unique_handle letGo{CreateEventA(nullptr, TRUE, FALSE, nullptr)};

    HRESULT Hit(long key)
    {
        Add(std::to_string(key) + "<");
        if (key == pumper) {
            SetEvent(pumping.get());
            EXPECT_TRUE(test_support::PumpUntil(letGo.get(), evt_test::kStuckMs))
                << "timed out waiting for the test to let the pumping call go";
        }
        Add(std::to_string(key) + ">");
        return S_OK;
    }
    HRESULT Mark(long)
    {
        Add("mark");
        return S_OK;
    }
    void Add(const std::string& entry)
    {
        std::lock_guard<std::mutex> lock(mutex);
        text += text.empty() ? entry : " " + entry;
    }
};

} // namespace

// One call of a SyncEvent at a time, even when a sink pumps messages: the
// turn goes from call to call and never to two at once. A marker call of
// another SyncEvent is posted while the pumping call runs, behind any message
// already posted: a call posted before its turn runs inside the pumping one,
// ahead of the marker.
TEST_P(SyncEventTest, ACallThatPumpsMessagesStillHoldsTheTurn)
{
    constexpr DWORD kLimitMs = 5000, kGivesUpAfterMs = 300;
    struct Raise {
        long key;
        DWORD begunMsAgo; // kLimitMs - kGivesUpAfterMs: gives up early
        size_t pendingAfter;
    };
    constexpr DWORD kEarly = kLimitMs - kGivesUpAfterMs;
    struct Row {
        const char* name;
        bool hostHeldUp;
        std::vector<Raise> raises; // in this order, each handed over before the next
        long pumper;
        long givesUp; // 0: none
        const char* journal;
    } rows[] = {
        {"a queued call that gives up does not pass the turn on", false,
         {{1, 0, 0}, {2, kEarly, 1}, {3, 0, 2}}, 1, 2, "1< mark 1> 3< 3>"},
        {"a posted call that gives up passes the turn to one queued call", true,
         {{1, kEarly, 1}, {2, 0, 2}, {3, 0, 3}}, 2, 1, "2< mark 2> 3< 3>"},
        {"after calls run back to back the turn goes on to one queued call", true,
         {{1, 0, 1}, {2, 0, 2}, {3, 0, 3}, {4, 0, 4}, {5, 0, 5}, {6, 0, 6}, {7, 0, 7}, {8, 0, 8}, {9, 0, 9},
          {10, 0, 10}, {11, 0, 11}},
         9, 0, "1< 1> 2< 2> 3< 3> 4< 4> 5< 5> 6< 6> 7< 7> 8< 8> 9< mark 9> 10< 10> 11< 11>"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HostThread host;
        HostHoldUp heldUp(host);
        Journal journal;
        journal.pumper = row.pumper;
        SyncEvent ev, marker;
        host.Run([&] {
            ev.Attach();
            marker.Attach();
        });
        ev.SetPickupLimit(kLimitMs);
        if (row.hostHeldUp)
            heldUp.Begin();
        std::vector<std::unique_ptr<Raiser>> raisers;
        struct LetGoAtEnd {
            HANDLE letGo;
            ~LetGoAtEnd() { SetEvent(letGo); } // so the raisers can be joined when a check fails
        } letGoAtEnd{journal.letGo.get()};
        for (const Raise& raise : row.raises) {
            raisers.push_back(std::make_unique<Raiser>([&ev, &journal, raise] {
                report_scope report(raise.begunMsAgo);
                long key = raise.key;
                EXPECT_TRUE(sync_call(ev, &journal, &Journal::Hit, key));
            }));
            if (raise.key == row.pumper && !row.hostHeldUp) {
                ASSERT_TRUE(Signalled(journal.pumping.get(), "the pumping call to begin"));
            } else {
                ASSERT_TRUE(PendingCallsReach(raise.pendingAfter)) << "raising " << raise.key;
            }
        }
        if (row.givesUp) {
            EXPECT_TRUE(raisers[row.givesUp - 1]->Returned()) << "timed out waiting for a raiser to give up";
        }
        heldUp.Release();
        ASSERT_TRUE(Signalled(journal.pumping.get(), "the pumping call to begin"));
        RaiseAndWait("the marker call", [&] {
            long unused = 0;
            EXPECT_TRUE(sync_call(marker, &journal, &Journal::Mark, unused));
        });
        SetEvent(journal.letGo.get());
        for (auto& raiser : raisers)
            EXPECT_TRUE(raiser->Returned()) << "timed out waiting for a raiser to return";
        raisers.clear();
        EXPECT_EQ(row.journal, journal.text);
        EXPECT_EQ(0u, ProxyWindowRegistry::PendingCallCount());
        host.Run([&] {
            ev.Detach();
            marker.Detach();
        });
    }
}

TEST_P(SyncEventTest, TheWindowThreadKeepsServingItsMessageLoopUnderAStreamOfEvents)
{
    ObjectOnHost o;
    o.t.sleepMs = 1; // long enough that another raiser is always queued when a call ends
    std::atomic<bool> stop{false};
    {
        std::vector<std::unique_ptr<Raiser>> raisers;
        for (int i = 0; i < 4; ++i)
            raisers.push_back(std::make_unique<Raiser>([&] {
                long k = 0;
                while (!stop)
                    sync_call(o.ev, &o.t, &Target::One, k);
            }));
        EXPECT_TRUE(test_support::PumpWhileNot([&] { return o.t.count() >= 20; }, evt_test::kStuckMs))
            << "timed out waiting for the stream of events to get going";
        for (int i = 0; i < 5; ++i) {
            const auto start = std::chrono::steady_clock::now();
            o.host.Run([] {});
            EXPECT_LT(MsSince(start), 1000) << "round " << i;
        }
        stop = true;
        for (auto& r : raisers)
            EXPECT_TRUE(r->Returned()) << "timed out waiting for a raiser to stop";
    }
    EXPECT_GT(o.t.count(), 0u);
    o.Detach();
}

TEST_P(SyncEventTest, StressEveryCallRunsOnceInOrderOnTheWindowThread)
{
    constexpr int kThreads = 8, kCalls = 10000;
    constexpr DWORD kStressLimitMs = 180000;
    HostThread host;
    SyncEvent events[2];
    host.Run([&] {
        for (SyncEvent& ev : events)
            ev.Attach();
    });
    struct Counter {
        DWORD host = 0;
        std::atomic<int> wrongThread{0};
        std::vector<int> next = std::vector<int>(kThreads, 0);
        std::atomic<int> outOfOrder{0};
        HRESULT Hit(long code)
        {
            // Runs on the window's thread only, one at a time.
            if (GetCurrentThreadId() != host)
                ++wrongThread;
            const int thread = code / kCalls, seq = code % kCalls;
            if (next[thread] != seq)
                ++outOfOrder;
            next[thread] = seq + 1;
            return S_OK;
        }
    } counter;
    counter.host = host.id();
    std::atomic<int> failed{0};
    {
        std::vector<std::unique_ptr<Raiser>> raisers;
        for (int i = 0; i < kThreads; ++i)
            raisers.push_back(std::make_unique<Raiser>([&, i] {
                for (int n = 0; n < kCalls; ++n) {
                    long code = i * kCalls + n;
                    if (!sync_call(events[i % 2], &counter, &Counter::Hit, code))
                        ++failed;
                }
            }));
        for (int i = 0; i < kThreads; ++i)
            EXPECT_TRUE(raisers[i]->Returned(kStressLimitMs)) << "timed out waiting for raiser " << i << " to finish";
    }
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, counter.wrongThread.load());
    EXPECT_EQ(0, counter.outOfOrder.load());
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(kCalls, counter.next[i]) << "thread " << i;
    host.Run([&] {
        for (SyncEvent& ev : events)
            ev.Detach();
    });
}

TEST_P(SyncEventTest, ExceptionsStopAtTheMarshallingBoundary)
{
    ObjectOnHost o;
    o.t.throwIt = true;
    long k = 1;
    // Inline: Call reports it.
    o.host.Run([&] { EXPECT_FALSE(sync_call(o.ev, &o.t, &Target::One, k)); });
    // On the window's thread: swallowed there; the raiser is still released.
    bool ok = false;
    RaiseAndWait("the throwing call", [&] { ok = sync_call(o.ev, &o.t, &Target::One, k); });
    EXPECT_TRUE(ok);
    // And the window keeps working.
    o.t.throwIt = false;
    RaiseAndWait("the call after it", [&] { EXPECT_TRUE(sync_call(o.ev, &o.t, &Target::One, k)); });
    EXPECT_EQ(1u, o.t.count());
    o.Detach();
}

TEST_P(SyncEventTest, AttachTwiceAndCallWhileDetached)
{
    HostThread host;
    Target t;
    SyncEvent ev;
    long k = 1;
    EXPECT_FALSE(sync_call(ev, &t, &Target::One, k)); // never attached
    host.Run([&] {
        EXPECT_TRUE(ev.Attach());
        EXPECT_FALSE(ev.Attach());
    });
    EXPECT_EQ(1u, ProxyWindowRegistry::UserCount());
    host.Run([&] {
        ev.Detach();
        ev.Detach(); // harmless
    });
    EXPECT_EQ(0u, ProxyWindowRegistry::UserCount());
    RaiseAndWait("the call while detached", [&] { EXPECT_FALSE(sync_call(ev, &t, &Target::One, k)); });
    EXPECT_EQ(0u, t.count());
}

TEST_P(SyncEventTest, DestroyingAnAttachedSyncEventDetachesIt)
{
    HostThread host;
    host.Run([] {
        {
            SyncEvent ev;
            ev.Attach();
            EXPECT_EQ(1u, ProxyWindowRegistry::UserCount());
        }
        EXPECT_EQ(0u, ProxyWindowRegistry::UserCount());
    });
}

TEST(ProxyWindow, RefusedParentFallsBackToAMessageOnlyWindow)
{
    HostThread host;
    host.Run([] {
        HWND h = nullptr;
        {
            com_disp_evt::CProxyWindow window;
            HWND gone = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
            DestroyWindow(gone);
            h = window.Create(gone);
            ASSERT_NE(nullptr, h);
            char title[64] = {};
            GetWindowTextA(h, title, sizeof title);
            EXPECT_STREQ("EventProxy_Window", title);
            EXPECT_NE(GetDesktopWindow(), GetAncestor(h, GA_PARENT));
        }
        EXPECT_FALSE(IsWindow(h)); // the window object takes its window with it
    });
}

TEST(CallObject, CookiesFollowTheObjectAndInvalidateOnce)
{
    com_disp_evt::disp_evt_fun_ptr<long> call;
    EXPECT_TRUE(call.is_valid());
    call.invalidate();
    EXPECT_FALSE(call.is_valid());
}

TEST(CallObject, MemberFunPtrCopiesItsBinding)
{
    Target t;
    member_fun_ptr<long> a(&t, &Target::One);
    member_fun_ptr<long> b(a), c;
    EXPECT_TRUE(b);
    EXPECT_FALSE(c);
    c(1); // empty: nothing
    c = b;
    c = c;
    a(1);
    b(2);
    c(3);
    ASSERT_EQ(3u, t.count());
    EXPECT_EQ(3, t.runs[2].a);
    member_fun_ptr<TestEvent, long, long, void, void, void> three(&t, &Target::Three);
    three(TEST_EVENT_OUT, 1, -1);
    EXPECT_EQ(3, t.runs[3].what);
}

TEST(CallTicket, TravelsWholeInTheMessagesTwoParameters)
{
    const std::uint64_t values[] = {1, 0xFFFFFFFFull, 0x100000000ull, 0xFEDCBA9876543210ull};
    for (std::uint64_t value : values) {
        SCOPED_TRACE(testing::Message() << std::hex << value);
        const com_disp_evt::call_ticket ticket{value};
        EXPECT_EQ(value, com_disp_evt::call_ticket::FromMessage(ticket.wParam(), ticket.lParam()).value);
    }
}
