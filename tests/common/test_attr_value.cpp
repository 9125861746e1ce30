// The value conversions of the record library, row by row.
#include "common/AttrValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

using common::AttrValue;

namespace {

const int32_t kIntDef = -99;
const double kDoubleDef = -9.5;
const std::string kTextDef = "dflt";
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

AttrValue Int(int32_t v) { AttrValue a; a.SetInt(v); return a; }
AttrValue Int64(int64_t v) { AttrValue a; a.SetInt64(v); return a; }
AttrValue Dbl(double v) { AttrValue a; a.SetDouble(v); return a; }
AttrValue Text(const std::string& t, bool mark = false) { AttrValue a; a.SetString(t, mark); return a; }

struct ConversionCase {
    const char* what;
    AttrValue value;
    int32_t asInt;
    double asDouble; // NaN: expect NaN
    const char* asText;
};

} // namespace

TEST(AttrValue, ConversionTable)
{
    const ConversionCase cases[] = {
        {"empty", AttrValue(), kIntDef, kDoubleDef, "dflt"},
        {"int 42", Int(42), 42, 42.0, "42"},
        {"int -7", Int(-7), -7, -7.0, "-7"},
        {"int min", Int(INT32_MIN), INT32_MIN, -2147483648.0, "-2147483648"},
        {"int64 low bits", Int64(0x100000005LL), 5, 4294967301.0, "4294967301"},
        {"int64 -1", Int64(-1), -1, -1.0, "-1"},
        {"int64 min", Int64(INT64_MIN), 0, -9223372036854775808.0, "-9223372036854775808"},
        {"int64 max", Int64(INT64_MAX), -1, 9223372036854775807.0, "9223372036854775807"},
        {"double 2.75", Dbl(2.75), 2, 2.75, "2.75"},
        {"double -2.75", Dbl(-2.75), -2, -2.75, "-2.75"},
        {"double 0.1", Dbl(0.1), 0, 0.1, "0.1"},
        {"double third", Dbl(1.0 / 3), 0, 1.0 / 3, "0.3333333333333"},
        {"double 1e-5", Dbl(1e-5), 0, 1e-5, "1e-05"},
        {"double 14 digits", Dbl(123456789012345.0), INT32_MAX, 123456789012345.0, "1.234567890123e+14"},
        {"double 1e300", Dbl(1e300), INT32_MAX, 1e300, "1e+300"},
        {"double 1e20", Dbl(1e20), INT32_MAX, 1e20, "1e+20"},
        {"double -1e20", Dbl(-1e20), INT32_MIN, -1e20, "-1e+20"},
        {"double below int max", Dbl(2147483647.9), INT32_MAX, 2147483647.9, "2147483647.9"},
        {"double just above int max", Dbl(2147483648.0), INT32_MAX, 2147483648.0, "2147483648"},
        {"double int min - 0.5", Dbl(-2147483648.5), INT32_MIN, -2147483648.5, "-2147483648.5"},
        {"double -0", Dbl(-0.0), 0, -0.0, "-0"},
        {"double inf", Dbl(kInf), INT32_MAX, kInf, "inf"},
        {"double -inf", Dbl(-kInf), INT32_MIN, -kInf, "-inf"},
        {"double nan", Dbl(kNaN), kIntDef, kNaN, "nan"},
        {"text 12abc", Text("12abc"), 12, 12.0, "12abc"},
        {"text abc", Text("abc"), kIntDef, 0.0, "abc"},
        {"marked 12abc", Text("12abc", true), 12, 12.0, "12abc"},
        {"marked abc", Text("abc", true), kIntDef, 0.0, "abc"},
        {"text empty", Text(""), kIntDef, 0.0, ""},
        {"text blanks and sign", Text(" \t\n-5.5e1x"), -5, -55.0, " \t\n-5.5e1x"},
        {"text plus", Text("+7"), 7, 7.0, "+7"},
        {"text sign only", Text("-"), kIntDef, 0.0, "-"},
        {"text sign then blank", Text("- 5"), kIntDef, 0.0, "- 5"},
        {"text two signs", Text("--5"), kIntDef, 0.0, "--5"},
        {"text point first", Text(".5"), kIntDef, 0.5, ".5"},
        {"text trailing point", Text("3."), 3, 3.0, "3."},
        {"text dangling exponent", Text("2e"), 2, 2.0, "2e"},
        {"text int overflow", Text("99999999999"), INT32_MAX, 99999999999.0, "99999999999"},
        {"text int underflow", Text("-99999999999"), INT32_MIN, -99999999999.0, "-99999999999"},
        {"text int min", Text("-2147483648"), INT32_MIN, -2147483648.0, "-2147483648"},
        {"text hex", Text("0x1A"), 0, 26.0, "0x1A"},
        {"text 0x alone", Text("0xg"), 0, 0.0, "0xg"},
        {"text huge", Text("1e999"), 1, kInf, "1e999"},
        {"text huge negative", Text("-1.5e999"), -1, -kInf, "-1.5e999"},
        {"text tiny", Text("1e-999"), 1, 0.0, "1e-999"},
        {"text many digits huge", Text(std::string("1") + std::string(400, '0') + " e-999"), INT32_MAX, kInf, nullptr},
        {"text subnormal", Text("1e-310"), 1, 1e-310, "1e-310"},
        {"text inf", Text("inf"), kIntDef, kInf, "inf"},
        {"text comma decimal", Text("1,5"), 1, 1.0, "1,5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.asInt, c.value.ToInt(kIntDef));
        const double d = c.value.ToDouble(kDoubleDef);
        if (std::isnan(c.asDouble)) {
            EXPECT_TRUE(std::isnan(d)) << d;
        } else {
            EXPECT_EQ(c.asDouble, d);
            EXPECT_EQ(std::signbit(c.asDouble), std::signbit(d));
        }
        if (c.asText) {
            EXPECT_EQ(c.asText, c.value.ToString(kTextDef));
        }
    }
}

TEST(AttrValue, EverySetterReplacesTheWholeValue)
{
    AttrValue v;
    v.SetString("12", true);
    EXPECT_EQ(common::ATTR_KIND_MARKED_STRING, v.Kind());
    v.SetInt(5);
    EXPECT_EQ(common::ATTR_KIND_INT, v.Kind());
    EXPECT_EQ("", v.Text()); // no text left behind
    EXPECT_EQ("5", v.ToString(kTextDef));
    v.SetString("abc");
    EXPECT_EQ(common::ATTR_KIND_STRING, v.Kind());
    EXPECT_EQ(kIntDef, v.ToInt(kIntDef)); // no number left behind
    v.SetDouble(1.5);
    EXPECT_EQ("", v.Text());
    v.SetNull();
    EXPECT_EQ(common::ATTR_KIND_EMPTY, v.Kind());
    EXPECT_EQ(kTextDef, v.ToString(kTextDef));
    EXPECT_EQ(kDoubleDef, v.ToDouble(kDoubleDef));
}

TEST(AttrValue, ReadsTextOnlyWithinItsLength)
{
    // Row-set texts lie back to back in one store; a reading must stop at
    // the cell's own end.
    const std::string store = "1234";
    int32_t i = -1;
    ASSERT_TRUE(common::conv::TextToInt(std::string_view(store.data(), 2), i));
    EXPECT_EQ(12, i);
    double d = -1;
    ASSERT_TRUE(common::conv::TextToDouble(std::string_view(store.data(), 3), d));
    EXPECT_EQ(123.0, d);
}
