// The virtual handset's lines: parsing scenario and control lines into steps, and
// rendering the component's commands as display lines.
#include "handsets/virtual_handset/handset_lines.h"

#include <cctype>
#include <cstdio>

namespace vhs {
namespace {

struct NamedCode {
    const char* name;
    uint32_t code;
};

// Function keys. Lookup ignores case, spaces, '-' and '_', so "pick-up",
// "history up" and "CallHistoryUp" all work.
const NamedCode kFunctionKeys[] = {
    {"pickup", KEX_DEV_PICKUP},
    {"hangup", KEX_DEV_HANGUP},
    {"call", KEX_DEV_CALL},
    {"addressbook", KEX_DEV_ADDRESSBOOK},
    {"clear", KEX_DEV_CLEAR},
    {"callhistoryup", KEX_DEV_CALLHISTORYUP},
    {"historyup", KEX_DEV_CALLHISTORYUP},
    {"callhistorydown", KEX_DEV_CALLHISTORYDOWN},
    {"historydown", KEX_DEV_CALLHISTORYDOWN},
    {"addressbookup", KEX_DEV_ADDRESSBOOKUP},
    {"addressbookdown", KEX_DEV_ADDRESSBOOKDOWN},
    {"mute", KEX_DEV_MUTE},
    {"hold", KEX_DEV_HOLD},
    {"redial", KEX_DEV_REDIAL},
    {"calladdrnumber", KEX_DEV_CALLADDRNUMBER},
    {"calladdressbooknumber", KEX_DEV_CALLADDRNUMBER},
    {"callhistoryex", KEX_DEV_CALLHISTORY_EX},
    {"historyex", KEX_DEV_CALLHISTORY_EX},
    {"handfree", KEX_DEV_HANDFREE},
    {"handsfree", KEX_DEV_HANDFREE},
};

// Display names of the function keys, indexed by message code.
const char* const kFunctionKeyDisplay[] = {
    nullptr,          "pick-up",         "hang-up",           nullptr,
    "call",           "address book",    "clear",             "call history up",
    "call history down", "address book up", "address book down", "mute",
    "hold",           "redial",          "call address book number", "call history ex",
    "hands-free",
};

// Command names for "await", indexed by command code.
const char* const kCommandNames[] = {
    nullptr, "ready", "link", "ring", "ringback", "talking", "hangup", "hold",
    "resume", "callfailed", "ringbusy", "number", "callinfo", "contactinfo",
};

struct KeyChar {
    char c;
    uint32_t key;
};
const KeyChar kKeyChars[] = {
    {'1', KEX_KEY_1}, {'2', KEX_KEY_2}, {'3', KEX_KEY_3}, {'4', KEX_KEY_4},
    {'5', KEX_KEY_5}, {'6', KEX_KEY_6}, {'7', KEX_KEY_7}, {'8', KEX_KEY_8},
    {'9', KEX_KEY_9}, {'0', KEX_KEY_0}, {'*', KEX_KEY_STAR}, {'#', KEX_KEY_POUND},
};

std::string lower(std::string_view s)
{
    std::string r(s);
    for (char& c : r)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::vector<std::string_view> split_words(std::string_view s)
{
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i]))
            ++i;
        size_t start = i;
        while (i < s.size() && !is_blank(s[i]))
            ++i;
        if (i > start)
            words.push_back(s.substr(start, i - start));
    }
    return words;
}

// Whole-word unsigned decimal, at most `max`.
bool parse_uint(std::string_view w, uint64_t max, uint64_t& out)
{
    if (w.empty() || w.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : w) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max)
        return false;
    out = v;
    return true;
}

bool parse_int32(std::string_view w, int32_t& out)
{
    bool neg = !w.empty() && w[0] == '-';
    if (neg)
        w.remove_prefix(1);
    uint64_t v = 0;
    if (!parse_uint(w, neg ? 2147483648ull : 2147483647ull, v))
        return false;
    out = neg ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
    return true;
}

bool key_of(char c, uint32_t& key)
{
    for (const KeyChar& k : kKeyChars) {
        if (k.c == c) {
            key = k.key;
            return true;
        }
    }
    return false;
}

Report key_report(char c, uint32_t key)
{
    return Report{KEX_DEV_KEY, key, 0, std::string("key ") + c};
}

ParseResult fail(std::string msg)
{
    ParseResult r;
    r.error = std::move(msg);
    return r;
}

ParseResult ok(Step step)
{
    ParseResult r;
    r.ok = true;
    r.step = std::move(step);
    return r;
}

ParseResult report_step(std::vector<Report> reports)
{
    Step s;
    s.kind = StepKind::report;
    s.reports = std::move(reports);
    return ok(std::move(s));
}

std::string quoted(std::string_view w) { return "\"" + printable(std::string(w).c_str()) + "\""; }

ParseResult too_many(const std::vector<std::string_view>& words, size_t allowed)
{
    return fail("unexpected " + quoted(words[allowed]) + " after \"" + lower(words[0]) + "\"");
}

ParseResult parse_plug(const std::vector<std::string_view>& w)
{
    if (w.size() < 2)
        return fail("\"plug\" needs in, out or a state number");
    std::string arg = lower(w[1]);
    if (arg == "in" || arg == "out") {
        if (w.size() > 2)
            return too_many(w, 2);
        uint32_t state = arg == "in" ? KEX_PLUG_IN : KEX_PLUG_OUT;
        return report_step({Report{KEX_DEV_PLUG, state, 0, "plug " + arg}});
    }
    uint64_t state = 0;
    if (!parse_uint(w[1], 0xFFFFFFFFull, state))
        return fail("\"plug\" needs in, out or a state number, not " + quoted(w[1]));
    int32_t detail = 0;
    if (w.size() > 2 && !parse_int32(w[2], detail))
        return fail("bad plug detail " + quoted(w[2]));
    if (w.size() > 3)
        return too_many(w, 3);
    return report_step({Report{KEX_DEV_PLUG, static_cast<uint32_t>(state), detail,
                               "plug state " + std::to_string(state) + " detail " + std::to_string(detail)}});
}

ParseResult parse_key(const std::vector<std::string_view>& w)
{
    if (w.size() < 2)
        return fail("\"key\" needs a key: 0-9, *, #, star or pound");
    if (w.size() > 2)
        return too_many(w, 2);
    std::string arg = lower(w[1]);
    char c = arg == "star" ? '*' : arg == "pound" ? '#' : arg.size() == 1 ? arg[0] : '\0';
    uint32_t key = 0;
    if (!key_of(c, key))
        return fail("unknown key " + quoted(w[1]) + " (0-9, *, #, star or pound)");
    return report_step({key_report(c, key)});
}

ParseResult parse_keys(const std::vector<std::string_view>& w)
{
    if (w.size() < 2)
        return fail("\"keys\" needs the keys to press, e.g. keys 123#");
    std::vector<Report> reports;
    for (size_t i = 1; i < w.size(); ++i) {
        for (char c : w[i]) {
            uint32_t key = 0;
            if (!key_of(c, key))
                return fail(std::string("unknown key '") + printable(std::string(1, c).c_str()) +
                            "' in " + quoted(w[i]));
            reports.push_back(key_report(c, key));
        }
    }
    return report_step(std::move(reports));
}

ParseResult parse_raw(const std::vector<std::string_view>& w)
{
    if (w.size() < 2)
        return fail("\"raw\" needs a message code");
    if (w.size() > 4)
        return too_many(w, 4);
    uint64_t msg = 0, wp = 0;
    int32_t lp = 0;
    if (!parse_uint(w[1], 0xFFFFFFFFull, msg))
        return fail("bad message code " + quoted(w[1]));
    if (w.size() > 2 && !parse_uint(w[2], 0xFFFFFFFFull, wp))
        return fail("bad wParam " + quoted(w[2]));
    if (w.size() > 3 && !parse_int32(w[3], lp))
        return fail("bad lParam " + quoted(w[3]));
    return report_step({Report{static_cast<uint32_t>(msg), static_cast<uint32_t>(wp), lp,
                               "raw message " + std::to_string(msg) + " " + std::to_string(wp) + " " +
                                   std::to_string(lp)}});
}

ParseResult parse_sleep(const std::vector<std::string_view>& w)
{
    if (w.size() < 2)
        return fail("\"sleep\" needs milliseconds");
    if (w.size() > 2)
        return too_many(w, 2);
    uint64_t ms = 0;
    if (!parse_uint(w[1], kMaxWaitMs, ms))
        return fail("bad milliseconds " + quoted(w[1]) + " (0 to " + std::to_string(kMaxWaitMs) + ")");
    Step s;
    s.kind = StepKind::sleep;
    s.ms = static_cast<uint32_t>(ms);
    return ok(std::move(s));
}

ParseResult parse_await(const std::vector<std::string_view>& w)
{
    if (w.size() < 2)
        return fail("\"await\" needs a command name, e.g. await ring");
    if (w.size() > 3)
        return too_many(w, 3);
    std::string name = lower(w[1]);
    uint32_t code = 0;
    for (uint32_t c = KEX_CMD_FIRST; c <= KEX_CMD_LAST; ++c) {
        if (name == kCommandNames[c])
            code = c;
    }
    uint64_t n = 0;
    if (code == 0 && parse_uint(w[1], KEX_CMD_LAST, n) && n >= KEX_CMD_FIRST)
        code = static_cast<uint32_t>(n);
    if (code == 0)
        return fail("unknown command " + quoted(w[1]) + " to await");
    uint64_t ms = kDefaultAwaitMs;
    if (w.size() > 2 && !parse_uint(w[2], kMaxWaitMs, ms))
        return fail("bad timeout " + quoted(w[2]) + " (0 to " + std::to_string(kMaxWaitMs) + " ms)");
    Step s;
    s.kind = StepKind::await;
    s.command = code;
    s.ms = static_cast<uint32_t>(ms);
    return ok(std::move(s));
}

ParseResult parse_function_key(const std::vector<std::string_view>& w)
{
    std::string joined;
    for (std::string_view word : w) {
        for (char c : word) {
            if (c != '-' && c != '_')
                joined += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    for (const NamedCode& k : kFunctionKeys) {
        if (joined == k.name)
            return report_step({Report{k.code, 0, 0, std::string("key ") + kFunctionKeyDisplay[k.code]}});
    }
    std::string all;
    for (std::string_view word : w)
        all += (all.empty() ? "" : " ") + std::string(word);
    return fail("unknown command " + quoted(all));
}

struct Verb {
    const char* word;
    ParseResult (*parse)(const std::vector<std::string_view>&);
};
const Verb kVerbs[] = {
    {"plug", parse_plug},   {"key", parse_key},     {"keys", parse_keys},
    {"raw", parse_raw},     {"sleep", parse_sleep}, {"await", parse_await},
};

std::string name_and_number(const char* name, const char* number)
{
    std::string n = printable(name), num = printable(number);
    if (n.empty() && num.empty())
        return "(unknown caller)";
    if (num.empty())
        return n;
    if (n.empty())
        return "<" + num + ">";
    return n + " <" + num + ">";
}

// Display texts of the call-state commands 1..10.
const char* const kCallStateTitles[] = {
    nullptr,   "READY",   "CONNECTING", "RINGING",     "RING-BACK", "TALKING",
    "HUNG UP", "ON HOLD", "RESUMED",    "CALL FAILED", "BUSY",
};

std::string padded(const char* title)
{
    std::string t(title);
    if (t.size() < 12)
        t.resize(12, ' ');
    return t;
}

} // namespace

ParseResult parse_line(std::string_view line)
{
    if (line.size() > kMaxLineLength)
        return fail("line longer than " + std::to_string(kMaxLineLength) + " characters");
    std::vector<std::string_view> words = split_words(line);
    if (words.empty() || words[0][0] == '#' || words[0][0] == ';')
        return ok(Step{});
    std::string verb = lower(words[0]);
    for (const Verb& v : kVerbs) {
        if (verb == v.word)
            return v.parse(words);
    }
    return parse_function_key(words);
}

const char* command_name(uint32_t code)
{
    return code >= KEX_CMD_FIRST && code <= KEX_CMD_LAST ? kCommandNames[code] : nullptr;
}

std::string printable(const char* text)
{
    std::string r;
    if (!text)
        return r;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        r += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    return r;
}

namespace {

Rendered unknown_command(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "UNKNOWN COMMAND %lu (0x%llx, 0x%llx)", static_cast<unsigned long>(code),
                  static_cast<unsigned long long>(wParam), static_cast<unsigned long long>(lParam));
    return {false, buf};
}

} // namespace

Rendered render_command(uint32_t code, uintptr_t wParam, uintptr_t lParam, uint32_t last_code)
{
    const char* w = reinterpret_cast<const char*>(wParam);
    const char* l = reinterpret_cast<const char*>(lParam);
    Rendered r;
    r.ok = true;
    switch (code) {
    case KEX_CMD_READY:
        r.line = "READY";
        break;
    case KEX_CMD_NUMBER:
        r.line = padded("NUMBER") + printable(l);
        break;
    case KEX_CMD_CALLINFO:
        r.line = padded("CALLER") + name_and_number(w, l);
        break;
    case KEX_CMD_CONTACTINFO: {
        const ContactInfo* ci = reinterpret_cast<const ContactInfo*>(wParam);
        if (!ci) {
            r.ok = false;
            r.line = "CONTACT     (no record)";
            break;
        }
        r.line = padded("CONTACT");
        for (int i = 0; i < KEX_CONTACT_ENTRIES; ++i) {
            if (i)
                r.line += " | ";
            r.line += "\"" + printable(ci->info[i]) + "\" icon " + std::to_string(ci->iconType[i]);
        }
        break;
    }
    case KEX_CMD_MUTE:
        if (code > last_code)
            return unknown_command(code, wParam, lParam);
        r.line = padded("MUTE") + (wParam ? "on" : "off");
        break;
    default:
        if (code >= KEX_CMD_LINK && code <= KEX_CMD_RINGBUSY) {
            r.line = padded(kCallStateTitles[code]) + name_and_number(w, l);
            break;
        }
        return unknown_command(code, wParam, lParam);
    }
    return r;
}

} // namespace vhs
