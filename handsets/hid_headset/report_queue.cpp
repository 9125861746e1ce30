// The thread that hands the HID headset adapter's reports to the host.
#include "handsets/hid_headset/report_queue.h"

namespace hid_headset {

bool ReportQueue::Start()
{
    m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_posted.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_stop || !m_posted)
        return false;
    m_thread.reset(CreateThread(nullptr, 0, &ReportQueue::ThreadMain, this, 0, nullptr));
    return static_cast<bool>(m_thread);
}

void ReportQueue::Stop()
{
    if (!m_thread)
        return;
    m_stopping = true;
    SetEvent(m_stop.get());
    const HANDLE thread = m_thread.get();
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    m_thread.reset();
    auto guard = m_lock.lock_exclusive();
    m_items.clear();
}

void ReportQueue::Post(const std::string& deviceId, const std::vector<DeviceMessage>& messages)
{
    if (messages.empty())
        return;
    {
        auto guard = m_lock.lock_exclusive();
        for (const DeviceMessage& m : messages) {
            m_items.push_back({false, {}, m});
            m_items.back().device.id = deviceId;
        }
    }
    SetEvent(m_posted.get());
}

void ReportQueue::Describe(const DeviceIdentity& device)
{
    {
        auto guard = m_lock.lock_exclusive();
        m_items.push_back({true, device, {}});
    }
    SetEvent(m_posted.get());
}

DWORD WINAPI ReportQueue::ThreadMain(void* self) noexcept
{
    try {
        static_cast<ReportQueue*>(self)->Run();
    } catch (...) {
        // Out of memory: no more reports until the next start.
    }
    return 0;
}

void ReportQueue::Run()
{
    const HANDLE waits[] = {m_stop.get(), m_posted.get()};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        for (;;) {
            if (m_stopping)
                return;
            Item item{};
            {
                auto guard = m_lock.lock_exclusive();
                if (m_items.empty())
                    break;
                item = std::move(m_items.front());
                m_items.pop_front();
            }
            Deliver(item); // no lock held: the host's thread may be in a command
        }
    }
}

void ReportQueue::Deliver(const Item& item) const
{
    if (!item.describe) {
        m_host.Report(item.device.id.c_str(), item.message.msg, item.message.wParam, item.message.lParam);
        return;
    }
    const DeviceIdentity& d = item.device;
    const KexDeviceInfo info = {sizeof info, d.id.c_str(), d.name.c_str(), d.vendorId, d.productId, d.serial.c_str()};
    m_host.DescribeDevice(info);
}

} // namespace hid_headset
