// The trace log's rules that need no operating system: settings parsing, the
// level filter, and the byte layout of a record's header. CTraceLog applies
// them; they build and are tested on any host.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kex_log {

constexpr std::size_t kTextSize = 260;   // text fields: 259 characters and a terminator
constexpr std::size_t kHeaderSize = 256; // record header buffer
constexpr std::size_t kTimeSize = 64;    // time text buffer

// Record opening and closing texts.
constexpr char kOpening[] = "<!--";
constexpr char kTrailer[] = "]-->\r\n";
constexpr std::size_t kTrailerLength = sizeof(kTrailer) - 1;

// Removes leading, then trailing space characters (0x20 only) in place.
char* Trim(char* text) noexcept;
// The same on a range [begin, end): moves the bounds inward.
void Trim(const char*& begin, const char*& end) noexcept;

// atoi-style reading: leading white space, optional sign, decimal digits;
// 0 when there are none. Out-of-range values saturate instead of overflowing.
int ReadNumber(const char* text) noexcept;
int ReadNumber(const char* begin, const char* end) noexcept;

// Folds one number into a level mask: 7 on either side replaces, else OR.
unsigned AddLevel(unsigned mask, int n) noexcept;

// Splits a "LogPrintLevel" value at every "or" and hands each piece's number
// to add(ctx, n), in order.
void SplitLevels(const char* value, void (*add)(void* ctx, int n), void* ctx) noexcept;
// SplitLevels folded with AddLevel, starting from mask.
unsigned ParseLevels(unsigned mask, const char* value) noexcept;

// True when a record at this level passes the switch and the mask.
constexpr bool Passes(int level, unsigned char on, unsigned mask) noexcept
{
    return level == 1 || (on != 0 && (mask & static_cast<unsigned>(level)) != 0);
}

// "Error = ", "INFO = ", ...; "INFO = " for levels outside 1..6.
const char* LevelPrefix(int level) noexcept;

// The last non-empty piece between backslashes; the whole text when there is
// no backslash.
std::string_view BaseName(const char* path) noexcept;

// Mebibytes to a byte count, clamped to the 32-bit signed range.
int MiBToBytes(long long mib) noexcept;

// Copies src into dst[cap], cut to cap - 1 characters (keeping the start).
// A null src gives the empty text. Returns false when src was cut.
bool CopyText(char* dst, std::size_t cap, const char* src) noexcept;
// Same, but keeps the end of a text that is too long (for a source path the
// file name is at the end).
bool CopyTail(char* dst, std::size_t cap, const char* src) noexcept;

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

// "%d-%02d-%02d %02d:%02d:%02d:%03d"; returns the length.
std::size_t FormatTime(char* out, std::size_t cap, const LocalTime& t) noexcept;
// "%02d%02d%02d%02d%02d" from month, day, hour, minute, second.
std::size_t FormatStamp(char* out, std::size_t cap, const LocalTime& t) noexcept;

// Tag of a time-stamped backup: the stamp itself for the first backup of a
// second, "<stamp>~001" ... "<stamp>~999" for later ones in the same second,
// so that no backup replaces another and the names still sort by time ('~'
// sorts after the '_' that follows a bare stamp). Returns the length; 0 when
// sequence is outside 0..kLastStampSequence.
constexpr int kLastStampSequence = 999;
std::size_t FormatStampTag(char* out, std::size_t cap, const char* stamp, int sequence) noexcept;

// "<!--[time][file(line)][(tid/pid)][prefix" into out[cap]. When the header
// would not fit, the file part is shortened so that the rest stays whole.
// Returns the length written (always < cap).
std::size_t FormatHeader(char* out, std::size_t cap, const char* time, std::string_view file,
                         int line, int threadId, int processId, const char* prefix) noexcept;

// Backup path for a log path: its directory part (through the last
// backslash), tag, "_", its name part. The tag is ASCII (an index, or a
// stamp tag). Paths are UTF-16 and of any length, as the log's own.
std::wstring BackupPath(std::wstring_view logFile, std::string_view tag);

// Settings from the configuration file, with the constructor's values as
// defaults.
struct Settings {
    unsigned char on = 1;
    unsigned mask = 7;
    int maxSize = 0;
    int action = 0;
    int saveCount = 2;
};

// The value of key in [section] of a configuration file's text, read as the
// system's profile functions read it: names compared without regard to ASCII
// case, the first match wins, the value trimmed of blanks and tabs and of one
// pair of enclosing quotes, cut to fit out[kTextSize]; "" when missing. Used
// instead of those functions, which stop at MAX_PATH.
void ProfileValue(std::string_view text, const char* section, const char* key, char* out) noexcept;

// Reads one key's raw value into out[kTextSize] ("" when missing).
using ReadKeyFn = void (*)(void* ctx, const char* key, char* out);

// Reads the switch key, "LogPrintLevel", "LogMaxSize", "AttachSizeAction" and
// "SaveCount", in that order, and applies every non-empty trimmed value.
void ApplyConfig(Settings& s, const char* switchKey, ReadKeyFn read, void* ctx) noexcept;

} // namespace kex_log
