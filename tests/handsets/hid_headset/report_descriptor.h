// The tests' own reading of a HID report descriptor: where each control
// sits in its reports, so that a device player can build the input reports a
// device sends and read the output reports the host writes, for any
// descriptor, without the HID stack under test. A 16-bit usage takes the
// usage page declared before it, as Wine's parser does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace virtual_hid {

struct HidUsage {
    uint16_t page;
    uint16_t usage;
    bool operator==(const HidUsage& o) const { return page == o.page && usage == o.usage; }
};

enum class ReportKind { kInput, kOutput, kFeature };

// One main item: count elements of bitSize bits from bitOffset (counted
// after the report id byte).
struct Field {
    ReportKind kind;
    uint8_t reportId;
    unsigned bitOffset, bitSize, count;
    bool array, relative, constant;
    int32_t logicalMin;
    // Variable: the usage of each element. Array: the usages a value
    // selects, from logicalMin on.
    std::vector<HidUsage> usages;
};

class ReportDescriptor {
public:
    ReportDescriptor() = default;
    explicit ReportDescriptor(const std::vector<unsigned char>& bytes) { Parse(bytes); }

    bool Valid() const { return m_valid; }
    const std::vector<Field>& Fields() const { return m_fields; }

    // The longest report of a kind in bytes, the id byte included: the length
    // Wine's HID stack gives every report of the device.
    unsigned Length(ReportKind kind) const
    {
        unsigned bits = 0;
        for (const Field& f : m_fields)
            if (f.kind == kind)
                bits = std::max(bits, f.bitOffset + f.bitSize * f.count);
        return bits == 0 ? 0 : 1 + (bits + 7) / 8;
    }

    // A one-bit control of a variable field.
    struct Bit {
        uint8_t reportId;
        unsigned offset;
        bool relative;
    };
    std::optional<Bit> FindBit(ReportKind kind, HidUsage usage) const
    {
        for (const Field& f : m_fields)
            for (unsigned i = 0; f.kind == kind && !f.array && !f.constant && f.bitSize == 1 && i < f.count; ++i)
                if (f.usages[i] == usage)
                    return Bit{f.reportId, f.bitOffset + i, f.relative};
        return std::nullopt;
    }

    // The array field that can hold usage, and the value that selects it.
    struct ArrayEntry {
        const Field* field;
        uint32_t value;
    };
    std::optional<ArrayEntry> FindArray(ReportKind kind, HidUsage usage) const
    {
        for (const Field& f : m_fields)
            for (std::size_t i = 0; f.kind == kind && f.array && i < f.usages.size(); ++i)
                if (f.usages[i] == usage)
                    return ArrayEntry{&f, static_cast<uint32_t>(f.logicalMin + static_cast<int32_t>(i))};
        return std::nullopt;
    }

private:
    struct Globals {
        uint16_t page = 0;
        int32_t logicalMin = 0;
        unsigned reportSize = 0, reportCount = 0;
        uint8_t reportId = 0;
    };
    struct Offset {
        ReportKind kind;
        uint8_t reportId;
        unsigned bits;
    };

    void Parse(const std::vector<unsigned char>& bytes)
    {
        Globals g;
        std::vector<Globals> stack;
        std::vector<HidUsage> usages;
        HidUsage usageMin = {0, 0};
        bool haveUsageMin = false;
        for (std::size_t at = 0; at < bytes.size();) {
            const unsigned char prefix = bytes[at];
            const unsigned size = (prefix & 3) == 3 ? 4 : prefix & 3;
            if (prefix == 0xFE || at + 1 + size > bytes.size())
                return; // long items are for vendors; a cut item ends it
            uint32_t value = 0;
            for (unsigned i = 0; i < size; ++i)
                value |= static_cast<uint32_t>(bytes[at + 1 + i]) << (8 * i);
            int32_t signedValue = static_cast<int32_t>(value);
            if (size == 1)
                signedValue = static_cast<int8_t>(value);
            else if (size == 2)
                signedValue = static_cast<int16_t>(value);
            at += 1 + size;
            const HidUsage usage = size == 4 ? HidUsage{static_cast<uint16_t>(value >> 16), static_cast<uint16_t>(value)}
                                             : HidUsage{g.page, static_cast<uint16_t>(value)};
            switch (prefix & 0xFC) {
            case 0x04: g.page = static_cast<uint16_t>(value); break;
            case 0x14: g.logicalMin = signedValue; break;
            case 0x74: g.reportSize = value; break;
            case 0x84: g.reportId = static_cast<uint8_t>(value); break;
            case 0x94: g.reportCount = value; break;
            case 0xA4: stack.push_back(g); break;
            case 0xB4:
                if (stack.empty())
                    return;
                g = stack.back();
                stack.pop_back();
                break;
            case 0x08: usages.push_back(usage); break;
            case 0x18:
                usageMin = usage;
                haveUsageMin = true;
                break;
            case 0x28:
                for (uint32_t u = usageMin.usage; haveUsageMin && u <= usage.usage; ++u)
                    usages.push_back({usageMin.page, static_cast<uint16_t>(u)});
                haveUsageMin = false;
                break;
            case 0x80: AddField(ReportKind::kInput, g, value, usages); break;
            case 0x90: AddField(ReportKind::kOutput, g, value, usages); break;
            case 0xB0: AddField(ReportKind::kFeature, g, value, usages); break;
            case 0xA0: case 0xC0: break;
            default: break; // physical range, units, delimiters...: nothing a player needs
            }
            if ((prefix & 0x0C) == 0) { // a main item ends the local items
                usages.clear();
                haveUsageMin = false;
            }
        }
        m_valid = !m_fields.empty();
    }

    void AddField(ReportKind kind, const Globals& g, uint32_t flags, const std::vector<HidUsage>& usages)
    {
        unsigned& bits = OffsetOf(kind, g.reportId);
        Field f{kind, g.reportId, bits, g.reportSize, g.reportCount, (flags & 2) == 0, (flags & 4) != 0,
                (flags & 1) != 0, g.logicalMin, {}};
        bits += g.reportSize * g.reportCount;
        if (f.array)
            f.usages = usages;
        else
            for (unsigned i = 0; i < f.count; ++i) // the last usage goes on for the rest
                f.usages.push_back(usages.empty() ? HidUsage{0, 0} : usages[std::min<std::size_t>(i, usages.size() - 1)]);
        m_fields.push_back(f);
    }

    unsigned& OffsetOf(ReportKind kind, uint8_t reportId)
    {
        for (Offset& o : m_offsets)
            if (o.kind == kind && o.reportId == reportId)
                return o.bits;
        m_offsets.push_back({kind, reportId, 0});
        return m_offsets.back().bits;
    }

    bool m_valid = false;
    std::vector<Field> m_fields;
    std::vector<Offset> m_offsets;
};

// The bytes of a descriptor written as hex text ("05 0B 09 05 ..."); "#"
// or ";" starts a comment to the end of the line. Empty when a token is not
// a byte.
inline std::vector<unsigned char> ParseHexText(const std::string& text)
{
    std::vector<unsigned char> bytes;
    bool comment = false;
    std::string token;
    auto flush = [&] {
        if (token.empty())
            return true;
        std::size_t used = 0;
        unsigned long v = 0;
        try {
            v = std::stoul(token, &used, 16);
        } catch (...) {
            return false;
        }
        if (used != token.size() || token.size() > 2)
            return false;
        token.clear();
        bytes.push_back(static_cast<unsigned char>(v));
        return true;
    };
    for (char c : text + "\n") {
        if (c == '\n')
            comment = false;
        if (comment)
            continue;
        if (c == '#' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!flush())
                return {};
            comment = comment || c == '#' || c == ';';
            continue;
        }
        token += c;
    }
    return bytes;
}

} // namespace virtual_hid
