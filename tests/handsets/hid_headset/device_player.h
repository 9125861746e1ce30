// A device player: the virtual HID headset made to behave as real headsets
// do. On a thread of its own it reads the output reports the host writes
// and answers them as its behaviour says (following Off-Hook with its hook
// switch, going back when its own press is not answered, sending the Mute
// LED back as a press), and it presses the headset's controls for the
// person in the test, building every report from the device's report
// descriptor.
#pragma once

#include "tests/handsets/hid_headset/report_descriptor.h"
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "win32/raii.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace virtual_hid {

// What a headset does by itself.
struct Behaviour {
    const char* name;
    enum Follow {
        kNoFollow,        // its hook switch moves only when the person moves it
        kFollowSilently,  // takes every Off-Hook written as its hook state, says nothing
        kFollowAndReport, // the same, and reports a change 30 ms later
    } follow;
    DWORD revertMs;     // 0: never; else its own hook change goes back unless Off-Hook shows it in time
    bool muteEcho;      // sends a change of the Mute LED back as a Phone Mute press
    bool offHookAtOpen; // off-hook, and says so in its first report
};

// The lights a test looks at.
enum class Light { kOffHook, kRing, kHold, kMute, kRinger };
using Lights = std::set<Light>;

inline std::string Show(const Lights& lights)
{
    static const char* const kNames[] = {"off-hook", "ring", "hold", "mute", "ringer"};
    std::string s;
    for (Light l : lights)
        s += std::string(kNames[static_cast<int>(l)]) + " ";
    return s.empty() ? "none" : s;
}

class DevicePlayer {
public:
    static constexpr DWORD kFollowReportMs = 30; // within the 50 ms real devices take
    static constexpr DWORD kMuteEchoMs = 10;
    // A person presses mute again only after seeing the Mute LED change.
    static constexpr DWORD kPersonSeesLedMs = 600;
    static constexpr DWORD kWaitMs = 10000;

    DevicePlayer(unsigned short product, const ReportDescriptor& descriptor, const Behaviour& behaviour)
        : m_product(product), m_descriptor(descriptor), m_behaviour(behaviour), m_control(product),
          m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_requested(CreateEventW(nullptr, FALSE, FALSE, nullptr))
    {
        m_hook = behaviour.offHookAtOpen;
    }
    ~DevicePlayer()
    {
        if (m_thread) {
            SetEvent(m_stop.get());
            WaitForSingleObject(m_thread.get(), INFINITE);
        }
    }
    DevicePlayer(const DevicePlayer&) = delete;
    DevicePlayer& operator=(const DevicePlayer&) = delete;

    // Starts watching; a headset off-hook at opening says so now, once the
    // host has it open.
    bool Start()
    {
        if (!m_control.IsOpen() || !m_stop || !m_requested || !m_descriptor.Valid())
            return false;
        m_control.TakeOutput(); // what earlier tests left
        m_thread.reset(CreateThread(nullptr, 0, &DevicePlayer::ThreadMain, this, 0, nullptr));
        if (!m_thread)
            return false;
        return !m_behaviour.offHookAtOpen || Do([&] { SendState(); });
    }

    // ---- The person at the headset. Each returns once its reports are in.
    bool Has(HidUsage usage) const { return m_descriptor.FindBit(ReportKind::kInput, usage).has_value(); }
    bool HasRejectButton() const { return RejectButton().page != 0; }

    // The hook button: a switch changes its state.
    bool PressHook() { return Do([&] { MoveHook(!m_hook); }); }
    // Until it is off-hook (on-hook): one press, or none when it already is.
    bool Lift() { return Do([&] { if (!m_hook) MoveHook(true); }); }
    bool PutDown() { return Do([&] { if (m_hook) MoveHook(false); }); }
    // To end a call on a headset that is on-hook already (it did not follow
    // the host into the call), a person presses twice.
    bool End()
    {
        return Do([&] {
            if (!m_hook)
                MoveHook(true);
            MoveHook(false);
        });
    }
    bool PressMute()
    {
        return Do([&] { Press({0x0B, 0x2F}); }, [&]() -> DWORD {
            const ULONGLONG seen = m_muteLightChangedAt + kPersonSeesLedMs, now = GetTickCount64();
            return seen > now ? static_cast<DWORD>(seen - now) : 0;
        });
    }
    bool PressDrop() { return Do([&] { Press({0x0B, 0x26}); }); }
    bool PressReject() { return Do([&] { Press(RejectButton()); }); }
    // Redial: a key any call state passes on unchanged, to know that the
    // host has read everything sent before it.
    bool PressFence() { return Do([&] { Press(kFence); }); }
    static constexpr HidUsage kFence = {0x0B, 0x24};

    // Waits until the player took every output report written so far and
    // has nothing due; false after timeoutMs.
    bool Settle(DWORD timeoutMs = kWaitMs)
    {
        kex::unique_handle quiet(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_settleWaiters.push_back(quiet.get());
        }
        SetEvent(m_requested.get());
        const bool settled = WaitForSingleObject(quiet.get(), timeoutMs) == WAIT_OBJECT_0;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settleWaiters.erase(std::remove(m_settleWaiters.begin(), m_settleWaiters.end(), quiet.get()),
                              m_settleWaiters.end());
        return settled;
    }

    unsigned OutputCount() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_outputs;
    }
    // What the device shows now, of the lights it has.
    Lights Shown() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Lights on;
        for (const auto& [light, lit] : m_lights)
            if (lit)
                on.insert(light);
        return on;
    }
    // The lights the device has.
    Lights LightsItHas() const
    {
        Lights has;
        for (const auto& [light, usages] : LightUsages())
            for (const HidUsage& u : usages)
                if (m_descriptor.FindBit(ReportKind::kOutput, u))
                    has.insert(light);
        return has;
    }
    // Every report sent and received, for failure messages.
    std::string Journal() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_journal;
    }

private:
    struct Timer {
        ULONGLONG due;
        std::function<void()> action;
        int kind; // kRevert, kOther
    };
    enum { kOther, kRevert };

    static const std::vector<std::pair<Light, std::vector<HidUsage>>>& LightUsages()
    {
        static const std::vector<std::pair<Light, std::vector<HidUsage>>> kUsages = {
            {Light::kOffHook, {{0x08, 0x17}}},           {Light::kRing, {{0x08, 0x18}}},
            {Light::kHold, {{0x08, 0x20}}},              {Light::kMute, {{0x08, 0x09}, {0x08, 0x21}}},
            {Light::kRinger, {{0x0B, 0x9E}}},
        };
        return kUsages;
    }

    // Button 1 of the Programmable Button collection, or the Programmable
    // Button usage where a descriptor gives its bit that usage.
    HidUsage RejectButton() const
    {
        for (HidUsage u : {HidUsage{0x09, 0x01}, HidUsage{0x0B, 0x07}})
            if (Has(u))
                return u;
        return {0, 0};
    }

    struct Request {
        std::function<void()> action;
        std::function<DWORD()> delay; // how long the person waits first
        HANDLE done;
    };

    // Runs action on the player's thread (after delay ms) and waits for it.
    bool Do(std::function<void()> action, std::function<DWORD()> delay = [] { return DWORD(0); })
    {
        kex::unique_handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back({std::move(action), std::move(delay), done.get()});
        }
        SetEvent(m_requested.get());
        return WaitForSingleObject(done.get(), kWaitMs) == WAIT_OBJECT_0;
    }

    static DWORD WINAPI ThreadMain(void* self) noexcept
    {
        static_cast<DevicePlayer*>(self)->Run();
        return 0;
    }

    void Run()
    {
        OutputWatch watch(m_product);
        bool watching = watch.IsOpen() && watch.Begin();
        for (;;) {
            const HANDLE waits[] = {m_stop.get(), m_requested.get(), watch.Event()};
            const DWORD result = WaitForMultipleObjects(watching ? 3 : 2, waits, FALSE, NextTimeout());
            if (result == WAIT_OBJECT_0)
                break;
            if (watching && WaitForSingleObject(watch.Event(), 0) == WAIT_OBJECT_0) {
                std::vector<OutputReport> reports;
                watching = watch.End(reports);
                for (const OutputReport& r : reports)
                    OnOutput(r.bytes);
                watching = watching && watch.Begin();
            }
            RunRequests();
            RunTimers();
            if (SettleAsked()) {
                // A write the host finished is recorded in the driver, but its
                // wait's completion may still be on the way here: take it now.
                for (const OutputReport& r : watch.EndNow())
                    OnOutput(r.bytes);
                for (const OutputReport& r : m_control.TakeOutput())
                    OnOutput(r.bytes);
                watching = watching && watch.Begin();
                if (!watching || WaitForSingleObject(watch.Event(), 0) != WAIT_OBJECT_0)
                    TellSettled();
            }
        }
        watch.Cancel();
    }

    bool SettleAsked() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_settleWaiters.empty();
    }

    DWORD NextTimeout() const
    {
        if (m_timers.empty())
            return INFINITE;
        ULONGLONG due = m_timers.front().due;
        for (const Timer& t : m_timers)
            due = std::min(due, t.due);
        const ULONGLONG now = GetTickCount64();
        return due <= now ? 0 : static_cast<DWORD>(due - now);
    }

    void RunRequests()
    {
        for (;;) {
            Request request;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_requests.empty())
                    return;
                request = std::move(m_requests.front());
                m_requests.pop_front();
            }
            const DWORD delay = request.delay();
            if (delay == 0) {
                request.action();
                SetEvent(request.done);
                continue;
            }
            After(delay, kOther, [request] {
                request.action();
                SetEvent(request.done);
            });
        }
    }

    void RunTimers()
    {
        const ULONGLONG now = GetTickCount64();
        std::vector<Timer> due;
        auto firstLater = std::stable_partition(m_timers.begin(), m_timers.end(), [&](const Timer& t) { return t.due <= now; });
        due.assign(m_timers.begin(), firstLater);
        m_timers.erase(m_timers.begin(), firstLater);
        for (Timer& t : due)
            t.action();
    }

    void TellSettled()
    {
        if (!m_timers.empty())
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_requests.empty())
            return;
        for (HANDLE waiter : m_settleWaiters)
            SetEvent(waiter);
    }

    void After(DWORD ms, int kind, std::function<void()> action)
    {
        m_timers.push_back({GetTickCount64() + ms, std::move(action), kind});
    }

    bool Lit(Light light) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_lights.find(light);
        return it != m_lights.end() && it->second;
    }

    void OnOutput(const std::vector<unsigned char>& bytes)
    {
        if (bytes.empty())
            return;
        std::map<Light, bool> written;
        for (const auto& [light, usages] : LightUsages()) {
            for (const HidUsage& u : usages) {
                auto bit = m_descriptor.FindBit(ReportKind::kOutput, u);
                if (!bit || bit->reportId != bytes[0] || 1 + bit->offset / 8 >= bytes.size())
                    continue;
                const bool on = (bytes[1 + bit->offset / 8] >> (bit->offset % 8)) & 1;
                written[light] = written.count(light) ? written[light] || on : on;
            }
        }
        bool muteWas = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_outputs;
            m_journal += "out " + Hex(bytes) + "; ";
            muteWas = m_lights[Light::kMute];
            for (const auto& [light, on] : written)
                m_lights[light] = on;
        }
        auto offHook = written.find(Light::kOffHook);
        if (offHook != written.end() && m_behaviour.follow != Behaviour::kNoFollow && offHook->second != m_hook) {
            m_hook = offHook->second;
            if (m_behaviour.follow == Behaviour::kFollowAndReport)
                After(kFollowReportMs, kOther, [&] { SendState(); });
        }
        if (offHook != written.end() && offHook->second == m_hook) // answered: nothing to go back from
            m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(),
                                          [](const Timer& t) { return t.kind == kRevert; }),
                           m_timers.end());
        auto mute = written.find(Light::kMute);
        if (mute != written.end() && mute->second != muteWas) {
            m_muteLightChangedAt = GetTickCount64();
            if (m_behaviour.muteEcho)
                After(kMuteEchoMs, kOther, [&] { Press({0x0B, 0x2F}); });
        }
    }

    // The person moves the hook switch; a device that wants an answer goes
    // back when Off-Hook does not follow in time.
    void MoveHook(bool offHook)
    {
        const bool was = m_hook;
        m_hook = offHook;
        SendState();
        if (m_behaviour.revertMs == 0)
            return;
        m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(), [](const Timer& t) { return t.kind == kRevert; }),
                       m_timers.end());
        After(m_behaviour.revertMs, kRevert, [this, was, offHook] {
            if (m_hook == offHook && Lit(Light::kOffHook) != offHook) {
                m_hook = was;
                SendState();
            }
        });
    }

    void Press(HidUsage usage)
    {
        Send({usage});
        Send({});
    }

    // A report of the hook switch's report, with the switch as it stands.
    void SendState() { Send({}); }

    // One report of each input report id that holds one of pressed, or the
    // hook switch: the switch as it stands, the others up.
    void Send(const std::vector<HidUsage>& pressed)
    {
        const auto hook = m_descriptor.FindBit(ReportKind::kInput, {0x0B, 0x20});
        uint8_t id = hook ? hook->reportId : 0;
        for (const HidUsage& u : pressed)
            if (auto bit = m_descriptor.FindBit(ReportKind::kInput, u))
                id = bit->reportId;
        std::vector<unsigned char> report(m_descriptor.Length(ReportKind::kInput), 0);
        if (report.empty())
            return;
        report[0] = id;
        auto set = [&](const ReportDescriptor::Bit& bit) { report[1 + bit.offset / 8] |= 1u << (bit.offset % 8); };
        if (hook && hook->reportId == id && m_hook)
            set(*hook);
        for (const HidUsage& u : pressed)
            if (auto bit = m_descriptor.FindBit(ReportKind::kInput, u); bit && bit->reportId == id)
                set(*bit);
        m_control.Inject(report);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_journal += "in " + Hex(report) + "; ";
    }

    static std::string Hex(const std::vector<unsigned char>& bytes)
    {
        static const char kDigits[] = "0123456789abcdef";
        std::string s;
        for (unsigned char b : bytes) {
            s += kDigits[b >> 4];
            s += kDigits[b & 15];
        }
        return s;
    }

    const unsigned short m_product;
    const ReportDescriptor m_descriptor;
    const Behaviour m_behaviour;
    Device m_control;
    kex::unique_handle m_stop, m_requested, m_thread;
    // The player's thread alone: the hook switch, what is due, and when the
    // person last saw the Mute LED change.
    bool m_hook = false;
    std::vector<Timer> m_timers;
    ULONGLONG m_muteLightChangedAt = 0;
    // Shared with the test's thread.
    mutable std::mutex m_mutex;
    std::deque<Request> m_requests;
    std::vector<HANDLE> m_settleWaiters;
    std::map<Light, bool> m_lights;
    unsigned m_outputs = 0;
    std::string m_journal;
};

} // namespace virtual_hid
