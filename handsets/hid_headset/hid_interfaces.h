// The HID device interfaces present on the system, and owners for the
// device-information sets and parser data they come with. Win32 only.
#pragma once

#include "win32/raii.h"

#include <windows.h>
#include <setupapi.h>
// mingw-w64's HID headers lack C linkage for C++.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <string>
#include <vector>

namespace hid_headset {

struct DeviceInfoSetTraits {
    static HDEVINFO invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(HDEVINFO set) noexcept { return set != nullptr && set != INVALID_HANDLE_VALUE; }
    static void close(HDEVINFO set) noexcept { SetupDiDestroyDeviceInfoList(set); }
};
struct PreparsedDataTraits {
    static PHIDP_PREPARSED_DATA invalid() noexcept { return nullptr; }
    static bool valid(PHIDP_PREPARSED_DATA data) noexcept { return data != nullptr; }
    static void close(PHIDP_PREPARSED_DATA data) noexcept { HidD_FreePreparsedData(data); }
};
using unique_device_info_set = kex::unique_any<HDEVINFO, DeviceInfoSetTraits>;
using unique_preparsed_data = kex::unique_any<PHIDP_PREPARSED_DATA, PreparsedDataTraits>;

inline GUID HidInterfaceClass()
{
    GUID hid;
    HidD_GetHidGuid(&hid);
    return hid;
}

// The paths of the HID interfaces present now, in the system's order.
inline std::vector<std::wstring> PresentHidInterfaces()
{
    std::vector<std::wstring> paths;
    const GUID hid = HidInterfaceClass();
    const unique_device_info_set set(
        SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set)
        return paths;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hid, i, &iface); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set.get(), &iface, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        // Room for the terminating NUL the size may leave out.
        std::vector<char> buffer(size + sizeof(wchar_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set.get(), &iface, detail, size, nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    return paths;
}

} // namespace hid_headset
