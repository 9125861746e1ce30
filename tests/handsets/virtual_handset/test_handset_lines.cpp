// The virtual handset's scenario/control lines and its display texts.
#include "handsets/virtual_handset/handset_lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using vhs::Report;
using vhs::StepKind;

struct GoodLine {
    const char* line;
    std::vector<Report> reports; // the reports a report step sends, in order
};

TEST(HandsetLines, ReportLinesGiveTheirDeviceMessages)
{
    const GoodLine cases[] = {
        {"plug in", {{KEX_DEV_PLUG, KEX_PLUG_IN, 0, ""}}},
        {"  PLUG   Out  ", {{KEX_DEV_PLUG, KEX_PLUG_OUT, 0, ""}}},
        {"plug 5 7", {{KEX_DEV_PLUG, 5, 7, ""}}},
        {"plug 1 -3", {{KEX_DEV_PLUG, 1, -3, ""}}},
        {"key 5", {{KEX_DEV_KEY, KEX_KEY_5, 0, ""}}},
        {"key 0", {{KEX_DEV_KEY, KEX_KEY_0, 0, ""}}},
        {"key *", {{KEX_DEV_KEY, KEX_KEY_STAR, 0, ""}}},
        {"key #", {{KEX_DEV_KEY, KEX_KEY_POUND, 0, ""}}},
        {"Key Star", {{KEX_DEV_KEY, KEX_KEY_STAR, 0, ""}}},
        {"key pound", {{KEX_DEV_KEY, KEX_KEY_POUND, 0, ""}}},
        {"keys 10#", {{KEX_DEV_KEY, KEX_KEY_1, 0, ""}, {KEX_DEV_KEY, KEX_KEY_0, 0, ""}, {KEX_DEV_KEY, KEX_KEY_POUND, 0, ""}}},
        {"keys 1 2", {{KEX_DEV_KEY, KEX_KEY_1, 0, ""}, {KEX_DEV_KEY, KEX_KEY_2, 0, ""}}},
        {"pickup", {{KEX_DEV_PICKUP, 0, 0, ""}}},
        {"Pick-Up", {{KEX_DEV_PICKUP, 0, 0, ""}}},
        {"hangup", {{KEX_DEV_HANGUP, 0, 0, ""}}},
        {"hang up", {{KEX_DEV_HANGUP, 0, 0, ""}}},
        {"call", {{KEX_DEV_CALL, 0, 0, ""}}},
        {"addressbook", {{KEX_DEV_ADDRESSBOOK, 0, 0, ""}}},
        {"clear", {{KEX_DEV_CLEAR, 0, 0, ""}}},
        {"history up", {{KEX_DEV_CALLHISTORYUP, 0, 0, ""}}},
        {"call_history_down", {{KEX_DEV_CALLHISTORYDOWN, 0, 0, ""}}},
        {"address book up", {{KEX_DEV_ADDRESSBOOKUP, 0, 0, ""}}},
        {"addressbook down", {{KEX_DEV_ADDRESSBOOKDOWN, 0, 0, ""}}},
        {"mute", {{KEX_DEV_MUTE, 0, 0, ""}}},
        {"HOLD", {{KEX_DEV_HOLD, 0, 0, ""}}},
        {"redial", {{KEX_DEV_REDIAL, 0, 0, ""}}},
        {"calladdrnumber", {{KEX_DEV_CALLADDRNUMBER, 0, 0, ""}}},
        {"history ex", {{KEX_DEV_CALLHISTORY_EX, 0, 0, ""}}},
        {"hands-free", {{KEX_DEV_HANDFREE, 0, 0, ""}}},
        {"handfree", {{KEX_DEV_HANDFREE, 0, 0, ""}}},
        // Values the component has to cope with can be sent on purpose.
        {"raw 0", {{0, 0, 0, ""}}},
        {"raw 18 1 2", {{18, 1, 2, ""}}},
        {"raw 3 13", {{KEX_DEV_KEY, 13, 0, ""}}},
        {"raw 17 1 -2147483648", {{KEX_DEV_PLUG, 1, INT32_MIN, ""}}},
        {"raw 4294967295 4294967295 2147483647", {{0xFFFFFFFFu, 0xFFFFFFFFu, INT32_MAX, ""}}},
    };
    for (const GoodLine& c : cases) {
        SCOPED_TRACE(c.line);
        vhs::ParseResult r = vhs::parse_line(c.line);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(StepKind::report, r.step.kind);
        EXPECT_EQ(c.reports, r.step.reports);
        for (const Report& rep : r.step.reports)
            EXPECT_FALSE(rep.what.empty());
    }
}

TEST(HandsetLines, WaitsAndComments)
{
    struct Case {
        const char* line;
        StepKind kind;
        uint32_t ms;
        uint32_t command;
    };
    const Case cases[] = {
        {"", StepKind::none, 0, 0},
        {"   \t ", StepKind::none, 0, 0},
        {"# a comment: pickup", StepKind::none, 0, 0},
        {"  ; another", StepKind::none, 0, 0},
        {"#pickup", StepKind::none, 0, 0},
        {"sleep 0", StepKind::sleep, 0, 0},
        {"sleep 250\r", StepKind::sleep, 250, 0},
        {"sleep 600000", StepKind::sleep, 600000, 0},
        {"await ring", StepKind::await, vhs::kDefaultAwaitMs, KEX_CMD_RING},
        {"AWAIT Talking 500", StepKind::await, 500, KEX_CMD_TALKING},
        {"await ready", StepKind::await, vhs::kDefaultAwaitMs, KEX_CMD_READY},
        {"await contactinfo 1", StepKind::await, 1, KEX_CMD_CONTACTINFO},
        {"await 13", StepKind::await, vhs::kDefaultAwaitMs, KEX_CMD_CONTACTINFO},
        {"await 1", StepKind::await, vhs::kDefaultAwaitMs, KEX_CMD_READY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("line \"") + c.line + "\"");
        vhs::ParseResult r = vhs::parse_line(c.line);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(c.kind, r.step.kind);
        EXPECT_EQ(c.ms, r.step.ms);
        EXPECT_EQ(c.command, r.step.command);
        EXPECT_TRUE(r.step.reports.empty());
    }
}

TEST(HandsetLines, BadLinesSayWhatIsWrong)
{
    struct Case {
        std::string line;
        const char* inError; // a part of the message naming the culprit
    };
    const Case cases[] = {
        {"pickupp", "\"pickupp\""},
        {"key", "needs a key"},
        {"key 55", "\"55\""},
        {"key x", "\"x\""},
        {"key 5 6", "\"6\""},
        {"keys", "needs the keys"},
        {"keys 12a3", "'a'"},
        {"plug", "needs in, out"},
        {"plug sideways", "\"sideways\""},
        {"plug in now", "\"now\""},
        {"plug -1", "\"-1\""},
        {"plug 1 x", "\"x\""},
        {"raw", "needs a message code"},
        {"raw 4294967296", "\"4294967296\""},
        {"raw 3 -1", "\"-1\""},
        {"raw 17 1 2147483648", "\"2147483648\""},
        {"raw 1 2 3 4", "\"4\""},
        {"sleep", "needs milliseconds"},
        {"sleep -5", "\"-5\""},
        {"sleep 600001", "\"600001\""},
        {"sleep 1.5", "\"1.5\""},
        {"sleep 10 20", "\"20\""},
        {"await", "needs a command"},
        {"await lunch", "\"lunch\""},
        {"await 0", "\"0\""},
        {"await 14", "\"14\""},
        {"await ring soon", "\"soon\""},
        {"hold on", "\"hold on\""},
        {"bad\x1b[2Jline", "\"bad?[2Jline\""}, // no raw escape codes in messages
        {std::string(1025, 'k'), "longer than 1024"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("line \"" + c.line.substr(0, 40) + "\"");
        vhs::ParseResult r = vhs::parse_line(c.line);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find(c.inError), std::string::npos) << r.error;
        EXPECT_EQ(std::string::npos, r.error.find('\x1b')) << r.error;
    }
}

TEST(HandsetLines, CommandNames)
{
    EXPECT_EQ(nullptr, vhs::command_name(0));
    EXPECT_EQ(nullptr, vhs::command_name(14));
    for (uint32_t code = KEX_CMD_FIRST; code <= KEX_CMD_LAST; ++code) {
        SCOPED_TRACE(code);
        const char* name = vhs::command_name(code);
        ASSERT_NE(name, nullptr);
        // Every name is accepted back by "await".
        vhs::ParseResult r = vhs::parse_line(std::string("await ") + name);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(code, r.step.command);
    }
}

uintptr_t text(const char* s) { return reinterpret_cast<uintptr_t>(s); }

TEST(HandsetDisplay, EveryCommandShowsItsArguments)
{
    ContactInfo contact = {{"Alice Smith", "Acme", ""}, {1, 7, 0}};
    struct Case {
        uint32_t code;
        uintptr_t wParam, lParam;
        const char* shown;
    };
    const Case cases[] = {
        {KEX_CMD_READY, 0, 0, "READY"},
        {KEX_CMD_LINK, text("Alice"), text("100"), "CONNECTING  Alice <100>"},
        {KEX_CMD_RING, text("Alice"), text("100"), "RINGING     Alice <100>"},
        {KEX_CMD_RING, text("100"), text("Alice"), "RINGING     100 <Alice>"},
        {KEX_CMD_RINGBACK, text("Bob"), text("200"), "RING-BACK   Bob <200>"},
        {KEX_CMD_TALKING, text("Alice"), text(""), "TALKING     Alice"},
        {KEX_CMD_HANGUP, text(""), text(""), "HUNG UP     (unknown caller)"},
        {KEX_CMD_HOLD, text(""), text("100"), "ON HOLD     <100>"},
        {KEX_CMD_RESUME, text("Alice"), text("100"), "RESUMED     Alice <100>"},
        {KEX_CMD_CALLFAILED, text("Alice"), text("100"), "CALL FAILED Alice <100>"},
        {KEX_CMD_RINGBUSY, text("Alice"), text("100"), "BUSY        Alice <100>"},
        {KEX_CMD_NUMBER, 0, text("5551234"), "NUMBER      5551234"},
        {KEX_CMD_CALLINFO, text("Alice"), text("100"), "CALLER      Alice <100>"},
        {KEX_CMD_CONTACTINFO, reinterpret_cast<uintptr_t>(&contact), 0,
         "CONTACT     \"Alice Smith\" icon 1 | \"Acme\" icon 7 | \"\" icon 0"},
        // A null text (a broken host) shows as empty rather than crashing.
        {KEX_CMD_LINK, 0, 0, "CONNECTING  (unknown caller)"},
        {KEX_CMD_RING, text("A\tB\n"), text("1\x1b"), "RINGING     A?B? <1?>"},
        {KEX_CMD_CALLINFO, text("M\xfcller"), text("1"), "CALLER      M\xfcller <1>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        vhs::Rendered r = vhs::render_command(c.code, c.wParam, c.lParam);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(c.shown, r.line);
    }
}

TEST(HandsetDisplay, UnknownCommandsAreRejected)
{
    const uint32_t codes[] = {0, 14, 0xFFFFFFFFu};
    for (uint32_t code : codes) {
        SCOPED_TRACE(code);
        vhs::Rendered r = vhs::render_command(code, 0x10, 0x20);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.line.find("UNKNOWN COMMAND " + std::to_string(code)), std::string::npos) << r.line;
    }
    vhs::Rendered r = vhs::render_command(KEX_CMD_CONTACTINFO, 0, 0);
    EXPECT_FALSE(r.ok);
}

// A component speaking version 2 sends the host's mute state too; codes past
// that stay unknown.
TEST(HandsetDisplay, MuteIsShownThroughVersion2Only)
{
    struct Case {
        uint32_t code;
        uintptr_t wParam;
        bool ok;
        const char* shown;
    };
    const Case cases[] = {
        {KEX_CMD_MUTE, 1, true, "MUTE        on"},
        {KEX_CMD_MUTE, 0, true, "MUTE        off"},
        {KEX_CMD_LAST_V2 + 1, 1, false, "UNKNOWN COMMAND 15 (0x1, 0x0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        vhs::Rendered r = vhs::render_command(c.code, c.wParam, 0, KEX_CMD_LAST_V2);
        EXPECT_EQ(c.ok, r.ok);
        EXPECT_EQ(c.shown, r.line);
    }
}

} // namespace
