// A headset in use: its reader thread, input reports through the telephony
// map to the report queue, the call's LEDs to its output reports.
#include "handsets/hid_headset/headset.h"

namespace hid_headset {

Headset::Headset(std::unique_ptr<HidDevice> device, std::string id, ReportQueue& reports, CallSettings settings)
    : m_device(std::move(device)), m_id(std::move(id)), m_reports(reports), m_map(m_device->InputControls(), settings)
{
}

Headset::~Headset()
{
    if (m_stop)
        SetEvent(m_stop.get());
    if (m_reader)
        WaitForSingleObject(m_reader.get(), INFINITE);
    // What the adapter lit goes out; reports it never lit stay as they are.
    auto guard = m_lock.lock_exclusive();
    std::map<uint8_t, HidDevice::LedReport> off = m_device->LedReports(0);
    for (auto& [id, sent] : m_sent)
        if (sent.lit != 0 && off.count(id))
            m_device->Write(off[id].bytes);
}

bool Headset::Start(HANDLE wake)
{
    m_wake = wake;
    m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stop)
        return false;
    m_reader.reset(CreateThread(nullptr, 0, &Headset::ReaderMain, this, 0, nullptr));
    return static_cast<bool>(m_reader);
}

void Headset::OnCommand(uint32_t code, uintptr_t wParam)
{
    auto guard = m_lock.lock_exclusive();
    m_map.OnCommand(code, wParam);
    SendLeds();
}

bool Headset::Gone() const
{
    return m_reader && WaitForSingleObject(m_reader.get(), 0) == WAIT_OBJECT_0;
}

DWORD WINAPI Headset::ReaderMain(void* self) noexcept
{
    auto* headset = static_cast<Headset*>(self);
    bool stopped = false;
    try {
        stopped = headset->ReadLoop();
    } catch (...) {
        // Out of memory: the reader ends and the headset counts as gone.
    }
    if (!stopped)
        SetEvent(headset->m_wake);
    return 0;
}

bool Headset::ReadLoop()
{
    std::vector<char> report;
    for (;;) {
        switch (m_device->ReadReport(report, m_stop.get())) {
        case HidDevice::ReadResult::kReport:
            OnReport(report);
            break;
        case HidDevice::ReadResult::kOther:
            break;
        case HidDevice::ReadResult::kStopped:
            return true;
        case HidDevice::ReadResult::kGone:
            return false;
        }
    }
}

void Headset::OnReport(const std::vector<char>& report)
{
    std::vector<Usage> on;
    if (!m_device->UsagesOn(report, on))
        return;
    std::vector<DeviceMessage> messages;
    {
        auto guard = m_lock.lock_exclusive();
        m_map.OnInputReport(static_cast<uint8_t>(report[0]), on, GetTickCount64(), messages);
        SendLeds(); // the answer to an answer, an end or a mute press: before the host hears of it
    }
    m_reports.Post(m_id, messages);
}

void Headset::SendLeds()
{
    const LedState leds = m_map.Leds();
    LedState conveyed = 0;
    for (auto& [id, report] : m_device->LedReports(leds)) {
        const LedState lit = report.carries & leds;
        auto last = m_sent.find(id);
        if (last == m_sent.end() ? lit == 0 : last->second.bytes == report.bytes)
            continue;
        if (!m_device->Write(report.bytes))
            continue;
        m_sent[id] = {std::move(report.bytes), lit};
        conveyed |= report.carries;
    }
    if (conveyed != 0)
        m_map.OnLedsWritten(conveyed, leds, GetTickCount64());
}

} // namespace hid_headset
