// Soak: many Start/Stop cycles with events from the adapter's thread in each.
// What the process holds must not keep growing once it has settled.
#include "tests/phone/phone_object_fixture.h"

#include "log/TraceLog.h"

using namespace phone_test;
using kex::com_ptr;

namespace {

const int kCycles = 10000;
const int kSettleCycles = 1000;
const int kEventsPerCycle = 10;
const long kAllowedGrowth = 1024 * 1024;

// The measure sees a leak of the size the soak guards against.
TEST(PrivateBytesMeasure, SeesTwoMebibytesMore)
{
    const long before = PrivateBytes();
    std::vector<char> block(2 * kAllowedGrowth, 'x');
    EXPECT_GT(PrivateBytes() - before, kAllowedGrowth) << before;
}

TEST_F(PhoneTest, StartStopCyclesWithEvents)
{
    const std::string log = m_dir / "soak.log";
    g_traceLog.SetLogFile(log.c_str());
    g_traceLog.Open();
    g_traceLog.SetSwitch(false);

    StubSink sink{DIID_IKexPhoneEvents};
    sink.record = false;
    test_support::EventSubscription events;
    ASSERT_EQ(S_OK, events.Advise(phone.get(), DIID_IKexPhoneEvents, &sink));

    // One event each: function keys and plug states.
    RecReport reports[kEventsPerCycle];
    for (int i = 0; i < kEventsPerCycle; ++i)
        reports[i] = i % 5 == 4 ? RecReport{17, static_cast<uint32_t>(i & 1), i, nullptr}
                                : RecReport{1u + (i % 2 ? 10u : 0u), 0, 0, nullptr};

    long settled = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        ASSERT_EQ(S_OK, phone->Start()) << "cycle " << cycle;
        ASSERT_EQ(0, rec.raise(reports, kEventsPerCycle)) << "cycle " << cycle;
        ASSERT_TRUE(PumpWhileNot([&] { return rec.wait(0) >= 0; })) << "cycle " << cycle;
        ASSERT_EQ(S_OK, phone->Stop()) << "cycle " << cycle;
        if (cycle + 1 == kSettleCycles)
            settled = PrivateBytes();
    }
    const long end = PrivateBytes();
    EXPECT_EQ(S_OK, events.Unadvise());
    g_traceLog.Close();

    EXPECT_EQ(static_cast<size_t>(kCycles) * kEventsPerCycle, sink.count);
    EXPECT_EQ(0, rec.State().raisedNonZero);
    EXPECT_LE(end - settled, kAllowedGrowth) << "after " << kSettleCycles << " cycles " << settled << ", at the end "
                                             << end;
    std::printf("private bytes: after %d cycles %ld, after %d cycles %ld (%+ld)\n", kSettleCycles, settled, kCycles,
                end, end - settled);
}

} // namespace
