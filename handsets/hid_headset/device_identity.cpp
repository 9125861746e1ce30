// Stable ids of headsets: from the USB ids and the serial number, or from
// the device instance.
#include "handsets/hid_headset/device_identity.h"

#include <cctype>
#include <cstdio>

namespace hid_headset {

namespace {

bool Blank(unsigned char c) { return c <= ' ' || c == 0x7F; }

// Without the blanks around it; control characters inside become '?'.
std::string Cleaned(const std::string& text)
{
    std::size_t first = 0, last = text.size();
    while (first < last && Blank(static_cast<unsigned char>(text[first])))
        ++first;
    while (last > first && Blank(static_cast<unsigned char>(text[last - 1])))
        --last;
    std::string out = text.substr(first, last - first);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7F)
            c = '?';
    return out;
}

} // namespace

std::string InstanceOfInterfacePath(const std::string& path)
{
    const std::string prefix = "\\\\?\\";
    const std::size_t klass = path.rfind("#{");
    if (path.compare(0, prefix.size(), prefix) != 0 || klass == std::string::npos || klass <= prefix.size())
        return path;
    std::string instance = path.substr(prefix.size(), klass - prefix.size());
    for (char& c : instance) {
        if (c == '#')
            c = '\\';
        else
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return instance;
}

DeviceIdentity MakeIdentity(uint16_t vendorId, uint16_t productId, const std::string& name,
                            const std::string& serial, const std::string& interfacePath)
{
    DeviceIdentity identity;
    identity.name = Cleaned(name);
    identity.vendorId = vendorId;
    identity.productId = productId;
    identity.instance = InstanceOfInterfacePath(interfacePath);
    identity.serial = Cleaned(serial);
    if (identity.serial.empty()) {
        identity.serial = identity.instance;
        identity.id = identity.instance;
        return identity;
    }
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x:", static_cast<unsigned>(vendorId), static_cast<unsigned>(productId));
    identity.id = ids + identity.serial;
    return identity;
}

} // namespace hid_headset
