// The phone object with a sink on its event point, for the tests of device
// reports: raising reports from the recording adapter's thread and checking
// what the sink saw.
#pragma once

#include "module/Module.h"
#include "tests/phone/phone_object_fixture.h"

namespace phone_test {

// A device report and the events it must fire, in order: DISPID and arguments.
struct EventCase {
    const char* what;
    uint32_t msg, w;
    int32_t l;
    std::vector<std::pair<DISPID, std::vector<long>>> expected;
};

class PhoneEventsTest : public PhoneTest {
protected:
    void TearDown() override
    {
        events.Unadvise(); // the point holds the object
        PhoneTest::TearDown();
    }

    // Connects the fixture's sink to the object's events.
    HRESULT Subscribe() { return events.Advise(phone.get(), DIID_IKexPhoneEvents, &sink); }

    // Raises the reports from the recording adapter's own thread and pumps
    // this thread's messages until it is done.
    void Raise(const std::vector<RecReport>& reports)
    {
        ASSERT_EQ(0, rec.raise(reports.data(), static_cast<int32_t>(reports.size())));
        ASSERT_TRUE(PumpWhileNot([&] { return rec.wait(0) >= 0; })) << "adapter thread did not finish";
    }

    void Check(const StubSink& sink, const EventCase& c, int copies)
    {
        std::vector<SeenEvent> want;
        for (const auto& e : c.expected)
            for (int i = 0; i < copies; ++i)
                want.push_back({e.first, e.second, true, DISPATCH_METHOD, 0, GetCurrentThreadId()});
        ASSERT_EQ(want.size(), sink.events.size()) << Describe(sink.events);
        for (size_t i = 0; i < want.size(); ++i) {
            const SeenEvent& got = sink.events[i];
            EXPECT_EQ(want[i].id, got.id) << i;
            EXPECT_EQ(want[i].args, got.args) << i;
            EXPECT_TRUE(got.allI4) << i;
            EXPECT_EQ(DISPATCH_METHOD, got.flags) << i;
            EXPECT_EQ(0u, got.named) << i;
            EXPECT_EQ(GetCurrentThreadId(), got.thread) << "not on the object's thread, event " << i;
        }
    }

    // After Stop or the last Release from a handler, once the handler has
    // returned: a released object is gone (one module lock fewer than
    // `locks`); a stopped one reads as stopped, and starts again now that its
    // adapters were unloaded. Either way the fixture's object is gone after.
    void ExpectGoneOrStartsAgain(bool released, long locks)
    {
        if (released) {
            EXPECT_FALSE(phone);
            EXPECT_EQ(locks - 1, g_module.GetLockCount()) << "object not destroyed";
            return;
        }
        VARIANT_BOOL started = VARIANT_TRUE;
        EXPECT_EQ(S_OK, phone->get_IsStarted(&started));
        EXPECT_EQ(VARIANT_FALSE, started);
        EXPECT_EQ(S_OK, phone->Start()) << "starts again after the deferred unload";
        EXPECT_EQ(S_OK, phone->Stop());
        phone.reset();
    }

    StubSink sink{DIID_IKexPhoneEvents}; // outlives the object, which releases it at the end
    test_support::EventSubscription events;
};

} // namespace phone_test
