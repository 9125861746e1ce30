// The ids and names a version-2 host is given for headsets: the same id for
// the same headset after unplug and replug, from its serial number or, with
// none, from its device instance.
#include "handsets/hid_headset/device_identity.h"

#include <gtest/gtest.h>

namespace {

using namespace hid_headset;

const std::string kPath = "\\\\?\\hid#vid_0b0e&pid_2453&mi_03&col02#8&2a1b3c4d&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::string kInstance = "HID\\VID_0B0E&PID_2453&MI_03&COL02\\8&2A1B3C4D&0&0001";

TEST(DeviceIdentity, TheIdComesFromTheSerialNumberElseFromTheInstance)
{
    struct Row {
        const char* name;
        std::string product, serial, path;
        std::string id, shownName, shownSerial;
    };
    const Row rows[] = {
        {"a serial number", "Headset 2453", "A1B2C3", kPath, "0b0e:2453:A1B2C3", "Headset 2453", "A1B2C3"},
        {"no serial number", "Headset 2453", "", kPath, kInstance, "Headset 2453", kInstance},
        {"a serial number of blanks", "Headset", " \t ", kPath, kInstance, "Headset", kInstance},
        {"blanks around the texts", "  Headset  ", " 42 ", kPath, "0b0e:2453:42", "Headset", "42"},
        {"control characters inside", "Head\x01set", "4\x7f" "2", kPath, "0b0e:2453:4?2", "Head?set", "4?2"},
        {"a name in UTF-8", "H\xc3\xb6rer", "7", kPath, "0b0e:2453:7", "H\xc3\xb6rer", "7"},
        {"no name", "", "7", kPath, "0b0e:2453:7", "", "7"},
        {"a path of another shape", "", "", "\\\\.\\odd", "\\\\.\\odd", "", "\\\\.\\odd"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DeviceIdentity d = MakeIdentity(0x0B0E, 0x2453, row.product, row.serial, row.path);
        EXPECT_EQ(row.id, d.id);
        EXPECT_EQ(row.shownName, d.name);
        EXPECT_EQ(row.shownSerial, d.serial);
        EXPECT_EQ(0x0B0E, d.vendorId);
        EXPECT_EQ(0x2453, d.productId);
    }
}

TEST(DeviceIdentity, TheInstanceOfAnInterfacePath)
{
    EXPECT_EQ(kInstance, InstanceOfInterfacePath(kPath));
    EXPECT_EQ("ROOT\\KEXVIRTUALHID\\0000", InstanceOfInterfacePath("\\\\?\\root#kexvirtualhid#0000#{x}"));
    EXPECT_EQ("\\\\?\\no-class", InstanceOfInterfacePath("\\\\?\\no-class"));
    EXPECT_EQ("#{x}", InstanceOfInterfacePath("#{x}"));
    EXPECT_EQ("", InstanceOfInterfacePath(""));
}

} // namespace
