// Two virtual HID headsets through KexUSBPhone.dll and the HID adapter, as a
// C++ softphone sees them through IKexPhone3: each headset a device with its
// id and name, call-state commands to the active one only, keys with the
// device they came from, the active one unplugged and plugged back, and mute
// from the softphone and from the headset. What a handler reads (the event's
// device, the active device, the list) is read inside the handler.
#include "tests/handsets/hid_headset/component_folder.h"
#include "tests/handsets/hid_headset/device_player.h"
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "tests/handsets/hid_headset/virtual_hid_installer.h"
#include "tests/support/EventSubscription.h"
#include "tests/support/MessagePump.h"
#include "tests/support/StubSink.h"
#include "tests/support/TempDir.h"
#include "tests/support/files.h"

#include "win32/raii.h"
#include "win32/text.h"

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "KexUSBPhone_h.h"

using kex::com_ptr;
using test_support::EventSubscription;
using test_support::PumpPending;
using test_support::PumpUntil;
using test_support::PumpWhileNot;
using test_support::SinkCall;
using test_support::StubSink;
using test_support::TempDir;
using virtual_hid::Behaviour;
using virtual_hid::DevicePlayer;
using virtual_hid::Light;
using virtual_hid::Lights;
using virtual_hid::NamedHeadset;

namespace {

constexpr DWORD kEventTimeoutMs = 10000;
constexpr wchar_t kAdapterKey[] = L"Headset";

// Two headsets of different layouts, product strings and serial numbers.
const NamedHeadset& kFirst = virtual_hid::kHeadset2453;  // LEDs in the input's report
const NamedHeadset& kSecond = virtual_hid::kHeadset0082; // LEDs in a report of their own

// A headset that only shows what it is sent.
const Behaviour kPlain = {"plain", Behaviour::kNoFollow, 0, false, false};

// The headsets' texts are UTF-8.
std::wstring FromUtf8(const std::string& text) { return kex::widen(text, CP_UTF8); }

std::string Ids(const NamedHeadset& headset) { return virtual_hid::IdsOf(headset.product); }

// The id the host sees: the adapter's key, then the adapter's own id made
// of the USB ids and the serial number.
std::wstring IdOf(const NamedHeadset& headset)
{
    return std::wstring(kAdapterKey) + L"/" + FromUtf8(Ids(headset) + ":" + headset.serial);
}

// What a handler saw of the phone while it ran.
struct Seen {
    std::wstring eventDevice, activeDevice;
    std::set<std::wstring> devices;
};

using hid_test::RunInstaller;

// A headset unplugged for a scope: plugged back in when the scope ends,
// whatever happened, so that the next test finds it.
class Unplugged {
public:
    explicit Unplugged(const NamedHeadset& headset) : m_headset(headset)
    {
        m_removed = RunInstaller("remove " + Ids(headset)) == 0;
    }
    ~Unplugged() { PlugBack(); }
    Unplugged(const Unplugged&) = delete;
    Unplugged& operator=(const Unplugged&) = delete;

    bool Removed() const { return m_removed; }
    bool PlugBack()
    {
        if (!m_removed)
            return true;
        m_removed = false;
        const std::string inf = test_support::ExeDirectory() + "..\\hid\\virtual_hid.inf";
        return RunInstaller("restore \"" + inf + "\" " + Ids(m_headset)) == 0;
    }

private:
    const NamedHeadset& m_headset;
    bool m_removed = false;
};

class HidDevicesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_component = std::make_unique<hid_test::ComponentFolder>("hiddevices");
    }
    static void TearDownTestSuite()
    {
        s_component.reset();
    }

    // Starts the component with both headsets, and players on them.
    void SetUp() override
    {
        ASSERT_EQ(S_OK, s_component->NewPhone("[AdapterList]\r\n" + kex::narrow(kAdapterKey) +
                                                   "=hid_headset.dll\r\n[HidHeadset]\r\nInclude=" + Ids(kFirst) +
                                                   ", " + Ids(kSecond) + "\r\n",
                                               IID_IKexPhone3, phone.put_void()));
        sink.during = [this] { seen.push_back(Look()); };
        ASSERT_EQ(S_OK, subscription.Advise(phone.get(), DIID_IKexPhoneEvents, &sink));
        one = std::make_unique<DevicePlayer>(kFirst.product, virtual_hid::DescriptorOf(kFirst), kPlain);
        two = std::make_unique<DevicePlayer>(kSecond.product, virtual_hid::DescriptorOf(kSecond), kPlain);
        ASSERT_TRUE(one->Start());
        ASSERT_TRUE(two->Start());
        ASSERT_EQ(S_OK, phone->Start());
        ASSERT_TRUE(EventsArrive(2, "the plug-in of each headset at Start"));
        Forget();
    }

    void TearDown() override
    {
        if (phone)
            phone->Stop();
        subscription.Unadvise();
        phone.reset();
        one.reset();
        two.reset();
    }

    Seen Look()
    {
        Seen s;
        s.eventDevice = Text(&IKexPhone3::get_EventDevice);
        s.activeDevice = Text(&IKexPhone3::get_ActiveDevice);
        s.devices = Devices();
        return s;
    }

    std::wstring Text(HRESULT (STDMETHODCALLTYPE IKexPhone3::*get)(BSTR*))
    {
        kex::unique_bstr text;
        EXPECT_EQ(S_OK, (phone.get()->*get)(text.put()));
        return text.get() ? text.get() : L"";
    }

    std::set<std::wstring> Devices()
    {
        long count = -1;
        EXPECT_EQ(S_OK, phone->get_DeviceCount(&count));
        std::set<std::wstring> ids;
        for (long i = 0; i < count; ++i) {
            kex::unique_bstr id;
            EXPECT_EQ(S_OK, phone->get_DeviceId(i, id.put()));
            ids.insert(id.get() ? id.get() : L"");
        }
        return ids;
    }

    HRESULT Activate(const std::wstring& id)
    {
        const kex::unique_bstr text = kex::make_bstr(id.c_str());
        return phone->put_ActiveDevice(text.get());
    }

    void Send(HRESULT (STDMETHODCALLTYPE IKexPhone::*command)(BSTR, BSTR))
    {
        const kex::unique_bstr name = kex::make_bstr(L"Alice"), number = kex::make_bstr(L"100");
        ASSERT_EQ(S_OK, (phone.get()->*command)(name.get(), number.get()));
    }

    // Pumps the host's messages until n events arrived; the failure names
    // what was waited for.
    ::testing::AssertionResult EventsArrive(size_t n, const std::string& what)
    {
        if (PumpWhileNot([&] { return sink.events.size() >= n; }, kEventTimeoutMs))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "waiting for " << what << ": " << sink.events.size() << " of " << n
                                             << " events within " << kEventTimeoutMs << " ms";
    }

    // Until the players took every report written so far.
    ::testing::AssertionResult Settled()
    {
        if ((!one || one->Settle()) && (!two || two->Settle()))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the device players did not settle within " << DevicePlayer::kWaitMs
                                             << " ms";
    }

    void Forget()
    {
        sink.events.clear();
        seen.clear();
    }

    static std::unique_ptr<hid_test::ComponentFolder> s_component;
    com_ptr<IKexPhone3> phone;
    EventSubscription subscription;
    StubSink sink{DIID_IKexPhoneEvents};
    std::vector<Seen> seen; // one for each event in sink.events
    std::unique_ptr<DevicePlayer> one, two;
};

std::unique_ptr<hid_test::ComponentFolder> HidDevicesTest::s_component;

std::vector<long> Action(long action) { return {action}; }
std::vector<long> State(long state) { return {state, 0, -1}; }

TEST_F(HidDevicesTest, EachHeadsetIsListedWithItsNameUsbIdsAndSerial)
{
    EXPECT_EQ((std::set<std::wstring>{IdOf(kFirst), IdOf(kSecond)}), Devices());
    for (const NamedHeadset* headset : {&kFirst, &kSecond}) {
        SCOPED_TRACE(headset->descriptor);
        const kex::unique_bstr id = kex::make_bstr(IdOf(*headset).c_str());
        kex::unique_bstr name, serial;
        long vendor = 0, product = 0;
        ASSERT_EQ(S_OK, phone->get_DeviceName(id.get(), name.put()));
        EXPECT_EQ(FromUtf8(headset->name), std::wstring(name.get()));
        ASSERT_EQ(S_OK, phone->get_DeviceVendorId(id.get(), &vendor));
        EXPECT_EQ(virtual_hid::kVendor, vendor);
        ASSERT_EQ(S_OK, phone->get_DeviceProductId(id.get(), &product));
        EXPECT_EQ(headset->product, product);
        ASSERT_EQ(S_OK, phone->get_DeviceSerial(id.get(), serial.put()));
        EXPECT_EQ(FromUtf8(headset->serial), std::wstring(serial.get()));
    }
}

// With the first headset active, the ring reaches it alone; keys on either
// headset still reach the host, each with its own device.
TEST_F(HidDevicesTest, TheActiveHeadsetAloneRingsAndKeysComeWithTheirHeadset)
{
    ASSERT_EQ(S_OK, Activate(IdOf(kFirst)));
    EXPECT_EQ(IdOf(kFirst), Text(&IKexPhone3::get_ActiveDevice));
    Send(&IKexPhone::Ring);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Lights{Light::kRing}, one->Shown()) << one->Journal();
    EXPECT_EQ(Lights{}, two->Shown()) << two->Journal();
    EXPECT_EQ(0u, two->OutputCount()) << two->Journal();

    struct Row {
        const char* name;
        DevicePlayer* player;
        const NamedHeadset& headset;
    };
    const Row rows[] = {{"the other headset", two.get(), kSecond}, {"the active headset", one.get(), kFirst}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Forget();
        ASSERT_TRUE(row.player->PressFence()); // Redial
        ASSERT_TRUE(EventsArrive(1, std::string("the redial press on ") + row.name));
        PumpPending();
        ASSERT_EQ(1u, sink.events.size());
        EXPECT_EQ(Action(KEX_USBPHONE_CHARVALUE_REDIAL), sink.events[0].args);
        EXPECT_EQ(IdOf(row.headset), seen[0].eventDevice);
        EXPECT_EQ(L"", Text(&IKexPhone3::get_EventDevice)); // outside a handler
    }
    // The other headset's key changed nothing of the call: still dark.
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Lights{}, two->Shown()) << two->Journal();
}

// The active headset is unplugged: the host is told with its id, finds the
// active device back at "all" and the list without it, and the next command
// reaches the other headset. Plugged back in, it comes back with its id.
TEST_F(HidDevicesTest, TheActiveHeadsetUnpluggedFallsBackToAllAndComesBackWithItsId)
{
    ASSERT_EQ(S_OK, Activate(IdOf(kFirst)));
    one.reset(); // nobody holds the headset that goes
    Unplugged unplugged(kFirst);
    ASSERT_TRUE(unplugged.Removed());
    ASSERT_TRUE(EventsArrive(1, "the plug-out of the active headset"));
    PumpPending();
    ASSERT_EQ(1u, sink.events.size());
    EXPECT_EQ(State(KEX_USBPHONE_EVENT_PLUGOUT), sink.events[0].args);
    EXPECT_EQ(IdOf(kFirst), seen[0].eventDevice);
    EXPECT_EQ(L"", seen[0].activeDevice) << "inside the plug-out's handler";
    EXPECT_EQ(std::set<std::wstring>{IdOf(kSecond)}, seen[0].devices) << "inside the plug-out's handler";
    EXPECT_EQ(L"", Text(&IKexPhone3::get_ActiveDevice));
    // Gone, it cannot be chosen.
    EXPECT_EQ(E_INVALIDARG, Activate(IdOf(kFirst)));

    Send(&IKexPhone::Ring);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Lights{Light::kRing}, two->Shown()) << two->Journal();

    Forget();
    ASSERT_TRUE(unplugged.PlugBack());
    ASSERT_TRUE(EventsArrive(1, "the plug-in of the headset plugged back in"));
    PumpPending();
    ASSERT_EQ(1u, sink.events.size());
    EXPECT_EQ(State(KEX_USBPHONE_EVENT_PLUGIN), sink.events[0].args);
    EXPECT_EQ(IdOf(kFirst), seen[0].eventDevice);
    EXPECT_EQ((std::set<std::wstring>{IdOf(kFirst), IdOf(kSecond)}), seen[0].devices);
    EXPECT_EQ(S_OK, Activate(IdOf(kFirst)));
}

// Mute from the softphone lights the active headset's Mute LED; a mute press
// on the headset reaches the host as the mute action with its device, and
// the LED shows the toggled state before the host answers.
TEST_F(HidDevicesTest, MuteFromTheSoftphoneAndFromTheHeadset)
{
    ASSERT_EQ(S_OK, Activate(IdOf(kSecond)));
    Send(&IKexPhone::Talking);
    const Lights talking = {Light::kOffHook}, muted = {Light::kOffHook, Light::kMute};
    struct Step {
        const char* name;
        std::function<void()> act;
        bool pressed; // the host hears the mute action
        Lights shown;
    };
    const Step steps[] = {
        {"the softphone mutes", [&] { ASSERT_EQ(S_OK, phone->Mute(VARIANT_TRUE)); }, false, muted},
        {"the softphone unmutes", [&] { ASSERT_EQ(S_OK, phone->Mute(VARIANT_FALSE)); }, false, talking},
        {"mute pressed on the headset", [&] { ASSERT_TRUE(two->PressMute()); }, true, muted},
        {"the softphone confirms", [&] { ASSERT_EQ(S_OK, phone->Mute(VARIANT_TRUE)); }, false, muted},
        {"mute pressed again", [&] { ASSERT_TRUE(two->PressMute()); }, true, talking},
        {"the softphone confirms again", [&] { ASSERT_EQ(S_OK, phone->Mute(VARIANT_FALSE)); }, false, talking},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        Forget();
        step.act();
        if (HasFatalFailure())
            return;
        if (step.pressed) {
            ASSERT_TRUE(EventsArrive(1, std::string("the mute action after: ") + step.name));
            PumpPending();
            ASSERT_EQ(1u, sink.events.size());
            EXPECT_EQ(Action(KEX_USBPHONE_CHARVALUE_MUTE), sink.events[0].args);
            EXPECT_EQ(IdOf(kSecond), seen[0].eventDevice);
        }
        ASSERT_TRUE(Settled());
        PumpPending();
        EXPECT_EQ(step.pressed ? 1u : 0u, sink.events.size());
        EXPECT_EQ(step.shown, two->Shown()) << two->Journal();
        EXPECT_EQ(Lights{}, one->Shown()) << "the headset that is not active: " << one->Journal();
    }
}

} // namespace
