// The phone object's life with its adapters and events: Stop or the last
// Release from an event handler, reports queued while stopping, the event
// target among several objects, and callbacks on their way to a released one.
#include "phone/KexPhone.h"

#include "module/Module.h"
#include "tests/phone/phone_events_fixture.h"

#include <functional>
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
            } else {
                EXPECT_EQ(S_OK, phone->Stop());
                phone->get_IsStarted(&startedInEvent);
            }
            uninitializedInEvent = rec.State().unInitializeCalls;
            // Returning now would run the adapters' "execute" and the
            // manager's loop after their unload.
            if (uninitializedInEvent != 0)
                FailAndExit(std::string(c.what) + " in the handler unloaded the adapters while \"execute\" ran");
        };
        RecReport key = {3, 5, 0, nullptr};
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
        if (!c.release) {
            EXPECT_EQ(VARIANT_FALSE, startedInEvent);
        }
        ExpectGoneOrStartsAgain(c.release, locks);
    }
}

// The usual case: a report raised on the adapter's own thread, whose
// "UnInitialize" joins that thread. Stop or the last Release from the handler
// must not wait for that join: the object is stopped at once, the report's
// callback returns without handing over anything more (the digit key's
// OnAction, a later report), and the adapters go after the handler returned.
TEST_F(PhoneEventsTest, StopOrReleaseFromAnEventRaisedOnAnAdapterThread)
{
    const struct {
        const char* what;
        bool release;
        std::vector<RecReport> reports;
    } cases[] = {
        {"Stop on a plug-out, a key press after it", false, {{17, 0, 0, nullptr}, {3, 5, 0, nullptr}}},
        {"last Release on a plug-out, a key press after it", true, {{17, 0, 0, nullptr}, {3, 5, 0, nullptr}}},
        {"Stop on a digit key's OnKey", false, {{3, 5, 0, nullptr}}},
        {"last Release on a digit key's OnKey", true, {{3, 5, 0, nullptr}}},
    };
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
            Raise(c.reports);
        }
        sink.during = nullptr;
        EXPECT_EQ(1u, sink.events.size()) << Describe(sink.events);
        EXPECT_EQ(0, uninitializedInEvent) << "unloaded inside the handler";
        RecState s = rec.State();
        EXPECT_EQ(1, s.unInitializeCalls);
        EXPECT_EQ(0, s.unInitializeNested);
        EXPECT_EQ(0, s.executeCalls);
        EXPECT_EQ(static_cast<int32_t>(c.reports.size()), s.raised);
        if (!c.release) {
            EXPECT_EQ(VARIANT_FALSE, startedInEvent);
            EXPECT_EQ(E_FAIL, readyInEvent);
        }
        ExpectGoneOrStartsAgain(c.release, locks);
    }
}

// An adapter that dispatches messages while "UnInitialize" joins its thread
// reaches a report queued before Stop. Nothing may then reach that adapter:
// no event of any kind, no command from a handler, no second "UnInitialize".
TEST_F(PhoneEventsTest, AReportQueuedWhenStopBeginsReachesNothing)
{
    const struct {
        const char* what;
        RecReport report;
    } cases[] = {
        {"plug state (OnStateChange)", {17, 1, 0, nullptr}},
        {"digit key (OnKey, OnAction)", {3, 5, 0, nullptr}},
        {"pick-up key (OnAction)", {1, 0, 0, nullptr}},
    };
    ASSERT_EQ(S_OK, Subscribe());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        ASSERT_EQ(S_OK, phone->Start());
        rec.setPumpOnJoin(1);
        sink.events.clear();
        sink.during = [&] {
            phone->Ready();
            phone->Stop();
        };
        ASSERT_EQ(0, rec.raise(&c.report, 1));
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
}

// A stopped object fires nothing, whichever event reaches it: a report that
// passed the device callback before Stop still arrives afterwards.
TEST_F(PhoneEventsTest, EveryFireFunctionOfAStoppedObjectFiresNothing)
{
    const struct {
        const char* what;
        std::function<HRESULT(KexUsbPhone*)> fire;
    } cases[] = {
        {"OnStateChange", [](KexUsbPhone* p) { return p->Fire_OnStateChange(KEX_USBPHONE_EVENT_PLUGIN, 0, -1); }},
        {"OnKey", [](KexUsbPhone* p) { return p->Fire_OnKey(KEX_USBPHONE_KEYVALUE_5); }},
        {"OnAction", [](KexUsbPhone* p) { return p->Fire_OnAction(KEX_USBPHONE_CHARVALUE_PICKUP); }},
    };
    ASSERT_EQ(S_OK, Subscribe());
    KexUsbPhone* object = static_cast<KexUsbPhone*>(phone.get());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sink.events.clear();
        ASSERT_EQ(S_OK, phone->Start());
        EXPECT_EQ(S_OK, c.fire(object));
        EXPECT_EQ(1u, sink.events.size()) << "started: " << Describe(sink.events);
        ASSERT_EQ(S_OK, phone->Stop());
        EXPECT_EQ(S_OK, c.fire(object));
        EXPECT_EQ(1u, sink.events.size()) << "stopped: " << Describe(sink.events);
    }
}

// Start waits for every manager of the process that is still to be unloaded,
// whichever object it belonged to: adapters may be shared, and none may be
// initialized again before its "UnInitialize". Here the handler of a report
// from the newer object's adapter thread stops that object, and in the
// second row also the older one, from inside the older one's "execute".
TEST_F(PhoneEventsTest, StartIsRefusedWhileAnUnloadIsPending)
{
    const struct {
        const char* what;
        bool stopOlder;
    } cases[] = {
        {"one pending: the target's manager", false},
        {"two pending: the target's and the older object's", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        rec2.reset();
        IKexPhone* older = phone.get();
        if (c.stopOlder) {
            UseAdapters({"Alpha"});
            ASSERT_EQ(S_OK, older->Start());
        }
        com_ptr<IKexPhone> target; // the newest object: the one that receives the events
        ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, target.put_void()));
        UseAdapters({"Beta"});
        ASSERT_EQ(S_OK, target->Start());
        test_support::EventSubscription targetEvents;
        ASSERT_EQ(S_OK, targetEvents.Advise(target.get(), DIID_IKexPhoneEvents, &sink));

        HRESULT olderStart = S_OK, targetStart = S_OK;
        const RecReport key = {3, 5, 0, nullptr};
        sink.events.clear();
        sink.during = [&] {
            if (c.stopOlder && sink.events.size() == 1) {
                // The older object's adapter reports inside its "execute":
                // the next event runs nested, with that "execute" on the stack.
                rec.reportOnExecute(KEX_CMD_READY, &key);
                EXPECT_EQ(S_OK, older->Ready());
                rec.reportOnExecute(0, nullptr);
                return;
            }
            if (c.stopOlder) {
                EXPECT_EQ(S_OK, older->Stop());
            }
            EXPECT_EQ(S_OK, target->Stop());
            olderStart = older->Start();
            targetStart = target->Start();
            // A Start that went ahead bound adapters that are still to run
            // "UnInitialize"; unloading them waits for this very handler.
            if (SUCCEEDED(olderStart) || SUCCEEDED(targetStart))
                FailAndExit(std::string("Start went ahead while an unload was pending: older ") +
                            (SUCCEEDED(olderStart) ? "started" : "refused") + ", target " +
                            (SUCCEEDED(targetStart) ? "started" : "refused"));
        };
        {
            Watchdog dog(c.what, 10000);
            ASSERT_EQ(0, rec2.raise(&key, 1));
            ASSERT_TRUE(PumpWhileNot([&] { return rec2.State().unInitializeCalls > 0; }))
                << "the target's adapter was never unloaded (PumpWhileNot)";
        }
        sink.during = nullptr;
        EXPECT_EQ(E_FAIL, olderStart) << "the older object started while an unload was pending";
        EXPECT_EQ(E_FAIL, targetStart) << "the target started again while its unload was pending";
        EXPECT_EQ(1, rec2.State().unInitializeCalls);
        EXPECT_EQ(c.stopOlder ? 1 : 0, rec.State().unInitializeCalls);
        EXPECT_EQ(S_OK, target->Start()) << "starts once the unloads are done";
        EXPECT_EQ(S_OK, target->Stop());
        ASSERT_EQ(S_OK, targetEvents.Unadvise());
    }
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
