// The phone object's life with its adapters and events: Stop or the last
// Release from an event handler, reports queued while stopping, the event
// target among several objects, and callbacks on their way to a released one.
#include "phone/KexPhone.h"

#include "module/Module.h"
#include "tests/phone/phone_events_fixture.h"

#include <thread>

using namespace phone_test;
using kex::com_ptr;
using kex::unique_bstr;

namespace {

// A sink may stop or release the object from an event that an adapter raised
// inside "execute": the broadcast still reaches every adapter, and only then
// are the adapters unloaded (never while one of them is on the stack).
TEST_F(PhoneEventsTest, StopOrReleaseFromAnEventRaisedInsideExecute)
{
    const struct {
        const char* what;
        bool release; // drop the last reference instead of calling Stop
    } cases[] = {{"Stop", false}, {"last Release", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!phone) {
            ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
        }
        UseAdapters({"Alpha", "Beta"});
        rec.reset();
        rec2.reset();
        ASSERT_EQ(S_OK, phone->Start());
        ASSERT_EQ(S_OK, Subscribe());
        events.LeaveConnected(); // the object lets the sink go when it goes
        const long locks = g_module.GetLockCount();
        VARIANT_BOOL startedInEvent = VARIANT_TRUE;
        int uninitializedInEvent = -1;
        sink.events.clear();
        bool fired = false;
        sink.during = [&] {
            if (fired)
                return;
            fired = true;
            if (c.release) {
                phone.reset();
                uninitializedInEvent = rec.State().unInitializeCalls;
                return;
            }
            EXPECT_EQ(S_OK, phone->Stop());
            phone->get_IsStarted(&startedInEvent);
            uninitializedInEvent = rec.State().unInitializeCalls;
        };
        RecReport key = {3, 5, 0};
        rec.reportOnExecute(KEX_CMD_READY, &key);
        IKexPhone* raw = phone.get();
        EXPECT_EQ(S_OK, raw->Ready());
        rec.reportOnExecute(0, nullptr);
        sink.during = nullptr;

        EXPECT_TRUE(fired);
        EXPECT_EQ(0, uninitializedInEvent) << "unloaded while its execute was running";
        EXPECT_EQ(1, rec2.State().executeCalls) << "the broadcast stopped half way";
        EXPECT_EQ(1, rec.State().unInitializeCalls);
        EXPECT_EQ(1, rec2.State().unInitializeCalls);
        if (c.release) {
            EXPECT_FALSE(phone);
            EXPECT_EQ(locks - 1, g_module.GetLockCount()) << "object not destroyed";
        } else {
            EXPECT_EQ(VARIANT_FALSE, startedInEvent);
            VARIANT_BOOL started = VARIANT_TRUE;
            EXPECT_EQ(S_OK, phone->get_IsStarted(&started));
            EXPECT_EQ(VARIANT_FALSE, started);
            EXPECT_EQ(S_OK, phone->Start()) << "starts again after the deferred unload";
            EXPECT_EQ(S_OK, phone->Stop());
            phone.reset();
        }
    }
}

// The usual case: a report raised on the adapter's own thread, whose
// "UnInitialize" joins that thread. Stop or the last Release from the handler
// must not wait for that join: the object is stopped at once, the report's
// callback returns, and the adapters go after the handler has returned.
TEST_F(PhoneEventsTest, StopOrReleaseFromAnEventRaisedOnAnAdapterThread)
{
    const struct {
        const char* what;
        bool release;
    } cases[] = {{"Stop", false}, {"last Release", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!phone) {
            ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
        }
        rec.reset();
        ASSERT_EQ(S_OK, phone->Start());
        ASSERT_EQ(S_OK, Subscribe());
        events.LeaveConnected(); // the object lets the sink go when it goes
        const long locks = g_module.GetLockCount();
        sink.events.clear();
        VARIANT_BOOL startedInEvent = VARIANT_TRUE;
        HRESULT readyInEvent = S_OK;
        int uninitializedInEvent = -1;
        sink.during = [&] {
            if (c.release) {
                phone.reset();
            } else {
                EXPECT_EQ(S_OK, phone->Stop());
                phone->get_IsStarted(&startedInEvent);
                readyInEvent = phone->Ready();
            }
            uninitializedInEvent = rec.State().unInitializeCalls;
        };
        {
            Watchdog dog(c.what, 10000);
            // The key press after the plug-out reaches a stopped object.
            Raise({{17, 0, 0}, {3, 5, 0}});
        }
        sink.during = nullptr;
        EXPECT_EQ(1u, sink.events.size()) << Describe(sink.events);
        EXPECT_EQ(0, uninitializedInEvent) << "unloaded inside the handler";
        RecState s = rec.State();
        EXPECT_EQ(1, s.unInitializeCalls);
        EXPECT_EQ(0, s.unInitializeNested);
        EXPECT_EQ(0, s.executeCalls);
        EXPECT_EQ(2, s.raised);
        if (c.release) {
            EXPECT_EQ(locks - 1, g_module.GetLockCount()) << "object not destroyed";
        } else {
            EXPECT_EQ(VARIANT_FALSE, startedInEvent);
            EXPECT_EQ(E_FAIL, readyInEvent);
            EXPECT_EQ(S_OK, phone->Start()) << "starts again after the deferred unload";
            EXPECT_EQ(S_OK, phone->Stop());
            phone.reset();
        }
    }
}

// An adapter that dispatches messages while "UnInitialize" joins its thread
// reaches a report queued before Stop. Nothing may then reach that adapter:
// no event, no command from a handler, no second "UnInitialize".
TEST_F(PhoneEventsTest, AReportQueuedWhenStopBeginsReachesNothing)
{
    ASSERT_EQ(S_OK, phone->Start());
    ASSERT_EQ(S_OK, Subscribe());
    rec.setPumpOnJoin(1);
    sink.during = [&] {
        phone->Ready();
        phone->Stop();
    };
    RecReport key = {3, 5, 0};
    ASSERT_EQ(0, rec.raise(&key, 1));
    // Stop only once the report is queued for this thread: otherwise this
    // test would not test its case.
    ASSERT_TRUE(test_support::WaitForQueuedMessage()) << "the report was never queued (WaitForQueuedMessage)";
    {
        Watchdog dog("Stop with a report queued", 10000);
        EXPECT_EQ(S_OK, phone->Stop());
    }
    sink.during = nullptr;
    EXPECT_TRUE(sink.events.empty()) << Describe(sink.events);
    RecState s = rec.State();
    EXPECT_EQ(0, s.executeInUnInitialize);
    EXPECT_EQ(0, s.unInitializeNested);
    EXPECT_EQ(1, s.unInitializeCalls);
    EXPECT_EQ(1, rec.wait(0));
}

// The shipped virtual handset joins its scenario thread in "UnInitialize",
// and a host stops when the handset is unplugged.
TEST_F(PhoneEventsTest, TheVirtualHandsetStoppedFromItsPlugOutEvent)
{
    m_dir.Copy(ExeDirectory() + "virtual_handset.dll", "virtual_handset.dll");
    m_dir.Write("virtual_handset.ini", "[Handset]\r\nScenario=unplug.scenario\r\nControlPipe=\r\nConsole=0\r\n");
    m_dir.Write("unplug.scenario", "plug in\nplug out\nplug in\n");
    m_dir.Write("USBPhone.ini", "[AdapterList]\r\nHandset=virtual_handset.dll\r\n");
    ASSERT_EQ(S_OK, Subscribe());
    sink.during = [&] {
        if (sink.events.back().args.at(0) == KEX_USBPHONE_EVENT_PLUGOUT) {
            EXPECT_EQ(S_OK, phone->Stop());
        }
    };
    {
        Watchdog dog("Stop from the virtual handset's plug-out", 10000);
        ASSERT_EQ(S_OK, phone->Start());
        ASSERT_TRUE(PumpWhileNot([&] { return GetModuleHandleA("virtual_handset.dll") == nullptr; }))
            << Describe(sink.events);
    }
    sink.during = nullptr;
    ASSERT_EQ(2u, sink.events.size()) << Describe(sink.events);
    EXPECT_EQ(KEX_USBPHONE_EVENT_PLUGOUT, sink.events[1].args.at(0));
}

// ---- lifetime: no callback may reach a destroyed object ---------------------

// The newest object receives the events; when it goes, the newest of those
// still alive takes them again, so a short-lived second object never
// silences the first.
TEST_F(PhoneTest, TheNewestLiveObjectReceivesEvents)
{
    KexUsbPhone* first = g_pPhone;
    ASSERT_NE(first, nullptr);
    com_ptr<IKexPhone> second;
    ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, second.put_void()));
    KexUsbPhone* secondTarget = g_pPhone;
    EXPECT_NE(secondTarget, first);
    com_ptr<IKexPhone> third;
    ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, third.put_void()));
    KexUsbPhone* thirdTarget = g_pPhone;

    second.reset(); // not the target: the target stays
    EXPECT_EQ(thirdTarget, g_pPhone);
    third.reset(); // the target: back to the newest one alive
    EXPECT_EQ(first, g_pPhone);
    phone.reset();
    EXPECT_EQ(nullptr, g_pPhone);
    EXPECT_EQ(0, ComUSBPhoneCallBack(3, 5, 0)); // dropped, nothing to reach
}

TEST_F(PhoneTest, ReleasingAStartedObjectStopsItsAdapters)
{
    ASSERT_EQ(S_OK, phone->Start());
    phone.reset();
    RecState s = rec.State();
    EXPECT_EQ(1, s.unInitializeCalls);
    EXPECT_EQ(nullptr, g_pPhone);
    // The adapter keeps the callback it was given: calling it is harmless.
    ASSERT_NE(s.callback, nullptr);
    EXPECT_EQ(0, s.callback(1, 0, 0));
}

TEST_F(PhoneTest, ObjectReleasedWhileACallbackIsOnItsWay)
{
    const long before = g_module.GetLockCount();
    StubSink sink{DIID_IKexPhoneEvents};
    {
        test_support::EventSubscription events;
        ASSERT_EQ(S_OK, events.Advise(phone.get(), DIID_IKexPhoneEvents, &sink));
        events.LeaveConnected(); // the object lets the sink go when it goes
    }

    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread t([&] {
        ComUSBPhoneCallBack(3, 5, 0);
        SetEvent(done);
    });
    // Let the object go only once the event is queued for this thread:
    // otherwise this test would not test its case.
    const bool queued = test_support::WaitForQueuedMessage();
    phone.reset();
    EXPECT_EQ(nullptr, g_pPhone);
    EXPECT_TRUE(PumpUntil(done)) << "the callback did not return (PumpUntil)";
    t.join();
    CloseHandle(done);
    EXPECT_TRUE(queued) << "the event was never queued (WaitForQueuedMessage)";
    EXPECT_TRUE(sink.events.empty()) << Describe(sink.events);
    EXPECT_EQ(1, sink.refs()); // released at the object's final release
    EXPECT_EQ(before - 1, g_module.GetLockCount());
}

} // namespace
