// The HID headset adapter's tables: usages in reports to device messages,
// commands to LEDs.
#include "handsets/hid_headset/telephony_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace hid_headset;

constexpr Usage U(uint16_t usage) { return {kPageTelephony, usage}; }

std::string Show(const std::vector<DeviceMessage>& ms)
{
    std::string s;
    for (const DeviceMessage& m : ms)
        s += "{" + std::to_string(m.msg) + "," + std::to_string(m.wParam) + "}";
    return s;
}

// A headset of the common shape: absolute hook switch and relative buttons in
// report 2, keypad entries in report 2 too, and a stray button in report 3.
std::vector<InputControl> Headset(bool hookAbsolute = true)
{
    std::vector<InputControl> c = {{kHookSwitch, 2, hookAbsolute}, {U(0x21), 2, false}, {U(0x24), 2, false},
                                   {kPhoneMute, 2, false},         {U(0x2B), 2, false}, {U(0x70), 2, false},
                                   {U(0x97), 2, true},              {U(0x2B), 3, false}};
    for (uint16_t k = 0xB0; k <= 0xBB; ++k)
        c.push_back({U(k), 2, true});
    return c;
}

TEST(TelephonyMap, EachKeyGivesItsMessageOncePerPress)
{
    struct Row {
        uint16_t usage;
        DeviceMessage want;
    };
    const Row rows[] = {
        {0x21, {KEX_DEV_HOLD, 0, 0}},     {0x24, {KEX_DEV_REDIAL, 0, 0}},   {0x2F, {KEX_DEV_MUTE, 0, 0}},
        {0x2B, {KEX_DEV_HANDFREE, 0, 0}}, {0xB0, {KEX_DEV_KEY, KEX_KEY_0, 0}}, {0xB1, {KEX_DEV_KEY, KEX_KEY_1, 0}},
        {0xB5, {KEX_DEV_KEY, KEX_KEY_5, 0}}, {0xB9, {KEX_DEV_KEY, KEX_KEY_9, 0}},
        {0xBA, {KEX_DEV_KEY, KEX_KEY_STAR, 0}}, {0xBB, {KEX_DEV_KEY, KEX_KEY_POUND, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.usage);
        TelephonyMap map(Headset());
        std::vector<DeviceMessage> out;
        map.OnInputReport(2, {U(row.usage)}, out);
        map.OnInputReport(2, {U(row.usage)}, out); // still held
        map.OnInputReport(2, {}, out);             // released
        ASSERT_EQ(1u, out.size()) << Show(out);
        EXPECT_EQ(row.want, out[0]);
        map.OnInputReport(2, {U(row.usage)}, out); // pressed again
        EXPECT_EQ(2u, out.size()) << Show(out);
    }
}

TEST(TelephonyMap, UsagesWithoutAMessageAndOtherPagesGiveNothing)
{
    TelephonyMap map(Headset());
    std::vector<DeviceMessage> out;
    map.OnInputReport(2, {U(0x70), U(0x97), {0x09, 0x01}, {0x0C, 0xE9}, U(0x99)}, out);
    EXPECT_EQ(0u, out.size()) << Show(out);
    EXPECT_EQ(0u, PressMessage({0x0C, 0x21}).msg); // Flash's number on another page
}

TEST(TelephonyMap, AbsoluteHookSwitchGivesPickUpAndHangUpOnChangesOnly)
{
    TelephonyMap map(Headset());
    std::vector<DeviceMessage> out;
    map.OnInputReport(2, {}, out); // on-hook at start: nothing changed
    map.OnInputReport(2, {kHookSwitch}, out);
    map.OnInputReport(2, {kHookSwitch, U(0xB3)}, out); // a digit while off-hook
    map.OnInputReport(2, {kHookSwitch}, out);
    map.OnInputReport(2, {}, out);
    const std::vector<DeviceMessage> want = {
        {KEX_DEV_PICKUP, 0, 0}, {KEX_DEV_KEY, KEX_KEY_3, 0}, {KEX_DEV_HANGUP, 0, 0}};
    EXPECT_EQ(want, out) << Show(out);
}

TEST(TelephonyMap, ToggleHookSwitchAlternatesAndFollowsTheHostsCall)
{
    TelephonyMap map(Headset(false));
    std::vector<DeviceMessage> out;
    map.OnInputReport(2, {kHookSwitch}, out);
    map.OnInputReport(2, {}, out);
    map.OnInputReport(2, {kHookSwitch}, out);
    map.OnInputReport(2, {}, out);
    // The host answers from its own window: the next press hangs up.
    map.OnCommand(KEX_CMD_TALKING);
    map.OnInputReport(2, {kHookSwitch}, out);
    map.OnInputReport(2, {}, out);
    // The far end hung up: the next press picks up.
    map.OnCommand(KEX_CMD_TALKING);
    map.OnCommand(KEX_CMD_HANGUP);
    map.OnInputReport(2, {kHookSwitch}, out);
    const std::vector<DeviceMessage> want = {
        {KEX_DEV_PICKUP, 0, 0}, {KEX_DEV_HANGUP, 0, 0}, {KEX_DEV_HANGUP, 0, 0}, {KEX_DEV_PICKUP, 0, 0}};
    EXPECT_EQ(want, out) << Show(out);
}

// A report carries only its own controls: the others keep their state.
TEST(TelephonyMap, ReportsOfOtherIdsLeaveAControlAlone)
{
    TelephonyMap map(Headset());
    std::vector<DeviceMessage> out;
    map.OnInputReport(2, {kHookSwitch}, out);
    map.OnInputReport(3, {}, out);        // says nothing about the hook switch
    map.OnInputReport(3, {U(0x2B)}, out); // speaker key of report 3
    map.OnInputReport(2, {kHookSwitch}, out);
    map.OnInputReport(9, {kHookSwitch, U(0xB1)}, out); // an id the device does not have
    const std::vector<DeviceMessage> want = {{KEX_DEV_PICKUP, 0, 0}, {KEX_DEV_HANDFREE, 0, 0}};
    EXPECT_EQ(want, out) << Show(out);
}

TEST(TelephonyMap, SeveralChangesInOneReportAllCount)
{
    TelephonyMap map(Headset());
    std::vector<DeviceMessage> out;
    map.OnInputReport(2, {kHookSwitch, kPhoneMute, U(0xBB)}, out);
    const std::vector<DeviceMessage> want = {
        {KEX_DEV_PICKUP, 0, 0}, {KEX_DEV_MUTE, 0, 0}, {KEX_DEV_KEY, KEX_KEY_POUND, 0}};
    EXPECT_EQ(want, out) << Show(out);
}

TEST(TelephonyMap, CommandsSetTheLedsOfTheCall)
{
    struct Row {
        const char* name;
        std::vector<uint32_t> commands;
        LedState want;
    };
    const Row rows[] = {
        {"ring", {KEX_CMD_RING}, kLedRing | kLedRinger},
        {"answered", {KEX_CMD_RING, KEX_CMD_TALKING}, kLedOffHook},
        {"dialing", {KEX_CMD_LINK}, kLedOffHook},
        {"ring-back", {KEX_CMD_RINGBACK}, kLedOffHook},
        {"held", {KEX_CMD_TALKING, KEX_CMD_HOLD}, kLedOffHook | kLedHold},
        {"resumed", {KEX_CMD_TALKING, KEX_CMD_HOLD, KEX_CMD_RESUME}, kLedOffHook},
        {"hung up while held", {KEX_CMD_TALKING, KEX_CMD_HOLD, KEX_CMD_HANGUP}, 0},
        {"failed while ringing", {KEX_CMD_RING, KEX_CMD_CALLFAILED}, 0},
        {"ready", {KEX_CMD_RING, KEX_CMD_READY}, 0},
        {"texts change nothing",
         {KEX_CMD_TALKING, KEX_CMD_NUMBER, KEX_CMD_CALLINFO, KEX_CMD_CONTACTINFO, KEX_CMD_RINGBUSY}, kLedOffHook},
        {"unknown codes change nothing", {KEX_CMD_RING, 0, 14, 0xFFFFFFFFu}, kLedRing | kLedRinger},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TelephonyMap map(Headset());
        for (uint32_t c : row.commands)
            map.OnCommand(c);
        EXPECT_EQ(row.want, map.Leds());
    }
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

// Every LED and the ringer after every command, from a call that rings and
// from one that is held with the microphone muted: each command sets and
// clears exactly its own, and leaves the others as they were.
TEST(TelephonyMap, EveryCommandLeavesEachLedAndTheRingerAsTheCallShows)
{
    constexpr LedState kRinging = kLedRing | kLedRinger;
    constexpr LedState kHeldMuted = kLedOffHook | kLedHold | kLedMute;
    struct Row {
        const char* name;
        uint32_t code;
        LedState fromRinging;
        LedState fromHeldMuted;
    };
    const Row rows[] = {
        {"ready", KEX_CMD_READY, 0, 0},
        {"link", KEX_CMD_LINK, kLedOffHook, kHeldMuted},
        {"ring", KEX_CMD_RING, kRinging, kHeldMuted | kRinging}, // a second call
        {"ring-back", KEX_CMD_RINGBACK, kLedOffHook, kHeldMuted},
        {"talking", KEX_CMD_TALKING, kLedOffHook, kHeldMuted},
        {"hangup", KEX_CMD_HANGUP, 0, 0},
        {"hold", KEX_CMD_HOLD, kRinging | kLedHold, kHeldMuted},
        {"resume", KEX_CMD_RESUME, kRinging, kLedOffHook | kLedMute},
        {"call failed", KEX_CMD_CALLFAILED, 0, 0},
        {"ring busy", KEX_CMD_RINGBUSY, kRinging, kHeldMuted},
        {"number", KEX_CMD_NUMBER, kRinging, kHeldMuted},
        {"call info", KEX_CMD_CALLINFO, kRinging, kHeldMuted},
        {"contact info", KEX_CMD_CONTACTINFO, kRinging, kHeldMuted},
        {"code 0", 0, kRinging, kHeldMuted},
        {"code 14", KEX_CMD_LAST + 1, kRinging, kHeldMuted},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TelephonyMap ringing(Headset());
        ringing.OnCommand(KEX_CMD_RING);
        ASSERT_EQ(kRinging, ringing.Leds());
        ringing.OnCommand(row.code);
        EXPECT_EQ(row.fromRinging, ringing.Leds()) << ShowLeds(ringing.Leds());

        TelephonyMap held(Headset());
        std::vector<DeviceMessage> out;
        held.OnCommand(KEX_CMD_TALKING);
        held.OnCommand(KEX_CMD_HOLD);
        held.OnInputReport(2, {kHookSwitch, kPhoneMute}, out);
        held.OnInputReport(2, {kHookSwitch}, out);
        ASSERT_EQ(kHeldMuted, held.Leds());
        held.OnCommand(row.code);
        EXPECT_EQ(row.fromHeldMuted, held.Leds()) << ShowLeds(held.Leds());
    }
}

TEST(TelephonyMap, MutePressesToggleTheMuteLedUntilTheCallEnds)
{
    TelephonyMap map(Headset());
    std::vector<DeviceMessage> out;
    map.OnCommand(KEX_CMD_TALKING);
    map.OnInputReport(2, {kHookSwitch, kPhoneMute}, out);
    EXPECT_TRUE(map.Muted());
    map.OnInputReport(2, {kHookSwitch}, out); // release: no change
    EXPECT_TRUE(map.Muted());
    map.OnCommand(KEX_CMD_HOLD);
    map.OnCommand(KEX_CMD_RESUME);
    EXPECT_EQ(kLedOffHook | kLedMute, map.Leds());
    map.OnInputReport(2, {kHookSwitch, kPhoneMute}, out);
    EXPECT_FALSE(map.Muted());
    map.OnInputReport(2, {kHookSwitch}, out);
    map.OnInputReport(2, {kHookSwitch, kPhoneMute}, out);
    EXPECT_TRUE(map.Muted());
    map.OnCommand(KEX_CMD_HANGUP);
    EXPECT_EQ(0u, map.Leds());
}

TEST(TelephonyMap, EachLedHasItsUsages)
{
    EXPECT_EQ((std::vector<Usage>{{kPageLed, 0x17}}), LedUsages(kLedOffHook));
    EXPECT_EQ((std::vector<Usage>{{kPageLed, 0x18}}), LedUsages(kLedRing));
    EXPECT_EQ((std::vector<Usage>{{kPageLed, 0x20}}), LedUsages(kLedHold));
    EXPECT_EQ((std::vector<Usage>{{kPageLed, 0x09}, {kPageLed, 0x21}}), LedUsages(kLedMute));
    EXPECT_EQ((std::vector<Usage>{{kPageTelephony, 0x9E}}), LedUsages(kLedRinger));
}

} // namespace
