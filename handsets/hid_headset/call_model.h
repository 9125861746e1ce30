// The call as a headset shows it and answers for it, free of Windows: the
// call state the host's commands set, the mute state, the LEDs that follow
// from both, and the reading of the hook switch and the call controls against
// that state and against what the adapter last wrote to the device.
//
// Headsets take the host's Off-Hook LED as their own hook state (some report
// the change, some follow silently), expect their own presses to be answered
// at once, and may send the host's Mute LED back as a press. The model keeps
// what the adapter wrote and when, so that these echoes are not read as the
// user's presses.
//
// Time is handed in by the caller (milliseconds of any steady clock).
// Threads: one CallModel per headset, used under that headset's lock.
#pragma once

#include "adapters/KexUSBAdapter.h"

#include <cstdint>
#include <vector>

namespace hid_headset {

// One device message for the host.
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
    kLedOffHook = 1u << 0, // 0x08/0x17
    kLedRing = 1u << 1,    // 0x08/0x18
    kLedHold = 1u << 2,    // 0x08/0x20
    kLedMute = 1u << 3,    // 0x08/0x09 and 0x08/0x21 (Microphone), whichever the device has
    kLedRinger = 1u << 4,  // 0x0B/0x9E
};
using LedState = uint32_t;

// Every Led bit.
constexpr Led kAllLeds[] = {kLedOffHook, kLedRing, kLedHold, kLedMute, kLedRinger};

enum class CallState {
    kIdle,
    kIncoming, // ringing, no call yet
    kOutgoing, // dialling or ringing back
    kTalking,
    kHeld,
};

// How long after the adapter changed the Off-Hook LED the device's first
// hook report may be its echo. Host projects ignore hook reports for about
// half a second after writing Off-Hook; here the window costs no press of
// the person's (a report that moves the switch counts in it too), so the
// known figure is taken whole.
constexpr uint64_t kHookEchoWindowMs = 500;

// How long after the adapter changed the Mute LED the device's first Phone
// Mute press is taken as its echo. Devices answer within tens of
// milliseconds (50 ms is the quickest device answer on record); a person
// who sees the LED change and presses again takes longer than a quarter of a
// second. A press inside the window is lost, so it is kept short.
constexpr uint64_t kMuteEchoWindowMs = 250;

// The longest a person holds a button for one press. A hook switch declared
// relative that stays down longer is a switch reporting its state.
constexpr uint64_t kLongestPressMs = 1000;

struct CallSettings {
    // Ring also sounds the headset's own ringer (Telephony Ringer).
    bool ringer = false;
};

class CallModel {
public:
    // hookRelative: the descriptor declares the hook switch relative (a
    // button that toggles); it may still turn out to report its state.
    explicit CallModel(bool hookRelative = false, CallSettings settings = {});

    // A command of the host: codes 1 to 14 (KEX_CMD_MUTE: wParam 1 muted).
    // Commands that show nothing on a headset change nothing.
    void OnCommand(uint32_t code, uintptr_t wParam);

    // The hook switch's value in one report of its report id. othersChanged:
    // another control of that report changed in it (for the first report,
    // is set). Appends the messages it gives to out.
    void OnHook(bool on, bool othersChanged, uint64_t nowMs, std::vector<DeviceMessage>& out);
    // A press (not its release) of Phone Mute, Drop, or a programmable
    // button of the telephony collection (reject).
    void OnMutePress(uint64_t nowMs, std::vector<DeviceMessage>& out);
    void OnDropPress(std::vector<DeviceMessage>& out);
    void OnRejectPress(std::vector<DeviceMessage>& out);

    // The adapter wrote reports that carry the LEDs in conveyed, with the
    // values in leds.
    void OnLedsWritten(LedState conveyed, LedState leds, uint64_t nowMs);

    LedState Leds() const;
    CallState State() const { return m_state; }
    bool Muted() const { return m_muted; }
    // What the adapter takes as the device's hook state.
    bool OffHook() const { return m_hook; }
    // A relative hook switch found to report its state (absolute: always).
    bool HookReportsState() const { return m_hookIsState; }

private:
    void Enter(CallState state);
    // The device's hook went to on: what that means in this call state.
    void HookMoved(bool on, std::vector<DeviceMessage>& out);
    void EndCall(std::vector<DeviceMessage>& out);
    void ReadToggle(bool on, bool was, bool first, bool othersChanged, bool echo, uint64_t nowMs,
                    std::vector<DeviceMessage>& out);
    void FoundState();

    const bool m_ringer;
    CallState m_state = CallState::kIdle;
    bool m_waiting = false; // a second call rings during this one
    bool m_muted = false;

    // The hook switch.
    bool m_hookIsState;
    bool m_hook = false;      // the device's hook state as the adapter takes it
    bool m_hookKnown;         // m_hook comes from the device or a write
    bool m_reported = false;  // the value of the device's last report
    bool m_anyReport = false; // a report came since the device was opened
    // A relative hook switch: its last press, and what it is waiting for.
    uint64_t m_pressAt = 0;
    bool m_pressPending = false;  // a press while off-hook: its release tells a toggle from a state
    bool m_pressBaseline = false; // the first report's press, taken as the baseline

    // What the adapter wrote: the Off-Hook and Mute LEDs, and when they last
    // changed; an echo window is open until the first report of the control.
    bool m_offHookWritten = false;
    bool m_anyOffHookWrite = false;
    uint64_t m_offHookChangedAt = 0;
    bool m_hookEchoOpen = false;
    bool m_muteWritten = false;
    uint64_t m_muteChangedAt = 0;
    bool m_muteEchoOpen = false;
};

} // namespace hid_headset
