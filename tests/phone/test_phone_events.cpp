// Device reports to events: every message of the translation table from an
// adapter's thread and from inside "execute", several and failing sinks, and
// the callback with no phone object.
#include "phone/KexPhone.h"

#include "tests/phone/phone_events_fixture.h"

#include <thread>

using namespace phone_test;

namespace {

std::vector<EventCase> EventCases()
{
    std::vector<EventCase> cases;
    const char* names[] = {"pick-up", "hang-up", "", "call", "address book", "clear", "history up", "history down",
                           "book up", "book down", "mute", "hold", "redial", "call book number", "history ex",
                           "hands-free"};
    for (uint32_t m = 1; m <= 16; ++m)
        if (m != 3)
            cases.push_back({names[m - 1], m, 77, -5, {{3, {static_cast<long>(m)}}}});
    for (uint32_t key : {1u, 5u, 9u, 10u, 11u, 12u})
        cases.push_back({"digit", 3, key, 0, {{2, {static_cast<long>(key)}}, {3, {3}}}});
    for (uint32_t key : {0u, 13u, 0xFFFFFFFFu})
        cases.push_back({"digit out of range", 3, key, 0, {{2, {-1}}, {3, {3}}}});
    cases.push_back({"plug in", 17, 1, 0, {{1, {1, 0, -1}}}});
    cases.push_back({"plug in, detail 1", 17, 1, 1, {{1, {1, 1, -1}}}});
    cases.push_back({"plug out, detail 7", 17, 0, 7, {{1, {0, -1, -1}}}});
    cases.push_back({"plug out, detail -1", 17, 0, -1, {{1, {0, -1, -1}}}});
    cases.push_back({"plug state 5", 17, 5, 0, {{1, {-1, 0, -1}}}});
    cases.push_back({"plug state 2^32-1", 17, 0xFFFFFFFFu, 2, {{1, {-1, -1, -1}}}});
    cases.push_back({"message 0", 0, 1, 1, {}});
    cases.push_back({"message 18", 18, 1, 1, {}});
    cases.push_back({"message 2^32-1", 0xFFFFFFFFu, 1, 1, {}});
    return cases;
}

TEST_F(PhoneEventsTest, EveryMessageFromAnAdapterThreadReachesTheSinkOnTheHostThread)
{
    ASSERT_EQ(S_OK, phone->Start());
    ASSERT_EQ(S_OK, Subscribe());
    for (const EventCase& c : EventCases()) {
        SCOPED_TRACE(testing::Message() << c.what << " msg " << c.msg << " w " << c.w << " l " << c.l);
        sink.events.clear();
        const int32_t raisedBefore = rec.State().raised;
        Raise({{c.msg, c.w, c.l, nullptr}});
        Check(sink, c, 1);
        RecState s = rec.State();
        EXPECT_EQ(raisedBefore + 1, s.raised);
        EXPECT_EQ(0, s.raisedNonZero);
        EXPECT_NE(s.raiseThreadId, GetCurrentThreadId());
    }
    EXPECT_EQ(S_OK, events.Unadvise());
}

TEST_F(PhoneEventsTest, ASinkAdvisedTwiceHearsEachEventTwice)
{
    ASSERT_EQ(S_OK, phone->Start());
    test_support::EventSubscription again;
    ASSERT_EQ(S_OK, Subscribe());
    ASSERT_EQ(S_OK, again.Advise(phone.get(), DIID_IKexPhoneEvents, &sink));
    EXPECT_NE(events.Cookie(), again.Cookie());
    for (const EventCase& c : EventCases()) {
        if (c.msg != 3 && c.msg != 17)
            continue;
        SCOPED_TRACE(c.what);
        sink.events.clear();
        Raise({{c.msg, c.w, c.l, nullptr}});
        // Each event goes to both connections before the next event.
        std::vector<SeenEvent> got = sink.events;
        ASSERT_EQ(c.expected.size() * 2, got.size()) << Describe(got);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(c.expected[i / 2].first, got[i].id) << i;
        }
    }
}

TEST_F(PhoneEventsTest, AFailingSinkStopsTheEventAndTheAdapterStillGetsZero)
{
    ASSERT_EQ(S_OK, phone->Start());
    StubSink second{DIID_IKexPhoneEvents};
    sink.result = E_FAIL;
    test_support::EventSubscription secondEvents;
    ASSERT_EQ(S_OK, Subscribe());
    ASSERT_EQ(S_OK, secondEvents.Advise(phone.get(), DIID_IKexPhoneEvents, &second));
    Raise({{3, 5, 0, nullptr}});
    EXPECT_EQ(2u, sink.events.size()) << Describe(sink.events); // OnKey, then OnAction still handed over
    EXPECT_TRUE(second.events.empty()) << Describe(second.events);
    EXPECT_EQ(0, rec.State().raisedNonZero);
    EXPECT_EQ(S_OK, secondEvents.Unadvise());
}

TEST_F(PhoneEventsTest, WithoutSinksEveryMessageStillReturnsZero)
{
    ASSERT_EQ(S_OK, phone->Start());
    std::vector<RecReport> all;
    for (uint32_t m = 0; m <= 18; ++m)
        all.push_back({m, 1, 1, nullptr});
    Raise(all);
    EXPECT_EQ(0, rec.State().raisedNonZero);
}

TEST_F(PhoneEventsTest, ReportFromInsideExecuteRunsInlineOnTheHostThread)
{
    ASSERT_EQ(S_OK, phone->Start());
    ASSERT_EQ(S_OK, Subscribe());
    RecReport key = {3, 5, 0, nullptr};
    rec.reportOnExecute(KEX_CMD_READY, &key);
    ASSERT_EQ(S_OK, phone->Ready());
    rec.reportOnExecute(0, nullptr);
    // Already delivered when Ready returns: nothing was pumped.
    Check(sink, {"inline", 3, 5, 0, {{2, {5}}, {3, {3}}}}, 1);
}

TEST_F(PhoneEventsTest, CallbackDirectlyFromAnotherThread)
{
    ASSERT_EQ(S_OK, Subscribe());
    int32_t result = -1;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread t([&] {
        result = ComUSBPhoneCallBack(17, 1, 0);
        SetEvent(done);
    });
    EXPECT_TRUE(PumpUntil(done));
    t.join();
    CloseHandle(done);
    EXPECT_EQ(0, result);
    Check(sink, {"plug", 17, 1, 0, {{1, {1, 0, -1}}}}, 1);
}

TEST(PhoneCallback, WithoutAPhoneObjectMessagesAreDropped)
{
    ASSERT_EQ(nullptr, g_pPhone);
    for (uint32_t m : {0u, 1u, 3u, 17u, 18u}) {
        EXPECT_EQ(0, ComUSBPhoneCallBack(m, 1, 1)) << m;
    }
}

} // namespace
