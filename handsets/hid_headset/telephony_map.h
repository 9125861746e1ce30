// The HID headset adapter's translation tables, free of Windows: which
// Telephony usages become which device messages, and which LEDs each command
// lights. The adapter feeds it the usages the HID parser found in a report;
// it answers with the device messages to send and the LEDs to show.
//
// Threads: one TelephonyMap per device, used under that device's lock.
#pragma once

#include "adapters/KexUSBAdapter.h"
#include "handsets/hid_headset/call_model.h"

#include <cstdint>
#include <vector>

namespace hid_headset {

constexpr uint16_t kPageLed = 0x08;
constexpr uint16_t kPageButton = 0x09;
constexpr uint16_t kPageTelephony = 0x0B;

struct Usage {
    uint16_t page;
    uint16_t usage;
    bool operator==(const Usage& o) const { return page == o.page && usage == o.usage; }
};

// One input control of the device, as its report descriptor declares it.
// Controls of the Button page are the telephony collection's programmable
// buttons; the device layer hands over no others.
struct InputControl {
    Usage usage;
    uint8_t reportId;
    bool absolute; // a switch that reports its state; false: a button reporting presses
};

// The output usages that show one Led bit, in the order tried.
std::vector<Usage> LedUsages(Led led);

// The device message a key gives when pressed; msg 0 when it gives none.
// The hook switch and the call controls are not in this table: what they
// mean depends on the call.
DeviceMessage PressMessage(Usage usage);

constexpr Usage kHookSwitch = {kPageTelephony, 0x20};
constexpr Usage kPhoneMute = {kPageTelephony, 0x2F};
constexpr Usage kDrop = {kPageTelephony, 0x26};
// Programmable Button: the collection that holds the Button-page reject
// button; some descriptors make it the button's own usage.
constexpr Usage kProgrammableButton = {kPageTelephony, 0x07};

class TelephonyMap {
public:
    explicit TelephonyMap(std::vector<InputControl> controls, CallSettings settings = {});

    // One input report: the usages of report reportId that are on (buttons
    // pressed, switches set, array entries present), read at nowMs. Appends
    // the messages it gives to out. Usages of other reports keep their state.
    void OnInputReport(uint8_t reportId, const std::vector<Usage>& on, uint64_t nowMs,
                       std::vector<DeviceMessage>& out);

    // A command of the host (wParam: the mute state of KEX_CMD_MUTE).
    void OnCommand(uint32_t code, uintptr_t wParam = 0) { m_call.OnCommand(code, wParam); }

    // What the adapter wrote: see CallModel::OnLedsWritten.
    void OnLedsWritten(LedState conveyed, LedState leds, uint64_t nowMs)
    {
        m_call.OnLedsWritten(conveyed, leds, nowMs);
    }

    LedState Leds() const { return m_call.Leds(); }
    bool Muted() const { return m_call.Muted(); }
    const CallModel& Call() const { return m_call; }

private:
    struct Control {
        InputControl control;
        bool on;
    };
    std::vector<Control> m_controls;
    CallModel m_call;
};

} // namespace hid_headset
