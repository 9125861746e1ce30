// The HID headset adapter keeping calls the way real headsets expect, driven
// through its own exports as a component speaking contract version 2 drives
// it: KexInitialize2 with a host that records every report with its device,
// KexExecute2 for the host's commands. Virtual headsets serving real layouts
// are played by a device player with the behaviours of real devices; one
// table of behaviour and scenario says what the host must hear and what the
// headset must show at the end. Then the devices themselves: ids, names,
// commands to one headset, unplug and replug, start and stop.
#include "tests/handsets/hid_headset/device_player.h"
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "tests/handsets/hid_headset/virtual_hid_installer.h"
#include "tests/support/TempDir.h"
#include "tests/support/files.h"

#include "adapters/KexUSBAdapter.h"
#include "win32/raii.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using test_support::TempDir;
using virtual_hid::Behaviour;
using virtual_hid::DevicePlayer;
using virtual_hid::IdsOf;
using virtual_hid::Light;
using virtual_hid::Lights;
using virtual_hid::NamedHeadset;

constexpr DWORD kWaitMs = 10000;

// The component's side of version 2, for the adapter alone: every report
// and every device description, with the device's id, from whichever
// thread. A report from a device it was not told of is a fault.
class RecordingHost {
public:
    struct Report {
        std::string device;
        uint32_t msg, wParam;
        int32_t lParam;
    };
    struct Device {
        std::string id, name, serial;
        uint16_t vendorId, productId;
    };

    RecordingHost() : m_arrived(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

    const KexHost* Record()
    {
        m_record = {sizeof(KexHost), KEX_CONTRACT_VERSION, this, &RecordingHost::OnReport, &RecordingHost::OnDescribe};
        return &m_record;
    }

    std::vector<Report> Reports() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }
    std::vector<Device> Devices() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_devices;
    }
    std::string Faults() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_faults;
    }

    // Waits until some report satisfies found; the failure names what was
    // waited for and what came.
    ::testing::AssertionResult WaitFor(const std::string& what, std::function<bool(const std::vector<Report>&)> found,
                                       DWORD timeoutMs = kWaitMs)
    {
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        for (;;) {
            if (found(Reports()))
                return ::testing::AssertionSuccess();
            const ULONGLONG now = GetTickCount64();
            if (now >= end || WaitForSingleObject(m_arrived.get(), static_cast<DWORD>(end - now)) == WAIT_TIMEOUT)
                return ::testing::AssertionFailure() << "waiting " << timeoutMs << " ms for " << what
                                                     << "; the host had: " << Describe(Reports());
        }
    }
    // Waits for the count-th report of msg from device.
    ::testing::AssertionResult WaitForCount(const std::string& what, const std::string& device, uint32_t msg,
                                            uint32_t wParam, size_t count)
    {
        return WaitFor(what, [&](const std::vector<Report>& reports) {
            size_t n = 0;
            for (const Report& r : reports)
                n += r.device == device && r.msg == msg && r.wParam == wParam;
            return n >= count;
        });
    }

    static std::string Describe(const std::vector<Report>& reports)
    {
        static const char* const kNames[] = {"?",          "pick-up", "hang-up", "key",     "call", "book",
                                             "clear",      "h-up",    "h-down",  "b-up",    "b-down", "mute",
                                             "hold",       "redial",  "book-nr", "history", "hands-free", "plug"};
        std::string s;
        for (const Report& r : reports)
            s += (r.msg < 18 ? kNames[r.msg] : std::to_string(r.msg)) +
                 (r.msg == KEX_DEV_PLUG ? std::string(r.wParam ? " in" : " out") : std::string()) + "(" + r.device +
                 ") ";
        return s.empty() ? "nothing" : s;
    }

private:
    static int32_t KEX_CDECL OnReport(void* context, const char* deviceId, uint32_t msg, uint32_t wParam,
                                      int32_t lParam)
    {
        auto* self = static_cast<RecordingHost*>(context);
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            const std::string id = deviceId ? deviceId : "";
            bool known = false;
            for (const Device& d : self->m_devices)
                known = known || d.id == id;
            if (!known)
                self->m_faults += "a report (" + std::to_string(msg) + ") from an undescribed device \"" + id + "\"; ";
            self->m_reports.push_back({id, msg, wParam, lParam});
        }
        SetEvent(self->m_arrived.get());
        return 0;
    }
    static int32_t KEX_CDECL OnDescribe(void* context, const KexDeviceInfo* device)
    {
        auto* self = static_cast<RecordingHost*>(context);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        if (!device || device->size < sizeof(KexDeviceInfo) || !device->id || !*device->id) {
            self->m_faults += "an unusable device record; ";
            return 1;
        }
        self->m_devices.push_back({device->id, device->name ? device->name : "", device->serial ? device->serial : "",
                                   device->vendorId, device->productId});
        return 0;
    }

    KexHost m_record = {};
    kex::unique_handle m_arrived;
    mutable std::mutex m_mutex;
    std::vector<Report> m_reports;
    std::vector<Device> m_devices;
    std::string m_faults;
};

// hid_headset.dll from a folder of its own, whose USBPhone.ini the adapter
// reads at each start (no component is loaded in this process).
class Adapter {
public:
    Adapter() : m_dir("hidcalls")
    {
        m_dir.CopyFromBin("hid_headset.dll", "hid_headset.dll");
        m_module.reset(LoadLibraryA((m_dir / "hid_headset.dll").c_str()));
        if (!m_module)
            return;
        version = Get<KexAdapterVersionFn>(KEX_ADAPTER_VERSION_NAME);
        initialize2 = Get<KexInitialize2Fn>(KEX_ADAPTER_INITIALIZE2_NAME);
        execute2 = Get<KexExecute2Fn>(KEX_ADAPTER_EXECUTE2_NAME);
        intialize = Get<KexIntializeFn>(KEX_ADAPTER_INITIALIZE_NAME);
        execute = Get<KexExecuteFn>(KEX_ADAPTER_EXECUTE_NAME);
        uninitialize = Get<KexUnInitializeFn>(KEX_ADAPTER_UNINITIALIZE_NAME);
    }
    bool Loaded() const { return version && initialize2 && execute2 && intialize && execute && uninitialize; }
    void Settings(const std::string& include, const std::string& more = "")
    {
        m_dir.Write("USBPhone.ini", "[HidHeadset]\r\nInclude=" + include + "\r\n" + more);
    }

    KexAdapterVersionFn version = nullptr;
    KexInitialize2Fn initialize2 = nullptr;
    KexExecute2Fn execute2 = nullptr;
    KexIntializeFn intialize = nullptr;
    KexExecuteFn execute = nullptr;
    KexUnInitializeFn uninitialize = nullptr;

private:
    template <class Fn>
    Fn Get(const char* name)
    {
        return reinterpret_cast<Fn>(GetProcAddress(m_module.get(), name));
    }
    TempDir m_dir;
    kex::unique_hmodule m_module;
};

// The id the adapter gives a named headset with a serial number.
std::string IdOf(const NamedHeadset& h)
{
    return IdsOf(h.product) + ":" + h.serial;
}

// ---- The table: behaviour x scenario.

struct Device {
    const NamedHeadset* headset;
    Behaviour behaviour;
};

// Each behaviour on a headset of its own, so that the table goes through
// every shape: input and LEDs sharing a report id, LEDs in a report of their
// own, one output report per LED, keys in a child collection, the
// Programmable Button collection, Drop, the ringer, a relative hook switch.
const Device kNoEcho = {&virtual_hid::kHeadset0082, {"no echo", Behaviour::kNoFollow, 0, false, false}};
const Device kFollows = {&virtual_hid::kHeadset2453,
                         {"hook follows Off-Hook within 50 ms", Behaviour::kFollowAndReport, 0, false, false}};
const Device kReverts = {&virtual_hid::kHeadsetC053,
                         {"reverts to on-hook when not answered in 2 s", Behaviour::kNoFollow, 2000, false, false}};
const Device kMuteEcho = {&virtual_hid::kHeadsetProgrammable,
                          {"echoes the Mute LED as a press", Behaviour::kFollowSilently, 0, true, false}};
const Device kOffHookAtOpen = {&virtual_hid::kHeadsetSingle,
                               {"off-hook already at open", Behaviour::kFollowSilently, 0, false, true}};
const Device kRelativeStates = {&virtual_hid::kHeadsetPerLed,
                                {"a relative hook switch sending states", Behaviour::kNoFollow, 0, false, false}};

enum class Scenario {
    kAnsweredOnHeadset,
    kAnsweredInSoftphone,
    kOutgoingEndedOnHeadset,
    kOutgoingEndedInSoftphone,
    kHoldAndResume,
    kMuteFromHeadset,
    kMuteFromSoftphone,
    kRejectByHook,
    kRejectByDrop,
    kRejectByButton,
};

const char* Name(Scenario s)
{
    static const char* const kNames[] = {"incoming answered on the headset", "incoming answered in the softphone",
                                         "outgoing ended on the headset",    "outgoing ended in the softphone",
                                         "hold and resume",                  "mute from the headset",
                                         "mute from the softphone",          "reject by hook",
                                         "reject by Drop",                   "reject by the programmable button"};
    return kNames[static_cast<int>(s)];
}

constexpr uint32_t P = KEX_DEV_PICKUP, H = KEX_DEV_HANGUP, M = KEX_DEV_MUTE;

struct Row {
    const Device* device;
    Scenario scenario;
    std::vector<uint32_t> messages; // what the host hears, in order; nothing else
    Lights ends;                    // what the headset shows at the end, of the lights it has
};

// What a person and a softphone do, step by step, with the LEDs checked
// where the headset must show them at once.
class Cell {
public:
    Cell(Adapter& adapter, RecordingHost& host, DevicePlayer& player, std::string id)
        : m_adapter(adapter), m_host(host), m_player(player), m_id(std::move(id))
    {
    }

    void Command(uint32_t code, uintptr_t wParam = 0)
    {
        static const char name[] = "Alice", number[] = "100";
        const bool call = code >= KEX_CMD_LINK && code <= KEX_CMD_RINGBUSY;
        EXPECT_EQ(0, m_adapter.execute2(nullptr, code, call ? reinterpret_cast<uintptr_t>(name) : wParam,
                                        call ? reinterpret_cast<uintptr_t>(number) : 0))
            << "command " << code;
    }

    // Until the device and the adapter have nothing more to say: the
    // player has taken every output and has nothing due, and a Redial press
    // sent after everything else has reached the host.
    ::testing::AssertionResult Sync()
    {
        for (int round = 0; round < 5; ++round) {
            if (!m_player.Settle())
                return ::testing::AssertionFailure() << "the device player did not settle within 10 s; "
                                                     << m_player.Journal();
            const unsigned outputs = m_player.OutputCount();
            if (!m_player.PressFence())
                return ::testing::AssertionFailure() << "the device player did not press Redial within 10 s";
            if (auto r = m_host.WaitForCount("the Redial press sent after everything else", m_id, KEX_DEV_REDIAL, 0,
                                             ++m_fences);
                !r)
                return r;
            if (!m_player.Settle())
                return ::testing::AssertionFailure() << "the device player did not settle within 10 s; "
                                                     << m_player.Journal();
            if (m_player.OutputCount() == outputs)
                return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "the headset and the adapter kept answering each other; "
                                             << m_player.Journal();
    }

    // The lights the headset shows now, against want (of those it has).
    void ExpectLights(const Lights& want, const char* when)
    {
        Lights has = m_player.LightsItHas(), expected;
        for (Light l : want)
            if (has.count(l))
                expected.insert(l);
        EXPECT_EQ(expected, m_player.Shown()) << when << ": shows " << virtual_hid::Show(m_player.Shown())
                                              << "; " << m_player.Journal();
    }

    // What the host heard from the headset since it was plugged in, the
    // Redial presses of Sync left out.
    std::vector<uint32_t> Heard() const
    {
        std::vector<uint32_t> heard;
        bool plugged = false;
        for (const RecordingHost::Report& r : m_host.Reports()) {
            if (r.device != m_id)
                continue;
            if (r.msg == KEX_DEV_PLUG) {
                plugged = r.wParam == KEX_PLUG_IN;
                continue;
            }
            if (plugged && r.msg != KEX_DEV_REDIAL)
                heard.push_back(r.msg);
        }
        return heard;
    }

    void Play(Scenario s);

private:
    Adapter& m_adapter;
    RecordingHost& m_host;
    DevicePlayer& m_player;
    const std::string m_id;
    size_t m_fences = 0;
};

#define KEX_SYNC() ASSERT_TRUE(Sync())

void Cell::Play(Scenario s)
{
    DevicePlayer& person = m_player;
    switch (s) {
    case Scenario::kAnsweredOnHeadset:
        Command(KEX_CMD_RING);
        KEX_SYNC();
        ExpectLights({Light::kRing}, "ringing (the ringer is off by default)");
        ASSERT_TRUE(person.Lift());
        KEX_SYNC();
        // Before the softphone has said a word: the headset waits for it.
        ExpectLights({Light::kOffHook}, "answered on the headset, before the host's Talking");
        Command(KEX_CMD_TALKING);
        KEX_SYNC();
        return;
    case Scenario::kAnsweredInSoftphone:
        Command(KEX_CMD_RING);
        KEX_SYNC();
        Command(KEX_CMD_TALKING);
        KEX_SYNC();
        return;
    case Scenario::kOutgoingEndedOnHeadset:
        Command(KEX_CMD_LINK);
        KEX_SYNC();
        Command(KEX_CMD_RINGBACK);
        KEX_SYNC();
        Command(KEX_CMD_TALKING);
        KEX_SYNC();
        ASSERT_TRUE(person.End());
        KEX_SYNC();
        ExpectLights({}, "ended on the headset, before the host's Hangup");
        Command(KEX_CMD_HANGUP);
        KEX_SYNC();
        return;
    case Scenario::kOutgoingEndedInSoftphone:
        Command(KEX_CMD_LINK);
        KEX_SYNC();
        Command(KEX_CMD_TALKING);
        KEX_SYNC();
        Command(KEX_CMD_HANGUP);
        KEX_SYNC();
        return;
    case Scenario::kHoldAndResume:
        Command(KEX_CMD_RING);
        KEX_SYNC();
        ASSERT_TRUE(person.Lift());
        KEX_SYNC();
        Command(KEX_CMD_TALKING);
        KEX_SYNC();
        Command(KEX_CMD_HOLD);
        KEX_SYNC();
        ExpectLights({Light::kOffHook, Light::kHold}, "held");
        Command(KEX_CMD_RESUME);
        KEX_SYNC();
        ExpectLights({Light::kOffHook}, "resumed");
        Command(KEX_CMD_HOLD);
        KEX_SYNC();
        return;
    case Scenario::kMuteFromHeadset:
        Command(KEX_CMD_RING);
        KEX_SYNC();
        ASSERT_TRUE(person.Lift());
        KEX_SYNC();
        Command(KEX_CMD_TALKING);
        KEX_SYNC();
        ASSERT_TRUE(person.PressMute());
        KEX_SYNC();
        ExpectLights({Light::kOffHook, Light::kMute}, "muted on the headset, before the host's Mute");
        Command(KEX_CMD_MUTE, 1); // the host agrees
        KEX_SYNC();
        ASSERT_TRUE(person.PressMute());
        KEX_SYNC();
        ExpectLights({Light::kOffHook}, "unmuted on the headset");
        Command(KEX_CMD_MUTE, 0);
        KEX_SYNC();
        ASSERT_TRUE(person.PressMute());
        KEX_SYNC();
        Command(KEX_CMD_MUTE, 0); // the host will not mute: the headset shows it
        KEX_SYNC();
        return;
    case Scenario::kMuteFromSoftphone:
        Command(KEX_CMD_RING);
        KEX_SYNC();
        ASSERT_TRUE(person.Lift());
        KEX_SYNC();
        Command(KEX_CMD_TALKING);
        KEX_SYNC();
        Command(KEX_CMD_MUTE, 1);
        KEX_SYNC();
        ExpectLights({Light::kOffHook, Light::kMute}, "muted in the softphone");
        Command(KEX_CMD_MUTE, 0);
        KEX_SYNC();
        ExpectLights({Light::kOffHook}, "unmuted in the softphone");
        Command(KEX_CMD_MUTE, 1);
        KEX_SYNC();
        return;
    case Scenario::kRejectByHook:
        // Lifted while idle (the softphone does nothing with it); a call
        // comes; the headset is put down.
        ASSERT_TRUE(person.Lift());
        KEX_SYNC();
        Command(KEX_CMD_RING);
        KEX_SYNC();
        ASSERT_TRUE(person.PutDown());
        KEX_SYNC();
        Command(KEX_CMD_READY);
        KEX_SYNC();
        return;
    case Scenario::kRejectByDrop:
        ASSERT_TRUE(person.PressDrop()); // outside a call: nothing
        KEX_SYNC();
        Command(KEX_CMD_RING);
        KEX_SYNC();
        ASSERT_TRUE(person.PressDrop());
        KEX_SYNC();
        ExpectLights({}, "rejected by Drop, before the host's Ready");
        Command(KEX_CMD_READY);
        KEX_SYNC();
        return;
    case Scenario::kRejectByButton:
        Command(KEX_CMD_RING);
        KEX_SYNC();
        ASSERT_TRUE(person.PressReject());
        KEX_SYNC();
        ExpectLights({}, "rejected by the button, before the host's Ready");
        Command(KEX_CMD_READY);
        KEX_SYNC();
        return;
    }
}

// What the controls a scenario needs are on the headset; empty when they are.
std::string Missing(const DevicePlayer& player, Scenario s)
{
    if (s == Scenario::kRejectByDrop && !player.Has({0x0B, 0x26}))
        return "no Drop";
    if (s == Scenario::kRejectByButton && !player.HasRejectButton())
        return "no programmable button";
    return "";
}

class HidCallsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_adapter = std::make_unique<Adapter>(); }
    static void TearDownTestSuite() { s_adapter.reset(); }

    // One row, from the adapter's start to its stop; a row that cannot go on
    // ends here, and the next one runs.
    static void PlayRow(const Row& row)
    {
        const NamedHeadset& headset = *row.device->headset;
        const virtual_hid::ReportDescriptor descriptor = virtual_hid::DescriptorOf(headset);
        ASSERT_TRUE(descriptor.Valid());
        s_adapter->Settings(IdsOf(headset.product));
        RecordingHost host;
        ASSERT_EQ(0, s_adapter->initialize2(host.Record()));
        struct Stop {
            bool armed = true;
            ~Stop()
            {
                if (armed)
                    s_adapter->uninitialize();
            }
        } stop;
        ASSERT_TRUE(host.WaitFor("the headset's plug-in", [](const std::vector<RecordingHost::Report>& r) {
            return !r.empty() && r.back().msg == KEX_DEV_PLUG;
        }));
        const std::string id = host.Reports().back().device;
        DevicePlayer player(headset.product, descriptor, row.device->behaviour);
        EXPECT_EQ("", Missing(player, row.scenario)) << "a row for a scenario the headset cannot play";
        ASSERT_TRUE(player.Start());
        Cell cell(*s_adapter, host, player, id);
        ASSERT_TRUE(cell.Sync()) << "the headset as it was opened";
        cell.Play(row.scenario);
        EXPECT_EQ(row.messages, cell.Heard()) << RecordingHost::Describe(host.Reports());
        cell.ExpectLights(row.ends, "at the end");
        EXPECT_EQ("", host.Faults());
        stop.armed = false;
        s_adapter->uninitialize();
        ASSERT_TRUE(player.Settle()) << "the device player did not settle within 10 s";
        // Stopped: what the adapter lit is out.
        EXPECT_EQ(Lights{}, player.Shown()) << "after UnInitialize: " << player.Journal();
    }

    static std::unique_ptr<Adapter> s_adapter;
};
std::unique_ptr<Adapter> HidCallsTest::s_adapter;

// One row per behaviour and scenario. Where a headset lacks the control a
// scenario needs, the row is left out (named in the output). Wine 8 shows a
// device as its first top-level collection only, so the real layouts here
// have their telephony collection first; the adapter handles the Windows
// shape, one device per collection, the same way.
TEST_F(HidCallsTest, EachBehaviourOfARealHeadsetInEachScenario)
{
    using S = Scenario;
    const Lights none = {}, offHook = {Light::kOffHook};
    const Lights held = {Light::kOffHook, Light::kHold}, muted = {Light::kOffHook, Light::kMute};
    const Row rows[] = {
        // No echo: the switch moves only when the person moves it. Ending a
        // call the softphone made takes two presses (the switch was down).
        {&kNoEcho, S::kAnsweredOnHeadset, {P}, offHook},
        {&kNoEcho, S::kAnsweredInSoftphone, {}, offHook},
        {&kNoEcho, S::kOutgoingEndedOnHeadset, {H}, none},
        {&kNoEcho, S::kOutgoingEndedInSoftphone, {}, none},
        {&kNoEcho, S::kHoldAndResume, {P}, held},
        {&kNoEcho, S::kMuteFromHeadset, {P, M, M, M}, offHook},
        {&kNoEcho, S::kMuteFromSoftphone, {P}, muted},
        // The ring's report tells the headset Off-Hook is off, which the
        // adapter takes as its hook state: putting it down is no change.
        {&kNoEcho, S::kRejectByHook, {P}, none},
        {&kNoEcho, S::kRejectByDrop, {H}, none},
        {&kNoEcho, S::kRejectByButton, {H}, none},
        // The switch follows Off-Hook and says so: no echo is a press.
        {&kFollows, S::kAnsweredOnHeadset, {P}, offHook},
        {&kFollows, S::kAnsweredInSoftphone, {}, offHook},
        {&kFollows, S::kOutgoingEndedOnHeadset, {H}, none},
        {&kFollows, S::kOutgoingEndedInSoftphone, {}, none},
        {&kFollows, S::kHoldAndResume, {P}, held},
        {&kFollows, S::kMuteFromHeadset, {P, M, M, M}, offHook},
        {&kFollows, S::kMuteFromSoftphone, {P}, muted},
        {&kFollows, S::kRejectByHook, {P}, none}, // the ring put it on-hook, with a report
        {&kFollows, S::kRejectByButton, {H}, none},
        // Answered at once, so it never goes back; the pick-up while idle
        // that nobody answers goes back without a hang-up.
        {&kReverts, S::kAnsweredOnHeadset, {P}, offHook},
        {&kReverts, S::kAnsweredInSoftphone, {}, offHook},
        {&kReverts, S::kOutgoingEndedOnHeadset, {H}, none},
        {&kReverts, S::kOutgoingEndedInSoftphone, {}, none},
        {&kReverts, S::kHoldAndResume, {P}, held},
        {&kReverts, S::kMuteFromHeadset, {P, M, M, M}, offHook},
        {&kReverts, S::kMuteFromSoftphone, {P}, muted},
        {&kReverts, S::kRejectByHook, {P}, none},
        // Every Mute LED written comes back as a press: none of them counts.
        {&kMuteEcho, S::kAnsweredOnHeadset, {P}, offHook},
        {&kMuteEcho, S::kAnsweredInSoftphone, {}, offHook},
        {&kMuteEcho, S::kOutgoingEndedOnHeadset, {H}, none},
        {&kMuteEcho, S::kOutgoingEndedInSoftphone, {}, none},
        {&kMuteEcho, S::kHoldAndResume, {P}, held},
        {&kMuteEcho, S::kMuteFromHeadset, {P, M, M, M}, offHook},
        {&kMuteEcho, S::kMuteFromSoftphone, {P}, muted},
        {&kMuteEcho, S::kRejectByHook, {P}, none},
        {&kMuteEcho, S::kRejectByDrop, {H}, none},
        {&kMuteEcho, S::kRejectByButton, {H}, none},
        // Off-hook in its first report: no pick-up for that.
        {&kOffHookAtOpen, S::kAnsweredOnHeadset, {P}, offHook},
        {&kOffHookAtOpen, S::kAnsweredInSoftphone, {}, offHook},
        {&kOffHookAtOpen, S::kOutgoingEndedOnHeadset, {H}, none},
        {&kOffHookAtOpen, S::kOutgoingEndedInSoftphone, {}, none},
        {&kOffHookAtOpen, S::kHoldAndResume, {P}, held},
        {&kOffHookAtOpen, S::kMuteFromHeadset, {P, M, M, M}, offHook},
        {&kOffHookAtOpen, S::kMuteFromSoftphone, {P}, muted},
        {&kOffHookAtOpen, S::kRejectByHook, {}, none}, // lifted already; the ring put it on-hook
        // Declared relative, sending 1 while off-hook: held through the
        // Redial press it is known as a state. Its ring writes no Off-Hook
        // (one report per LED): put down while ringing, it rejects.
        {&kRelativeStates, S::kAnsweredOnHeadset, {P}, offHook},
        {&kRelativeStates, S::kAnsweredInSoftphone, {}, offHook},
        {&kRelativeStates, S::kOutgoingEndedOnHeadset, {H}, none},
        {&kRelativeStates, S::kOutgoingEndedInSoftphone, {}, none},
        {&kRelativeStates, S::kHoldAndResume, {P}, held},
        {&kRelativeStates, S::kMuteFromHeadset, {P, M, M, M}, offHook},
        {&kRelativeStates, S::kMuteFromSoftphone, {P}, muted},
        {&kRelativeStates, S::kRejectByHook, {P, H}, none},
    };
    ASSERT_TRUE(s_adapter->Loaded());
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.device->behaviour.name) + " (" + row.device->headset->descriptor + "), " +
                     Name(row.scenario));
        PlayRow(row);
    }
}

// ---- The headsets as devices of a version-2 host.

// A headset that only shows what it is sent.
const Behaviour kPlain = {"plain", Behaviour::kNoFollow, 0, false, false};

using hid_test::RunInstaller;

size_t CountPlugs(const std::vector<RecordingHost::Report>& reports, const std::string& id, uint32_t state)
{
    size_t n = 0;
    for (const RecordingHost::Report& r : reports)
        n += r.device == id && r.msg == KEX_DEV_PLUG && r.wParam == state;
    return n;
}

TEST_F(HidCallsTest, EachHeadsetIsADeviceWithItsIdAndNameAndTakesCommandsForIt)
{
    using virtual_hid::kHeadset0082;
    using virtual_hid::kHeadset2453;
    using virtual_hid::kHeadsetC053;
    ASSERT_TRUE(s_adapter->Loaded());
    s_adapter->Settings(IdsOf(kHeadset2453.product) + ", " + IdsOf(kHeadset0082.product) + ", " +
                        IdsOf(kHeadsetC053.product));
    RecordingHost host;
    ASSERT_EQ(0, s_adapter->initialize2(host.Record()));
    struct Stop {
        ~Stop() { s_adapter->uninitialize(); }
    } stop;
    ASSERT_TRUE(host.WaitFor("three plug-ins", [](const std::vector<RecordingHost::Report>& r) { return r.size() >= 3; }));
    const std::string first = IdOf(kHeadset2453), second = IdOf(kHeadset0082);

    // Described before they were plugged in, each with its own id.
    const std::vector<RecordingHost::Device> devices = host.Devices();
    ASSERT_EQ(3u, devices.size());
    struct Want {
        const NamedHeadset& headset;
        std::string id, serial;
    };
    std::string serialless;
    for (const RecordingHost::Device& d : devices)
        if (d.productId == kHeadsetC053.product)
            serialless = d.id;
    // Without a serial number: the device instance (the same for the same port).
    EXPECT_EQ(0u, serialless.find("HID\\")) << serialless;
    const Want wants[] = {{kHeadset2453, first, kHeadset2453.serial},
                          {kHeadset0082, second, kHeadset0082.serial},
                          {kHeadsetC053, serialless, serialless}};
    for (const Want& want : wants) {
        SCOPED_TRACE(want.headset.descriptor);
        auto d = std::find_if(devices.begin(), devices.end(), [&](const auto& d) { return d.id == want.id; });
        ASSERT_NE(devices.end(), d);
        EXPECT_EQ(want.headset.name, d->name); // the product string, in UTF-8
        EXPECT_EQ(0x1209, d->vendorId);
        EXPECT_EQ(want.headset.product, d->productId);
        EXPECT_EQ(want.serial, d->serial);
        EXPECT_EQ(1u, CountPlugs(host.Reports(), want.id, KEX_PLUG_IN));
    }
    EXPECT_EQ("", host.Faults());

    DevicePlayer one(kHeadset2453.product, virtual_hid::DescriptorOf(kHeadset2453), kPlain);
    DevicePlayer two(kHeadset0082.product, virtual_hid::DescriptorOf(kHeadset0082), kPlain);
    ASSERT_TRUE(one.Start());
    ASSERT_TRUE(two.Start());
    auto settle = [&] { ASSERT_TRUE(one.Settle() && two.Settle()) << "the device players did not settle within 10 s"; };

    // Ring for the first headset: the second shows nothing, writes nothing.
    EXPECT_EQ(0, s_adapter->execute2(first.c_str(), KEX_CMD_RING, 0, 0));
    settle();
    EXPECT_EQ(Lights{Light::kRing}, one.Shown()) << one.Journal();
    EXPECT_EQ(0u, two.OutputCount()) << two.Journal();
    // Every headset, then mute for the second alone.
    EXPECT_EQ(0, s_adapter->execute2(nullptr, KEX_CMD_TALKING, 0, 0));
    EXPECT_EQ(0, s_adapter->execute2(second.c_str(), KEX_CMD_MUTE, 1, 0));
    settle();
    EXPECT_EQ(Lights{Light::kOffHook}, one.Shown()) << one.Journal();
    EXPECT_EQ((Lights{Light::kOffHook, Light::kMute}), two.Shown()) << two.Journal();
    // A headset the adapter does not have.
    EXPECT_EQ(1, s_adapter->execute2("1209:b1ff:none", KEX_CMD_HANGUP, 0, 0));
    EXPECT_EQ(1, s_adapter->execute2("", KEX_CMD_HANGUP, 0, 0));

    // A key on the second headset comes with the second headset's id.
    ASSERT_TRUE(two.PressFence());
    ASSERT_TRUE(host.WaitForCount("Redial on the second headset", second, KEX_DEV_REDIAL, 0, 1));
    for (const RecordingHost::Report& r : host.Reports())
        EXPECT_TRUE(r.msg == KEX_DEV_PLUG || r.device == second) << RecordingHost::Describe(host.Reports());
}

// With a serial number the id comes from it; without one from the device
// instance, which a headset keeps in the same port.
TEST_F(HidCallsTest, AHeadsetUnpluggedAndPluggedBackKeepsItsId)
{
    using virtual_hid::kHeadset2453;
    using virtual_hid::kHeadsetC053;
    ASSERT_TRUE(s_adapter->Loaded());
    s_adapter->Settings(IdsOf(kHeadset2453.product) + ", " + IdsOf(kHeadsetC053.product));
    RecordingHost host;
    ASSERT_EQ(0, s_adapter->initialize2(host.Record()));
    struct Stop {
        ~Stop() { s_adapter->uninitialize(); }
    } stop;
    ASSERT_TRUE(host.WaitFor("two plug-ins", [](const auto& r) { return r.size() == 2; }));
    const std::string inf = test_support::ExeDirectory() + "..\\hid\\virtual_hid.inf";
    for (const NamedHeadset* headset : {&kHeadset2453, &kHeadsetC053}) {
        SCOPED_TRACE(headset->descriptor);
        std::string id;
        for (const RecordingHost::Device& d : host.Devices())
            if (d.productId == headset->product)
                id = d.id;
        ASSERT_FALSE(id.empty());
        const size_t described = host.Devices().size();
        // Removing the root device and installing it again is as near as
        // Wine comes to unplugging a USB headset and plugging it back in.
        ASSERT_EQ(0u, RunInstaller("remove " + IdsOf(headset->product)));
        ASSERT_TRUE(host.WaitFor("the plug-out", [&](const auto& r) { return CountPlugs(r, id, KEX_PLUG_OUT) == 1; }));
        ASSERT_EQ(0u, RunInstaller("restore \"" + inf + "\" " + IdsOf(headset->product)));
        ASSERT_TRUE(host.WaitFor("the plug-in with the same id",
                                 [&](const auto& r) { return CountPlugs(r, id, KEX_PLUG_IN) == 2; }));
        const std::vector<RecordingHost::Device> devices = host.Devices();
        ASSERT_EQ(described + 1, devices.size());
        EXPECT_EQ(id, devices.back().id);
        EXPECT_EQ(headset->name, devices.back().name);
    }
    EXPECT_EQ("", host.Faults());
    EXPECT_EQ(6u, host.Reports().size()) << RecordingHost::Describe(host.Reports());
}

// Nothing is written when a headset is opened (another application may hold
// a call on it), nor for a command that changes no LED; at the end the
// adapter puts out what it lit, and leaves the reports it never wrote.
TEST_F(HidCallsTest, OpeningWritesNoLedAndStoppingPutsOutOnlyWhatTheAdapterLit)
{
    using virtual_hid::kHeadsetC053; // one output report per LED
    ASSERT_TRUE(s_adapter->Loaded());
    virtual_hid::Device device(kHeadsetC053.product);
    ASSERT_TRUE(device.IsOpen());
    device.TakeOutput();
    s_adapter->Settings(IdsOf(kHeadsetC053.product));
    RecordingHost host;
    ASSERT_EQ(0, s_adapter->initialize2(host.Record()));
    bool stopped = false;
    struct Stop {
        bool& stopped;
        ~Stop()
        {
            if (!stopped)
                s_adapter->uninitialize();
        }
    } stop{stopped};
    ASSERT_TRUE(host.WaitFor("the plug-in", [](const auto& r) { return !r.empty(); }));
    using Bytes = std::vector<unsigned char>;
    auto written = [&] {
        std::vector<Bytes> out;
        for (const virtual_hid::OutputReport& r : device.TakeOutput())
            out.push_back(r.bytes);
        return out;
    };
    EXPECT_EQ(std::vector<Bytes>{}, written()) << "at opening";
    EXPECT_EQ(0, s_adapter->execute2(nullptr, KEX_CMD_READY, 0, 0));
    EXPECT_EQ(std::vector<Bytes>{}, written()) << "Ready, which changes no LED";
    EXPECT_EQ(0, s_adapter->execute2(nullptr, KEX_CMD_RING, 0, 0));
    EXPECT_EQ((std::vector<Bytes>{{0x18, 0x01}}), written()) << "Ring";
    EXPECT_EQ(0, s_adapter->execute2(nullptr, KEX_CMD_TALKING, 0, 0));
    EXPECT_EQ((std::vector<Bytes>{{0x17, 0x01}, {0x18, 0x00}}), written()) << "Talking";
    stopped = true;
    s_adapter->uninitialize();
    EXPECT_EQ((std::vector<Bytes>{{0x17, 0x00}}), written()) << "at the end";
}

// The headset's own ringer sounds with Ring only when [HidHeadset] Ringer
// says so: the softphone rings already.
TEST_F(HidCallsTest, TheRingerSoundsWithRingOnlyWhenTheSettingsSaySo)
{
    using virtual_hid::kHeadset2453;
    struct Row {
        const char* settings;
        Lights ringing;
    };
    const Row rows[] = {
        {"", {Light::kRing}},
        {"Ringer=1\r\n", {Light::kRing, Light::kRinger}},
        {"Ringer=yes\r\n", {Light::kRing, Light::kRinger}},
        {"Ringer=0\r\n", {Light::kRing}},
        {"Ringer=maybe\r\n", {Light::kRing}},
    };
    ASSERT_TRUE(s_adapter->Loaded());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings);
        s_adapter->Settings(IdsOf(kHeadset2453.product), row.settings);
        RecordingHost host;
        ASSERT_EQ(0, s_adapter->initialize2(host.Record()));
        struct Stop {
            ~Stop() { s_adapter->uninitialize(); }
        } stop;
        ASSERT_TRUE(host.WaitFor("the plug-in", [](const auto& r) { return !r.empty(); }));
        DevicePlayer player(kHeadset2453.product, virtual_hid::DescriptorOf(kHeadset2453), kPlain);
        ASSERT_TRUE(player.Start());
        EXPECT_EQ(0, s_adapter->execute2(nullptr, KEX_CMD_RING, 0, 0));
        ASSERT_TRUE(player.Settle());
        EXPECT_EQ(row.ringing, player.Shown());
        EXPECT_EQ(0, s_adapter->execute2(nullptr, KEX_CMD_TALKING, 0, 0));
        ASSERT_TRUE(player.Settle());
        EXPECT_EQ(Lights{Light::kOffHook}, player.Shown()) << "answered: the ringer stops with the ring";
    }
}

// What a version-1 callback receives, from whichever thread.
std::mutex g_version1Mutex;
std::vector<uint32_t> g_version1Messages;
kex::unique_handle g_version1Arrived(CreateEventW(nullptr, FALSE, FALSE, nullptr));
int32_t KEX_CDECL Version1Callback(uint32_t msg, uint32_t, int32_t)
{
    {
        std::lock_guard<std::mutex> lock(g_version1Mutex);
        g_version1Messages.push_back(msg);
    }
    SetEvent(g_version1Arrived.get());
    return 0;
}

size_t Version1Count()
{
    std::lock_guard<std::mutex> lock(g_version1Mutex);
    return g_version1Messages.size();
}

// The same library for a component that speaks version 1: reports without
// ids, and the mute code is not one it knows; through version 2 it is.
TEST_F(HidCallsTest, AVersion1ComponentSeesTheAdapterAsBeforeAndAVersion2OneSeesMute)
{
    using virtual_hid::kHeadset2453;
    ASSERT_TRUE(s_adapter->Loaded());
    EXPECT_EQ(KEX_CONTRACT_VERSION, s_adapter->version());
    s_adapter->Settings(IdsOf(kHeadset2453.product));
    DevicePlayer player(kHeadset2453.product, virtual_hid::DescriptorOf(kHeadset2453), kPlain);
    ASSERT_TRUE(player.Start());
    {
        ASSERT_EQ(0, s_adapter->intialize(&Version1Callback));
        struct Stop {
            ~Stop() { s_adapter->uninitialize(); }
        } stop;
        auto arrive = [](size_t n, const char* what) {
            while (Version1Count() < n)
                if (WaitForSingleObject(g_version1Arrived.get(), kWaitMs) != WAIT_OBJECT_0)
                    return ::testing::AssertionFailure() << what << " did not reach the version-1 callback in 10 s";
            return ::testing::AssertionSuccess();
        };
        ASSERT_TRUE(arrive(1, "the plug-in"));
        EXPECT_EQ(1, s_adapter->execute(KEX_CMD_MUTE, 1, 0)) << "a code version 1 does not have";
        EXPECT_EQ(1, s_adapter->execute2(nullptr, KEX_CMD_RING, 0, 0)) << "version 2 while bound through version 1";
        EXPECT_EQ(0, s_adapter->execute(KEX_CMD_RING, 0, 0));
        ASSERT_TRUE(player.Settle());
        EXPECT_EQ(Lights{Light::kRing}, player.Shown());
        ASSERT_TRUE(player.PressFence());
        ASSERT_TRUE(arrive(2, "the Redial press"));
        std::lock_guard<std::mutex> lock(g_version1Mutex);
        EXPECT_EQ((std::vector<uint32_t>{KEX_DEV_PLUG, KEX_DEV_REDIAL}), g_version1Messages);
    }
    RecordingHost host;
    ASSERT_EQ(0, s_adapter->initialize2(host.Record()));
    struct Stop {
        ~Stop() { s_adapter->uninitialize(); }
    } stop;
    ASSERT_TRUE(host.WaitFor("the plug-in", [](const auto& r) { return !r.empty(); }));
    EXPECT_EQ(0, s_adapter->execute2(nullptr, KEX_CMD_MUTE, 1, 0));
    EXPECT_EQ(1, s_adapter->execute2(nullptr, KEX_CMD_LAST_V2 + 1, 0, 0));
    ASSERT_TRUE(player.Settle());
    EXPECT_EQ(Lights{Light::kMute}, player.Shown());
}

} // namespace
