// The tests' side of the virtual HID headset: find a device by its ids, open
// it, inject input reports, collect the output reports it received (or wait
// for them), read its input as another application would, and read the
// report descriptor a named headset serves.
#pragma once

#include "handsets/hid_headset/hid_interfaces.h"
#include "tests/handsets/hid_headset/report_descriptor.h"
#include "tests/handsets/hid_headset/virtual_hid_control.h"
#include "tests/support/files.h"
#include "win32/raii.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace virtual_hid {

// The devices hid-run installs, each serving descriptors/<file>.hid.
constexpr unsigned short kVendor = 0x1209;
constexpr unsigned short kSingleReport = 0xB001;   // headset_single
constexpr unsigned short kSplitReports = 0xB002;   // headset_split
constexpr unsigned short kReportPerLed = 0xB003;   // headset_per_led
constexpr unsigned short kNotTelephony = 0xB004;   // consumer_control
// A test device as the installer and [HidHeadset] Include name it:
// "vvvv:pppp" in hex.
inline std::string IdsOf(unsigned short product, unsigned short vendor = kVendor)
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendor, product);
    return ids;
}

// The named ones.
struct NamedHeadset {
    unsigned short product;
    const char* descriptor; // file name in hid/descriptors, without ".hid"
    const char* name;       // product string, UTF-8
    const char* serial;     // "" for none
};
constexpr NamedHeadset kHeadset2453 = {0xB101, "headset_2453", "Kex Headset 2453", "KX2453-0001"};
constexpr NamedHeadset kHeadset0082 = {0xB102, "headset_0082", "Kex H\xc3\xb6rer 0082", "KX0082-0001"};
constexpr NamedHeadset kHeadsetC053 = {0xB103, "headset_c053", "Kex Headset C053", ""};
constexpr NamedHeadset kHeadsetProgrammable = {0xB104, "headset_programmable", "Kex Headset Programmable",
                                               "KXPB-0001"};
// The others, by the driver's default name and no serial number.
constexpr NamedHeadset kHeadsetSingle = {kSingleReport, "headset_single", "Kex Virtual Headset", ""};
constexpr NamedHeadset kHeadsetPerLed = {kReportPerLed, "headset_per_led", "Kex Virtual Headset", ""};

inline kex::unique_file OpenPath(const std::wstring& path, DWORD access, DWORD flags)
{
    return kex::unique_file(
        CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr));
}

// Interface paths of the present HID devices with these ids.
inline std::vector<std::wstring> FindPaths(unsigned short vendor, unsigned short product)
{
    std::vector<std::wstring> paths;
    for (const std::wstring& path : hid_headset::PresentHidInterfaces()) {
        const kex::unique_file device = OpenPath(path, 0, 0);
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof attributes;
        if (device && HidD_GetAttributes(device.get(), &attributes) && attributes.VendorID == vendor &&
            attributes.ProductID == product)
            paths.push_back(path);
    }
    return paths;
}

// The one device with these ids, opened; empty when there is not exactly one.
inline kex::unique_file OpenDevice(unsigned short vendor, unsigned short product, DWORD flags)
{
    const std::vector<std::wstring> paths = FindPaths(vendor, product);
    if (paths.size() != 1)
        return {};
    return OpenPath(paths[0], GENERIC_READ | GENERIC_WRITE, flags);
}

struct OutputReport {
    int kind; // VHID_OUT_*
    std::vector<unsigned char> bytes; // report id first
};

// The records of IOCTL_VHID_TAKE_OUTPUT and IOCTL_VHID_WAIT_OUTPUT.
inline std::vector<OutputReport> ParseOutput(const std::vector<unsigned char>& buffer, DWORD returned)
{
    std::vector<OutputReport> reports;
    for (DWORD at = 0; at + 2 <= returned;) {
        const unsigned length = buffer[at + 1];
        if (at + 2 + length > returned)
            break;
        reports.push_back({buffer[at], {buffer.begin() + at + 2, buffer.begin() + at + 2 + length}});
        at += 2 + length;
    }
    return reports;
}

// The report descriptor a named headset serves, as hid-run installed it.
inline ReportDescriptor DescriptorOf(const NamedHeadset& headset)
{
    std::ifstream in(test_support::ExeDirectory() + "..\\hid\\descriptors\\" + headset.descriptor + ".hid");
    std::stringstream text;
    text << in.rdbuf();
    return ReportDescriptor(ParseHexText(text.str()));
}

// One device's control handle.
class Device {
public:
    Device() = default;
    explicit Device(unsigned short product, unsigned short vendor = kVendor)
        : m_handle(OpenDevice(vendor, product, 0))
    {
    }

    bool IsOpen() const { return static_cast<bool>(m_handle); }
    HANDLE Handle() const { return m_handle.get(); }

    bool Inject(const std::vector<unsigned char>& report)
    {
        DWORD returned = 0;
        std::vector<unsigned char> copy(report);
        return DeviceIoControl(m_handle.get(), IOCTL_VHID_INJECT, copy.data(), static_cast<DWORD>(copy.size()),
                               nullptr, 0, &returned, nullptr) != FALSE;
    }

    // The output reports received since the last call.
    std::vector<OutputReport> TakeOutput()
    {
        std::vector<unsigned char> buffer(kOutputRecordBytes);
        DWORD returned = 0;
        if (!DeviceIoControl(m_handle.get(), IOCTL_VHID_TAKE_OUTPUT, nullptr, 0, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &returned, nullptr))
            return {};
        return ParseOutput(buffer, returned);
    }

    // The driver's record holds this much at most.
    static constexpr std::size_t kOutputRecordBytes = 8192;

private:
    kex::unique_file m_handle;
};

// One overlapped request at a time on a handle of its own to a device. A
// request still pending owns the buffer until it is cancelled and done; a
// request belongs to the thread that began it.
class DeviceRequest {
public:
    explicit DeviceRequest(unsigned short product, unsigned short vendor)
        : m_handle(OpenDevice(vendor, product, FILE_FLAG_OVERLAPPED)), m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~DeviceRequest() { Cancel(); }
    DeviceRequest(const DeviceRequest&) = delete;
    DeviceRequest& operator=(const DeviceRequest&) = delete;

    bool IsOpen() const { return m_handle && m_done; }
    // Signalled when the request ended.
    HANDLE Event() const { return m_done.get(); }

    void Cancel()
    {
        std::vector<unsigned char> ignored;
        CancelAndFinish(ignored);
    }

protected:
    // Starts a request of length bytes: start issues it on the handle.
    template <class Issue>
    bool Start(DWORD length, Issue start)
    {
        Cancel();
        m_buffer.assign(length, 0);
        m_overlapped = {};
        m_overlapped.hEvent = m_done.get();
        ResetEvent(m_done.get());
        m_pending = start(m_handle.get(), m_buffer.data(), &m_overlapped) || GetLastError() == ERROR_IO_PENDING;
        return m_pending;
    }

    // The bytes of the request that ended (wait: until it ends); false when
    // none is pending or it failed.
    bool Finish(bool wait, std::vector<unsigned char>& bytes)
    {
        if (!m_pending)
            return false;
        m_pending = false;
        DWORD returned = 0;
        if (!GetOverlappedResult(m_handle.get(), &m_overlapped, &returned, wait ? TRUE : FALSE))
            return false;
        bytes.assign(m_buffer.begin(), m_buffer.begin() + returned);
        return true;
    }

    // Ends a pending request now: the bytes it had when it ended before the
    // cancel came, else false.
    bool CancelAndFinish(std::vector<unsigned char>& bytes)
    {
        if (m_pending)
            CancelIo(m_handle.get());
        return Finish(true, bytes);
    }

    bool Pending() const { return m_pending; }

private:
    kex::unique_file m_handle;
    kex::unique_handle m_done;
    std::vector<unsigned char> m_buffer;
    OVERLAPPED m_overlapped = {};
    bool m_pending = false;
};

// A wait for the output reports the host writes to a device: Begin, then
// wait for Event, then End.
class OutputWatch : public DeviceRequest {
public:
    explicit OutputWatch(unsigned short product, unsigned short vendor = kVendor) : DeviceRequest(product, vendor) {}

    bool Begin()
    {
        return Start(static_cast<DWORD>(Device::kOutputRecordBytes), [](HANDLE h, unsigned char* buffer, OVERLAPPED* o) {
            DWORD returned = 0;
            return DeviceIoControl(h, IOCTL_VHID_WAIT_OUTPUT, nullptr, 0, buffer,
                                   static_cast<DWORD>(Device::kOutputRecordBytes), &returned, o) != FALSE;
        });
    }

    // The reports of the wait that ended; false when it failed.
    bool End(std::vector<OutputReport>& reports)
    {
        std::vector<unsigned char> record;
        if (!Finish(true, record))
            return false;
        reports = ParseOutput(record, static_cast<DWORD>(record.size()));
        return true;
    }

    // Ends the wait at once with what it holds. A wait that ended in the
    // driver may not have signalled yet; reports written while no wait was
    // pending stay in the driver for IOCTL_VHID_TAKE_OUTPUT.
    std::vector<OutputReport> EndNow()
    {
        std::vector<unsigned char> record;
        if (!CancelAndFinish(record))
            return {};
        return ParseOutput(record, static_cast<DWORD>(record.size()));
    }
};

// A reader of its own on a device, as another application opens it: the HID
// stack gives every open handle each input report, in a queue of its own.
class Reader : public DeviceRequest {
public:
    explicit Reader(unsigned short product, unsigned short vendor = kVendor) : DeviceRequest(product, vendor) {}

    // Starts one overlapped read of up to length bytes.
    bool Begin(DWORD length)
    {
        return Start(length, [length](HANDLE h, unsigned char* buffer, OVERLAPPED* o) {
            DWORD got = 0;
            return ReadFile(h, buffer, length, &got, o) != FALSE;
        });
    }

    // The report of the read begun; false when none came within timeoutMs.
    bool End(DWORD timeoutMs, std::vector<unsigned char>& report)
    {
        if (!Pending() || WaitForSingleObject(Event(), timeoutMs) != WAIT_OBJECT_0)
            return false;
        return Finish(false, report);
    }

    bool Read(DWORD length, DWORD timeoutMs, std::vector<unsigned char>& report)
    {
        return Begin(length) && End(timeoutMs, report);
    }
};

} // namespace virtual_hid
