// Opening a HID telephony collection, its identity, its overlapped reads,
// the parser calls that decode its input and build its LED reports, and its
// writes.
#include "handsets/hid_headset/hid_device.h"

#include "win32/text.h"

#include <algorithm>

namespace hid_headset {

namespace {

// A HID stack may keep a cancelled read queued for a while; after this long
// the handle is closed, which ends it.
constexpr DWORD kCancelGraceMs = 200;

// A USB string descriptor holds at most 126 UTF-16 units; room for more and
// the terminating NUL.
constexpr std::size_t kStringUnits = 256;

// A device string (product, serial number); empty when the device has none.
template <class Get>
std::wstring DeviceString(HANDLE device, Get get)
{
    wchar_t text[kStringUnits] = {};
    if (!get(device, text, static_cast<ULONG>(sizeof text - sizeof text[0])))
        return std::wstring();
    return std::wstring(text, wcsnlen(text, kStringUnits - 1));
}

// Whether a Button-page control belongs to the telephony collection: in it,
// or in one of its collections on the Telephony page (the Programmable
// Button collection among them).
bool InTelephonyCollection(const HIDP_BUTTON_CAPS& caps)
{
    return caps.UsagePage == kPageButton && (caps.LinkCollection == 0 || caps.LinkUsagePage == kPageTelephony);
}

// The parser's answer when a report holds no usage of the page asked for.
bool NoneOnThatPage(NTSTATUS status)
{
    return status == HIDP_STATUS_USAGE_NOT_FOUND || status == HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
}

kex::unique_file OpenPath(const std::wstring& path, DWORD flags)
{
    return kex::unique_file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, flags, nullptr));
}

// Every usage of a button capability, ranges spelled out.
template <class Visit>
void ForEachUsage(const HIDP_BUTTON_CAPS& caps, Visit visit)
{
    const unsigned first = caps.IsRange ? caps.Range.UsageMin : caps.NotRange.Usage;
    const unsigned last = caps.IsRange ? caps.Range.UsageMax : caps.NotRange.Usage;
    for (unsigned u = first; u <= last; ++u)
        visit(Usage{caps.UsagePage, static_cast<uint16_t>(u)});
}

} // namespace

std::unique_ptr<HidDevice> HidDevice::Open(const std::wstring& path, const DeviceFilter& filter)
{
    std::unique_ptr<HidDevice> device(new HidDevice());
    device->m_path = path;
    device->m_input = OpenPath(path, FILE_FLAG_OVERLAPPED);
    // Output goes through a handle of its own without FILE_FLAG_OVERLAPPED:
    // the HidD_ calls wait on the handle, which overlapped reads also signal.
    device->m_output = OpenPath(path, 0);
    device->m_readDone.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!device->m_input || !device->m_output || !device->m_readDone)
        return nullptr;
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(device->m_input.get(), &attributes) ||
        !filter.Accepts(attributes.VendorID, attributes.ProductID))
        return nullptr;
    if (!HidD_GetPreparsedData(device->m_input.get(), device->m_preparsed.put()) ||
        HidP_GetCaps(device->m_preparsed.get(), &device->m_caps) != HIDP_STATUS_SUCCESS ||
        device->m_caps.UsagePage != kPageTelephony || device->m_caps.InputReportByteLength == 0)
        return nullptr;
    HidD_SetNumInputBuffers(device->m_input.get(), kInputBuffers);
    device->m_maxUsages = std::max(HidP_MaxUsageListLength(HidP_Input, kPageTelephony, device->m_preparsed.get()),
                                   HidP_MaxUsageListLength(HidP_Input, kPageButton, device->m_preparsed.get()));
    for (const HIDP_BUTTON_CAPS& caps : device->ButtonCaps(HidP_Input, device->m_caps.NumberInputButtonCaps))
        if (InTelephonyCollection(caps))
            ForEachUsage(caps, [&](Usage u) { device->m_buttons.push_back({u, caps.ReportID, caps.IsAbsolute != FALSE}); });
    for (const HIDP_BUTTON_CAPS& caps : device->ButtonCaps(HidP_Output, device->m_caps.NumberOutputButtonCaps))
        ForEachUsage(caps, [&](Usage u) { device->m_outputs.push_back({u, caps.ReportID}); });
    device->ReadIdentity(attributes);
    return device;
}

void HidDevice::ReadIdentity(const HIDD_ATTRIBUTES& attributes)
{
    const std::wstring name = DeviceString(m_input.get(), HidD_GetProductString);
    const std::wstring serial = DeviceString(m_input.get(), HidD_GetSerialNumberString);
    m_identity = MakeIdentity(attributes.VendorID, attributes.ProductID, kex::narrow(name, CP_UTF8),
                              kex::narrow(serial, CP_UTF8), kex::narrow(m_path, CP_UTF8));
}

std::vector<HIDP_BUTTON_CAPS> HidDevice::ButtonCaps(HIDP_REPORT_TYPE type, USHORT count) const
{
    std::vector<HIDP_BUTTON_CAPS> caps(count);
    if (count == 0 || HidP_GetButtonCaps(type, caps.data(), &count, m_preparsed.get()) != HIDP_STATUS_SUCCESS)
        return {};
    caps.resize(count);
    return caps;
}

std::vector<InputControl> HidDevice::InputControls() const
{
    std::vector<InputControl> controls;
    for (const HIDP_BUTTON_CAPS& caps : ButtonCaps(HidP_Input, m_caps.NumberInputButtonCaps)) {
        if (caps.UsagePage != kPageTelephony)
            continue;
        ForEachUsage(caps, [&](Usage u) { controls.push_back({u, caps.ReportID, caps.IsAbsolute != FALSE}); });
    }
    controls.insert(controls.end(), m_buttons.begin(), m_buttons.end());
    return controls;
}

bool HidDevice::Declares(uint8_t reportId, const Usage& usage) const
{
    return std::any_of(m_outputs.begin(), m_outputs.end(),
                       [&](const OutputUsage& o) { return o.reportId == reportId && o.usage == usage; });
}

std::map<uint8_t, HidDevice::LedReport> HidDevice::LedReports(LedState leds) const
{
    std::map<uint8_t, LedReport> reports;
    for (const OutputUsage& o : m_outputs) {
        if (reports.count(o.reportId))
            continue;
        LedReport report = {std::vector<char>(m_caps.OutputReportByteLength), 0};
        const ULONG length = static_cast<ULONG>(report.bytes.size());
        if (report.bytes.empty() || HidP_InitializeReportForID(HidP_Output, o.reportId, m_preparsed.get(),
                                                               report.bytes.data(), length) != HIDP_STATUS_SUCCESS)
            continue;
        for (Led led : kAllLeds) {
            for (const Usage& u : LedUsages(led)) {
                if (!Declares(o.reportId, u))
                    continue;
                report.carries |= led;
                if (!(leds & led))
                    continue;
                USAGE usage = u.usage;
                ULONG one = 1;
                HidP_SetUsages(HidP_Output, u.page, 0, &usage, &one, m_preparsed.get(), report.bytes.data(), length);
            }
        }
        if (report.carries != 0)
            reports.emplace(o.reportId, std::move(report));
    }
    return reports;
}

bool HidDevice::Write(std::vector<char>& report)
{
    if (HidD_SetOutputReport(m_output.get(), report.data(), static_cast<ULONG>(report.size())))
        return true;
    // Some devices take output only on their interrupt pipe.
    DWORD written = 0;
    return WriteFile(m_output.get(), report.data(), static_cast<DWORD>(report.size()), &written, nullptr) != FALSE;
}

HidDevice::ReadResult HidDevice::ReadReport(std::vector<char>& report, HANDLE stop)
{
    report.resize(m_caps.InputReportByteLength);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_readDone.get();
    ResetEvent(m_readDone.get());
    DWORD got = 0;
    if (!ReadFile(m_input.get(), report.data(), static_cast<DWORD>(report.size()), &got, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        return ReadResult::kGone;
    const HANDLE waits[] = {m_readDone.get(), stop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(m_input.get());
        if (WaitForSingleObject(m_readDone.get(), kCancelGraceMs) != WAIT_OBJECT_0)
            m_input.reset();
        WaitForSingleObject(m_readDone.get(), INFINITE); // the buffer is the read's until then
        return ReadResult::kStopped;
    }
    if (!GetOverlappedResult(m_input.get(), &overlapped, &got, FALSE))
        return ReadResult::kGone;
    return got == report.size() ? ReadResult::kReport : ReadResult::kOther;
}

bool HidDevice::UsagesOn(const std::vector<char>& report, std::vector<Usage>& on) const
{
    on.clear();
    if (!AppendUsagesOn(kPageTelephony, report, on))
        return false;
    if (m_buttons.empty())
        return true;
    std::vector<Usage> buttons;
    if (!AppendUsagesOn(kPageButton, report, buttons))
        return false;
    // Only the telephony collection's buttons: another collection of the
    // device may have buttons of the same numbers.
    for (const Usage& b : buttons)
        if (std::any_of(m_buttons.begin(), m_buttons.end(),
                        [&](const InputControl& c) { return c.usage == b && c.reportId == uint8_t(report[0]); }))
            on.push_back(b);
    return true;
}

bool HidDevice::AppendUsagesOn(USAGE page, const std::vector<char>& report, std::vector<Usage>& on) const
{
    std::vector<USAGE> usages(std::max<ULONG>(m_maxUsages, 1));
    ULONG count = static_cast<ULONG>(usages.size());
    const NTSTATUS status = HidP_GetUsages(HidP_Input, page, 0, usages.data(), &count, m_preparsed.get(),
                                           const_cast<char*>(report.data()), static_cast<ULONG>(report.size()));
    if (NoneOnThatPage(status))
        return true;
    if (status != HIDP_STATUS_SUCCESS)
        return false;
    for (ULONG i = 0; i < count; ++i)
        on.push_back({page, usages[i]});
    return true;
}

} // namespace hid_headset
