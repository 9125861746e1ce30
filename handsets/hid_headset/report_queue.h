// The HID headset adapter's reports on their way to the host: one thread
// hands them over in the order they were made, so that a reader never waits
// for the host. A headset's reports are read, and answered with its LEDs,
// when they come; the times that tell an echo from a press are those of the
// reading, not of the host's handling.
//
// Threads: Post and Describe from any thread; Start and Stop on the host's
// thread (Stop dispatches its messages while it waits, since the report
// being handed over may be waiting for exactly that thread).
#pragma once

#include "adapters/AdapterEntry.h"
#include "handsets/hid_headset/call_model.h"
#include "handsets/hid_headset/device_identity.h"
#include "win32/raii.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

namespace hid_headset {

class ReportQueue {
public:
    explicit ReportQueue(const kex::AdapterHost& host) : m_host(host) {}
    ~ReportQueue() { Stop(); }
    ReportQueue(const ReportQueue&) = delete;
    ReportQueue& operator=(const ReportQueue&) = delete;

    bool Start();
    // What is not handed over yet is dropped: the host has stopped.
    void Stop();

    void Post(const std::string& deviceId, const std::vector<DeviceMessage>& messages);
    void Post(const std::string& deviceId, DeviceMessage message) { Post(deviceId, std::vector<DeviceMessage>{message}); }
    // Names a device to the host, in order with the reports.
    void Describe(const DeviceIdentity& device);

private:
    struct Item {
        bool describe;
        DeviceIdentity device; // the id alone for a report
        DeviceMessage message;
    };

    static DWORD WINAPI ThreadMain(void* self) noexcept;
    void Run();
    void Deliver(const Item& item) const;

    const kex::AdapterHost& m_host;
    std::atomic<bool> m_stopping{false};
    kex::unique_handle m_stop;
    kex::unique_handle m_posted; // auto-reset: items came
    kex::unique_handle m_thread;
    kex::srwlock m_lock; // m_items
    std::deque<Item> m_items;
};

} // namespace hid_headset
