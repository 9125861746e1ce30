// Which HID devices the headset adapter takes, from its [HidHeadset]
// settings. Portable: tested natively and in both Windows builds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hid_headset {

// Lists of "vendor:product" or "vendor" in hex, separated by commas, spaces
// or tabs. An empty include list takes every device; exclude wins over
// include. Entries that do not parse are skipped and counted.
class DeviceFilter {
public:
    DeviceFilter() = default;
    DeviceFilter(const std::string& include, const std::string& exclude);

    bool Accepts(uint16_t vendor, uint16_t product) const;
    int BadEntries() const { return m_badEntries; }

private:
    struct Entry {
        uint16_t vendor;
        int product; // kAnyProduct: every product of the vendor
    };
    static constexpr int kAnyProduct = -1;

    static bool Matches(const std::vector<Entry>& list, uint16_t vendor, uint16_t product);
    static int Parse(const std::string& text, std::vector<Entry>& out);

    std::vector<Entry> m_include, m_exclude;
    int m_badEntries = 0;
};

} // namespace hid_headset
