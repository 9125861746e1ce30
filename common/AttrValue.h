// AttrValue: the typed value of the record library, with its conversions.
// Portable: no Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace common {

enum AttrKind : int32_t {
    ATTR_KIND_EMPTY = 0,
    ATTR_KIND_INT = 1,
    ATTR_KIND_INT64 = 2,
    ATTR_KIND_DOUBLE = 3,
    ATTR_KIND_STRING = 4,
    ATTR_KIND_MARKED_STRING = 5,
};

inline bool IsTextKind(int32_t kind) noexcept
{
    return kind == ATTR_KIND_STRING || kind == ATTR_KIND_MARKED_STRING;
}

// The 8 number bytes; which member is meaningful is decided by the kind.
union AttrNumber {
    int32_t i32;
    int64_t i64;
    double d;
};

// A borrowed view of a value, so the compact row-set cells convert with the
// same rules as AttrValue without building one.
struct AttrValueRef {
    int32_t kind;
    AttrNumber number;
    std::string_view text;
};

// Conversions shared by every holder of values.
//  - Texts are read like "%d" / "%lf", but bounded by the text's length
//    (a text need not be NUL-terminated) and independent of the C locale.
//  - Integers read from a text saturate at the 32-bit range instead of
//    wrapping; a double outside that range saturates as well, and NaN counts
//    as "no number" (the caller's default).
//  - 64-bit integers format as plain decimal and doubles as "%.13g" with a
//    two-digit minimum exponent, "inf", "-inf" and "nan", so the text is the
//    same on every platform.
namespace conv {
bool TextToInt(std::string_view text, int32_t& out) noexcept;
bool TextToDouble(std::string_view text, double& out) noexcept;
int32_t DoubleToInt(double value, int32_t def) noexcept;
std::string FormatInt(int32_t value);
std::string FormatInt64(int64_t value);
std::string FormatDouble(double value);

int32_t ToInt(const AttrValueRef& v, int32_t def) noexcept;
// textMiss: what a text that holds no number gives.
double ToDouble(const AttrValueRef& v, double def, double textMiss) noexcept;
std::string ToString(const AttrValueRef& v, const std::string& def);
} // namespace conv

class AttrValue {
public:
    AttrValue() noexcept { m_number.i64 = 0; }

    int32_t Kind() const noexcept { return m_kind; }

    // Every setter replaces the whole value.
    void SetNull() noexcept;
    void SetInt(int32_t value) noexcept;
    void SetInt64(int64_t value) noexcept;
    void SetDouble(double value) noexcept;
    void SetString(const std::string& text, bool mark = false);
    void SetString(std::string&& text, bool mark = false);

    int32_t ToInt(int32_t def) const noexcept { return conv::ToInt(Ref(), def); }
    // A text without a number reads as 0.0, not as the default.
    double ToDouble(double def) const noexcept { return conv::ToDouble(Ref(), def, 0.0); }
    std::string ToString(const std::string& def) const { return conv::ToString(Ref(), def); }

    // Raw contents; meaningful only for the matching kind.
    int32_t IntValue() const noexcept { return m_kind == ATTR_KIND_INT ? m_number.i32 : 0; }
    int64_t Int64Value() const noexcept { return m_kind == ATTR_KIND_INT64 ? m_number.i64 : 0; }
    double DoubleValue() const noexcept { return m_kind == ATTR_KIND_DOUBLE ? m_number.d : 0.0; }
    const std::string& Text() const noexcept { return m_text; }

    AttrValueRef Ref() const noexcept { return AttrValueRef{m_kind, m_number, m_text}; }

private:
    void ClearText() noexcept;

    int32_t m_kind = ATTR_KIND_EMPTY;
    AttrNumber m_number;
    std::string m_text;
};

} // namespace common
