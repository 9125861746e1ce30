// Telephony usages to device messages; the call controls through the call
// model.
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

bool Contains(const std::vector<Usage>& usages, Usage u)
{
    return std::find(usages.begin(), usages.end(), u) != usages.end();
}

bool IsHookSwitch(const InputControl& c) { return c.usage == kHookSwitch; }

bool IsRejectButton(Usage u) { return u.page == kPageButton || u == kProgrammableButton; }

bool HookDeclaredRelative(const std::vector<InputControl>& controls)
{
    auto hook = std::find_if(controls.begin(), controls.end(), IsHookSwitch);
    return hook != controls.end() && !hook->absolute;
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

TelephonyMap::TelephonyMap(std::vector<InputControl> controls, CallSettings settings)
    : m_call(HookDeclaredRelative(controls), settings)
{
    for (InputControl& c : controls)
        m_controls.push_back({c, false});
}

void TelephonyMap::OnInputReport(uint8_t reportId, const std::vector<Usage>& on, uint64_t nowMs,
                                 std::vector<DeviceMessage>& out)
{
    // Every control of the report first: the hook switch is read knowing
    // whether the report was made for another control.
    struct Seen {
        const Control* control;
        bool was;
    };
    std::vector<Seen> seen;
    bool othersChanged = false;
    for (Control& c : m_controls) {
        if (c.control.reportId != reportId)
            continue;
        const bool was = std::exchange(c.on, Contains(on, c.control.usage));
        seen.push_back({&c, was});
        if (!IsHookSwitch(c.control) && c.on != was)
            othersChanged = true;
    }
    for (const Seen& s : seen) {
        const Usage usage = s.control->control.usage;
        if (IsHookSwitch(s.control->control)) {
            m_call.OnHook(s.control->on, othersChanged, nowMs, out);
            continue;
        }
        if (!s.control->on || s.was)
            continue; // released or still held
        if (usage == kPhoneMute)
            m_call.OnMutePress(nowMs, out);
        else if (usage == kDrop)
            m_call.OnDropPress(out);
        else if (IsRejectButton(usage))
            m_call.OnRejectPress(out);
        else if (const DeviceMessage m = PressMessage(usage); m.msg != 0)
            out.push_back(m);
    }
}

} // namespace hid_headset
