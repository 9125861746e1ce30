// One headset in use: an opened HID telephony collection, the telephony map
// that turns its reports into device messages and the host's commands into
// LEDs, and the reader thread that waits for its input.
//
// Threads: the reader thread reads, updates the map and calls the device
// callback (with no lock held); OnCommand runs on the host's thread. The
// map and the output reports are shared under m_lock. Gone and the
// destructor belong to the thread that owns the headset.
#pragma once

#include "adapters/KexUSBAdapter.h"
#include "handsets/hid_headset/hid_device.h"
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
    Headset(std::unique_ptr<HidDevice> device, KexDeviceCallback callback);
    ~Headset(); // stops and joins the reader: nothing of it reports afterwards
    Headset(const Headset&) = delete;
    Headset& operator=(const Headset&) = delete;

    // Puts the LEDs out, so they match the map, and starts reading. wake is
    // set when the reader ends by itself.
    bool Start(HANDLE wake);

    // A command of the host: the LEDs follow.
    void OnCommand(uint32_t code);

    // The reader ended by itself: the device went away.
    bool Gone() const;
    const std::wstring& Path() const { return m_device->Path(); }

private:
    static DWORD WINAPI ReaderMain(void* self) noexcept;
    bool ReadLoop(); // true when stopped, false when the device went away
    void OnReport(const std::vector<char>& report);
    // Writes every output report whose LEDs changed (all of them when
    // force). Called with m_lock held.
    void SendLeds(bool force);

    const std::unique_ptr<HidDevice> m_device;
    const KexDeviceCallback m_callback;
    kex::srwlock m_lock; // m_map, m_sent and the device's output
    TelephonyMap m_map;
    std::map<uint8_t, std::vector<char>> m_sent; // the last report written, by id
    kex::unique_handle m_stop;
    kex::unique_handle m_reader;
    HANDLE m_wake = nullptr;
};

} // namespace hid_headset
