// The tests' side of the virtual HID headset: find a device by its ids, open
// it, inject input reports, collect the output reports it received, and
// read its input as another application would.
#pragma once

#include "handsets/hid_headset/hid_interfaces.h"
#include "tests/handsets/hid_headset/virtual_hid_control.h"
#include "win32/raii.h"

#include <windows.h>

#include <string>
#include <vector>

namespace virtual_hid {

constexpr unsigned short kVendor = 0x1209;
constexpr unsigned short kSingleReport = 0xB001;   // layout 1
constexpr unsigned short kSplitReports = 0xB002;   // layout 2
constexpr unsigned short kReportPerLed = 0xB003;   // layout 3
constexpr unsigned short kNotTelephony = 0xB004;   // layout 4

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
        std::vector<OutputReport> reports;
        std::vector<unsigned char> buffer(8192);
        DWORD returned = 0;
        if (!DeviceIoControl(m_handle.get(), IOCTL_VHID_TAKE_OUTPUT, nullptr, 0, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &returned, nullptr))
            return reports;
        for (DWORD at = 0; at + 2 <= returned;) {
            const unsigned length = buffer[at + 1];
            if (at + 2 + length > returned)
                break;
            reports.push_back({buffer[at], {buffer.begin() + at + 2, buffer.begin() + at + 2 + length}});
            at += 2 + length;
        }
        return reports;
    }

private:
    kex::unique_file m_handle;
};

// A reader of its own on a device, as another application opens it: the HID
// stack gives every open handle each input report, in a queue of its own.
class Reader {
public:
    explicit Reader(unsigned short product, unsigned short vendor = kVendor)
        : m_handle(OpenDevice(vendor, product, FILE_FLAG_OVERLAPPED)), m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~Reader() { Cancel(); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool IsOpen() const { return m_handle && m_done; }

    // Starts one overlapped read of up to length bytes.
    bool Begin(DWORD length)
    {
        Cancel();
        m_buffer.assign(length, 0);
        m_overlapped = {};
        m_overlapped.hEvent = m_done.get();
        ResetEvent(m_done.get());
        DWORD got = 0;
        m_pending = ReadFile(m_handle.get(), m_buffer.data(), length, &got, &m_overlapped) ||
                    GetLastError() == ERROR_IO_PENDING;
        return m_pending;
    }

    // The report of the read begun; false when none came within timeoutMs.
    bool End(DWORD timeoutMs, std::vector<unsigned char>& report)
    {
        if (!m_pending || WaitForSingleObject(m_done.get(), timeoutMs) != WAIT_OBJECT_0)
            return false;
        m_pending = false;
        DWORD got = 0;
        if (!GetOverlappedResult(m_handle.get(), &m_overlapped, &got, FALSE))
            return false;
        report.assign(m_buffer.begin(), m_buffer.begin() + got);
        return true;
    }

    bool Read(DWORD length, DWORD timeoutMs, std::vector<unsigned char>& report)
    {
        return Begin(length) && End(timeoutMs, report);
    }

private:
    // A read still pending owns the buffer until it is cancelled and done.
    void Cancel()
    {
        if (!m_pending)
            return;
        CancelIo(m_handle.get());
        DWORD got = 0;
        GetOverlappedResult(m_handle.get(), &m_overlapped, &got, TRUE);
        m_pending = false;
    }

    kex::unique_file m_handle;
    kex::unique_handle m_done;
    std::vector<unsigned char> m_buffer;
    OVERLAPPED m_overlapped = {};
    bool m_pending = false;
};

} // namespace virtual_hid
