// The HID headset adapter's tables: usages in reports to device messages,
// the call controls handed to the call model, LEDs to their usages. What the
// call controls mean in each call is test_call_model's.
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
        map.OnInputReport(2, {U(row.usage)}, 0, out);
        map.OnInputReport(2, {U(row.usage)}, 0, out); // still held
        map.OnInputReport(2, {}, 0, out);             // released
        ASSERT_EQ(1u, out.size()) << Show(out);
        EXPECT_EQ(row.want, out[0]);
        map.OnInputReport(2, {U(row.usage)}, 0, out); // pressed again
        EXPECT_EQ(2u, out.size()) << Show(out);
    }
}

TEST(TelephonyMap, UsagesWithoutAMessageAndOtherPagesGiveNothing)
{
    TelephonyMap map(Headset());
    std::vector<DeviceMessage> out;
    map.OnInputReport(2, {U(0x70), U(0x97), {0x09, 0x01}, {0x0C, 0xE9}, U(0x99)}, 0, out);
    EXPECT_EQ(0u, out.size()) << Show(out);
    EXPECT_EQ(0u, PressMessage({0x0C, 0x21}).msg); // Flash's number on another page
}

// A report carries only its own controls: the others keep their state.
TEST(TelephonyMap, ReportsOfOtherIdsLeaveAControlAlone)
{
    TelephonyMap map(Headset());
    std::vector<DeviceMessage> out;
    map.OnInputReport(2, {}, 0, out); // the state at opening
    map.OnInputReport(2, {kHookSwitch}, 0, out);
    map.OnInputReport(3, {}, 0, out);        // says nothing about the hook switch
    map.OnInputReport(3, {U(0x2B)}, 0, out); // speaker key of report 3
    map.OnInputReport(2, {kHookSwitch}, 0, out);
    map.OnInputReport(9, {kHookSwitch, U(0xB1)}, 0, out); // an id the device does not have
    const std::vector<DeviceMessage> want = {{KEX_DEV_PICKUP, 0, 0}, {KEX_DEV_HANDFREE, 0, 0}};
    EXPECT_EQ(want, out) << Show(out);
}

TEST(TelephonyMap, SeveralChangesInOneReportAllCount)
{
    TelephonyMap map(Headset());
    std::vector<DeviceMessage> out;
    map.OnInputReport(2, {}, 0, out);
    map.OnInputReport(2, {kHookSwitch, kPhoneMute, U(0xBB)}, 0, out);
    const std::vector<DeviceMessage> want = {
        {KEX_DEV_PICKUP, 0, 0}, {KEX_DEV_MUTE, 0, 0}, {KEX_DEV_KEY, KEX_KEY_POUND, 0}};
    EXPECT_EQ(want, out) << Show(out);
}

// The hook switch, mute, Drop and the programmable button (a Button-page
// control of the telephony collection, or the Programmable Button usage
// itself) go to the call model, which answers them by the call.
TEST(TelephonyMap, CallControlsReachTheCallModel)
{
    const std::vector<InputControl> controls = {{kHookSwitch, 8, true}, {kPhoneMute, 8, false},
                                                {kDrop, 8, false},      {{kPageButton, 0x01}, 8, true},
                                                {kProgrammableButton, 9, true}, {U(0x24), 8, false}};
    const DeviceMessage hangUp = {KEX_DEV_HANGUP, 0, 0};
    struct Row {
        const char* name;
        uint32_t command;
        uint8_t reportId;
        std::vector<Usage> press;
        std::vector<DeviceMessage> want;
        LedState leds;
    };
    const Row rows[] = {
        {"drop while ringing", KEX_CMD_RING, 8, {kDrop}, {hangUp}, 0},
        {"drop outside a call", KEX_CMD_READY, 8, {kDrop}, {}, 0},
        {"button 1 while ringing", KEX_CMD_RING, 8, {{kPageButton, 0x01}}, {hangUp}, 0},
        {"the programmable button usage while ringing", KEX_CMD_RING, 9, {kProgrammableButton}, {hangUp}, 0},
        {"button 1 while talking", KEX_CMD_TALKING, 8, {{kPageButton, 0x01}}, {}, kLedOffHook},
        {"the hook lifted while ringing", KEX_CMD_RING, 8, {kHookSwitch}, {{KEX_DEV_PICKUP, 0, 0}}, kLedOffHook},
        {"mute", KEX_CMD_TALKING, 8, {kPhoneMute}, {{KEX_DEV_MUTE, 0, 0}}, kLedOffHook | kLedMute},
        {"redial in any call", KEX_CMD_RING, 8, {U(0x24)}, {{KEX_DEV_REDIAL, 0, 0}}, kLedRing},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TelephonyMap map(controls);
        std::vector<DeviceMessage> out;
        map.OnInputReport(8, {}, 0, out);
        map.OnInputReport(9, {}, 0, out);
        map.OnCommand(row.command);
        map.OnInputReport(row.reportId, row.press, 1000, out);
        EXPECT_EQ(row.want, out) << Show(out);
        EXPECT_EQ(row.leds, map.Leds());
    }
    // The declared kind of the hook switch decides how its presses are read.
    TelephonyMap relative({{kHookSwitch, 3, false}});
    EXPECT_FALSE(relative.Call().HookReportsState());
    TelephonyMap absolute({{kHookSwitch, 3, true}});
    EXPECT_TRUE(absolute.Call().HookReportsState());
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
