// AttrValue's conversions between integers, doubles and texts, with the
// parsing and formatting rules they follow.
#include "common/AttrValue.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>

namespace common {
namespace conv {
namespace {

// The white space that scanf skips, as in the C locale.
bool IsSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) noexcept
{
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Skips leading white space and one sign; returns the rest and whether the
// sign was a minus.
std::string_view SkipSpaceAndSign(std::string_view s, bool& negative) noexcept
{
    size_t i = 0;
    while (i < s.size() && IsSpace(s[i]))
        ++i;
    negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    return s.substr(i);
}

// from_chars reports a result that does not fit without a value. Decide
// between overflow and underflow from the digits: the position of the first
// non-zero mantissa digit plus the exponent.
double OutOfRangeValue(std::string_view s, bool hex) noexcept
{
    const int digitBits = hex ? 4 : 1; // hex scales by 2^4 per digit and a binary exponent
    const char expChar = hex ? 'p' : 'e';
    long long scale = 0;
    bool seenNonZero = false, afterPoint = false;
    size_t i = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '.') {
            afterPoint = true;
            continue;
        }
        if (!(hex ? IsHexDigit(c) : IsDigit(c)))
            break;
        if (!seenNonZero && c != '0') {
            seenNonZero = true;
            if (afterPoint)
                break;
        }
        if (seenNonZero && !afterPoint)
            scale += digitBits;
        else if (!seenNonZero && afterPoint)
            scale -= digitBits;
    }
    while (i < s.size() && s[i] != expChar && s[i] != expChar - 32)
        ++i;
    if (i < s.size()) {
        bool negExp = false;
        std::string_view e = SkipSpaceAndSign(s.substr(i + 1), negExp);
        long long exp = 0;
        for (char c : e) {
            if (!IsDigit(c))
                break;
            if (exp < 1000000000)
                exp = exp * 10 + (c - '0');
        }
        scale += negExp ? -exp : exp;
    }
    return scale > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

} // namespace

bool TextToInt(std::string_view text, int32_t& out) noexcept
{
    bool negative = false;
    std::string_view s = SkipSpaceAndSign(text, negative);
    if (s.empty() || !IsDigit(s[0]))
        return false;
    // Saturate instead of wrapping: the same answer on every platform.
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long v = 0;
    for (char c : s) {
        if (!IsDigit(c))
            break;
        v = v * 10 + (c - '0');
        if (v > limit)
            v = limit;
    }
    out = static_cast<int32_t>(negative ? -v : v);
    return true;
}

bool TextToDouble(std::string_view text, double& out) noexcept
{
    bool negative = false;
    std::string_view s = SkipSpaceAndSign(text, negative);
    if (s.empty() || s[0] == '+' || s[0] == '-')
        return false;
    const char* first = s.data();
    const char* last = s.data() + s.size();
    double v = 0.0;
    std::from_chars_result r{first, std::errc::invalid_argument};
    bool hex = false;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
        (IsHexDigit(s[2]) || (s[2] == '.' && s.size() > 3 && IsHexDigit(s[3])))) {
        hex = true;
        r = std::from_chars(first + 2, last, v, std::chars_format::hex);
    } else {
        r = std::from_chars(first, last, v, std::chars_format::general);
    }
    if (r.ec == std::errc::result_out_of_range) {
        const char* digits = hex ? first + 2 : first;
        v = OutOfRangeValue(std::string_view(digits, static_cast<size_t>(r.ptr - digits)), hex);
    }
    else if (r.ec != std::errc())
        return false;
    out = negative ? -v : v;
    return true;
}

int32_t DoubleToInt(double value, int32_t def) noexcept
{
    if (std::isnan(value))
        return def;
    if (!(value > -2147483649.0))
        return std::numeric_limits<int32_t>::min();
    if (!(value < 2147483648.0))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value); // truncates toward zero
}

std::string FormatInt(int32_t value) { return std::to_string(value); }

std::string FormatInt64(int64_t value) { return std::to_string(static_cast<long long>(value)); }

std::string FormatDouble(double value)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%.13g", value);
    if (n <= 0)
        return std::string();
    // Normalise what the C runtime is free to vary: the decimal point of the
    // current locale and the number of exponent digits (at least two).
    std::string out;
    out.reserve(static_cast<size_t>(n));
    bool inPoint = false;
    size_t i = 0;
    for (; i < static_cast<size_t>(n) && buf[i] != 'e' && buf[i] != 'E'; ++i) {
        char c = buf[i];
        if (IsDigit(c) || c == '-') {
            out += c;
            inPoint = false;
        } else if (!inPoint) {
            out += '.';
            inPoint = true;
        }
    }
    if (i < static_cast<size_t>(n)) {
        out += 'e';
        ++i;
        if (i < static_cast<size_t>(n) && (buf[i] == '+' || buf[i] == '-'))
            out += buf[i++];
        while (static_cast<size_t>(n) - i > 2 && buf[i] == '0')
            ++i;
        out.append(buf + i, static_cast<size_t>(n) - i);
    }
    return out;
}

namespace {

// The conversion table, one row per kind.
struct KindConversions {
    int32_t (*toInt)(const AttrValueRef& v, int32_t def) noexcept;
    double (*toDouble)(const AttrValueRef& v, double def, double textMiss) noexcept;
    std::string (*toText)(const AttrValueRef& v, const std::string& def);
};

int32_t TextAsInt(const AttrValueRef& v, int32_t def) noexcept
{
    int32_t out = 0;
    return TextToInt(v.text, out) ? out : def;
}
double TextAsDouble(const AttrValueRef& v, double, double textMiss) noexcept
{
    double out = 0.0;
    return TextToDouble(v.text, out) ? out : textMiss;
}
std::string TextAsText(const AttrValueRef& v, const std::string&) { return std::string(v.text); }

const KindConversions kConversions[] = {
    // ATTR_KIND_EMPTY: the caller's default throughout
    {[](const AttrValueRef&, int32_t def) noexcept { return def; },
     [](const AttrValueRef&, double def, double) noexcept { return def; },
     [](const AttrValueRef&, const std::string& def) { return def; }},
    // ATTR_KIND_INT
    {[](const AttrValueRef& v, int32_t) noexcept { return v.number.i32; },
     [](const AttrValueRef& v, double, double) noexcept { return static_cast<double>(v.number.i32); },
     [](const AttrValueRef& v, const std::string&) { return FormatInt(v.number.i32); }},
    // ATTR_KIND_INT64: the low 32 bits as an integer
    {[](const AttrValueRef& v, int32_t) noexcept { return static_cast<int32_t>(static_cast<uint32_t>(v.number.i64)); },
     [](const AttrValueRef& v, double, double) noexcept { return static_cast<double>(v.number.i64); },
     [](const AttrValueRef& v, const std::string&) { return FormatInt64(v.number.i64); }},
    // ATTR_KIND_DOUBLE: truncated toward zero as an integer
    {[](const AttrValueRef& v, int32_t def) noexcept { return DoubleToInt(v.number.d, def); },
     [](const AttrValueRef& v, double, double) noexcept { return v.number.d; },
     [](const AttrValueRef& v, const std::string&) { return FormatDouble(v.number.d); }},
    // ATTR_KIND_STRING
    {TextAsInt, TextAsDouble, TextAsText},
    // ATTR_KIND_MARKED_STRING
    {TextAsInt, TextAsDouble, TextAsText},
};

const KindConversions& ConversionsOf(int32_t kind) noexcept
{
    const size_t n = sizeof kConversions / sizeof kConversions[0];
    return kConversions[kind >= 0 && static_cast<size_t>(kind) < n ? kind : ATTR_KIND_EMPTY];
}

} // namespace

int32_t ToInt(const AttrValueRef& v, int32_t def) noexcept { return ConversionsOf(v.kind).toInt(v, def); }

double ToDouble(const AttrValueRef& v, double def, double textMiss) noexcept
{
    return ConversionsOf(v.kind).toDouble(v, def, textMiss);
}

std::string ToString(const AttrValueRef& v, const std::string& def) { return ConversionsOf(v.kind).toText(v, def); }

} // namespace conv

void AttrValue::ClearText() noexcept { m_text.clear(); }

void AttrValue::SetNull() noexcept
{
    m_kind = ATTR_KIND_EMPTY;
    m_number.i64 = 0;
    ClearText();
}

void AttrValue::SetInt(int32_t value) noexcept
{
    m_kind = ATTR_KIND_INT;
    m_number.i64 = 0;
    m_number.i32 = value;
    ClearText();
}

void AttrValue::SetInt64(int64_t value) noexcept
{
    m_kind = ATTR_KIND_INT64;
    m_number.i64 = value;
    ClearText();
}

void AttrValue::SetDouble(double value) noexcept
{
    m_kind = ATTR_KIND_DOUBLE;
    m_number.d = value;
    ClearText();
}

void AttrValue::SetString(const std::string& text, bool mark)
{
    m_text = text; // may throw: assign before changing the kind
    m_kind = mark ? ATTR_KIND_MARKED_STRING : ATTR_KIND_STRING;
    m_number.i64 = 0;
}

void AttrValue::SetString(std::string&& text, bool mark)
{
    m_text = std::move(text);
    m_kind = mark ? ATTR_KIND_MARKED_STRING : ATTR_KIND_STRING;
    m_number.i64 = 0;
}

} // namespace common
