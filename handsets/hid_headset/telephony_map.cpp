// Telephony usages to device messages, commands to LEDs.
#include "handsets/hid_headset/telephony_map.h"

#include <algorithm>
#include <utility>

namespace hid_headset {

namespace {

struct PressRow {
    uint16_t usage; // on the Telephony page
    DeviceMessage message;
};

// Keys that give a message on every press. Keypad 0xB0 is the digit 0.
constexpr PressRow kPressTable[] = {
    {0x21, {KEX_DEV_HOLD, 0, 0}},     // Flash
    {0x24, {KEX_DEV_REDIAL, 0, 0}},   // Redial
    {0x2F, {KEX_DEV_MUTE, 0, 0}},     // Phone Mute
    {0x2B, {KEX_DEV_HANDFREE, 0, 0}}, // Speaker Phone
    {0xB0, {KEX_DEV_KEY, KEX_KEY_0, 0}},
    {0xB1, {KEX_DEV_KEY, KEX_KEY_1, 0}},
    {0xB2, {KEX_DEV_KEY, KEX_KEY_2, 0}},
    {0xB3, {KEX_DEV_KEY, KEX_KEY_3, 0}},
    {0xB4, {KEX_DEV_KEY, KEX_KEY_4, 0}},
    {0xB5, {KEX_DEV_KEY, KEX_KEY_5, 0}},
    {0xB6, {KEX_DEV_KEY, KEX_KEY_6, 0}},
    {0xB7, {KEX_DEV_KEY, KEX_KEY_7, 0}},
    {0xB8, {KEX_DEV_KEY, KEX_KEY_8, 0}},
    {0xB9, {KEX_DEV_KEY, KEX_KEY_9, 0}},
    {0xBA, {KEX_DEV_KEY, KEX_KEY_STAR, 0}},
    {0xBB, {KEX_DEV_KEY, KEX_KEY_POUND, 0}},
};

struct CommandRow {
    uint32_t code;
    LedState set;
    LedState clear;
};

// Commands not listed leave the LEDs as they are.
constexpr LedState AllLeds()
{
    LedState all = 0;
    for (Led led : kAllLeds)
        all |= led;
    return all;
}
constexpr LedState kAll = AllLeds();
constexpr CommandRow kCommandTable[] = {
    {KEX_CMD_RING, kLedRing | kLedRinger, 0},
    {KEX_CMD_LINK, kLedOffHook, kLedRing | kLedRinger},
    {KEX_CMD_RINGBACK, kLedOffHook, kLedRing | kLedRinger},
    {KEX_CMD_TALKING, kLedOffHook, kLedRing | kLedRinger},
    {KEX_CMD_HOLD, kLedHold, 0},
    {KEX_CMD_RESUME, 0, kLedHold},
    {KEX_CMD_HANGUP, 0, kAll},
    {KEX_CMD_CALLFAILED, 0, kAll},
    {KEX_CMD_READY, 0, kAll},
};

bool Contains(const std::vector<Usage>& usages, Usage u)
{
    return std::find(usages.begin(), usages.end(), u) != usages.end();
}

} // namespace

std::vector<Usage> LedUsages(Led led)
{
    switch (led) {
    case kLedOffHook:
        return {{kPageLed, 0x17}};
    case kLedRing:
        return {{kPageLed, 0x18}};
    case kLedHold:
        return {{kPageLed, 0x20}};
    case kLedMute:
        return {{kPageLed, 0x09}, {kPageLed, 0x21}};
    case kLedRinger:
        return {{kPageTelephony, 0x9E}};
    }
    return {};
}

DeviceMessage PressMessage(Usage usage)
{
    if (usage.page != kPageTelephony)
        return {0, 0, 0};
    for (const PressRow& row : kPressTable)
        if (row.usage == usage.usage)
            return row.message;
    return {0, 0, 0};
}

TelephonyMap::TelephonyMap(std::vector<InputControl> controls)
{
    for (InputControl& c : controls)
        m_controls.push_back({c, false});
}

void TelephonyMap::OnInputReport(uint8_t reportId, const std::vector<Usage>& on, std::vector<DeviceMessage>& out)
{
    for (Control& c : m_controls) {
        if (c.control.reportId != reportId)
            continue;
        const bool now = Contains(on, c.control.usage);
        const bool was = std::exchange(c.on, now);
        if (c.control.usage == kHookSwitch) {
            if (c.control.absolute) {
                if (now != was)
                    out.push_back({static_cast<uint32_t>(now ? KEX_DEV_PICKUP : KEX_DEV_HANGUP), 0, 0});
            } else if (now && !was) {
                m_offHook = !m_offHook;
                out.push_back({static_cast<uint32_t>(m_offHook ? KEX_DEV_PICKUP : KEX_DEV_HANGUP), 0, 0});
            }
            continue;
        }
        if (!now || was)
            continue; // released or still held
        const DeviceMessage m = PressMessage(c.control.usage);
        if (m.msg == 0)
            continue;
        if (c.control.usage == kPhoneMute)
            m_leds ^= kLedMute; // the headset forgets mute unless the host shows it
        out.push_back(m);
    }
}

void TelephonyMap::OnCommand(uint32_t code)
{
    for (const CommandRow& row : kCommandTable) {
        if (row.code != code)
            continue;
        m_leds = (m_leds & ~row.clear) | row.set;
        // A toggle-style hook switch follows the call the host shows.
        if (row.set & kLedOffHook)
            m_offHook = true;
        if (row.clear & kLedOffHook)
            m_offHook = false;
    }
}

} // namespace hid_headset
