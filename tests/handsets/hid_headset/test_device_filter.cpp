// The HID headset adapter's device filter: which vendor and product ids the
// [HidHeadset] Include= and Exclude= lists take, in the forms people write.
#include "handsets/hid_headset/device_filter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using hid_headset::DeviceFilter;

std::string Printable(std::string text)
{
    for (std::size_t at = text.find('\t'); at != std::string::npos; at = text.find('\t', at))
        text.replace(at, 1, "\\t");
    return text;
}

TEST(DeviceFilter, IncludeAndExcludeListsPickTheDevices)
{
    struct Row {
        const char* include;
        const char* exclude;
        uint16_t vendor, product;
        bool want;
    };
    const Row rows[] = {
        {"", "", 0x0b0e, 0x2453, true},                       // no lists: every device
        {"0b0e:2453", "", 0x0b0e, 0x2453, true},
        {"0b0e:2453", "", 0x0b0e, 0x2454, false},
        {"0B0E", "", 0x0b0e, 0x9999, true},                   // a whole vendor, any case
        {"1395:0082, 0b0e:2453", "", 0x0b0e, 0x2453, true},   // comma and space
        {"1395:0082 047f", "", 0x047f, 0xc053, true},
        {"", "047f:c053", 0x047f, 0xc053, false},
        {"", "047f:c053", 0x047f, 0xc054, true},
        {"047f", "047f:c053", 0x047f, 0xc053, false},         // exclude wins
        {"0b0e:2453", "0b0e", 0x0b0e, 0x2453, false},
        // Every separator and run of separators people type between entries.
        {"1395:0082\t0b0e:2453", "", 0x0b0e, 0x2453, true},
        {"1395:0082\t047f", "", 0x0b0e, 0x2453, false},
        {"1395:0082,0b0e:2453", "", 0x0b0e, 0x2453, true},
        {"1395:0082 ,\t 0b0e:2453", "", 0x0b0e, 0x2453, true},
        {"1395:0082\t\t0b0e", "", 0x0b0e, 0x2453, true},
        {"\t 0b0e:2453 \t,", "", 0x0b0e, 0x2453, true},
        {"1395:0082 ,, 047f", "", 0x0b0e, 0x2453, false},
        {"", "047f:c053\t0b0e", 0x0b0e, 0x1111, false},
        {"", "047f:c053\t0b0e", 0x047f, 0xc054, true},
        {"0b0e", "0b0e:2453\t0b0e:2454", 0x0b0e, 0x2454, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Printable(std::string(row.include) + " / " + row.exclude));
        const DeviceFilter filter(row.include, row.exclude);
        EXPECT_EQ(row.want, filter.Accepts(row.vendor, row.product));
        EXPECT_EQ(0, filter.BadEntries());
    }
}

TEST(DeviceFilter, EntriesThatDoNotParseAreSkipped)
{
    // Only "0b0e:2453" is an entry: the include list is not empty, so a typo
    // does not turn it into "every device".
    const DeviceFilter filter("0b0e:2453, 12345:1, xyz, 1395:, :0082, 0b0e:2453:1", "");
    EXPECT_EQ(5, filter.BadEntries());
    EXPECT_TRUE(filter.Accepts(0x0b0e, 0x2453));
    EXPECT_FALSE(filter.Accepts(0x1395, 0x0082));
    // A list of typos alone takes every device: the typo is reported instead.
    EXPECT_TRUE(DeviceFilter("nonsense", "").Accepts(0x1395, 0x0082));
}

} // namespace
