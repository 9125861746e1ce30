// The HID headset adapter's translation tables, free of Windows: which
// Telephony usages become which device messages, and which LEDs each command
// lights. The adapter feeds it the usages the HID parser found in a report;
// it answers with the device messages to send and the LEDs to show.
//
// Threads: one TelephonyMap per device, used under that device's lock.
#pragma once

#include "adapters/KexUSBAdapter.h"

#include <cstdint>
#include <vector>

namespace hid_headset {

constexpr uint16_t kPageLed = 0x08;
constexpr uint16_t kPageTelephony = 0x0B;

struct Usage {
    uint16_t page;
    uint16_t usage;
    bool operator==(const Usage& o) const { return page == o.page && usage == o.usage; }
};

// One input control of the device, as its report descriptor declares it.
struct InputControl {
    Usage usage;
    uint8_t reportId;
    bool absolute; // a switch that reports its state; false: a button reporting presses
};

// One device message for the component's callback.
struct DeviceMessage {
    uint32_t msg;
    uint32_t wParam;
    int32_t lParam;
    bool operator==(const DeviceMessage& o) const
    {
        return msg == o.msg && wParam == o.wParam && lParam == o.lParam;
    }
};

// The LEDs (and the ringer) the adapter drives, as bits of LedState.
enum Led : uint32_t {
    kLedOffHook = 1u << 0,    // 0x08/0x17
    kLedRing = 1u << 1,       // 0x08/0x18
    kLedHold = 1u << 2,       // 0x08/0x20
    kLedMute = 1u << 3,       // 0x08/0x09 and 0x08/0x21 (Microphone), whichever the device has
    kLedRinger = 1u << 4,     // 0x0B/0x9E
};
using LedState = uint32_t;

// Every Led bit.
constexpr Led kAllLeds[] = {kLedOffHook, kLedRing, kLedHold, kLedMute, kLedRinger};

// The output usages that show one Led bit, in the order tried.
std::vector<Usage> LedUsages(Led led);

// The device message a usage gives when pressed; msg 0 when it gives none.
// Hook Switch is not in this table: its message depends on its state.
DeviceMessage PressMessage(Usage usage);

constexpr Usage kHookSwitch = {kPageTelephony, 0x20};
constexpr Usage kPhoneMute = {kPageTelephony, 0x2F};

class TelephonyMap {
public:
    explicit TelephonyMap(std::vector<InputControl> controls);

    // One input report: the usages of report reportId that are on (buttons
    // pressed, switches set, array entries present). Appends the messages it
    // gives to out. Usages of other reports keep their state.
    void OnInputReport(uint8_t reportId, const std::vector<Usage>& on, std::vector<DeviceMessage>& out);

    // A command of the component: the LEDs change as a headset should show
    // the call. Commands that show nothing on a headset leave them.
    void OnCommand(uint32_t code);

    LedState Leds() const { return m_leds; }
    bool Muted() const { return (m_leds & kLedMute) != 0; }

private:
    struct Control {
        InputControl control;
        bool on;
    };
    std::vector<Control> m_controls;
    bool m_offHook = false; // what a toggle-style hook switch last meant
    LedState m_leds = 0;
};

} // namespace hid_headset
