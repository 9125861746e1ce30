// What a version-2 host is told about a headset, free of Windows: a stable
// id, the name to show, the USB ids and the serial number (else the device
// instance). Tested natively and in both Windows builds.
#pragma once

#include <cstdint>
#include <string>

namespace hid_headset {

struct DeviceIdentity {
    std::string id;       // "vvvv:pppp:SERIAL" in lower-case hex, else the instance
    std::string name;     // the product string; "" when the device has none
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serial;   // the serial number, else the instance
    std::string instance; // the device instance, the same for the same port
};

// The device instance of a HID interface path, upper case:
// "\\?\hid#vid_1209&pid_b001&col02#7&1f&0&0001#{4d1e55b2-...}" gives
// "HID\VID_1209&PID_B001&COL02\7&1F&0&0001". A path of another shape is
// kept whole.
std::string InstanceOfInterfacePath(const std::string& path);

// Texts in UTF-8. A serial number of blanks and control characters only is
// none: the id is then the instance, which a headset keeps when it is
// plugged back into the same port.
DeviceIdentity MakeIdentity(uint16_t vendorId, uint16_t productId, const std::string& name,
                            const std::string& serial, const std::string& interfacePath);

} // namespace hid_headset
