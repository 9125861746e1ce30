// The trace log's rules that need no operating system, as TraceRules.h
// lists them.
#include "log/TraceRules.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace kex_log {

char* Trim(char* text) noexcept
{
    if (!text)
        return text;
    const char* begin = text;
    const char* end = text + std::strlen(text);
    Trim(begin, end);
    std::size_t n = static_cast<std::size_t>(end - begin);
    std::memmove(text, begin, n);
    text[n] = '\0';
    return text;
}

void Trim(const char*& begin, const char*& end) noexcept
{
    while (begin < end && *begin == ' ')
        ++begin;
    while (end > begin && end[-1] == ' ')
        --end;
}

int ReadNumber(const char* text) noexcept
{
    return text ? ReadNumber(text, text + std::strlen(text)) : 0;
}

int ReadNumber(const char* p, const char* end) noexcept
{
    auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (p < end && isSpace(*p))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    // Saturate at the 32-bit range instead of overflowing.
    constexpr long long limit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
        if (magnitude < limit)
            magnitude = magnitude * 10 + (*p - '0');
    if (negative)
        return magnitude >= limit ? INT_MIN : static_cast<int>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

unsigned AddLevel(unsigned mask, int n) noexcept
{
    unsigned level = static_cast<unsigned>(n);
    return (mask == 7 || n == 7) ? level : (mask | level);
}

void SplitLevels(const char* value, void (*add)(void* ctx, int n), void* ctx) noexcept
{
    if (!value)
        return;
    const char* w = value;
    while (const char* sep = std::strstr(w, "or")) {
        const char* begin = w;
        const char* end = sep;
        Trim(begin, end);
        add(ctx, ReadNumber(begin, end));
        w = sep + 2;
    }
    if (*w) {
        const char* begin = w;
        const char* end = w + std::strlen(w);
        Trim(begin, end);
        add(ctx, ReadNumber(begin, end));
    }
}

unsigned ParseLevels(unsigned mask, const char* value) noexcept
{
    SplitLevels(
        value, [](void* ctx, int n) {
            auto* m = static_cast<unsigned*>(ctx);
            *m = AddLevel(*m, n);
        },
        &mask);
    return mask;
}

const char* LevelPrefix(int level) noexcept
{
    static const char* const prefixes[] = {
        "Error = ", "INFO = ", "Enter = ", "Leave = ", "TCP = ", "UDP = ",
    };
    if (level >= 1 && level <= 6)
        return prefixes[level - 1];
    return "INFO = ";
}

std::string_view BaseName(const char* path) noexcept
{
    if (!path)
        return {};
    std::string_view s(path);
    while (!s.empty() && s.back() == '\\')
        s.remove_suffix(1);
    std::size_t slash = s.rfind('\\');
    return slash == std::string_view::npos ? s : s.substr(slash + 1);
}

int MiBToBytes(long long mib) noexcept
{
    constexpr long long unit = 1048576;
    if (mib > INT_MAX / unit)
        return INT_MAX;
    if (mib < INT_MIN / unit)
        return INT_MIN;
    return static_cast<int>(mib * unit);
}

bool CopyText(char* dst, std::size_t cap, const char* src) noexcept
{
    if (!src)
        src = "";
    std::size_t n = std::strlen(src);
    bool whole = n < cap;
    if (!whole)
        n = cap - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return whole;
}

bool CopyTail(char* dst, std::size_t cap, const char* src) noexcept
{
    if (!src)
        src = "";
    std::size_t n = std::strlen(src);
    bool whole = n < cap;
    if (!whole) {
        src += n - (cap - 1);
        n = cap - 1;
    }
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return whole;
}

namespace {

// Bounded writer: never writes past cap - 1 characters plus the terminator.
class Out {
public:
    Out(char* buf, std::size_t cap) noexcept : m_begin(buf), m_p(buf), m_end(buf + cap - 1) {}
    void Put(std::string_view s) noexcept
    {
        std::size_t n = std::min(s.size(), static_cast<std::size_t>(m_end - m_p));
        if (n)
            std::memcpy(m_p, s.data(), n);
        m_p += n;
    }
    // printf's %0<width>d: the width counts the sign.
    void Dec(long long v, int width = 1) noexcept
    {
        char digits[24];
        char* d = digits + sizeof digits;
        unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do
            *--d = static_cast<char>('0' + u % 10);
        while (u /= 10);
        int pad = width - static_cast<int>(digits + sizeof digits - d) - (v < 0 ? 1 : 0);
        if (v < 0)
            Put("-");
        for (; pad > 0; --pad)
            Put("0");
        Put(std::string_view(d, static_cast<std::size_t>(digits + sizeof digits - d)));
    }
    std::size_t Finish() noexcept
    {
        *m_p = '\0';
        return static_cast<std::size_t>(m_p - m_begin);
    }

private:
    char* m_begin;
    char* m_p;
    char* m_end;
};

std::size_t DecLength(long long v) noexcept
{
    std::size_t n = v < 0 ? 2 : 1;
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    while (u /= 10)
        ++n;
    return n;
}

} // namespace

// Formatted by hand: these run for every record, and printf's machinery costs
// more than the rest of the record's formatting together.
std::size_t FormatTime(char* out, std::size_t cap, const LocalTime& t) noexcept
{
    const struct {
        const char* before;
        int value;
        int width;
    } fields[] = {
        {"", t.year, 1},    {"-", t.month, 2},  {"-", t.day, 2},         {" ", t.hour, 2},
        {":", t.minute, 2}, {":", t.second, 2}, {":", t.millisecond, 3},
    };
    Out o(out, cap);
    for (const auto& field : fields) {
        o.Put(field.before);
        o.Dec(field.value, field.width);
    }
    return o.Finish();
}

std::size_t FormatStamp(char* out, std::size_t cap, const LocalTime& t) noexcept
{
    Out o(out, cap);
    for (int v : {t.month, t.day, t.hour, t.minute, t.second})
        o.Dec(v, 2);
    return o.Finish();
}

std::size_t FormatStampTag(char* out, std::size_t cap, const char* stamp, int sequence) noexcept
{
    if (cap == 0)
        return 0;
    if (sequence < 0 || sequence > kLastStampSequence) {
        out[0] = '\0';
        return 0;
    }
    Out o(out, cap);
    o.Put(stamp ? stamp : "");
    if (sequence > 0) {
        o.Put("~");
        o.Dec(sequence, 3);
    }
    return o.Finish();
}

std::size_t FormatHeader(char* out, std::size_t cap, const char* time, std::string_view file, int line,
                         int threadId, int processId, const char* prefix) noexcept
{
    std::string_view timeText(time ? time : ""), prefixText(prefix ? prefix : "");
    std::size_t fixed = sizeof kOpening - 1 + 1 + timeText.size() + 2 + 1 + DecLength(line) + 4 +
                        DecLength(threadId) + 1 + DecLength(processId) + 3 + prefixText.size();
    // When the header would not fit, the file part gives way first.
    if (fixed + file.size() > cap - 1)
        file = file.substr(0, fixed < cap - 1 ? cap - 1 - fixed : 0);
    Out o(out, cap);
    o.Put(kOpening);
    o.Put("[");
    o.Put(timeText);
    o.Put("][");
    o.Put(file);
    o.Put("(");
    o.Dec(line);
    o.Put(")][(");
    o.Dec(threadId);
    o.Put("/");
    o.Dec(processId);
    o.Put(")][");
    o.Put(prefixText);
    return o.Finish();
}

std::wstring BackupPath(std::wstring_view logFile, std::string_view tag)
{
    const std::size_t slash = logFile.rfind(L'\\');
    const std::size_t name = slash == std::wstring_view::npos ? 0 : slash + 1;
    std::wstring backup(logFile.substr(0, name));
    backup.append(tag.begin(), tag.end()); // ASCII: one UTF-16 unit a byte
    backup += L'_';
    backup += logFile.substr(name);
    return backup;
}

void ApplyConfig(Settings& s, const char* switchKey, ReadKeyFn read, void* ctx) noexcept
{
    char value[kTextSize];
    auto get = [&](const char* key) {
        value[0] = '\0';
        read(ctx, key, value);
        value[kTextSize - 1] = '\0';
        return *Trim(value) != '\0';
    };
    if (get(switchKey && *switchKey ? switchKey : "LogSwitch"))
        s.on = std::strcmp(value, "0") == 0 ? 0 : 1;
    if (get("LogPrintLevel"))
        s.mask = ParseLevels(s.mask, value);
    if (get("LogMaxSize"))
        s.maxSize = MiBToBytes(ReadNumber(value));
    if (get("AttachSizeAction"))
        s.action = ReadNumber(value);
    if (get("SaveCount")) {
        int n = ReadNumber(value);
        if (n > 0)
            s.saveCount = n;
    }
}

namespace {
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && Blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && Blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, const char* b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}
} // namespace

void ProfileValue(std::string_view text, const char* section, const char* key, char* out) noexcept
{
    out[0] = '\0';
    if (!section || !key)
        return;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    bool inSection = false;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = TrimBlanks(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.front() == '[') {
            std::size_t close = line.find(']');
            inSection = close != std::string_view::npos && SameName(TrimBlanks(line.substr(1, close - 1)), section);
            continue;
        }
        std::size_t eq = line.find('=');
        if (!inSection || eq == std::string_view::npos || !SameName(TrimBlanks(line.substr(0, eq)), key))
            continue;
        std::string_view value = TrimBlanks(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::size_t n = std::min(value.size(), kTextSize - 1);
        std::memcpy(out, value.data(), n);
        out[n] = '\0';
        return;
    }
}

} // namespace kex_log
