// The person at the virtual HID headset in the HID demo: watches the LEDs
// the host sets (printed as the headset shows them) and answers with key
// presses as HID input reports: lifts the headset when it rings, dials
// 1 2 3 #, holds and resumes, hangs up, and unplugs the headset. With
// --mute, after the resume it also mutes on the headset (and waits for the
// Mute LED), then waits for the softphone to unmute.
//
//   hid_demo_headset [--timeout MS] [--mute]   exit status 0 when the call went through
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "tests/support/files.h"
#include "win32/raii.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr DWORD kUnplugTimeoutMs = 30000;

// Layout 1 (single report): input { 2, switches, keypad }, LEDs { 2, bits }.
constexpr unsigned char kHook = 0x01, kMute = 0x04, kFlash = 0x08;
constexpr unsigned char kMuteLed = 0x02;
const struct {
    unsigned char bit;
    const char* name;
} kLeds[] = {{0x01, "off-hook"}, {0x02, "mute"}, {0x04, "ring"}, {0x08, "hold"}, {0x10, "microphone"}, {0x20, "ringer"}};

void Say(const std::string& line)
{
    std::string l = line + "\n";
    std::fwrite(l.data(), 1, l.size(), stdout);
    std::fflush(stdout);
}

class Headset {
public:
    explicit Headset(DWORD timeoutMs) : m_timeoutMs(timeoutMs) {}

    bool Plug()
    {
        const DWORD start = GetTickCount();
        for (;;) {
            m_device = std::make_unique<virtual_hid::Device>(virtual_hid::kSingleReport);
            if (m_device->IsOpen())
                return true;
            if (GetTickCount() - start > m_timeoutMs)
                return false;
            Sleep(100); // the person waits for the headset to come up
        }
    }

    // Waits until the LEDs match mask/want; prints every change.
    bool WaitLeds(unsigned char mask, unsigned char want)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            for (const virtual_hid::OutputReport& r : m_device->TakeOutput())
                if (r.bytes.size() == 2 && r.bytes[0] == 0x02 && r.bytes[1] != m_leds) {
                    m_leds = r.bytes[1];
                    std::string shown;
                    for (const auto& led : kLeds)
                        if (m_leds & led.bit)
                            shown += std::string(shown.empty() ? "" : " ") + led.name;
                    Say("headset  [LEDs] " + (shown.empty() ? std::string("all off") : shown));
                }
            if ((m_leds & mask) == want)
                return true;
            if (GetTickCount() - start > m_timeoutMs)
                return false;
            Sleep(10); // a person looking at the LEDs
        }
    }

    void Press(const char* what, unsigned char switches, unsigned char key = 0)
    {
        Say(std::string("headset  >> ") + what);
        m_device->Inject({0x02, static_cast<unsigned char>(m_hook | switches), key});
        m_device->Inject({0x02, m_hook, 0});
    }

    void Hook(bool offHook)
    {
        Say(offHook ? "headset  >> lifts the headset (hook switch off-hook)" : "headset  >> hangs up (hook switch on-hook)");
        m_hook = offHook ? kHook : 0;
        m_device->Inject({0x02, m_hook, 0});
    }

private:
    DWORD m_timeoutMs;
    std::unique_ptr<virtual_hid::Device> m_device;
    unsigned char m_leds = 0;
    unsigned char m_hook = 0;
};

int Unplug()
{
    Say("headset  >> unplugged");
    std::string line = "\"" + test_support::ExeDirectory() + "install_virtual_hid.exe\" remove 1209:b001";
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

} // namespace

int main(int argc, char** argv)
{
    DWORD timeoutMs = 20000;
    bool mute = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
            timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        else if (std::strcmp(argv[i], "--mute") == 0)
            mute = true;
    }
    Headset headset(timeoutMs);
    auto fail = [](const char* what) {
        Say(std::string("headset  gave up waiting for ") + what);
        return 1;
    };
    if (!headset.Plug())
        return fail("the virtual HID headset");
    Say("headset  plugged in (virtual HID headset 1209:b001)");
    if (!headset.WaitLeds(0x04, 0x04))
        return fail("the ring LED");
    headset.Hook(true);
    if (!headset.WaitLeds(0x05, 0x01))
        return fail("the off-hook LED");
    const struct {
        const char* name;
        unsigned char index; // keypad usage 0xB0 + index - 1
    } keys[] = {{"key 1", 2}, {"key 2", 3}, {"key 3", 4}, {"key #", 12}};
    for (const auto& k : keys)
        headset.Press(k.name, 0, k.index);
    headset.Press("flash (hold)", kFlash);
    if (!headset.WaitLeds(0x08, 0x08))
        return fail("the hold LED");
    headset.Press("flash (resume)", kFlash);
    if (!headset.WaitLeds(0x08, 0x00))
        return fail("the hold LED to go out");
    if (mute) {
        headset.Press("mute", kMute);
        if (!headset.WaitLeds(kMuteLed, kMuteLed))
            return fail("the mute LED");
        Say("headset  (waits for the softphone to unmute)");
        if (!headset.WaitLeds(kMuteLed, 0))
            return fail("the mute LED to go out");
    }
    headset.Hook(false);
    if (!headset.WaitLeds(0xFF, 0x00))
        return fail("the LEDs to go out");
    return Unplug() == 0 ? 0 : fail("the unplugging");
}
