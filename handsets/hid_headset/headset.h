// One headset in use: an opened HID telephony collection, the telephony map
// and call model that turn its reports into device messages and the host's
// commands into LEDs, and the reader thread that waits for its input.
//
// LEDs: nothing is written when the headset is opened (another application
// may hold a call on it); a command writes the reports whose LEDs changed,
// each whole; the headset's own answer, end, reject and mute presses are
// answered with their LEDs at once, before the host hears of them. At the
// end the adapter turns off what it lit, and only that.
//
// Threads: the reader thread reads, updates the map, writes the LEDs and
// posts the messages to the report queue; OnCommand runs on the host's
// thread. The map and the output reports are shared under m_lock. Gone and
// the destructor belong to the thread that owns the headset.
#pragma once

#include "handsets/hid_headset/call_model.h"
#include "handsets/hid_headset/hid_device.h"
#include "handsets/hid_headset/report_queue.h"
#include "handsets/hid_headset/telephony_map.h"
#include "win32/raii.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hid_headset {

class Headset {
public:
    // id: the headset's id for the host (unique among the adapter's).
    Headset(std::unique_ptr<HidDevice> device, std::string id, ReportQueue& reports, CallSettings settings);
    // Stops and joins the reader (nothing of it reports afterwards), then
    // turns off the LEDs the adapter lit.
    ~Headset();
    Headset(const Headset&) = delete;
    Headset& operator=(const Headset&) = delete;

    // Starts reading; writes nothing. wake is set when the reader ends by
    // itself.
    bool Start(HANDLE wake);

    // A command of the host: the call and its LEDs follow.
    void OnCommand(uint32_t code, uintptr_t wParam);

    // The reader ended by itself: the device went away.
    bool Gone() const;
    const std::wstring& Path() const { return m_device->Path(); }
    const std::string& Id() const { return m_id; }
    const DeviceIdentity& Identity() const { return m_device->Identity(); }

private:
    static DWORD WINAPI ReaderMain(void* self) noexcept;
    bool ReadLoop(); // true when stopped, false when the device went away
    void OnReport(const std::vector<char>& report);
    // Writes every LED report whose LEDs changed, and tells the call model
    // what the device was sent. Called with m_lock held.
    void SendLeds();

    const std::unique_ptr<HidDevice> m_device;
    const std::string m_id;
    ReportQueue& m_reports;
    kex::srwlock m_lock; // m_map, m_sent and the device's output
    TelephonyMap m_map;
    // The last report written, by id, and the LEDs it lit. A report never
    // written is taken as all off.
    struct Sent {
        std::vector<char> bytes;
        LedState lit;
    };
    std::map<uint8_t, Sent> m_sent;
    kex::unique_handle m_stop;
    kex::unique_handle m_reader;
    HANDLE m_wake = nullptr;
};

} // namespace hid_headset
