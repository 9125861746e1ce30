// UTF-8 device texts to bounded UTF-16, with Unicode's substitution of
// ill-formed sequences.
#include "adapters/DeviceText.h"

#include <cstdint>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// The range the byte after a lead byte must lie in (later continuation bytes
// are always 80..BF), and how many continuation bytes the lead needs; 0 for
// a byte that cannot start a sequence.
struct Lead {
    int continuations;
    unsigned char low, high;
};

Lead LeadOf(unsigned char b)
{
    if (b >= 0xC2 && b <= 0xDF)
        return {1, 0x80, 0xBF};
    if (b == 0xE0)
        return {2, 0xA0, 0xBF}; // no overlong forms
    if (b == 0xED)
        return {2, 0x80, 0x9F}; // no surrogates
    if (b >= 0xE1 && b <= 0xEF)
        return {2, 0x80, 0xBF};
    if (b == 0xF0)
        return {3, 0x90, 0xBF};
    if (b == 0xF4)
        return {3, 0x80, 0x8F}; // nothing above U+10FFFF
    if (b >= 0xF1 && b <= 0xF3)
        return {3, 0x80, 0xBF};
    return {0, 0, 0};
}

// Decodes from a reader (Peek: the byte at an offset or -1 past the end,
// Skip: consume) until the end or the limit.
template <class Reader>
std::u16string Decode(Reader& in, std::size_t maxUnits)
{
    std::u16string out;
    for (;;) {
        const int first = in.Peek(0);
        if (first < 0)
            break;
        const unsigned char lead = static_cast<unsigned char>(first);
        char32_t cp = kReplacement;
        int used = 1;
        if (lead < 0x80) {
            cp = lead;
        } else if (const Lead l = LeadOf(lead); l.continuations > 0) {
            const unsigned bits = l.continuations == 1 ? 0x1F : l.continuations == 2 ? 0x0F : 0x07;
            char32_t value = lead & bits;
            int i = 1;
            for (; i <= l.continuations; ++i) {
                const int next = in.Peek(i);
                const unsigned char low = i == 1 ? l.low : 0x80, high = i == 1 ? l.high : 0xBF;
                if (next < 0 || next < low || next > high)
                    break;
                value = (value << 6) | (static_cast<unsigned char>(next) & 0x3F);
            }
            // A sequence cut short is one replacement for the bytes it took;
            // the byte that broke it starts the next one.
            used = i;
            if (i > l.continuations)
                cp = value;
        }
        const std::size_t units = cp >= 0x10000 ? 2 : 1;
        if (out.size() + units > maxUnits)
            break;
        if (units == 2) {
            const char32_t v = cp - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        in.Skip(used);
    }
    return out;
}

class ViewReader {
public:
    explicit ViewReader(std::string_view text) : m_text(text) {}
    int Peek(int offset) const
    {
        const std::size_t at = m_pos + static_cast<std::size_t>(offset);
        return at < m_text.size() ? static_cast<unsigned char>(m_text[at]) : -1;
    }
    void Skip(int count) { m_pos += static_cast<std::size_t>(count); }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// Never looks past the terminating NUL: a lookahead stops at the first NUL.
class CStringReader {
public:
    explicit CStringReader(const char* text) : m_text(text) {}
    int Peek(int offset) const
    {
        for (int i = 0; i <= offset; ++i) {
            if (m_text[i] == '\0')
                return -1;
        }
        return static_cast<unsigned char>(m_text[offset]);
    }
    void Skip(int count) { m_text += count; }

private:
    const char* m_text;
};

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

} // namespace

std::u16string DeviceTextFromUtf8(std::string_view utf8, std::size_t maxUnits)
{
    ViewReader in(utf8);
    return Decode(in, maxUnits);
}

std::u16string DeviceTextFromUtf8(const char* utf8, std::size_t maxUnits)
{
    if (!utf8)
        return std::u16string();
    CStringReader in(utf8);
    return Decode(in, maxUnits);
}

std::u16string ShortenForMessage(std::u16string_view text, std::size_t maxUnits)
{
    if (text.size() <= maxUnits)
        return std::u16string(text);
    std::size_t keep = maxUnits;
    if (keep > 0 && IsHighSurrogate(text[keep - 1]) && IsLowSurrogate(text[keep]))
        --keep;
    return std::u16string(text.substr(0, keep)) + u"...";
}
