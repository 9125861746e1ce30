// The trace log's rules that need no operating system, on every host.
#include "log/TraceRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace kex_log;

TEST(TraceRules, TrimRemovesOnlySpaces)
{
    struct Row {
        const char* in;
        const char* out;
    } rows[] = {
        {"", ""},          {"   ", ""},          {"  a b  ", "a b"}, {"\tx\t", "\tx\t"},
        {" \t1 ", "\t1"},  {"7", "7"},          {"1 \r\n", "1 \r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("in=[") + r.in + "]");
        char buf[32];
        std::memset(buf, 'J', sizeof buf);
        std::strcpy(buf, r.in);
        EXPECT_STREQ(r.out, Trim(buf));
        EXPECT_EQ(buf, Trim(buf)) << "trims in place";
    }
    EXPECT_EQ(nullptr, Trim(nullptr));
}

TEST(TraceRules, ReadNumberLikeAtoiWithoutOverflow)
{
    struct Row {
        const char* in;
        int out;
    } rows[] = {
        {"", 0},
        {"12", 12},
        {"-3", -3},
        {"+4", 4},
        {"  7x", 7},
        {"\t5", 5},
        {"x5", 0},
        {"- 5", 0},
        {"0012", 12},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-99999999999", INT_MIN},
        {"2048", 2048},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("in=[") + r.in + "]");
        EXPECT_EQ(r.out, ReadNumber(r.in));
    }
    EXPECT_EQ(0, ReadNumber(nullptr));
    const char text[] = "123";
    EXPECT_EQ(12, ReadNumber(text, text + 2)) << "stops at the end of the range";
}

TEST(TraceRules, AddLevelReplacesAroundSevenElseOrs)
{
    struct Row {
        unsigned mask;
        int n;
        unsigned out;
    } rows[] = {
        {7, 2, 2}, {2, 7, 7}, {2, 4, 6}, {0, 7, 7}, {5, 0, 5}, {7, 0, 0}, {1, 8, 9},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("mask=" + std::to_string(r.mask) + " n=" + std::to_string(r.n));
        EXPECT_EQ(r.out, AddLevel(r.mask, r.n));
    }
}

TEST(TraceRules, ParseLevelsFromDefaultMask)
{
    struct Row {
        const char* value;
        unsigned mask;
    } rows[] = {
        {"2", 2},
        {"1 or 4", 5},
        {"1or2", 3},
        {"4 or 7 or 2", 2}, // 7 resets, then 2 replaces
        {"or 2", 2},        // empty first piece is 0 and replaces 7
        {"none", 0},
        {"1 or 2", 3},
        {"0", 0},
        {"7", 7},
        {"", 7},            // no piece at all
        {"1 or   or 2", 3}, // a piece of spaces counts as 0
        {"1 or", 1},        // nothing after the last "or"
        {"7 or ", 0},       // the trailing space piece is a 0 that replaces 7
        {"3 OR 4", 3},      // only lower-case "or" splits
        {"for 2", 2},       // "or" inside a word splits too
        {"error", 0},
        {"\t1 or \t2", 3},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("value=[") + r.value + "]");
        EXPECT_EQ(r.mask, ParseLevels(7, r.value));
    }
    EXPECT_EQ(7u, ParseLevels(7, nullptr));
    EXPECT_EQ(6u, ParseLevels(2, "4")) << "a mask other than 7 is added to";
}

TEST(TraceRules, SplitLevelsHandsPiecesInOrder)
{
    std::vector<int> seen;
    SplitLevels(
        " 3 or-1or x or 12", [](void* ctx, int n) { static_cast<std::vector<int>*>(ctx)->push_back(n); },
        &seen);
    EXPECT_EQ((std::vector<int>{3, -1, 0, 12}), seen);
}

TEST(TraceRules, LevelFilterTable)
{
    // Levels are numbers, not bit positions: mask AND level.
    const char* rows[] = {
        // Info Enter Leave TCP UDP for masks 0..7
        "nnnnn", "nynyn", "yynny", "yynyy", "nnyyy", "nyyyy", "yyyyy", "yyyyy",
    };
    for (unsigned mask = 0; mask < 8; ++mask) {
        for (int level = 2; level <= 6; ++level) {
            SCOPED_TRACE("mask=" + std::to_string(mask) + " level=" + std::to_string(level));
            EXPECT_EQ(rows[mask][level - 2] == 'y', Passes(level, 1, mask));
            EXPECT_FALSE(Passes(level, 0, mask)) << "switched off";
        }
        EXPECT_TRUE(Passes(1, 1, mask)) << "Error, mask " << mask;
        EXPECT_TRUE(Passes(1, 0, mask)) << "Error switched off, mask " << mask;
    }
    for (int level = 2; level <= 6; ++level)
        EXPECT_FALSE(Passes(level, 1, 8)) << "mask 8 lets only Error through, level " << level;
}

TEST(TraceRules, LevelPrefixes)
{
    struct Row {
        int level;
        const char* prefix;
    } rows[] = {
        {1, "Error = "}, {2, "INFO = "}, {3, "Enter = "}, {4, "Leave = "}, {5, "TCP = "},
        {6, "UDP = "},   {0, "INFO = "}, {7, "INFO = "},  {-1, "INFO = "}, {INT_MAX, "INFO = "},
    };
    for (const Row& r : rows)
        EXPECT_STREQ(r.prefix, LevelPrefix(r.level)) << "level " << r.level;
}

TEST(TraceRules, BaseNameSplitsAtBackslashesOnly)
{
    struct Row {
        const char* path;
        const char* base;
    } rows[] = {
        {"", ""},
        {"KexPhone", "KexPhone"},
        {"C:\\src\\phone\\KexPhone.cpp", "KexPhone.cpp"},
        {"a\\b\\", "b"}, // last non-empty piece
        {"a\\b\\\\", "b"},
        {"\\\\", ""},
        {"\\x", "x"},
        {"src/phone/KexPhone.cpp", "src/phone/KexPhone.cpp"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(std::string(r.base), std::string(BaseName(r.path))) << "path [" << r.path << "]";
    EXPECT_TRUE(BaseName(nullptr).empty());
}

TEST(TraceRules, MebibytesClampToInt)
{
    struct Row {
        long long mib;
        int bytes;
    } rows[] = {
        {0, 0},          {2, 2097152},          {2047, 2146435072},      {2048, INT_MAX},
        {INT_MAX, INT_MAX}, {-1, -1048576},     {-2048, INT_MIN},        {-2049, INT_MIN},
        {INT_MIN, INT_MIN},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.bytes, MiBToBytes(r.mib)) << "mib " << r.mib;
}

TEST(TraceRules, CopyNeverOverruns)
{
    char buf[8];
    std::memset(buf, 'J', sizeof buf);
    EXPECT_TRUE(CopyText(buf, 5, "abcd"));
    EXPECT_STREQ("abcd", buf);
    EXPECT_FALSE(CopyText(buf, 5, "abcdef"));
    EXPECT_STREQ("abcd", buf);
    EXPECT_EQ('J', buf[5]);
    EXPECT_TRUE(CopyText(buf, 5, nullptr));
    EXPECT_STREQ("", buf);

    EXPECT_FALSE(CopyTail(buf, 5, "ab\\name"));
    EXPECT_STREQ("name", buf) << "keeps the end";
    EXPECT_TRUE(CopyTail(buf, 5, "abc"));
    EXPECT_STREQ("abc", buf);
    EXPECT_EQ('J', buf[5]);
}

TEST(TraceRules, TimeAndStampFormats)
{
    LocalTime t{2026, 1, 5, 9, 3, 7, 42};
    char buf[kTimeSize];
    EXPECT_EQ(23u, FormatTime(buf, sizeof buf, t));
    EXPECT_STREQ("2026-01-05 09:03:07:042", buf);
    EXPECT_EQ(10u, FormatStamp(buf, sizeof buf, t));
    EXPECT_STREQ("0105090307", buf);
    LocalTime u{2026, 12, 31, 23, 59, 59, 999};
    FormatTime(buf, sizeof buf, u);
    EXPECT_STREQ("2026-12-31 23:59:59:999", buf);
}

TEST(TraceRules, StampTagsNeverRepeatAndSortByTime)
{
    char buf[32];
    EXPECT_EQ(10u, FormatStampTag(buf, sizeof buf, "0105090307", 0));
    EXPECT_STREQ("0105090307", buf);
    EXPECT_EQ(14u, FormatStampTag(buf, sizeof buf, "0105090307", 1));
    EXPECT_STREQ("0105090307~001", buf);
    FormatStampTag(buf, sizeof buf, "0105090307", kLastStampSequence);
    EXPECT_STREQ("0105090307~999", buf);
    for (int refused : {-1, kLastStampSequence + 1}) {
        std::memset(buf, 'J', sizeof buf);
        EXPECT_EQ(0u, FormatStampTag(buf, sizeof buf, "0105090307", refused)) << refused;
        EXPECT_STREQ("", buf);
    }

    // Backups in the order they were made: sorted by name (bytes, or letters
    // without case as a file list shows them) they stay in that order.
    std::vector<std::wstring> made;
    for (auto [stamp, sequence] : std::vector<std::pair<const char*, int>>{
             {"0105090307", 0}, {"0105090307", 1}, {"0105090307", 2}, {"0105090307", 10},
             {"0105090307", 999}, {"0105090308", 0}, {"0105090308", 1}, {"0105091000", 0}}) {
        char tag[32];
        FormatStampTag(tag, sizeof tag, stamp, sequence);
        made.push_back(BackupPath(L"C:\\app\\log\\KexUSBPhone.log", tag));
    }
    std::vector<std::wstring> byUnits = made;
    std::sort(byUnits.begin(), byUnits.end());
    EXPECT_EQ(byUnits, made);
    auto lower = [](std::wstring s) {
        for (wchar_t& c : s)
            c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        return s;
    };
    std::vector<std::wstring> noCase = made;
    std::sort(noCase.begin(), noCase.end(),
              [&](const std::wstring& a, const std::wstring& b) { return lower(a) < lower(b); });
    EXPECT_EQ(noCase, made);
}

TEST(TraceRules, HeaderBytes)
{
    struct Row {
        const char* file;
        int line, tid, pid;
        const char* prefix;
        const char* header;
    } rows[] = {
        {"KexPhone", 39, 1234, 5678, "Enter = ",
         "<!--[2026-01-05 09:03:07:042][KexPhone(39)][(1234/5678)][Enter = "},
        {"", 0, 1, 2, "Error = ", "<!--[2026-01-05 09:03:07:042][(0)][(1/2)][Error = "},
        {"AdapterManager", -5, -2, 0, "INFO = ",
         "<!--[2026-01-05 09:03:07:042][AdapterManager(-5)][(-2/0)][INFO = "},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.header);
        char buf[kHeaderSize + 16];
        std::memset(buf, 'J', sizeof buf);
        std::size_t n = FormatHeader(buf, kHeaderSize, "2026-01-05 09:03:07:042", r.file, r.line, r.tid,
                                     r.pid, r.prefix);
        EXPECT_EQ(std::string(r.header), std::string(buf, n));
        EXPECT_EQ('\0', buf[n]);
    }
}

TEST(TraceRules, LongHeaderCutsTheFilePartOnly)
{
    std::string file(300, 'f');
    for (std::size_t fileLength : {200u, 210u, 300u}) {
        SCOPED_TRACE("file length " + std::to_string(fileLength));
        char buf[kHeaderSize + 16];
        std::memset(buf, 'J', sizeof buf);
        std::size_t n = FormatHeader(buf, kHeaderSize, "2026-01-05 09:03:07:042",
                                     std::string_view(file.data(), fileLength), INT_MIN, INT_MIN, INT_MIN,
                                     "Leave = ");
        std::string tail = "(-2147483648)][(-2147483648/-2147483648)][Leave = ";
        std::string head = "<!--[2026-01-05 09:03:07:042][";
        std::size_t whole = head.size() + fileLength + tail.size();
        ASSERT_LE(n, kHeaderSize - 1);
        EXPECT_EQ(std::min(whole, kHeaderSize - 1), n);
        EXPECT_EQ(head, std::string(buf, head.size()));
        EXPECT_EQ(tail, std::string(buf + n - tail.size(), tail.size())) << "line, identifiers, prefix whole";
        EXPECT_EQ('\0', buf[n]);
        for (std::size_t i = kHeaderSize; i < sizeof buf; ++i)
            EXPECT_EQ('J', buf[i]) << "byte " << i << " beyond the buffer";
    }
}

TEST(TraceRules, BackupPaths)
{
    // The rule the logger moves its file by: directory part, tag, "_", name.
    const std::wstring longDir = L"C:\\" + std::wstring(300, L'd') + L"\\";
    struct Row {
        const char* what;
        std::wstring log;
        const char* tag;
        std::wstring backup;
    } rows[] = {
        {"numbered", L"C:\\app\\log\\.\\KexUSBPhone.log", "1", L"C:\\app\\log\\.\\1_KexUSBPhone.log"},
        {"time-stamped", L"C:\\app\\log\\KexUSBPhone.log", "0105090307~002",
         L"C:\\app\\log\\0105090307~002_KexUSBPhone.log"},
        {"no directory part", L"x.log", "2", L"2_x.log"},
        {"no name part", L"C:\\log\\", "2", L"C:\\log\\2_"},
        {"empty", L"", "2", L"2_"},
        {"a folder in any language", L"C:\\\u0416\u0443\u0440\u043d\u0430\u043b\\\u65e5\u5fd7.log", "1",
         L"C:\\\u0416\u0443\u0440\u043d\u0430\u043b\\1_\u65e5\u5fd7.log"},
        {"longer than MAX_PATH, kept whole", L"\\\\?\\" + longDir + L"KexUSBPhone.log", "12",
         L"\\\\?\\" + longDir + L"12_KexUSBPhone.log"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.backup, BackupPath(r.log, r.tag));
    }
}

namespace {
struct FakeProfile {
    std::map<std::string, std::string> keys;
    std::vector<std::string> asked;
};

void ReadFake(void* ctx, const char* key, char* out)
{
    auto* p = static_cast<FakeProfile*>(ctx);
    p->asked.push_back(key);
    auto it = p->keys.find(key);
    if (it != p->keys.end())
        std::strcpy(out, it->second.c_str());
    // A missing key leaves out untouched, as ApplyConfig pre-empties it.
}
} // namespace

TEST(TraceRules, ConfigReadsKeysInOrder)
{
    FakeProfile p;
    Settings s;
    ApplyConfig(s, "", ReadFake, &p);
    EXPECT_EQ((std::vector<std::string>{"LogSwitch", "LogPrintLevel", "LogMaxSize", "AttachSizeAction", "SaveCount"}),
              p.asked);
    p.asked.clear();
    ApplyConfig(s, "MySwitch", ReadFake, &p);
    EXPECT_EQ("MySwitch", p.asked.at(0));
}

TEST(TraceRules, ConfigValues)
{
    struct Row {
        const char* key;
        const char* value; // nullptr: key absent
        Settings expect;
    };
    const Settings d{1, 7, 2097152, 2, 2};
    auto with = [&](auto change) {
        Settings s = d;
        change(s);
        return s;
    };
    Row rows[] = {
        {"LogSwitch", nullptr, d},
        {"LogSwitch", "0", with([](Settings& s) { s.on = 0; })},
        {"LogSwitch", "  0 ", with([](Settings& s) { s.on = 0; })},
        {"LogSwitch", "false", d},
        {"LogSwitch", "off", d},
        {"LogSwitch", "00", d},
        {"LogSwitch", "", d},
        {"LogSwitch", "   ", d},
        {"LogSwitch", "\t0", d},
        {"LogSwitch", "1", d},
        {"LogPrintLevel", "1", with([](Settings& s) { s.mask = 1; })},
        {"LogPrintLevel", "4", with([](Settings& s) { s.mask = 4; })},
        {"LogPrintLevel", "1 or 2", with([](Settings& s) { s.mask = 3; })},
        {"LogPrintLevel", "1 or 4", with([](Settings& s) { s.mask = 5; })},
        {"LogPrintLevel", "0", with([](Settings& s) { s.mask = 0; })},
        {"LogPrintLevel", "none", with([](Settings& s) { s.mask = 0; })},
        {"LogPrintLevel", "7", d},
        {"LogPrintLevel", "  ", d},
        {"LogMaxSize", "0", with([](Settings& s) { s.maxSize = 0; })},
        {"LogMaxSize", "3", with([](Settings& s) { s.maxSize = 3145728; })},
        {"LogMaxSize", "-1", with([](Settings& s) { s.maxSize = -1048576; })},
        {"LogMaxSize", "abc", with([](Settings& s) { s.maxSize = 0; })},
        {"LogMaxSize", "2047", with([](Settings& s) { s.maxSize = 2146435072; })},
        {"LogMaxSize", "2048", with([](Settings& s) { s.maxSize = INT_MAX; })},
        {"LogMaxSize", "99999999999", with([](Settings& s) { s.maxSize = INT_MAX; })},
        {"LogMaxSize", "-4096", with([](Settings& s) { s.maxSize = INT_MIN; })},
        {"AttachSizeAction", "1", with([](Settings& s) { s.action = 1; })},
        {"AttachSizeAction", "0", with([](Settings& s) { s.action = 0; })},
        {"AttachSizeAction", "x", with([](Settings& s) { s.action = 0; })},
        {"SaveCount", "1", with([](Settings& s) { s.saveCount = 1; })},
        {"SaveCount", "7", with([](Settings& s) { s.saveCount = 7; })},
        {"SaveCount", "0", d},
        {"SaveCount", "-3", d},
        {"SaveCount", "text", d},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.key) + "=" + (r.value ? "[" + std::string(r.value) + "]" : "(absent)"));
        FakeProfile p;
        if (r.value)
            p.keys[r.key] = r.value;
        Settings s = d;
        ApplyConfig(s, "LogSwitch", ReadFake, &p);
        EXPECT_EQ(r.expect.on, s.on);
        EXPECT_EQ(r.expect.mask, s.mask);
        EXPECT_EQ(r.expect.maxSize, s.maxSize);
        EXPECT_EQ(r.expect.action, s.action);
        EXPECT_EQ(r.expect.saveCount, s.saveCount);
    }
}

TEST(TraceRules, ProfileValueReadsLikeTheProfileFunctions)
{
    struct Row {
        const char* what;
        const char* text;
        const char* value;
    } rows[] = {
        {"plain", "[Common]\nLogSwitch=0\n", "0"},
        {"CR LF, blanks and tabs around", "[Common]\r\n \tLogSwitch \t= \t1 \t\r\n", "1"},
        {"names in any ASCII case", "[ common ]\nlogswitch=1\n", "1"},
        {"the first of two wins", "[Common]\nLogSwitch=1\nLogSwitch=0\n", "1"},
        {"another section's key", "[Other]\nLogSwitch=1\n[Common]\nX=1\n", ""},
        {"after another section", "[Common]\nX=1\n[Other]\nY=2\n[Common]\nLogSwitch=2\n", "2"},
        {"enclosing quotes", "[Common]\nLogSwitch=\"3\"\n", "3"},
        {"one quote stays", "[Common]\nLogSwitch=\"3\n", "\"3"},
        {"UTF-8 mark first", "\xEF\xBB\xBF[Common]\nLogSwitch=4", "4"},
        {"no line end at the end", "[Common]\nLogSwitch=5", "5"},
        {"no equals sign", "[Common]\nLogSwitch\n", ""},
        {"unclosed header", "[Common\nLogSwitch=6\n", ""},
        {"empty text", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        char out[kex_log::kTextSize];
        std::memset(out, 'x', sizeof out);
        kex_log::ProfileValue(r.text, "Common", "LogSwitch", out);
        EXPECT_STREQ(r.value, out);
    }
    // A value longer than the field is cut, never overrun.
    std::string text = "[Common]\nLogSwitch=" + std::string(1000, 'v') + "\n";
    char out[kex_log::kTextSize + 1];
    out[kex_log::kTextSize] = '!';
    kex_log::ProfileValue(text, "Common", "LogSwitch", out);
    EXPECT_EQ(std::string(kex_log::kTextSize - 1, 'v'), out);
    EXPECT_EQ('!', out[kex_log::kTextSize]);
}

TEST(TraceRules, FormattingMatchesPrintf)
{
    // The record's numbers are formatted by hand; they must match the printf
    // formats byte for byte, signs and padding included.
    const int values[] = {0, 1, 5, 9, 10, 42, 99, 100, 999, 1000, 65535, -1, -5, -10, -999, INT_MAX, INT_MIN};
    for (int v : values) {
        SCOPED_TRACE("value " + std::to_string(v));
        char mine[kHeaderSize], theirs[kHeaderSize];
        LocalTime t{v, v, v, v, v, v, v};
        FormatTime(mine, kTimeSize, t);
        std::snprintf(theirs, kTimeSize, "%d-%02d-%02d %02d:%02d:%02d:%03d", v, v, v, v, v, v, v);
        EXPECT_STREQ(theirs, mine);
        FormatStamp(mine, 16, t);
        std::snprintf(theirs, 16, "%02d%02d%02d%02d%02d", v, v, v, v, v);
        EXPECT_STREQ(theirs, mine);
        FormatHeader(mine, kHeaderSize, "2026-01-05 09:03:07:042", "KexPhone", v, v, ~v, "TCP = ");
        std::snprintf(theirs, kHeaderSize, "%s[%s][%s(%d)][(%d/%d)][%s", "<!--", "2026-01-05 09:03:07:042",
                      "KexPhone", v, v, ~v, "TCP = ");
        EXPECT_STREQ(theirs, mine);
    }
}
