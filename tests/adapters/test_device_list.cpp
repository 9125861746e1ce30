// The devices as the host sees them, portable part: UTF-8 device texts to
// bounded UTF-16, and the list of devices, the selection and where commands
// go, as adapters describe, plug and unplug devices.
#include "adapters/DeviceList.h"
#include "adapters/DeviceText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Hex(const std::u16string& s)
{
    std::string out;
    char unit[8];
    for (char16_t c : s) {
        std::snprintf(unit, sizeof unit, "%04X ", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

TEST(DeviceText, Utf8ToUtf16WithUnicodeSubstitution)
{
    const struct {
        const char* what;
        std::string utf8;
        std::u16string utf16;
    } rows[] = {
        {"ASCII", "Desk Headset", u"Desk Headset"},
        {"two bytes", "Caf\xC3\xA9", u"Caf\u00E9"},
        {"three bytes", "\xE2\x82\xAC 5", u"\u20AC 5"},
        {"four bytes: a surrogate pair", "\xF0\x9F\x8E\xA7", u"\U0001F3A7"},
        {"highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"stray continuation byte", "A\x80" "B", u"A\uFFFDB"},
        {"byte that never occurs", "\xFF\xFE", u"\uFFFD\uFFFD"},
        {"overlong two-byte form", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three-byte form", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"truncated at the end: one replacement", "ok\xF0\x9F\x8E", u"ok\uFFFD"},
        {"truncated before an ASCII byte", "\xE2\x82" "A", u"\uFFFDA"},
        {"truncated before a new lead byte", "\xE2\xC3\xA9", u"\uFFFD\u00E9"},
        {"empty", "", u""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::u16string got = DeviceTextFromUtf8(std::string_view(row.utf8));
        EXPECT_EQ(Hex(row.utf16), Hex(got));
        EXPECT_EQ(Hex(row.utf16), Hex(DeviceTextFromUtf8(row.utf8.c_str())));
    }
    EXPECT_EQ(u"", DeviceTextFromUtf8(static_cast<const char*>(nullptr)));
}

TEST(DeviceText, CutAtTheLimitOnACharacterBoundary)
{
    const std::string pair = "\xF0\x9F\x8E\xA7"; // two UTF-16 units
    const struct {
        const char* what;
        std::string utf8;
        std::size_t units;
        bool endsInPair;
    } rows[] = {
        {"10,000 letters", std::string(10000, 'a'), kDeviceTextMaxUnits, false},
        {"exactly the limit", std::string(kDeviceTextMaxUnits, 'a'), kDeviceTextMaxUnits, false},
        {"a pair that would straddle the limit is left out", std::string(kDeviceTextMaxUnits - 1, 'a') + pair,
         kDeviceTextMaxUnits - 1, false},
        {"a pair that ends at the limit stays", std::string(kDeviceTextMaxUnits - 2, 'a') + pair,
         kDeviceTextMaxUnits, true},
        {"2,500 pairs", [&] {
             std::string s;
             for (int i = 0; i < 2500; ++i)
                 s += pair;
             return s;
         }(), kDeviceTextMaxUnits, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (const std::u16string& got :
             {DeviceTextFromUtf8(std::string_view(row.utf8)), DeviceTextFromUtf8(row.utf8.c_str())}) {
            ASSERT_EQ(row.units, got.size());
            const char16_t last = got.back();
            EXPECT_EQ(row.endsInPair, last >= 0xDC00 && last <= 0xDFFF);
            EXPECT_FALSE(last >= 0xD800 && last <= 0xDBFF) << "a high surrogate without its low half";
        }
    }
}

// A text of unknown length is read no further than the cut needs: here the
// buffer has no terminator at all, which the sanitizers would catch.
TEST(DeviceText, ReadsNoFurtherThanTheCut)
{
    const std::unique_ptr<char[]> unterminated(new char[2 * kDeviceTextMaxUnits]);
    std::fill(unterminated.get(), unterminated.get() + 2 * kDeviceTextMaxUnits, 'x');
    EXPECT_EQ(kDeviceTextMaxUnits, DeviceTextFromUtf8(unterminated.get()).size());
}

TEST(DeviceText, ShortenForMessage)
{
    EXPECT_EQ(u"abc", ShortenForMessage(u"abc", 64));
    EXPECT_EQ(std::u16string(64, u'x') + u"...", ShortenForMessage(std::u16string(10000, u'x'), 64));
    // A pair at the cut is kept whole or left out whole.
    const std::u16string text = std::u16string(63, u'x') + u"\U0001F3A7" + u"tail";
    EXPECT_EQ(std::u16string(63, u'x') + u"...", ShortenForMessage(text, 64));
}

// ---- the list ----------------------------------------------------------------

KexDeviceInfo Info(const char* id, const char* name = nullptr, uint16_t vid = 0, uint16_t pid = 0,
                   const char* serial = nullptr)
{
    KexDeviceInfo info = {};
    info.size = sizeof info;
    info.id = id;
    info.name = name;
    info.vendorId = vid;
    info.productId = pid;
    info.serial = serial;
    return info;
}

class Devices : public testing::Test {
protected:
    std::u16string Plug(DeviceList::Adapter* a, const char* id, uint32_t state, bool* ended = nullptr)
    {
        return list.Report(*a, id, KEX_DEV_PLUG, state, ended);
    }
    void Describe(DeviceList::Adapter* a, const KexDeviceInfo& info) { ASSERT_TRUE(list.Describe(*a, &info)); }
    DeviceFields Fields(const std::u16string& id)
    {
        DeviceFields f;
        EXPECT_TRUE(list.Find(id, f)) << Hex(id);
        return f;
    }

    DeviceList list;
};

TEST_F(Devices, AVersionOneAdapterIsOneDeviceNamedAfterItsKey)
{
    list.AddAdapter(u"Desk Phone", 1);
    EXPECT_EQ(std::vector<std::u16string>{u"Desk Phone"}, list.Ids());
    const DeviceFields f = Fields(u"Desk Phone");
    EXPECT_EQ(u"Desk Phone", f.name);
    EXPECT_EQ(0, f.vendorId);
    EXPECT_EQ(0, f.productId);
    EXPECT_EQ(u"", f.serial);
}

TEST_F(Devices, VersionTwoDevicesAreListedByPlugReportsInTheirOrder)
{
    DeviceList::Adapter* v1 = list.AddAdapter(u"Phone", 1);
    DeviceList::Adapter* hid = list.AddAdapter(u"Headset", 2);
    (void)v1;
    Describe(hid, Info("a", "Desk Headset", 0x0B0E, 0x0348, "SN1"));
    Describe(hid, Info("b", "Travel Headset", 0x047F, 0xC056, ""));
    EXPECT_EQ(std::vector<std::u16string>{u"Phone"}, list.Ids()) << "described is not plugged in";

    EXPECT_EQ(u"Headset/b", Plug(hid, "b", KEX_PLUG_IN));
    EXPECT_EQ(u"Headset/a", Plug(hid, "a", KEX_PLUG_IN));
    EXPECT_EQ(u"Headset/a", Plug(hid, "a", KEX_PLUG_IN)) << "plugged in twice";
    EXPECT_EQ((std::vector<std::u16string>{u"Phone", u"Headset/b", u"Headset/a"}), list.Ids());
    EXPECT_EQ(3u, list.Count());

    const DeviceFields a = Fields(u"Headset/a");
    EXPECT_EQ(u"Desk Headset", a.name);
    EXPECT_EQ(0x0B0E, a.vendorId);
    EXPECT_EQ(0x0348, a.productId);
    EXPECT_EQ(u"SN1", a.serial);

    // Keys and other reports change nothing; a plug state that is neither
    // in nor out changes nothing either.
    EXPECT_EQ(u"Headset/a", list.Report(*hid, "a", KEX_DEV_PICKUP, 0));
    EXPECT_EQ(u"Headset/a", Plug(hid, "a", 7));
    EXPECT_EQ(3u, list.Count());

    EXPECT_EQ(u"Headset/b", Plug(hid, "b", KEX_PLUG_OUT));
    EXPECT_EQ(u"Headset/b", Plug(hid, "b", KEX_PLUG_OUT)) << "plugged out twice";
    EXPECT_EQ((std::vector<std::u16string>{u"Phone", u"Headset/a"}), list.Ids());
    // Still known: a plug-out handler can read what was unplugged.
    EXPECT_EQ(u"Travel Headset", Fields(u"Headset/b").name);
    EXPECT_EQ(u"Headset/b", Plug(hid, "b", KEX_PLUG_IN));
    EXPECT_EQ((std::vector<std::u16string>{u"Phone", u"Headset/a", u"Headset/b"}), list.Ids()) << "replugged last";
}

TEST_F(Devices, WhichDeviceAReportWithoutAnIdComesFrom)
{
    DeviceList::Adapter* a = list.AddAdapter(u"Base", 2);
    EXPECT_EQ(u"Base", Plug(a, nullptr, KEX_PLUG_IN)) << "nothing described: the adapter itself";
    EXPECT_EQ(u"Base", Fields(u"Base").name);
    Describe(a, Info("one", "Handset 1"));
    Describe(a, Info("two", "Handset 2"));
    EXPECT_EQ(u"Base/one", Plug(a, nullptr, KEX_PLUG_IN)) << "the first described device";
    EXPECT_EQ(u"Base/one", list.Report(*a, "", KEX_DEV_KEY, 5)) << "an empty id is no id";
    EXPECT_EQ((std::vector<std::u16string>{u"Base", u"Base/one"}), list.Ids());
}

TEST_F(Devices, ReportsFromUnknownDevicesNameThemAndOnlyAPlugInKeepsOne)
{
    DeviceList::Adapter* a = list.AddAdapter(u"A", 2);
    EXPECT_EQ(u"A/x", list.Report(*a, "x", KEX_DEV_HANGUP, 0));
    DeviceFields f;
    EXPECT_FALSE(list.Find(u"A/x", f));
    EXPECT_EQ(u"A/x", Plug(a, "x", KEX_PLUG_IN));
    EXPECT_EQ(u"A/x", Fields(u"A/x").name) << "no description: the name is the id";
}

TEST_F(Devices, DescriptionsTheHostCanRead)
{
    DeviceList::Adapter* a = list.AddAdapter(u"H", 2);
    const std::string longName(10000, 'n');
    const struct {
        const char* what;
        KexDeviceInfo info;
        std::u16string name;
        std::u16string serial;
    } rows[] = {
        {"empty name reads as the id", Info("e", ""), u"H/e", u""},
        {"null name and serial", Info("z", nullptr, 1, 2, nullptr), u"H/z", u""},
        {"10,000 characters cut at the limit", Info("long", longName.c_str()),
         std::u16string(kDeviceTextMaxUnits, u'n'), u""},
        {"invalid UTF-8", Info("bad", "Head\xFFset", 0, 0, "S\xC3"), u"Head\uFFFDset", u"S\uFFFD"},
        {"UTF-8 name", Info("utf", "T\xC3\xA9l\xC3\xA9phone \xE2\x98\x8E"), u"T\u00E9l\u00E9phone \u260E", u""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(list.Describe(*a, &row.info));
        const std::u16string id = u"H/" + DeviceTextFromUtf8(row.info.id);
        const DeviceFields f = Fields(id);
        EXPECT_EQ(Hex(row.name), Hex(f.name));
        EXPECT_EQ(Hex(row.serial), Hex(f.serial));
    }
    // Described again: updated in place.
    Describe(a, Info("e", "Renamed", 9, 8, "S9"));
    EXPECT_EQ(u"Renamed", Fields(u"H/e").name);
    EXPECT_EQ(9, Fields(u"H/e").vendorId);
}

TEST_F(Devices, UnusableDescriptionsAreRefused)
{
    DeviceList::Adapter* a = list.AddAdapter(u"H", 2);
    KexDeviceInfo small = Info("s");
    small.size = sizeof(KexDeviceInfo) - 1;
    const struct {
        const char* what;
        const KexDeviceInfo* info;
    } rows[] = {
        {"null record", nullptr},
        {"smaller than the record", &small},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_FALSE(list.Describe(*a, row.info));
    }
    const KexDeviceInfo noId = Info(nullptr, "n"), emptyId = Info("", "n");
    EXPECT_FALSE(list.Describe(*a, &noId));
    EXPECT_FALSE(list.Describe(*a, &emptyId));
    EXPECT_EQ(0u, list.Count());
    DeviceFields f;
    EXPECT_FALSE(list.Find(u"H/s", f));
}

TEST_F(Devices, AnAdapterMakesABoundedNumberOfDevicesKnown)
{
    DeviceList::Adapter* a = list.AddAdapter(u"H", 2);
    for (std::size_t i = 0; i < DeviceList::kMaxDevicesPerAdapter; ++i) {
        const std::string id = std::to_string(i);
        const KexDeviceInfo info = Info(id.c_str());
        ASSERT_TRUE(list.Describe(*a, &info)) << i;
    }
    const KexDeviceInfo more = Info("more");
    EXPECT_FALSE(list.Describe(*a, &more));
    EXPECT_EQ(u"H/new", Plug(a, "new", KEX_PLUG_IN)) << "still reported, by its id";
    EXPECT_EQ(0u, list.Count()) << "but not listed";
    const KexDeviceInfo again = Info("0", "Renamed");
    EXPECT_TRUE(list.Describe(*a, &again)) << "a known device can still be updated";
}

TEST_F(Devices, SelectionAndWhereCommandsGo)
{
    DeviceList::Adapter* phone = list.AddAdapter(u"Phone", 1);
    DeviceList::Adapter* hid = list.AddAdapter(u"Headset", 2);
    DeviceList::Adapter* base = list.AddAdapter(u"Base", 2);
    Describe(hid, Info("a\xFF", "A"));
    Plug(hid, "a\xFF", KEX_PLUG_IN);
    Plug(base, nullptr, KEX_PLUG_IN);
    Describe(hid, Info("gone"));

    EXPECT_EQ(nullptr, list.CommandTarget().adapter) << "nothing selected: every adapter";
    const struct {
        const char* what;
        std::u16string id;
        bool ok;
        const DeviceList::Adapter* adapter;
        bool wholeAdapter;
        std::string localId;
    } rows[] = {
        {"a version-1 adapter's device", u"Phone", true, phone, true, ""},
        {"a described device: its own id, as the adapter spelled it", u"Headset/a\uFFFD", true, hid, false, "a\xFF"},
        {"an adapter that described none", u"Base", true, base, true, ""},
        {"unknown: the selection stays", u"Nope", false, base, true, ""},
        {"known, not plugged in", u"Headset/gone", false, base, true, ""},
        {"a key alone is not its devices", u"Headset", false, base, true, ""},
        {"case matters", u"phone", false, base, true, ""},
        {"10,000 characters", std::u16string(10000, u'x'), false, base, true, ""},
        {"every device", u"", true, nullptr, true, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.ok, list.Select(row.id));
        const DeviceList::Target t = list.CommandTarget();
        EXPECT_EQ(row.adapter, t.adapter);
        EXPECT_EQ(row.wholeAdapter, t.wholeAdapter);
        EXPECT_EQ(row.localId, t.localId);
        if (row.ok) {
            EXPECT_EQ(Hex(row.id), Hex(list.Selected()));
        }
    }
}

TEST_F(Devices, UnpluggingTheSelectedDeviceEndsTheSelectionFirst)
{
    DeviceList::Adapter* hid = list.AddAdapter(u"H", 2);
    Plug(hid, "a", KEX_PLUG_IN);
    Plug(hid, "b", KEX_PLUG_IN);
    ASSERT_TRUE(list.Select(u"H/a"));
    bool ended = true;
    Plug(hid, "b", KEX_PLUG_OUT, &ended);
    EXPECT_FALSE(ended) << "another device";
    EXPECT_EQ(u"H/a", list.Selected());
    Plug(hid, "a", KEX_PLUG_OUT, &ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(u"", list.Selected());
    EXPECT_EQ(nullptr, list.CommandTarget().adapter);
    Plug(hid, "a", KEX_PLUG_IN);
    EXPECT_EQ(u"", list.Selected()) << "a replug does not select it again";
}

TEST_F(Devices, RemovingAnAdapterTakesItsDevicesAndSelection)
{
    DeviceList::Adapter* v1 = list.AddAdapter(u"P", 1);
    DeviceList::Adapter* hid = list.AddAdapter(u"H", 2);
    Plug(hid, "a", KEX_PLUG_IN);
    ASSERT_TRUE(list.Select(u"H/a"));
    list.RemoveAdapter(hid);
    EXPECT_EQ(std::vector<std::u16string>{u"P"}, list.Ids());
    EXPECT_EQ(u"", list.Selected());
    DeviceFields f;
    EXPECT_FALSE(list.Find(u"H/a", f));
    ASSERT_TRUE(list.Select(u"P"));
    list.RemoveAdapter(v1);
    EXPECT_EQ(0u, list.Count());
    EXPECT_EQ(u"", list.Selected());
}

// Which version-1 adapter called the one device callback: the one whose
// library image holds the caller's code.
TEST_F(Devices, TheVersionOneAdapterBehindACallback)
{
    static char imageA[64], imageB[64], elsewhere[4];
    const struct {
        const char* what;
        std::vector<std::pair<const char16_t*, int>> adapters; // key, 0 = image A, 1 = image B, 2 = version 2 at A
        const void* address;
        std::u16string device;
    } rows[] = {
        {"inside the first image", {{u"A", 0}, {u"B", 1}}, imageA + 10, u"A"},
        {"inside the second image", {{u"A", 0}, {u"B", 1}}, imageB + 63, u"B"},
        {"just past an image", {{u"A", 0}, {u"B", 1}}, imageA + 64 == imageB ? elsewhere : imageA + 64, u""},
        {"elsewhere with two adapters", {{u"A", 0}, {u"B", 1}}, elsewhere, u""},
        {"elsewhere with one adapter: that one", {{u"A", 0}}, elsewhere, u"A"},
        {"one library under two keys: the first", {{u"K1", 0}, {u"K2", 0}}, imageA, u"K1"},
        {"version-2 adapters do not count", {{u"V2", 2}, {u"A", 0}}, elsewhere, u"A"},
        {"version 2 only", {{u"V2", 2}}, imageA, u""},
        {"no address", {{u"A", 0}}, nullptr, u"A"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DeviceList fresh;
        for (const auto& a : row.adapters) {
            char* start = a.second == 1 ? imageB : imageA;
            fresh.AddAdapter(a.first, a.second == 2 ? 2 : 1, start, start + 64);
        }
        EXPECT_EQ(row.device, fresh.DeviceOfCode(row.address));
    }
}

} // namespace
