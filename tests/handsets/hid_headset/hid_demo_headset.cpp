// The person at the virtual HID headsets in the HID demo: watches the LEDs
// the host sets on the headset in use (printed as the headset shows them)
// and answers with key presses as HID input reports, built from the
// headset's report descriptor: lifts the headset when it rings, dials
// 1 2 3 #, holds and resumes, unmutes on the headset what the softphone
// muted, mutes again on the headset, hangs up and unplugs the headset.
// The other headset must stay dark throughout: no LED of it lit.
//
//   hid_demo_headset [--timeout MS] [--headset PRODUCT] [--other PRODUCT]
//       PRODUCT: a named virtual headset's product id in hex (b101 ...)
//   exit status 0 when the call went through and the other headset stayed dark
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "tests/support/files.h"
#include "win32/raii.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace {

using virtual_hid::HidUsage;
using virtual_hid::IdsOf;
using virtual_hid::NamedHeadset;
using virtual_hid::ReportDescriptor;
using virtual_hid::ReportKind;

constexpr DWORD kUnplugTimeoutMs = 30000;
constexpr DWORD kLookMs = 10; // how often the person looks at the LEDs
// A person presses mute only a while after the Mute LED changed: the
// adapter takes a mute report that soon after its own Mute LED write for the
// headset echoing the write, not for a press.
constexpr DWORD kSeesMuteLedMs = 600;

constexpr HidUsage kHook = {0x0B, 0x20}, kMute = {0x0B, 0x2F}, kFlash = {0x0B, 0x21};
constexpr uint16_t kKeypadZero = 0xB0;

enum Led : unsigned { kOffHook = 1, kRing = 2, kHold = 4, kMuteLed = 8, kRinger = 16 };
const struct {
    Led led;
    HidUsage usage;
    const char* name;
} kLeds[] = {{kOffHook, {0x08, 0x17}, "off-hook"}, {kRing, {0x08, 0x18}, "ring"},
             {kHold, {0x08, 0x20}, "hold"},        {kMuteLed, {0x08, 0x09}, "mute"},
             {kMuteLed, {0x08, 0x21}, "mute"},     {kRinger, {0x0B, 0x9E}, "ringer"}};

const NamedHeadset* const kNamed[] = {&virtual_hid::kHeadset2453, &virtual_hid::kHeadset0082,
                                      &virtual_hid::kHeadsetC053, &virtual_hid::kHeadsetProgrammable};

void Say(const std::string& line)
{
    std::string l = line + "\n";
    std::fwrite(l.data(), 1, l.size(), stdout);
    std::fflush(stdout);
}

std::string Shown(unsigned leds)
{
    std::string shown;
    for (Led led : {kOffHook, kRing, kHold, kMuteLed, kRinger})
        if (leds & led)
            for (const auto& l : kLeds)
                if (l.led == led) {
                    shown += std::string(shown.empty() ? "" : " ") + l.name;
                    break;
                }
    return shown.empty() ? "all off" : shown;
}

// The LEDs an output report sets, starting from what was shown before.
unsigned LedsAfter(const ReportDescriptor& descriptor, const std::vector<unsigned char>& report, unsigned leds)
{
    std::map<Led, bool> written;
    for (const auto& l : kLeds) {
        const auto bit = descriptor.FindBit(ReportKind::kOutput, l.usage);
        if (!bit || report.empty() || bit->reportId != report[0] || 1 + bit->offset / 8 >= report.size())
            continue;
        written[l.led] = written[l.led] || ((report[1 + bit->offset / 8] >> (bit->offset % 8)) & 1);
    }
    for (const auto& [led, on] : written)
        leds = on ? leds | led : leds & ~led;
    return leds;
}

class Headset {
public:
    Headset(const NamedHeadset& named, DWORD timeoutMs)
        : m_named(named), m_descriptor(virtual_hid::DescriptorOf(named)), m_timeoutMs(timeoutMs)
    {
    }

    const NamedHeadset& Named() const { return m_named; }

    bool Plug()
    {
        const DWORD start = GetTickCount();
        for (;;) {
            m_device = std::make_unique<virtual_hid::Device>(m_named.product);
            if (m_device->IsOpen() && m_descriptor.Valid())
                return true;
            if (GetTickCount() - start > m_timeoutMs)
                return false;
            Sleep(100); // the person waits for the headset to come up
        }
    }

    // Waits until the LEDs in mask are want; every report is looked at in
    // turn, so a state the host passes through is seen too. Prints each change.
    bool WaitLeds(unsigned mask, unsigned want)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            for (const virtual_hid::OutputReport& r : m_device->TakeOutput()) {
                const unsigned leds = LedsAfter(m_descriptor, r.bytes, m_leds);
                if (leds != m_leds)
                    Say("headset  [LEDs] " + Shown(leds));
                if ((leds ^ m_leds) & kMuteLed)
                    m_muteChangedAt = GetTickCount64();
                m_leds = leds;
                if ((m_leds & mask) == want)
                    return true;
            }
            if ((m_leds & mask) == want)
                return true;
            if (GetTickCount() - start > m_timeoutMs)
                return false;
            Sleep(kLookMs);
        }
    }

    // Presses a control and lets it go.
    void Press(const char* what, HidUsage usage)
    {
        const ULONGLONG seen = m_muteChangedAt + kSeesMuteLedMs, now = GetTickCount64();
        if (usage == kMute && seen > now)
            Sleep(static_cast<DWORD>(seen - now));
        Say(std::string("headset  >> ") + what);
        Send(usage, true);
        Send(usage, false);
    }

    // Presses keypad digit (0 to 11: 0-9, *, #) and lets it go.
    void PressKey(const char* what, uint16_t digit)
    {
        Say(std::string("headset  >> ") + what);
        const HidUsage key = {0x0B, static_cast<uint16_t>(kKeypadZero + digit)};
        Send(key, true);
        Send(key, false);
    }

    void Hook(bool offHook)
    {
        Say(offHook ? "headset  >> lifts the headset (hook switch off-hook)" : "headset  >> hangs up (hook switch on-hook)");
        m_offHook = offHook;
        Send(kHook, false);
    }

private:
    // One input report of the report that holds usage: the hook switch as
    // it stands, and usage pressed when down says so.
    void Send(HidUsage usage, bool down)
    {
        std::vector<unsigned char> report(m_descriptor.Length(ReportKind::kInput), 0);
        const auto bit = m_descriptor.FindBit(ReportKind::kInput, usage);
        const auto key = m_descriptor.FindArray(ReportKind::kInput, usage);
        const auto hook = m_descriptor.FindBit(ReportKind::kInput, kHook);
        if (report.empty() || (!bit && !key) || !hook)
            return;
        report[0] = bit ? bit->reportId : key->field->reportId;
        auto set = [&](unsigned offset) { report[1 + offset / 8] |= 1u << (offset % 8); };
        if (hook->reportId == report[0] && m_offHook)
            set(hook->offset);
        if (down && bit)
            set(bit->offset);
        if (down && key) // a byte-wide keypad array
            report[1 + key->field->bitOffset / 8] = static_cast<unsigned char>(key->value);
        m_device->Inject(report);
    }

    const NamedHeadset& m_named;
    const ReportDescriptor m_descriptor;
    DWORD m_timeoutMs;
    std::unique_ptr<virtual_hid::Device> m_device;
    unsigned m_leds = 0;
    ULONGLONG m_muteChangedAt = 0;
    bool m_offHook = false;
};

int Unplug(const NamedHeadset& named)
{
    Say("headset  >> unplugged");
    std::string line = "\"" + test_support::ExeDirectory() + "install_virtual_hid.exe\" remove " + IdsOf(named.product);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    const kex::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.get(), kUnplugTimeoutMs) != WAIT_OBJECT_0)
        return 1;
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

int Fail(const char* what)
{
    Say(std::string("headset  gave up waiting for ") + what);
    return 1;
}

// The call, as the person at the headset plays it.
int PlayCall(Headset& headset)
{
    if (!headset.WaitLeds(kRing, kRing))
        return Fail("the ring LED");
    headset.Hook(true);
    if (!headset.WaitLeds(kOffHook | kRing, kOffHook))
        return Fail("the off-hook LED");
    const struct {
        const char* name;
        uint16_t digit;
    } keys[] = {{"key 1", 1}, {"key 2", 2}, {"key 3", 3}, {"key #", 11}};
    for (const auto& k : keys)
        headset.PressKey(k.name, k.digit);
    headset.Press("flash (hold)", kFlash);
    if (!headset.WaitLeds(kHold, kHold))
        return Fail("the hold LED");
    headset.Press("flash (resume)", kFlash);
    // The softphone's user mutes in the softphone after resuming.
    if (!headset.WaitLeds(kHold | kMuteLed, kMuteLed))
        return Fail("the hold LED to go out and the softphone's mute");
    headset.Press("mute (unmutes)", kMute);
    if (!headset.WaitLeds(kMuteLed, 0))
        return Fail("the mute LED to go out");
    headset.Press("mute", kMute);
    if (!headset.WaitLeds(kMuteLed, kMuteLed))
        return Fail("the mute LED");
    headset.Hook(false);
    if (!headset.WaitLeds(~0u, 0))
        return Fail("the LEDs to go out");
    return 0;
}

// The other headset: every output report it got, none may light an LED.
int CheckDark(const NamedHeadset& named)
{
    virtual_hid::Device device(named.product);
    if (!device.IsOpen())
        return Fail("the other headset");
    const ReportDescriptor descriptor = virtual_hid::DescriptorOf(named);
    unsigned lit = 0;
    for (const virtual_hid::OutputReport& r : device.TakeOutput())
        lit |= LedsAfter(descriptor, r.bytes, 0);
    const std::string name = std::string("the other headset (") + named.name + ")";
    if (lit != 0) {
        Say("headset  " + name + " lit: " + Shown(lit));
        return 1;
    }
    Say("headset  " + name + " stayed dark");
    return 0;
}

const NamedHeadset* Find(const char* product)
{
    const unsigned long id = std::strtoul(product, nullptr, 16);
    for (const NamedHeadset* named : kNamed)
        if (named->product == id)
            return named;
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    DWORD timeoutMs = 20000;
    const NamedHeadset* used = &virtual_hid::kHeadset2453;
    const NamedHeadset* other = nullptr;
    bool otherNamed = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
            timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        else if (std::strcmp(argv[i], "--headset") == 0 && i + 1 < argc)
            used = Find(argv[++i]);
        else if (std::strcmp(argv[i], "--other") == 0 && i + 1 < argc)
            other = Find(argv[++i]), otherNamed = true;
    }
    if (!used || (otherNamed && !other))
        return Fail("a named virtual headset (--headset, --other)");
    Headset headset(*used, timeoutMs);
    if (!headset.Plug())
        return Fail("the virtual HID headset");
    Say("headset  plugged in (" + std::string(used->name) + ", virtual HID headset " + IdsOf(used->product) + ")");
    if (const int played = PlayCall(headset); played != 0)
        return played;
    if (other && CheckDark(*other) != 0)
        return 1;
    return Unplug(*used) == 0 ? 0 : Fail("the unplugging");
}
