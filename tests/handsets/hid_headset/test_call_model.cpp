// The HID headset adapter's call model: the call and the LEDs the host's
// commands set, and the hook switch, mute and the reject controls read
// against the call and against what the adapter wrote, with the times that
// tell a device's echo from a person's press.
#include "handsets/hid_headset/call_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace hid_headset;

constexpr LedState kEvery = kLedOffHook | kLedRing | kLedHold | kLedMute | kLedRinger;
constexpr DeviceMessage kPickUp = {KEX_DEV_PICKUP, 0, 0};
constexpr DeviceMessage kHangUp = {KEX_DEV_HANGUP, 0, 0};
constexpr DeviceMessage kMute = {KEX_DEV_MUTE, 0, 0};

// One thing that happens to the model.
struct Step {
    enum Kind { kCommand, kWrite, kHook, kMutePress, kDrop, kReject } kind;
    uint32_t code;
    uintptr_t wParam;
    LedState conveyed; // kWrite: the LEDs the written reports carry
    bool on, others;   // kHook
    uint64_t at;       // ms
};

Step Command(uint32_t code, uintptr_t wParam = 0) { return {Step::kCommand, code, wParam, 0, false, false, 0}; }
// The adapter writes the model's LEDs at `at`, in reports that carry conveyed.
Step Write(uint64_t at, LedState conveyed = kEvery) { return {Step::kWrite, 0, 0, conveyed, false, false, at}; }
Step Hook(bool on, uint64_t at, bool others = false) { return {Step::kHook, 0, 0, 0, on, others, at}; }
Step MutePress(uint64_t at) { return {Step::kMutePress, 0, 0, 0, false, false, at}; }
Step Drop() { return {Step::kDrop, 0, 0, 0, false, false, 0}; }
Step Reject() { return {Step::kReject, 0, 0, 0, false, false, 0}; }

std::vector<DeviceMessage> Play(CallModel& model, const std::vector<Step>& steps)
{
    std::vector<DeviceMessage> out;
    for (const Step& s : steps) {
        switch (s.kind) {
        case Step::kCommand:
            model.OnCommand(s.code, s.wParam);
            break;
        case Step::kWrite:
            model.OnLedsWritten(s.conveyed, model.Leds(), s.at);
            break;
        case Step::kHook:
            model.OnHook(s.on, s.others, s.at, out);
            break;
        case Step::kMutePress:
            model.OnMutePress(s.at, out);
            break;
        case Step::kDrop:
            model.OnDropPress(out);
            break;
        case Step::kReject:
            model.OnRejectPress(out);
            break;
        }
    }
    return out;
}

std::string Show(const std::vector<DeviceMessage>& ms)
{
    static const char* const kNames[] = {"?", "pick-up", "hang-up"};
    std::string s;
    for (const DeviceMessage& m : ms)
        s += (m.msg < 3 ? kNames[m.msg] : m.msg == KEX_DEV_MUTE ? "mute" : std::to_string(m.msg)) + " ";
    return s.empty() ? "none" : s;
}

std::string ShowLeds(LedState leds)
{
    static const struct {
        Led led;
        const char* name;
    } kNames[] = {{kLedOffHook, "off-hook"}, {kLedRing, "ring"}, {kLedHold, "hold"}, {kLedMute, "mute"},
                  {kLedRinger, "ringer"}};
    std::string s;
    for (const auto& n : kNames)
        if (leds & n.led)
            s += std::string(n.name) + " ";
    return s.empty() ? "none" : s;
}

TEST(CallModel, CommandsSetTheCallAndItsLeds)
{
    struct Row {
        const char* name;
        std::vector<uint32_t> commands;
        bool ringer;
        CallState state;
        LedState leds;
    };
    const Row rows[] = {
        {"nothing yet", {}, false, CallState::kIdle, 0},
        {"ring", {KEX_CMD_RING}, false, CallState::kIncoming, kLedRing},
        {"ring with the ringer on", {KEX_CMD_RING}, true, CallState::kIncoming, kLedRing | kLedRinger},
        {"answered", {KEX_CMD_RING, KEX_CMD_TALKING}, true, CallState::kTalking, kLedOffHook},
        {"dialling", {KEX_CMD_LINK}, false, CallState::kOutgoing, kLedOffHook},
        {"ring-back", {KEX_CMD_RINGBACK}, false, CallState::kOutgoing, kLedOffHook},
        {"held: off-hook stays lit", {KEX_CMD_TALKING, KEX_CMD_HOLD}, false, CallState::kHeld,
         kLedOffHook | kLedHold},
        {"resumed", {KEX_CMD_TALKING, KEX_CMD_HOLD, KEX_CMD_RESUME}, false, CallState::kTalking, kLedOffHook},
        {"held while ringing", {KEX_CMD_RING, KEX_CMD_HOLD}, true, CallState::kHeld, kLedOffHook | kLedHold},
        {"hung up while held", {KEX_CMD_TALKING, KEX_CMD_HOLD, KEX_CMD_HANGUP}, false, CallState::kIdle, 0},
        {"failed while ringing", {KEX_CMD_RING, KEX_CMD_CALLFAILED}, true, CallState::kIdle, 0},
        {"busy", {KEX_CMD_LINK, KEX_CMD_RINGBUSY}, false, CallState::kIdle, 0},
        {"ready", {KEX_CMD_RING, KEX_CMD_READY}, false, CallState::kIdle, 0},
        // A second call rings during the first: the first goes on, and the
        // ringer stays quiet in the ear of a person talking.
        {"a call waiting", {KEX_CMD_TALKING, KEX_CMD_RING}, true, CallState::kTalking, kLedOffHook | kLedRing},
        {"a call waiting while held", {KEX_CMD_TALKING, KEX_CMD_HOLD, KEX_CMD_RING, KEX_CMD_RESUME}, true,
         CallState::kTalking, kLedOffHook | kLedRing},
        {"the waiting call taken", {KEX_CMD_TALKING, KEX_CMD_RING, KEX_CMD_TALKING}, true, CallState::kTalking,
         kLedOffHook},
        {"texts change nothing", {KEX_CMD_TALKING, KEX_CMD_NUMBER, KEX_CMD_CALLINFO, KEX_CMD_CONTACTINFO}, false,
         CallState::kTalking, kLedOffHook},
        {"unknown codes change nothing", {KEX_CMD_RING, 0, KEX_CMD_LAST_V2 + 1, 0xFFFFFFFFu}, false,
         CallState::kIncoming, kLedRing},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CallSettings settings;
        settings.ringer = row.ringer;
        CallModel model(false, settings);
        for (uint32_t c : row.commands)
            model.OnCommand(c, 0);
        EXPECT_EQ(row.state, model.State());
        EXPECT_EQ(row.leds, model.Leds()) << ShowLeds(model.Leds());
    }
}

// Every command from a ringing call and from a held, muted one: each sets
// and clears exactly what the call it leads to shows.
TEST(CallModel, EveryCommandFromARingingAndFromAHeldMutedCall)
{
    constexpr LedState kRinging = kLedRing | kLedRinger;
    constexpr LedState kHeldMuted = kLedOffHook | kLedHold | kLedMute;
    struct Row {
        const char* name;
        uint32_t code;
        uintptr_t wParam;
        LedState fromRinging;
        LedState fromHeldMuted;
    };
    const Row rows[] = {
        {"ready", KEX_CMD_READY, 0, 0, 0},
        {"link", KEX_CMD_LINK, 0, kLedOffHook, kLedOffHook | kLedMute},
        {"ring", KEX_CMD_RING, 0, kRinging, kHeldMuted | kLedRing}, // a second call
        {"ring-back", KEX_CMD_RINGBACK, 0, kLedOffHook, kLedOffHook | kLedMute},
        {"talking", KEX_CMD_TALKING, 0, kLedOffHook, kLedOffHook | kLedMute},
        {"hangup", KEX_CMD_HANGUP, 0, 0, 0},
        {"hold", KEX_CMD_HOLD, 0, kLedOffHook | kLedHold, kHeldMuted},
        {"resume", KEX_CMD_RESUME, 0, kLedOffHook, kLedOffHook | kLedMute},
        {"call failed", KEX_CMD_CALLFAILED, 0, 0, 0},
        {"ring busy", KEX_CMD_RINGBUSY, 0, 0, 0},
        {"number", KEX_CMD_NUMBER, 0, kRinging, kHeldMuted},
        {"call info", KEX_CMD_CALLINFO, 0, kRinging, kHeldMuted},
        {"contact info", KEX_CMD_CONTACTINFO, 0, kRinging, kHeldMuted},
        {"mute on", KEX_CMD_MUTE, 1, kRinging | kLedMute, kHeldMuted},
        {"mute off", KEX_CMD_MUTE, 0, kRinging, kLedOffHook | kLedHold},
        {"code 0", 0, 0, kRinging, kHeldMuted},
        {"code 15", KEX_CMD_LAST_V2 + 1, 1, kRinging, kHeldMuted},
    };
    CallSettings ringer;
    ringer.ringer = true;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CallModel ringing(false, ringer);
        ringing.OnCommand(KEX_CMD_RING, 0);
        ringing.OnCommand(row.code, row.wParam);
        EXPECT_EQ(row.fromRinging, ringing.Leds()) << ShowLeds(ringing.Leds());

        CallModel held(false, ringer);
        for (uint32_t c : {KEX_CMD_TALKING, KEX_CMD_HOLD})
            held.OnCommand(c, 0);
        held.OnCommand(KEX_CMD_MUTE, 1);
        ASSERT_EQ(kHeldMuted, held.Leds());
        held.OnCommand(row.code, row.wParam);
        EXPECT_EQ(row.fromHeldMuted, held.Leds()) << ShowLeds(held.Leds());
    }
}

struct HookRow {
    const char* name;
    std::vector<Step> steps;
    std::vector<DeviceMessage> messages;
    CallState state;
    LedState leds;
};

void RunRows(const std::vector<HookRow>& rows, bool hookRelative)
{
    for (const HookRow& row : rows) {
        SCOPED_TRACE(row.name);
        CallModel model(hookRelative);
        const std::vector<DeviceMessage> out = Play(model, row.steps);
        EXPECT_EQ(row.messages, out) << Show(out);
        EXPECT_EQ(row.state, model.State());
        EXPECT_EQ(row.leds, model.Leds()) << ShowLeds(model.Leds());
    }
}

// A hook switch that reports its state (declared absolute). Times in ms;
// the echo window is kHookEchoWindowMs after the adapter changed Off-Hook.
TEST(CallModel, AHookSwitchIsReadAgainstTheCallAndWhatTheAdapterWrote)
{
    const uint64_t late = kHookEchoWindowMs + 100;
    const std::vector<HookRow> rows = {
        // The state at opening.
        {"off-hook in the first report is no press", {Hook(true, 0)}, {}, CallState::kIdle, 0},
        {"off-hook in the first report while ringing answers",
         {Command(KEX_CMD_RING), Hook(true, 0)}, {kPickUp}, CallState::kTalking, kLedOffHook},
        {"a first report made for another key moves nothing, ringing or not",
         {Command(KEX_CMD_RING), Hook(true, 0, true)}, {}, CallState::kIncoming, kLedRing},
        // Idle.
        {"lifted while idle: a pick-up for the host to judge", {Hook(false, 0), Hook(true, 10)}, {kPickUp},
         CallState::kIdle, 0},
        {"put down while idle: nothing", {Hook(false, 0), Hook(true, 10), Hook(false, 20)}, {kPickUp},
         CallState::kIdle, 0},
        // Ringing.
        {"answered: pick-up, and at once off-hook without ring",
         {Hook(false, 0), Command(KEX_CMD_RING), Write(10), Hook(true, 2000)}, {kPickUp}, CallState::kTalking,
         kLedOffHook},
        {"the host's Talking after an answer changes nothing",
         {Hook(false, 0), Command(KEX_CMD_RING), Write(10), Hook(true, 2000), Write(2001), Command(KEX_CMD_TALKING),
          Write(2100), Hook(true, 2110)},
         {kPickUp}, CallState::kTalking, kLedOffHook},
        {"put down while ringing rejects, where the ring did not rewrite Off-Hook",
         {Hook(true, 0), Command(KEX_CMD_RING), Write(10, kLedRing), Hook(false, 2000)}, {kHangUp}, CallState::kIdle,
         0},
        {"a ring that writes Off-Hook puts the hook on: the device following it is no reject",
         {Hook(true, 0), Command(KEX_CMD_RING), Write(10), Hook(false, 40), Hook(true, 3000)}, {kPickUp},
         CallState::kTalking, kLedOffHook},
        // The device following the Off-Hook the adapter writes.
        {"answered in the softphone: the device's echo is no pick-up",
         {Hook(false, 0), Command(KEX_CMD_RING), Write(10), Command(KEX_CMD_TALKING), Write(2000), Hook(true, 2030)},
         {}, CallState::kTalking, kLedOffHook},
        {"ended in the softphone: the device's echo is no hang-up",
         {Command(KEX_CMD_LINK), Write(0), Hook(true, 30), Command(KEX_CMD_HANGUP), Write(5000),
          Hook(false, 5030)},
         {}, CallState::kIdle, 0},
        {"a device that follows silently hangs up in its first report",
         {Command(KEX_CMD_LINK), Write(0), Command(KEX_CMD_TALKING), Write(100), Hook(false, 9000)}, {kHangUp},
         CallState::kIdle, 0},
        {"ended on the headset", {Command(KEX_CMD_LINK), Write(0), Hook(true, 30), Hook(false, 9000)}, {kHangUp},
         CallState::kIdle, 0},
        {"lifted while already talking: nothing",
         {Hook(false, 0), Command(KEX_CMD_TALKING), Write(10), Hook(true, 9000)}, {}, CallState::kTalking,
         kLedOffHook},
        {"held: off-hook stays, no hang-up",
         {Command(KEX_CMD_TALKING), Write(0), Hook(true, 20), Command(KEX_CMD_HOLD), Write(3000),
          Command(KEX_CMD_RESUME), Write(4000)},
         {}, CallState::kTalking, kLedOffHook},
        {"put down while held ends the call",
         {Command(KEX_CMD_TALKING), Write(0), Hook(true, 20), Command(KEX_CMD_HOLD), Write(3000), Hook(false, 9000)},
         {kHangUp}, CallState::kIdle, 0},
        // Reports made for other controls carry the hook as it stood.
        {"a key pressed on a device that does not follow: no hang-up",
         {Hook(false, 0), Command(KEX_CMD_TALKING), Write(10), Hook(false, 9000, true), Hook(false, 9100, true)}, {},
         CallState::kTalking, kLedOffHook},
        {"an unchanged report inside the echo window is no change",
         {Hook(false, 0), Command(KEX_CMD_LINK), Write(1000), Hook(false, 1020)}, {}, CallState::kOutgoing,
         kLedOffHook},
        {"the same report after the window is the hook going on",
         {Hook(false, 0), Command(KEX_CMD_LINK), Write(1000), Hook(false, 1000 + late)}, {kHangUp}, CallState::kIdle,
         0},
        // A second call waits while the first is ended on the headset.
        {"ended with a call waiting: the waiting call rings on",
         {Command(KEX_CMD_TALKING), Write(0), Hook(true, 20), Command(KEX_CMD_RING), Write(1000), Hook(false, 5000)},
         {kHangUp}, CallState::kIncoming, kLedRing},
    };
    RunRows(rows, false);
}

// A hook switch declared relative: a button that toggles the call, unless it
// turns out to report its state (1 while off-hook, no release).
TEST(CallModel, ARelativeHookSwitchTogglesUnlessItReportsItsState)
{
    const uint64_t press = 100; // a press and its release
    const uint64_t held = kLongestPressMs + 500;
    const std::vector<HookRow> rows = {
        {"a toggle answers on the press and hangs up on the next",
         {Hook(false, 0), Command(KEX_CMD_RING), Write(10), Hook(true, 1000), Write(1001), Hook(false, 1000 + press),
          Command(KEX_CMD_TALKING), Write(1500), Hook(true, 5000), Hook(false, 5000 + press)},
         {kPickUp, kHangUp}, CallState::kIdle, 0},
        {"a toggle follows the host's call without Off-Hook LED",
         {Hook(false, 0), Command(KEX_CMD_TALKING), Hook(true, 5000), Hook(false, 5000 + press)}, {kHangUp},
         CallState::kIdle, 0},
        {"a toggle while idle: a pick-up, then nothing", {Hook(false, 0), Hook(true, 100), Hook(false, 200),
          Hook(true, 3000), Hook(false, 3100)},
         {kPickUp}, CallState::kIdle, 0},
        {"the first report's press is the baseline", {Hook(true, 0), Hook(false, press)}, {}, CallState::kIdle, 0},
        {"a ring leaves a toggle off-hook: the next press rejects",
         {Hook(false, 0), Hook(true, 100), Hook(false, 200), Command(KEX_CMD_RING), Hook(true, 3000),
          Hook(false, 3100)},
         {kPickUp, kHangUp}, CallState::kIdle, 0},
        // States: recognised, then read as a switch's.
        {"held through another key's report: a state, its release hangs up",
         {Hook(false, 0), Command(KEX_CMD_RING), Write(10), Hook(true, 1000), Write(1001), Hook(true, 1200, true),
          Hook(false, 1300)},
         {kPickUp, kHangUp}, CallState::kIdle, 0},
        {"held longer than a press: a state going on-hook",
         {Hook(false, 0), Command(KEX_CMD_RING), Write(10), Hook(true, 1000), Write(1001), Hook(false, 1000 + held)},
         {kPickUp, kHangUp}, CallState::kIdle, 0},
        {"the Off-Hook just written sent back: a state, no hang-up",
         {Hook(false, 0), Command(KEX_CMD_LINK), Write(1000), Hook(true, 1030), Hook(false, 9000)}, {kHangUp},
         CallState::kIdle, 0},
        {"a state repeated while off-hook: the press waits for its release, which hangs up once",
         {Hook(false, 0), Command(KEX_CMD_LINK), Write(0), Hook(true, 5000), Hook(false, 5000 + held)}, {kHangUp},
         CallState::kIdle, 0},
        {"a state off-hook when opened: the baseline, no pick-up",
         {Hook(true, 0), Hook(true, 200, true), Command(KEX_CMD_RING), Write(1000, kLedRing), Hook(false, 3000)},
         {kHangUp}, CallState::kIdle, 0},
    };
    RunRows(rows, true);
    CallModel state(true);
    Play(state, {Hook(false, 0), Hook(true, 100), Hook(true, 150, true)});
    EXPECT_TRUE(state.HookReportsState());
    CallModel toggle(true);
    Play(toggle, {Hook(false, 0), Hook(true, 100), Hook(false, 200), Hook(true, 3000), Hook(false, 3100)});
    EXPECT_FALSE(toggle.HookReportsState());
}

TEST(CallModel, RejectAndEndControlsActOnTheCall)
{
    const std::vector<HookRow> rows = {
        {"drop while ringing rejects", {Command(KEX_CMD_RING), Drop()}, {kHangUp}, CallState::kIdle, 0},
        {"drop in a call ends it", {Command(KEX_CMD_TALKING), Drop()}, {kHangUp}, CallState::kIdle, 0},
        {"drop while dialling ends it", {Command(KEX_CMD_LINK), Drop()}, {kHangUp}, CallState::kIdle, 0},
        {"drop outside a call: nothing", {Drop(), Command(KEX_CMD_HANGUP), Drop()}, {}, CallState::kIdle, 0},
        {"the programmable button while ringing rejects", {Command(KEX_CMD_RING), Reject()}, {kHangUp},
         CallState::kIdle, 0},
        {"the programmable button in a call: nothing", {Command(KEX_CMD_TALKING), Reject(), Reject()}, {},
         CallState::kTalking, kLedOffHook},
        {"the programmable button while idle: nothing", {Reject()}, {}, CallState::kIdle, 0},
    };
    RunRows(rows, false);
}

// A mute press is shown at once, the host confirms or corrects it, and the
// device sending the Mute LED back is no press.
TEST(CallModel, MuteComesFromBothSidesAndItsEchoIsNoPress)
{
    const uint64_t late = kMuteEchoWindowMs + 100;
    const std::vector<HookRow> rows = {
        {"a press mutes at once", {Command(KEX_CMD_TALKING), MutePress(1000)}, {kMute}, CallState::kTalking,
         kLedOffHook | kLedMute},
        {"confirmed by the host", {Command(KEX_CMD_TALKING), MutePress(1000), Write(1000), Command(KEX_CMD_MUTE, 1)},
         {kMute}, CallState::kTalking, kLedOffHook | kLedMute},
        {"corrected by the host", {Command(KEX_CMD_TALKING), MutePress(1000), Write(1000), Command(KEX_CMD_MUTE, 0)},
         {kMute}, CallState::kTalking, kLedOffHook},
        {"the press sent back after the LED is no press",
         {Command(KEX_CMD_TALKING), Write(0), MutePress(1000), Write(1001), MutePress(1030)}, {kMute},
         CallState::kTalking, kLedOffHook | kLedMute},
        {"the host's mute sent back is no press",
         {Command(KEX_CMD_TALKING), Write(0), Command(KEX_CMD_MUTE, 1), Write(1000), MutePress(1030),
          Command(KEX_CMD_MUTE, 0), Write(2000), MutePress(2020)},
         {}, CallState::kTalking, kLedOffHook},
        {"a press after the window counts",
         {Command(KEX_CMD_TALKING), Write(0), MutePress(1000), Write(1001), MutePress(1001 + late)}, {kMute, kMute},
         CallState::kTalking, kLedOffHook},
        {"only one press in the window is an echo",
         {Command(KEX_CMD_TALKING), Write(0), MutePress(1000), Write(1001), MutePress(1030), MutePress(1200)},
         {kMute, kMute}, CallState::kTalking, kLedOffHook},
        {"a write that leaves the Mute LED opens no window",
         {Command(KEX_CMD_TALKING), Write(0), Command(KEX_CMD_HOLD), Write(1000), MutePress(1010)}, {kMute},
         CallState::kHeld, kLedOffHook | kLedHold | kLedMute},
        {"the call's end unmutes", {Command(KEX_CMD_TALKING), MutePress(1000), Command(KEX_CMD_HANGUP)}, {kMute},
         CallState::kIdle, 0},
        {"muted from the host while idle", {Command(KEX_CMD_MUTE, 1)}, {}, CallState::kIdle, kLedMute},
    };
    RunRows(rows, false);
}

} // namespace
