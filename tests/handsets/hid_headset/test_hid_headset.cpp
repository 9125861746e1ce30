// The HID headset adapter end to end: the virtual headset's reports go
// through Wine's hidclass and hid.dll, the adapter and KexUSBPhone to a sink
// on the host's thread; the host's commands come back as output reports.
// The adapter is also driven alone through its exports, by a recording host.
#include "tests/handsets/hid_headset/component_folder.h"
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "tests/handsets/hid_headset/virtual_hid_installer.h"
#include "tests/support/EventSubscription.h"
#include "tests/support/MessagePump.h"
#include "tests/support/StubSink.h"
#include "tests/support/TempDir.h"
#include "tests/support/files.h"

#include "adapters/KexUSBAdapter.h"
#include "win32/raii.h"

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "KexUSBPhone_h.h"

using kex::com_ptr;
using test_support::EventSubscription;
using test_support::ExeDirectory;
using test_support::PumpPending;
using test_support::PumpUntil;
using test_support::PumpWhileNot;
using test_support::SinkCall;
using test_support::StubSink;
using test_support::TempDir;
using virtual_hid::IdsOf;

namespace {

using Bytes = std::vector<unsigned char>;

// What the person at the headset does, in one input report.
struct Press {
    bool hook = false; // off-hook (absolute switch) or held (toggle button)
    bool mute = false, flash = false, redial = false, speaker = false;
    int key = -1; // keypad usage 0xB0 + key; -1 none
};

enum LedBit { kOffHook, kRing, kHold, kMute, kRinger };
using Leds = std::set<LedBit>;

struct Layout {
    const char* name;
    unsigned short product;
    bool toggleHook;
    std::function<Bytes(const Press&)> encode;
    // Output report bits (report id, mask) of each LED; several for the mute
    // LED when the device has both Mute and Microphone.
    std::multimap<LedBit, std::pair<unsigned char, unsigned char>> leds;
};

const Layout kSingle = {
    "single report", virtual_hid::kSingleReport, false,
    [](const Press& p) {
        const unsigned char bits = (p.hook ? 0x01 : 0) | (p.mute ? 0x04 : 0) | (p.flash ? 0x08 : 0) |
                                   (p.redial ? 0x10 : 0) | (p.speaker ? 0x20 : 0);
        return Bytes{0x02, bits, static_cast<unsigned char>(p.key < 0 ? 0 : p.key + 1)};
    },
    {{kOffHook, {0x02, 0x01}}, {kMute, {0x02, 0x02}}, {kRing, {0x02, 0x04}}, {kHold, {0x02, 0x08}},
     {kMute, {0x02, 0x10}}, {kRinger, {0x02, 0x20}}},
};

Bytes KeypadBits(unsigned char id, unsigned char bits, int key)
{
    const unsigned keys = key < 0 ? 0 : 1u << key;
    return Bytes{id, bits, static_cast<unsigned char>(keys & 0xFF), static_cast<unsigned char>(keys >> 8)};
}

const Layout kSplit = {
    "split reports", virtual_hid::kSplitReports, false,
    [](const Press& p) {
        return KeypadBits(0x08,
                          (p.mute ? 0x01 : 0) | (p.hook ? 0x02 : 0) | (p.redial ? 0x04 : 0) | (p.flash ? 0x08 : 0) |
                              (p.speaker ? 0x10 : 0),
                          p.key);
    },
    {{kMute, {0x09, 0x01}}, {kOffHook, {0x09, 0x02}}, {kRing, {0x09, 0x04}}, {kMute, {0x09, 0x08}},
     {kHold, {0x09, 0x20}}},
};

const Layout kPerLed = {
    "report per LED", virtual_hid::kReportPerLed, true,
    [](const Press& p) {
        return KeypadBits(0x03,
                          (p.hook ? 0x01 : 0) | (p.flash ? 0x02 : 0) | (p.redial ? 0x04 : 0) | (p.mute ? 0x08 : 0) |
                              (p.speaker ? 0x10 : 0),
                          p.key);
    },
    {{kOffHook, {0x17, 0x01}}, {kRing, {0x18, 0x01}}, {kHold, {0x20, 0x01}}, {kMute, {0x21, 0x01}},
     {kRinger, {0x9E, 0x01}}},
};

const Layout* const kLayouts[] = {&kSingle, &kSplit, &kPerLed};

// The LEDs a device shows: the last output report of each id counts.
class LedPanel {
public:
    void Take(virtual_hid::Device& device)
    {
        for (const virtual_hid::OutputReport& r : device.TakeOutput())
            if (!r.bytes.empty())
                m_last[r.bytes[0]] = r.bytes;
    }
    // Every LED bit of the layout, and whether all bits of one LED agree.
    Leds Shown(const Layout& layout) const
    {
        Leds on;
        for (const auto& [led, bit] : layout.leds) {
            auto it = m_last.find(bit.first);
            if (it != m_last.end() && it->second.size() > 1 && (it->second[1] & bit.second))
                on.insert(led);
        }
        return on;
    }
    bool Consistent(const Layout& layout) const
    {
        for (LedBit led : {kOffHook, kRing, kHold, kMute, kRinger}) {
            int lit = 0, total = 0;
            auto range = layout.leds.equal_range(led);
            for (auto it = range.first; it != range.second; ++it) {
                ++total;
                auto r = m_last.find(it->second.first);
                lit += r != m_last.end() && r->second.size() > 1 && (r->second[1] & it->second.second);
            }
            if (lit != 0 && lit != total)
                return false;
        }
        return true;
    }

private:
    std::map<unsigned char, Bytes> m_last;
};

std::string Show(const Leds& leds)
{
    static const char* names[] = {"off-hook", "ring", "hold", "mute", "ringer"};
    std::string s;
    for (LedBit l : leds)
        s += std::string(names[l]) + " ";
    return s;
}

// The events as the host saw them, by name: "OnKey(5) OnAction(14)".
std::string Describe(const std::vector<SinkCall>& events)
{
    static const char* const kNames[] = {"OnStateChange", "OnKey", "OnAction"}; // DISPIDs 1 to 3
    std::string text;
    for (const SinkCall& e : events) {
        const bool named = e.id >= 1 && e.id <= 3;
        text += named ? kNames[e.id - 1] : "DISPID " + std::to_string(e.id);
        for (std::size_t i = 0; i < e.args.size(); ++i)
            text += (i == 0 ? "(" : ", ") + std::to_string(e.args[i]);
        text += e.args.empty() ? " " : ") ";
    }
    return text;
}

struct Event {
    DISPID id;
    std::vector<long> args;
    bool operator==(const Event& o) const { return id == o.id && args == o.args; }
};
const Event kPlugIn = {1, {KEX_USBPHONE_EVENT_PLUGIN, 0, -1}};
const Event kPlugOut = {1, {KEX_USBPHONE_EVENT_PLUGOUT, 0, -1}};
Event Action(long a) { return {3, {a}}; }
Event Key(long k) { return {2, {k}}; }

class HidHeadsetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_component = std::make_unique<hid_test::ComponentFolder>("hid");
    }
    static void TearDownTestSuite()
    {
        s_component.reset();
    }

    // Starts the component with the adapter taking the devices in include.
    void StartWith(const std::string& include, size_t wantPlugIns, const std::string& moreAdapters = "",
                   const std::string& moreSettings = "")
    {
        ASSERT_EQ(S_OK, s_component->NewPhone("[AdapterList]\r\nHeadset=hid_headset.dll\r\n" + moreAdapters +
                                                   "[HidHeadset]\r\nInclude=" + include + "\r\n" + moreSettings,
                                               IID_IKexPhone, phone.put_void()));
        ASSERT_EQ(S_OK, subscription.Advise(phone.get(), DIID_IKexPhoneEvents, &sink));
        ASSERT_EQ(S_OK, phone->Start());
        ASSERT_TRUE(EventsArrive(wantPlugIns, "the plug-in of each headset at Start"));
        for (size_t i = 0; i < wantPlugIns; ++i)
            EXPECT_EQ(kPlugIn, At(i));
        sink.events.clear();
    }

    void TearDown() override
    {
        if (phone)
            phone->Stop();
        subscription.Unadvise();
        phone.reset();
    }

    // Pumps the host's messages until n events arrived; the failure names
    // what was waited for and what came.
    ::testing::AssertionResult EventsArrive(size_t n, const std::string& what, DWORD timeoutMs = 10000)
    {
        if (PumpWhileNot([&] { return sink.events.size() >= n; }, timeoutMs))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "waiting for " << what << ": " << sink.events.size() << " of " << n
                                             << " events within " << timeoutMs << " ms " << Describe(sink.events);
    }

    Event At(size_t i) const { return {sink.events[i].id, sink.events[i].args}; }
    std::vector<Event> Events() const
    {
        std::vector<Event> e;
        for (size_t i = 0; i < sink.events.size(); ++i)
            e.push_back(At(i));
        return e;
    }

    // Presses and releases (a press of a toggle hook is a click).
    void Click(virtual_hid::Device& device, const Layout& layout, Press held, Press press)
    {
        ASSERT_TRUE(device.Inject(layout.encode(press)));
        ASSERT_TRUE(device.Inject(layout.encode(held)));
    }

    void Send(HRESULT (STDMETHODCALLTYPE IKexPhone::*command)(BSTR, BSTR))
    {
        auto name = kex::make_bstr(L"Alice"), number = kex::make_bstr(L"100");
        ASSERT_EQ(S_OK, (phone.get()->*command)(name.get(), number.get()));
    }

    static std::unique_ptr<hid_test::ComponentFolder> s_component;
    com_ptr<IKexPhone> phone;
    EventSubscription subscription;
    StubSink sink{DIID_IKexPhoneEvents};
};

std::unique_ptr<hid_test::ComponentFolder> HidHeadsetTest::s_component;

// A call dialled from the headset: lifted (a pick-up while idle; the host
// dials), every key pressed during the call, then put down (the hang-up).
TEST_F(HidHeadsetTest, EveryKeyOfEachLayoutReachesTheHostOnItsThread)
{
    for (const Layout* layout : kLayouts) {
        SCOPED_TRACE(layout->name);
        virtual_hid::Device device(layout->product);
        ASSERT_TRUE(device.IsOpen());
        StartWith(IdsOf(layout->product), 1);
        LedPanel panel;

        std::vector<Event> want;
        Press idle, offHook;
        offHook.hook = true;
        Press held = layout->toggleHook ? idle : offHook;
        // The first report after opening is the state the headset was in.
        ASSERT_TRUE(device.Inject(layout->encode(idle)));
        if (layout->toggleHook)
            Click(device, *layout, idle, offHook);
        else
            ASSERT_TRUE(device.Inject(layout->encode(offHook)));
        want.push_back(Action(KEX_USBPHONE_CHARVALUE_PICKUP));
        // As a person presses keys: each after the host has seen the last.
        auto settle = [&] { ASSERT_TRUE(EventsArrive(want.size(), "the events of each press so far")); };
        settle();
        Send(&IKexPhone::Link);

        const std::pair<bool Press::*, long> buttons[] = {
            {&Press::flash, KEX_USBPHONE_CHARVALUE_HOLD},
            {&Press::redial, KEX_USBPHONE_CHARVALUE_REDIAL},
            {&Press::mute, KEX_USBPHONE_CHARVALUE_MUTE},
            {&Press::speaker, KEX_USBPHONE_CHARVALUE_HANDFREE},
        };
        for (const auto& [button, action] : buttons) {
            Press p = held;
            p.*button = true;
            Click(device, *layout, held, p);
            want.push_back(Action(action));
            settle();
        }
        // The one mute press was shown at once: the headset shows mute.
        panel.Take(device);
        EXPECT_EQ((Leds{kOffHook, kMute}), panel.Shown(*layout)) << Show(panel.Shown(*layout));
        EXPECT_TRUE(panel.Consistent(*layout));
        const long keyOf[12] = {KEX_USBPHONE_KEYVALUE_0, 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                KEX_USBPHONE_KEYVALUE_STAR, KEX_USBPHONE_KEYVALUE_POUND};
        for (int k = 0; k < 12; ++k) {
            Press p = held;
            p.key = k;
            Click(device, *layout, held, p);
            want.push_back(Key(keyOf[k]));
            want.push_back(Action(KEX_USBPHONE_CHARVALUE_NUMBER));
            settle();
        }
        if (layout->toggleHook)
            Click(device, *layout, idle, offHook);
        else
            ASSERT_TRUE(device.Inject(layout->encode(idle)));
        want.push_back(Action(KEX_USBPHONE_CHARVALUE_HANGUP));

        ASSERT_TRUE(EventsArrive(want.size(), "the hang-up"));
        PumpPending();
        EXPECT_EQ(want, Events()) << Describe(sink.events);
        for (const SinkCall& e : sink.events)
            EXPECT_EQ(GetCurrentThreadId(), e.thread);
        // Put down, the call ended at once: everything out, mute with it.
        panel.Take(device);
        EXPECT_EQ(Leds{}, panel.Shown(*layout)) << Show(panel.Shown(*layout));
        TearDown();
        sink.events.clear();
    }
}

TEST_F(HidHeadsetTest, CommandsSetTheLedsTheWayEachLayoutDeclaresThem)
{
    using Command = HRESULT (STDMETHODCALLTYPE IKexPhone::*)(BSTR, BSTR);
    struct Step {
        const char* name;
        Command command; // nullptr: Ready
        Leds want;
    };
    const Step steps[] = {
        {"ring", &IKexPhone::Ring, {kRing, kRinger}},
        {"talking", &IKexPhone::Talking, {kOffHook}},
        {"hold", &IKexPhone::Hold, {kOffHook, kHold}},
        {"resume", &IKexPhone::Resume, {kOffHook}},
        {"hangup", &IKexPhone::Hangup, {}},
        {"link", &IKexPhone::Link, {kOffHook}},
        {"call failed", &IKexPhone::CallFailed, {}},
        {"ring-back", &IKexPhone::RingBack, {kOffHook}},
        {"ready", nullptr, {}},
        // The ringer stops with the ring LED whichever way the call goes on.
        {"ring again", &IKexPhone::Ring, {kRing, kRinger}},
        {"link while ringing", &IKexPhone::Link, {kOffHook}},
        {"hangup after link", &IKexPhone::Hangup, {}},
        {"ring once more", &IKexPhone::Ring, {kRing, kRinger}},
        {"ring-back while ringing", &IKexPhone::RingBack, {kOffHook}},
        {"ready at last", nullptr, {}},
    };
    for (const Layout* layout : kLayouts) {
        SCOPED_TRACE(layout->name);
        virtual_hid::Device device(layout->product);
        ASSERT_TRUE(device.IsOpen());
        device.TakeOutput();
        StartWith(IdsOf(layout->product), 1, "", "Ringer=1\r\n");
        // Opening writes nothing: another application may hold a call on it.
        EXPECT_TRUE(device.TakeOutput().empty());
        LedPanel panel;
        for (const Step& s : steps) {
            SCOPED_TRACE(s.name);
            if (s.command)
                Send(s.command);
            else
                ASSERT_EQ(S_OK, phone->Ready());
            panel.Take(device);
            Leds want; // of those the device has
            for (LedBit l : s.want)
                if (layout->leds.count(l))
                    want.insert(l);
            EXPECT_EQ(want, panel.Shown(*layout)) << Show(panel.Shown(*layout));
            EXPECT_TRUE(panel.Consistent(*layout));
        }
        // A mute press is shown at once; a hang-up clears it.
        Send(&IKexPhone::Talking);
        Press mute;
        mute.hook = !layout->toggleHook;
        Press held = mute;
        mute.mute = true;
        Click(device, *layout, held, mute);
        // Off-hook while talking is nothing; the mute press is all.
        ASSERT_TRUE(EventsArrive(1, "the mute press"));
        panel.Take(device);
        EXPECT_EQ((Leds{kOffHook, kMute}), panel.Shown(*layout)) << Show(panel.Shown(*layout));
        Send(&IKexPhone::Hangup);
        panel.Take(device);
        EXPECT_EQ(Leds{}, panel.Shown(*layout)) << Show(panel.Shown(*layout));
        TearDown();
        sink.events.clear();
    }
}

TEST_F(HidHeadsetTest, TwoHeadsetsAtOnce)
{
    virtual_hid::Device first(kSingle.product), second(kSplit.product);
    ASSERT_TRUE(first.IsOpen());
    ASSERT_TRUE(second.IsOpen());
    StartWith(IdsOf(kSingle.product) + ", " + IdsOf(kSplit.product), 2);
    Press p;
    p.key = 1;
    Click(first, kSingle, Press(), p);
    ASSERT_TRUE(EventsArrive(2, "key 1 of the first headset"));
    p.key = 2;
    Click(second, kSplit, Press(), p);
    ASSERT_TRUE(EventsArrive(4, "key 2 of the second headset"));
    const std::vector<Event> want = {Key(1), Action(KEX_USBPHONE_CHARVALUE_NUMBER), Key(2),
                                     Action(KEX_USBPHONE_CHARVALUE_NUMBER)};
    EXPECT_EQ(want, Events()) << Describe(sink.events);

    LedPanel one, two;
    Send(&IKexPhone::Ring);
    one.Take(first);
    two.Take(second);
    EXPECT_EQ(Leds{kRing}, one.Shown(kSingle)); // its ringer stays off without Ringer=1
    EXPECT_EQ(Leds{kRing}, two.Shown(kSplit));
}

TEST_F(HidHeadsetTest, OnlyTelephonyDevicesThatTheFilterTakesArePluggedIn)
{
    // Every device: the three headsets, not the consumer-control device.
    StartWith("", 3);
    TearDown();
    sink.events.clear();
    // Nothing: the component starts all the same and commands are accepted.
    StartWith("ffff:ffff", 0);
    Send(&IKexPhone::Ring);
    EXPECT_EQ(S_OK, phone->Ready());
    PumpPending();
    EXPECT_TRUE(sink.events.empty()) << Describe(sink.events);
}

// Two keys naming the library share one adapter: one plug-in and one event
// per press, and the binding that comes second does not stop the first when
// it is uninitialized.
TEST_F(HidHeadsetTest, BoundTwiceTheAdapterRunsOnce)
{
    virtual_hid::Device device(kSingle.product);
    ASSERT_TRUE(device.IsOpen());
    StartWith(IdsOf(kSingle.product), 1, "Headset2=hid_headset.dll\r\n");
    Press p;
    p.redial = true;
    Click(device, kSingle, Press(), p);
    ASSERT_TRUE(EventsArrive(1, "the redial press"));
    Send(&IKexPhone::Ring);
    PumpPending();
    EXPECT_EQ(std::vector<Event>{Action(KEX_USBPHONE_CHARVALUE_REDIAL)}, Events()) << Describe(sink.events);
    LedPanel panel;
    panel.Take(device);
    EXPECT_EQ(Leds{kRing}, panel.Shown(kSingle));
}

TEST_F(HidHeadsetTest, MalformedReportsChangeNothingAndBreakNothing)
{
    virtual_hid::Device device(kSingle.product);
    ASSERT_TRUE(device.IsOpen());
    StartWith(IdsOf(kSingle.product), 1);
    const Bytes bad[] = {
        {0x05, 0x01, 0x01},             // an id the device does not have
        {0x02, 0x01},                   // short
        {0x02, 0x00, 0x0D},             // keypad index past its last usage
        {0x02, 0x00, 0xFF},
    };
    for (const Bytes& b : bad)
        ASSERT_TRUE(device.Inject(b));
    Press p;
    p.redial = true;
    Click(device, kSingle, Press(), p);
    ASSERT_TRUE(EventsArrive(1, "the redial press after the malformed reports"));
    PumpPending();
    EXPECT_EQ(std::vector<Event>{Action(KEX_USBPHONE_CHARVALUE_REDIAL)}, Events()) << Describe(sink.events);
}

// The root device is removed (DIF_REMOVE) and installed again, which is as
// near as Wine comes to unplugging a USB headset and plugging it back in.
TEST_F(HidHeadsetTest, ADeviceTakenAwayAndBackGivesPlugOutThenPlugIn)
{
    StartWith(IdsOf(kSingle.product), 1);
    const std::string hid = ExeDirectory() + "..\\hid\\";
    auto run = hid_test::RunInstaller;
    ASSERT_EQ(0u, run("remove " + IdsOf(kSingle.product)));
    const DWORD removed = GetTickCount();
    ASSERT_TRUE(EventsArrive(1, "the plug-out after the removal"));
    EXPECT_LE(GetTickCount() - removed, 2000u);
    EXPECT_EQ(kPlugOut, At(0));
    ASSERT_EQ(0u, run("restore \"" + hid + "virtual_hid.inf\" " + IdsOf(kSingle.product)));
    const DWORD added = GetTickCount();
    ASSERT_TRUE(EventsArrive(2, "the plug-in after the new install"));
    EXPECT_LE(GetTickCount() - added, 2000u);
    EXPECT_EQ(kPlugIn, At(1));

    // The headset is the adapter's again.
    virtual_hid::Device device(kSingle.product);
    ASSERT_TRUE(device.IsOpen());
    Press p;
    p.flash = true;
    Click(device, kSingle, Press(), p);
    ASSERT_TRUE(EventsArrive(3, "the flash press on the headset plugged in again"));
    EXPECT_EQ(Action(KEX_USBPHONE_CHARVALUE_HOLD), At(2));
}

// The host is busy with the first press (this thread does not pump its
// messages, so the adapter's reader waits in the callback) while the person
// presses on: every press must still reach the host afterwards, in order.
TEST_F(HidHeadsetTest, PressesMadeWhileTheHostIsBusyAllArrive)
{
    constexpr int kPresses = 100; // well past the HID stack's default queue of 32
    constexpr DWORD kReadTimeoutMs = 5000;
    virtual_hid::Device device(kSplit.product);
    ASSERT_TRUE(device.IsOpen());
    StartWith(IdsOf(kSplit.product), 1);
    // The HID stack hands each report to every open handle at once: when
    // this reader has it, the adapter's queue has it too (or dropped it).
    virtual_hid::Reader witness(kSplit.product);
    ASSERT_TRUE(witness.IsOpen());
    std::vector<Event> want;
    for (int i = 0; i < kPresses; ++i) {
        Press p;
        p.key = 1 + i % 2; // a new press each time: the other key goes up in the same report
        const Bytes report = kSplit.encode(p);
        ASSERT_TRUE(device.Inject(report)) << "press " << i;
        Bytes seen;
        ASSERT_TRUE(witness.Read(static_cast<DWORD>(report.size()), kReadTimeoutMs, seen))
            << "press " << i << " did not reach the HID stack within " << kReadTimeoutMs << " ms";
        want.push_back(Key(p.key));
        want.push_back(Action(KEX_USBPHONE_CHARVALUE_NUMBER));
    }
    ASSERT_TRUE(sink.events.empty()) << "the host was not busy: " << Describe(sink.events);
    ASSERT_TRUE(EventsArrive(want.size(), "every press made while the host was busy"));
    PumpPending();
    EXPECT_EQ(want, Events()) << Describe(sink.events);
}

// The component's side of the exports, for a host of our own: records every
// report the adapter sends, from whichever thread.
class RecordingHost {
public:
    static int32_t KEX_CDECL Callback(uint32_t msg, uint32_t wParam, int32_t lParam)
    {
        auto guard = s_lock.lock_exclusive();
        s_reports.push_back({msg, wParam, lParam});
        SetEvent(s_arrived.get());
        return 0;
    }
    struct Report {
        uint32_t msg, wParam;
        int32_t lParam;
        bool operator==(const Report& o) const { return msg == o.msg && wParam == o.wParam && lParam == o.lParam; }
    };
    static std::vector<Report> Reports()
    {
        auto guard = s_lock.lock_exclusive();
        return s_reports;
    }
    // Waits until n reports came; the failure names what was waited for.
    static ::testing::AssertionResult ReportsArrive(size_t n, const std::string& what, DWORD timeoutMs = 10000)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            if (Reports().size() >= n)
                return ::testing::AssertionSuccess();
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs || WaitForSingleObject(s_arrived.get(), timeoutMs - elapsed) != WAIT_OBJECT_0)
                return ::testing::AssertionFailure() << "waiting for " << what << ": " << Reports().size() << " of "
                                                     << n << " reports within " << timeoutMs << " ms";
        }
    }

private:
    static kex::srwlock s_lock;
    static std::vector<Report> s_reports;
    static kex::unique_handle s_arrived;
};
kex::srwlock RecordingHost::s_lock;
std::vector<RecordingHost::Report> RecordingHost::s_reports;
kex::unique_handle RecordingHost::s_arrived(CreateEventW(nullptr, FALSE, FALSE, nullptr));

// Two [AdapterList] keys name the library: the component initialises it
// twice and uninitialises it twice. The first UnInitialize must leave the
// adapter to the second binding; the second stops it.
TEST_F(HidHeadsetTest, TwoBindingsShareOneAdapterUntilTheLastUnInitialize)
{
    virtual_hid::Device device(kSingle.product);
    ASSERT_TRUE(device.IsOpen());
    device.TakeOutput();
    s_component->Dir().Write("USBPhone.ini", "[HidHeadset]\r\nInclude=" + IdsOf(kSingle.product) + "\r\n");
    const kex::unique_hmodule adapter(LoadLibraryA((s_component->Dir().Path() + "hid_headset.dll").c_str()));
    ASSERT_TRUE(adapter);
    auto intialize = reinterpret_cast<KexIntializeFn>(GetProcAddress(adapter.get(), KEX_ADAPTER_INITIALIZE_NAME));
    auto execute = reinterpret_cast<KexExecuteFn>(GetProcAddress(adapter.get(), KEX_ADAPTER_EXECUTE_NAME));
    auto uninitialize =
        reinterpret_cast<KexUnInitializeFn>(GetProcAddress(adapter.get(), KEX_ADAPTER_UNINITIALIZE_NAME));
    ASSERT_TRUE(intialize && execute && uninitialize);
    const RecordingHost::Report plugIn = {KEX_DEV_PLUG, KEX_PLUG_IN, 0}, redial = {KEX_DEV_REDIAL, 0, 0};

    ASSERT_EQ(0, intialize(&RecordingHost::Callback));
    ASSERT_TRUE(RecordingHost::ReportsArrive(1, "the plug-in at the first Intialize"));
    ASSERT_EQ(0, intialize(&RecordingHost::Callback));
    uninitialize(); // the first key's
    EXPECT_EQ(0, execute(KEX_CMD_RING, 0, 0)) << "the second binding lost its adapter";
    LedPanel panel;
    panel.Take(device);
    EXPECT_EQ(Leds{kRing}, panel.Shown(kSingle)) << Show(panel.Shown(kSingle));
    Press p;
    p.redial = true;
    Click(device, kSingle, Press(), p);
    ASSERT_TRUE(RecordingHost::ReportsArrive(2, "the redial press after the first UnInitialize"));
    EXPECT_EQ((std::vector<RecordingHost::Report>{plugIn, redial}), RecordingHost::Reports());

    uninitialize(); // the last
    EXPECT_EQ(1, execute(KEX_CMD_HANGUP, 0, 0)) << "the adapter runs on after the last UnInitialize";
    // Nothing of it reads any more: a press reaches a reader of ours only.
    virtual_hid::Reader witness(kSingle.product);
    ASSERT_TRUE(witness.IsOpen());
    ASSERT_TRUE(witness.Begin(static_cast<DWORD>(kSingle.encode(p).size())));
    Click(device, kSingle, Press(), p);
    Bytes seen;
    ASSERT_TRUE(witness.End(5000, seen)) << "the press did not reach the HID stack within 5 s";
    EXPECT_EQ((std::vector<RecordingHost::Report>{plugIn, redial}), RecordingHost::Reports());
}

} // namespace
