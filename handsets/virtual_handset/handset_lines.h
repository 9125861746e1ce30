// The virtual handset's two small languages, kept free of Windows so they
// can be tested anywhere:
//  - scenario and control lines ("key 5", "pickup", "sleep 200",
//    "await ring") parsed into steps;
//  - commands from the component rendered as what a handset display shows.
#pragma once

#include "adapters/KexUSBAdapter.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vhs {

// One device report: the three arguments of the device callback.
struct Report {
    uint32_t msg = 0;
    uint32_t wParam = 0;
    int32_t lParam = 0;
    std::string what; // shown before it is sent, e.g. "key 5"

    bool operator==(const Report& o) const
    {
        return msg == o.msg && wParam == o.wParam && lParam == o.lParam;
    }
};

enum class StepKind {
    none,   // blank line or comment: nothing to do
    report, // send reports, in order
    sleep,  // wait ms
    await,  // wait until the host sent command `command`, at most ms
};

struct Step {
    StepKind kind = StepKind::none;
    std::vector<Report> reports;
    uint32_t ms = 0;
    uint32_t command = 0;
};

struct ParseResult {
    bool ok = false;
    Step step;
    std::string error; // set when !ok; says what is wrong, not where
};

constexpr uint32_t kDefaultAwaitMs = 10000;
constexpr uint32_t kMaxWaitMs = 600000;
constexpr size_t kMaxLineLength = 1024;

// Parses one line. Words are case-insensitive; "#" or ";" as the first
// non-blank character starts a comment line.
ParseResult parse_line(std::string_view line);

// Name of a command code as used by "await" ("ring", "contactinfo"), or
// nullptr for codes outside 1..13.
const char* command_name(uint32_t code);

// Texts reaching the display: control characters would let a host's text
// rewrite the console, so they show as '?'. NULL shows as "".
std::string printable(const char* text);

// What the handset shows for one command. `ok` is false for a command the
// handset does not know (or a record it cannot read); the line then says so.
// Codes above last_code are unknown: the component speaking version 1 sends
// none of the version-2 codes.
struct Rendered {
    bool ok = false;
    std::string line;
};
Rendered render_command(uint32_t code, uintptr_t wParam, uintptr_t lParam, uint32_t last_code = KEX_CMD_LAST);

} // namespace vhs
