// The HID headset adapter end to end: the virtual headset's reports go
// through Wine's hidclass and hid.dll, the adapter and KexUSBPhone to a sink
// on the host's thread; the host's commands come back as output reports.
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "tests/phone/phone_fixture.h"

#include <functional>
#include <map>
#include <set>

using namespace phone_test;
using kex::com_ptr;

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
        s_dir = new TempDir("hid");
        const std::string bin = ExeDirectory();
        for (const char* f : {"KexUSBPhone.dll", "hid_headset.dll"})
            s_dir->Copy(bin + f, f);
        s_dll = LoadLibraryA((s_dir->Path() + "KexUSBPhone.dll").c_str());
    }
    static void TearDownTestSuite()
    {
        FreeLibrary(s_dll);
        delete s_dir;
    }

    // Starts the component with the adapter taking the devices in include.
    void StartWith(const std::string& include, size_t wantPlugIns, const std::string& moreAdapters = "")
    {
        s_dir->Write("USBPhone.ini", "[AdapterList]\r\nHeadset=hid_headset.dll\r\n" + moreAdapters +
                                         "[HidHeadset]\r\nInclude=" + include + "\r\n");
        ASSERT_NE(s_dll, nullptr);
        auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            GetProcAddress(s_dll, "DllGetClassObject"));
        ASSERT_NE(getClassObject, nullptr);
        com_ptr<IClassFactory> factory;
        ASSERT_EQ(S_OK, getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, factory.put_void()));
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
        com_ptr<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, phone.query(cpc));
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_IKexPhoneEvents, point.put()));
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
        ASSERT_EQ(S_OK, phone->Start());
        ASSERT_TRUE(WaitEvents(wantPlugIns)) << Describe(sink.events);
        for (size_t i = 0; i < wantPlugIns; ++i)
            EXPECT_EQ(kPlugIn, At(i));
        sink.events.clear();
    }

    void TearDown() override
    {
        if (phone)
            phone->Stop();
        if (point)
            point->Unadvise(cookie);
        point.reset();
        phone.reset();
    }

    // Pumps the host's messages until n events arrived.
    bool WaitEvents(size_t n, DWORD timeoutMs = 10000)
    {
        return PumpWhileNot([&] { return sink.events.size() >= n; }, timeoutMs);
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
        auto name = Bstr(L"Alice"), number = Bstr(L"100");
        ASSERT_EQ(S_OK, (phone.get()->*command)(name.get(), number.get()));
    }

    static TempDir* s_dir;
    static HMODULE s_dll;
    com_ptr<IKexPhone> phone;
    com_ptr<IConnectionPoint> point;
    StubSink sink{DIID_IKexPhoneEvents};
    DWORD cookie = 0;
};

TempDir* HidHeadsetTest::s_dir;
HMODULE HidHeadsetTest::s_dll;

std::string Hex(unsigned short v)
{
    char s[8];
    std::snprintf(s, sizeof s, "%04x", v);
    return s;
}

TEST_F(HidHeadsetTest, EveryKeyOfEachLayoutReachesTheHostOnItsThread)
{
    for (const Layout* layout : kLayouts) {
        SCOPED_TRACE(layout->name);
        virtual_hid::Device device(layout->product);
        ASSERT_TRUE(device.IsOpen());
        StartWith("1209:" + Hex(layout->product), 1);
        LedPanel panel;

        std::vector<Event> want;
        Press idle, offHook;
        offHook.hook = true;
        Press held = layout->toggleHook ? idle : offHook;
        if (layout->toggleHook)
            Click(device, *layout, idle, offHook);
        else
            ASSERT_TRUE(device.Inject(layout->encode(offHook)));
        want.push_back(Action(KEX_USBPHONE_CHARVALUE_PICKUP));
        // As a person presses keys: each after the host has seen the last.
        auto settle = [&] { ASSERT_TRUE(WaitEvents(want.size())) << Describe(sink.events); };
        settle();

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

        ASSERT_TRUE(WaitEvents(want.size())) << Describe(sink.events);
        PumpPending();
        EXPECT_EQ(want, Events()) << Describe(sink.events);
        for (const SeenEvent& e : sink.events)
            EXPECT_EQ(GetCurrentThreadId(), e.thread);
        // The one mute press was echoed: the headset shows mute.
        panel.Take(device);
        EXPECT_EQ(Leds{kMute}, panel.Shown(*layout)) << Show(panel.Shown(*layout));
        EXPECT_TRUE(panel.Consistent(*layout));
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
    };
    for (const Layout* layout : kLayouts) {
        SCOPED_TRACE(layout->name);
        virtual_hid::Device device(layout->product);
        ASSERT_TRUE(device.IsOpen());
        device.TakeOutput();
        StartWith("1209:" + Hex(layout->product), 1);
        LedPanel panel;
        panel.Take(device);
        EXPECT_EQ(Leds{}, panel.Shown(*layout)); // put out at plug-in
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
        // Mute is the headset's own; a hang-up clears it.
        Send(&IKexPhone::Talking);
        Press mute;
        mute.hook = !layout->toggleHook;
        Press held = mute;
        mute.mute = true;
        Click(device, *layout, held, mute);
        // Pick-up (absolute hook switches) and mute: all in before Stop, or
        // the component's Stop waits for an event it cannot deliver.
        ASSERT_TRUE(WaitEvents(layout->toggleHook ? 1 : 2)) << Describe(sink.events);
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
    StartWith("1209:" + Hex(kSingle.product) + ", 1209:" + Hex(kSplit.product), 2);
    Press p;
    p.key = 1;
    Click(first, kSingle, Press(), p);
    ASSERT_TRUE(WaitEvents(2)) << Describe(sink.events);
    p.key = 2;
    Click(second, kSplit, Press(), p);
    ASSERT_TRUE(WaitEvents(4)) << Describe(sink.events);
    const std::vector<Event> want = {Key(1), Action(KEX_USBPHONE_CHARVALUE_NUMBER), Key(2),
                                     Action(KEX_USBPHONE_CHARVALUE_NUMBER)};
    EXPECT_EQ(want, Events()) << Describe(sink.events);

    LedPanel one, two;
    Send(&IKexPhone::Ring);
    one.Take(first);
    two.Take(second);
    EXPECT_EQ((Leds{kRing, kRinger}), one.Shown(kSingle));
    EXPECT_EQ(Leds{kRing}, two.Shown(kSplit)); // no ringer on this one
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
    StartWith("1209:" + Hex(kSingle.product), 1, "Headset2=hid_headset.dll\r\n");
    Press p;
    p.redial = true;
    Click(device, kSingle, Press(), p);
    ASSERT_TRUE(WaitEvents(1)) << Describe(sink.events);
    Send(&IKexPhone::Ring);
    PumpPending();
    EXPECT_EQ(std::vector<Event>{Action(KEX_USBPHONE_CHARVALUE_REDIAL)}, Events()) << Describe(sink.events);
    LedPanel panel;
    panel.Take(device);
    EXPECT_EQ((Leds{kRing, kRinger}), panel.Shown(kSingle));
}

TEST_F(HidHeadsetTest, MalformedReportsChangeNothingAndBreakNothing)
{
    virtual_hid::Device device(kSingle.product);
    ASSERT_TRUE(device.IsOpen());
    StartWith("1209:" + Hex(kSingle.product), 1);
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
    ASSERT_TRUE(WaitEvents(1)) << Describe(sink.events);
    PumpPending();
    EXPECT_EQ(std::vector<Event>{Action(KEX_USBPHONE_CHARVALUE_REDIAL)}, Events()) << Describe(sink.events);
}

// The root device is removed (DIF_REMOVE) and installed again, which is as
// near as Wine comes to unplugging a USB headset and plugging it back in.
TEST_F(HidHeadsetTest, ADeviceTakenAwayAndBackGivesPlugOutThenPlugIn)
{
    StartWith("1209:" + Hex(kSingle.product), 1);
    const std::string hid = ExeDirectory() + "..\\hid\\";
    auto run = [&](const std::string& verb) {
        std::string line = "\"" + hid + "install_virtual_hid.exe\" " + verb;
        STARTUPINFOA si = {};
    si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return static_cast<DWORD>(-1);
        DWORD code = static_cast<DWORD>(-1);
        PumpUntil(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return code;
    };
    ASSERT_EQ(0u, run("remove 1209:" + Hex(kSingle.product)));
    const DWORD removed = GetTickCount();
    ASSERT_TRUE(WaitEvents(1)) << Describe(sink.events);
    EXPECT_LE(GetTickCount() - removed, 2000u);
    EXPECT_EQ(kPlugOut, At(0));
    ASSERT_EQ(0u, run("install \"" + hid + "virtual_hid.inf\" 1:1209:" + Hex(kSingle.product)));
    const DWORD added = GetTickCount();
    ASSERT_TRUE(WaitEvents(2)) << Describe(sink.events);
    EXPECT_LE(GetTickCount() - added, 2000u);
    EXPECT_EQ(kPlugIn, At(1));

    // The headset is the adapter's again.
    virtual_hid::Device device(kSingle.product);
    ASSERT_TRUE(device.IsOpen());
    Press p;
    p.flash = true;
    Click(device, kSingle, Press(), p);
    ASSERT_TRUE(WaitEvents(3)) << Describe(sink.events);
    EXPECT_EQ(Action(KEX_USBPHONE_CHARVALUE_HOLD), At(2));
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ComApartment sta;
    return RUN_ALL_TESTS();
}
