// The call state, its LEDs, and the hook switch and call controls read
// against the call and against what the adapter wrote.
#include "handsets/hid_headset/call_model.h"

#include <utility>

namespace hid_headset {

namespace {

struct CommandRow {
    uint32_t code;
    CallState state;
};

// Commands not listed show nothing on a headset.
constexpr CommandRow kCommandTable[] = {
    {KEX_CMD_READY, CallState::kIdle},        {KEX_CMD_HANGUP, CallState::kIdle},
    {KEX_CMD_CALLFAILED, CallState::kIdle},   {KEX_CMD_RINGBUSY, CallState::kIdle},
    {KEX_CMD_RING, CallState::kIncoming},     {KEX_CMD_LINK, CallState::kOutgoing},
    {KEX_CMD_RINGBACK, CallState::kOutgoing}, {KEX_CMD_TALKING, CallState::kTalking},
    {KEX_CMD_RESUME, CallState::kTalking},    {KEX_CMD_HOLD, CallState::kHeld},
};

constexpr DeviceMessage kPickUp = {KEX_DEV_PICKUP, 0, 0};
constexpr DeviceMessage kHangUp = {KEX_DEV_HANGUP, 0, 0};
constexpr DeviceMessage kMute = {KEX_DEV_MUTE, 0, 0};

bool InCall(CallState s)
{
    return s == CallState::kOutgoing || s == CallState::kTalking || s == CallState::kHeld;
}

} // namespace

CallModel::CallModel(bool hookRelative, CallSettings settings)
    : m_ringer(settings.ringer), m_hookIsState(!hookRelative), m_hookKnown(hookRelative)
{
    // A button that toggles has no state of its own: the call starts on-hook.
}

void CallModel::OnCommand(uint32_t code, uintptr_t wParam)
{
    if (code == KEX_CMD_MUTE) {
        m_muted = wParam != 0;
        return;
    }
    for (const CommandRow& row : kCommandTable) {
        if (row.code != code)
            continue;
        if (row.state == CallState::kIncoming && InCall(m_state)) {
            m_waiting = true; // a second call: the first one goes on
            return;
        }
        // The waiting call rings on while the host holds and resumes.
        if (code != KEX_CMD_HOLD && code != KEX_CMD_RESUME)
            m_waiting = false;
        const bool wasInCall = InCall(m_state);
        Enter(row.state);
        // A button that toggles goes by the host's hook state, which the
        // call's start and end set.
        if (!m_hookIsState && InCall(m_state) != wasInCall)
            m_hook = InCall(m_state);
        return;
    }
}

void CallModel::Enter(CallState state)
{
    m_state = state;
    if (state == CallState::kIdle) {
        m_waiting = false;
        m_muted = false; // the next call starts unmuted
    }
}

LedState CallModel::Leds() const
{
    LedState leds = 0;
    if (m_state == CallState::kIncoming || m_waiting)
        leds |= kLedRing;
    if (m_state == CallState::kIncoming && m_ringer)
        leds |= kLedRinger;
    // Off-Hook stays lit on hold: headsets that follow it would hang up.
    if (InCall(m_state))
        leds |= kLedOffHook;
    if (m_state == CallState::kHeld)
        leds |= kLedHold;
    if (m_muted)
        leds |= kLedMute;
    return leds;
}

void CallModel::EndCall(std::vector<DeviceMessage>& out)
{
    out.push_back(kHangUp);
    if (!m_waiting) {
        Enter(CallState::kIdle);
        return;
    }
    // The call that was waiting rings on.
    m_waiting = false;
    m_muted = false;
    m_state = CallState::kIncoming;
}

void CallModel::HookMoved(bool on, std::vector<DeviceMessage>& out)
{
    m_hook = on;
    if (on) {
        if (m_state == CallState::kIdle)
            out.push_back(kPickUp); // the host decides what it means
        if (m_state == CallState::kIncoming) {
            // Answered: the device waits for Off-Hook, at once.
            out.push_back(kPickUp);
            m_state = CallState::kTalking;
        }
        return; // already in a call: nothing
    }
    if (m_state == CallState::kIncoming) {
        out.push_back(kHangUp); // rejected
        Enter(CallState::kIdle);
    } else if (InCall(m_state)) {
        EndCall(out);
    }
}

void CallModel::OnHook(bool on, bool othersChanged, uint64_t nowMs, std::vector<DeviceMessage>& out)
{
    const bool first = !m_anyReport;
    const bool was = m_reported;
    m_anyReport = true;
    m_reported = on;
    // Only the first hook report after the adapter changed Off-Hook can be
    // the device's echo of it.
    const bool echo = std::exchange(m_hookEchoOpen, false) && nowMs - m_offHookChangedAt <= kHookEchoWindowMs;
    if (!m_hookIsState) {
        ReadToggle(on, was, first, othersChanged, echo, nowMs, out);
        return;
    }
    if (first && !m_hookKnown) {
        // The state the device was in when it was opened is no press;
        // while it rings, off-hook answers all the same.
        m_hookKnown = true;
        m_hook = on && !(m_state == CallState::kIncoming && !othersChanged);
        if (on != m_hook)
            HookMoved(on, out);
        return;
    }
    // A report made for another control carries the hook state the device
    // had: the switch did not move. Nor did it when an echo repeats it.
    if (first ? othersChanged : on == was && (othersChanged || echo))
        return;
    if (on != m_hook)
        HookMoved(on, out);
}

void CallModel::ReadToggle(bool on, bool was, bool first, bool othersChanged, bool echo, uint64_t nowMs,
                           std::vector<DeviceMessage>& out)
{
    if (on && was) {
        // Held down through a report of another control: no button is held
        // like that, a switch reporting its state is.
        if (othersChanged)
            FoundState();
        return;
    }
    if (on) {
        m_pressAt = nowMs;
        if (first && !m_anyOffHookWrite && m_state == CallState::kIdle) {
            m_pressBaseline = true;
            return;
        }
        if (!m_hook) {
            HookMoved(true, out); // a toggle and a state agree: off-hook
            return;
        }
        if (echo) {
            FoundState(); // the Off-Hook just written, sent back as a state
            return;
        }
        // Off-hook already: a toggle going on-hook, or a state repeated.
        // The release tells them apart.
        m_pressPending = true;
        return;
    }
    if (!was)
        return;
    const bool held = nowMs - m_pressAt > kLongestPressMs;
    const bool pending = std::exchange(m_pressPending, false);
    if (held)
        m_hookIsState = true; // no release for longer than a press: a state
    if (std::exchange(m_pressBaseline, false))
        return;
    // A quick release ends a toggle's press; a late one is a state going
    // on-hook. Either way the hook is on again.
    if ((pending || held) && m_hook)
        HookMoved(false, out);
}

void CallModel::FoundState()
{
    m_hookIsState = true;
    m_pressPending = false; // the press was the state repeated
    if (std::exchange(m_pressBaseline, false))
        m_hook = true; // off-hook when it was opened
}

void CallModel::OnMutePress(uint64_t nowMs, std::vector<DeviceMessage>& out)
{
    // The first press after the adapter changed the Mute LED may be the
    // device sending the LED back.
    if (std::exchange(m_muteEchoOpen, false) && nowMs - m_muteChangedAt <= kMuteEchoWindowMs)
        return;
    // The headset forgets mute unless the host shows it: shown at once, and
    // the host's own mute command confirms or corrects it.
    m_muted = !m_muted;
    out.push_back(kMute);
}

void CallModel::OnDropPress(std::vector<DeviceMessage>& out)
{
    if (m_state == CallState::kIncoming) {
        out.push_back(kHangUp);
        Enter(CallState::kIdle);
    } else if (InCall(m_state)) {
        EndCall(out);
    }
}

void CallModel::OnRejectPress(std::vector<DeviceMessage>& out)
{
    if (m_state != CallState::kIncoming)
        return;
    out.push_back(kHangUp);
    Enter(CallState::kIdle);
}

void CallModel::OnLedsWritten(LedState conveyed, LedState leds, uint64_t nowMs)
{
    if (conveyed & kLedOffHook) {
        // The device takes the Off-Hook it is sent as its hook state.
        const bool offHook = (leds & kLedOffHook) != 0;
        if (offHook != m_offHookWritten) {
            m_offHookChangedAt = nowMs;
            m_hookEchoOpen = true;
        }
        m_offHookWritten = offHook;
        m_anyOffHookWrite = true;
        m_hook = offHook;
        m_hookKnown = true;
    }
    if (conveyed & kLedMute) {
        const bool muted = (leds & kLedMute) != 0;
        if (muted != m_muteWritten) {
            m_muteChangedAt = nowMs;
            m_muteEchoOpen = true;
        }
        m_muteWritten = muted;
    }
}

} // namespace hid_headset
