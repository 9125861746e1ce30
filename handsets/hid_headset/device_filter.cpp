// The [HidHeadset] Include= and Exclude= lists: parsing and matching.
#include "handsets/hid_headset/device_filter.h"

namespace hid_headset {

namespace {

constexpr char kSeparators[] = ", \t";
constexpr std::size_t kMaxHexDigits = 4; // a 16-bit id

bool ParseHex16(const std::string& text, uint16_t& value)
{
    if (text.empty() || text.size() > kMaxHexDigits)
        return false;
    unsigned v = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        v = v * 16 + static_cast<unsigned>(digit);
    }
    value = static_cast<uint16_t>(v);
    return true;
}

} // namespace

DeviceFilter::DeviceFilter(const std::string& include, const std::string& exclude)
{
    m_badEntries = Parse(include, m_include) + Parse(exclude, m_exclude);
}

int DeviceFilter::Parse(const std::string& text, std::vector<Entry>& out)
{
    int bad = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find_first_of(kSeparators, at);
        const std::string item = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (item.empty())
            continue;
        const std::size_t colon = item.find(':');
        uint16_t vendor = 0, product = 0;
        if (!ParseHex16(item.substr(0, colon), vendor) ||
            (colon != std::string::npos && !ParseHex16(item.substr(colon + 1), product))) {
            ++bad;
            continue;
        }
        out.push_back({vendor, colon == std::string::npos ? kAnyProduct : static_cast<int>(product)});
    }
    return bad;
}

bool DeviceFilter::Matches(const std::vector<Entry>& list, uint16_t vendor, uint16_t product)
{
    for (const Entry& e : list)
        if (e.vendor == vendor && (e.product == kAnyProduct || e.product == product))
            return true;
    return false;
}

bool DeviceFilter::Accepts(uint16_t vendor, uint16_t product) const
{
    if (Matches(m_exclude, vendor, product))
        return false;
    return m_include.empty() || Matches(m_include, vendor, product);
}

} // namespace hid_headset
