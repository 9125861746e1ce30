// The tests' side of the virtual HID headset: find a device by its ids, open
// it, inject input reports and collect the output reports it received.
#pragma once

#include "tests/handsets/hid_headset/virtual_hid_control.h"

#include <windows.h>
#include <setupapi.h>
// mingw-w64's HID headers lack C linkage for C++.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <string>
#include <vector>

namespace virtual_hid {

constexpr unsigned short kVendor = 0x1209;
constexpr unsigned short kSingleReport = 0xB001;   // layout 1
constexpr unsigned short kSplitReports = 0xB002;   // layout 2
constexpr unsigned short kReportPerLed = 0xB003;   // layout 3
constexpr unsigned short kNotTelephony = 0xB004;   // layout 4

// Interface paths of the present HID devices with these ids.
inline std::vector<std::wstring> FindPaths(unsigned short vendor, unsigned short product)
{
    std::vector<std::wstring> paths;
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, i, &iface); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size + sizeof(wchar_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, size, nullptr, nullptr))
            continue;
        HANDLE h = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof attributes;
        if (HidD_GetAttributes(h, &attributes) && attributes.VendorID == vendor && attributes.ProductID == product)
            paths.push_back(detail->DevicePath);
        CloseHandle(h);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
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
    {
        const std::vector<std::wstring> paths = FindPaths(vendor, product);
        if (paths.size() == 1)
            m_handle = CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~Device()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return m_handle; }

    bool Inject(const std::vector<unsigned char>& report)
    {
        DWORD returned = 0;
        std::vector<unsigned char> copy(report);
        return DeviceIoControl(m_handle, IOCTL_VHID_INJECT, copy.data(), static_cast<DWORD>(copy.size()), nullptr, 0,
                               &returned, nullptr) != FALSE;
    }

    // The output reports received since the last call.
    std::vector<OutputReport> TakeOutput()
    {
        std::vector<OutputReport> reports;
        std::vector<unsigned char> buffer(8192);
        DWORD returned = 0;
        if (!DeviceIoControl(m_handle, IOCTL_VHID_TAKE_OUTPUT, nullptr, 0, buffer.data(),
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
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

} // namespace virtual_hid
