// A headset in use: its reader thread, input reports through the telephony
// map to the device callback, the host's commands to LED reports.
#include "handsets/hid_headset/headset.h"

namespace hid_headset {

Headset::Headset(std::unique_ptr<HidDevice> device, KexDeviceCallback callback)
    : m_device(std::move(device)), m_callback(callback), m_map(m_device->InputControls())
{
}

Headset::~Headset()
{
    if (m_stop)
        SetEvent(m_stop.get());
    if (m_reader)
        WaitForSingleObject(m_reader.get(), INFINITE);
}

bool Headset::Start(HANDLE wake)
{
    m_wake = wake;
    m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stop)
        return false;
    {
        auto guard = m_lock.lock_exclusive();
        SendLeds(true);
    }
    m_reader.reset(CreateThread(nullptr, 0, &Headset::ReaderMain, this, 0, nullptr));
    return static_cast<bool>(m_reader);
}

void Headset::OnCommand(uint32_t code)
{
    auto guard = m_lock.lock_exclusive();
    m_map.OnCommand(code);
    SendLeds(false);
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
        m_map.OnInputReport(static_cast<uint8_t>(report[0]), on, messages);
        SendLeds(false); // the mute echo
    }
    for (const DeviceMessage& m : messages)
        m_callback(m.msg, m.wParam, m.lParam);
}

void Headset::SendLeds(bool force)
{
    for (auto& [id, report] : m_device->LedReports(m_map.Leds())) {
        std::vector<char>& last = m_sent[id];
        if (!force && last == report)
            continue;
        if (m_device->Write(report))
            last = std::move(report);
    }
}

} // namespace hid_headset
