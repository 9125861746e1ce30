// One HID telephony collection, opened: its handles and parser data, its
// identity, the controls it declares, and reading, decoding and writing its
// reports.
//
// Threads: after Open, ReadReport belongs to one reader thread; the other
// calls may come from any thread, one at a time (the owner's lock).
#pragma once

#include "handsets/hid_headset/device_filter.h"
#include "handsets/hid_headset/device_identity.h"
#include "handsets/hid_headset/hid_interfaces.h"
#include "handsets/hid_headset/telephony_map.h"
#include "win32/raii.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hid_headset {

// Input reports the HID stack keeps for a reader that is busy: the default
// queue (32 reports on Windows and Wine) drops presses while the host is
// busy with an event. The largest queue the HID class driver takes.
constexpr ULONG kInputBuffers = 512;

class HidDevice {
public:
    // Opens path; null when it cannot be opened or is not a telephony
    // collection the filter takes.
    static std::unique_ptr<HidDevice> Open(const std::wstring& path, const DeviceFilter& filter);

    const std::wstring& Path() const { return m_path; }
    std::size_t InputLength() const { return m_caps.InputReportByteLength; }
    // Its id, name, USB ids and serial number or instance.
    const DeviceIdentity& Identity() const { return m_identity; }

    // The telephony input controls, as the report descriptor declares them,
    // and the Button-page controls of the telephony collection (its
    // programmable buttons). Controls of other pages, and copies of the
    // telephony controls on vendor pages, are not the adapter's.
    std::vector<InputControl> InputControls() const;

    // One output report that shows some of the adapter's LEDs, written
    // whole: every LED the adapter drives in it, the others off.
    struct LedReport {
        std::vector<char> bytes;
        LedState carries; // the LEDs it holds
    };
    // The reports that show leds: one for each report id holding an LED.
    std::map<uint8_t, LedReport> LedReports(LedState leds) const;
    bool Write(std::vector<char>& report);

    enum class ReadResult {
        kReport,  // report holds one input report of this device
        kOther,   // a report of another length: not one this device declared
        kStopped, // stop was signalled; no read is left pending
        kGone,    // the device went away
    };
    // Waits for the next input report, or for stop.
    ReadResult ReadReport(std::vector<char>& report, HANDLE stop);

    // The usages of InputControls that are on in an input report; false
    // when the parser does not take the report.
    bool UsagesOn(const std::vector<char>& report, std::vector<Usage>& on) const;

private:
    // One output usage of the device.
    struct OutputUsage {
        Usage usage;
        uint8_t reportId;
    };

    HidDevice() = default;
    void ReadIdentity(const HIDD_ATTRIBUTES& attributes);
    bool Declares(uint8_t reportId, const Usage& usage) const;
    std::vector<HIDP_BUTTON_CAPS> ButtonCaps(HIDP_REPORT_TYPE type, USHORT count) const;
    // Appends the usages of page that are on in report; false when the
    // parser does not take the report.
    bool AppendUsagesOn(USAGE page, const std::vector<char>& report, std::vector<Usage>& on) const;

    std::wstring m_path;
    DeviceIdentity m_identity;
    kex::unique_file m_input;  // overlapped, for the reader
    kex::unique_file m_output; // synchronous, for the HidD_ calls and writes
    kex::unique_handle m_readDone;
    unique_preparsed_data m_preparsed;
    HIDP_CAPS m_caps = {};
    ULONG m_maxUsages = 0; // usages one input report can hold on one page
    std::vector<InputControl> m_buttons; // the programmable buttons
    std::vector<OutputUsage> m_outputs;
};

} // namespace hid_headset
