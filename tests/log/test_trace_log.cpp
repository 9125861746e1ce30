// The trace log under Windows: settings from a real profile file, record
// bytes on disk, rotation, threads, and g_traceLog with the trace helpers.
// Each test uses its own ini and log names: tests of other programs run at
// the same time beside this executable.
#include "log/Trace.h"
#include "log/TraceLog.h"
#include "tests/support/files.h"
#include "win32/path.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

int TraceFromNamedFile(const char* marker);
int TracedTwice(int x, int* enterLine, int* leaveLine);
void TracedVoid(int* leaveLine);

namespace {

std::string ExeDir() { return test_support::ExeDirectory(); }

std::string LogDir()
{
    return ExeDir() + "log\\";
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}


void WriteFile(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f) << path;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Names of files in a directory (with its trailing backslash) matching a
// wildcard pattern.
std::vector<std::string> FilesMatching(const std::string& dir, const std::string& pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + pattern).c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

std::vector<std::string> LogFilesMatching(const std::string& pattern) { return FilesMatching(LogDir(), pattern); }

// One test's ini file beside the executable and its log with all backups.
struct TraceFiles {
    std::string ini, log;

    explicit TraceFiles(const std::string& tag) : ini("trace_" + tag + ".ini"), log("trace_" + tag + ".log")
    {
        Clean();
    }
    ~TraceFiles() { Clean(); }
    void Clean()
    {
        DeleteFileA((ExeDir() + ini).c_str());
        for (const std::string& name : LogFilesMatching("*" + log))
            DeleteFileA((LogDir() + name).c_str());
    }
    // Lines separated by '\n' are written with CR LF, as an editor would.
    void WriteIni(const std::string& body)
    {
        std::string text;
        for (char c : body)
            text += c == '\n' ? std::string("\r\n") : std::string(1, c);
        WriteFile(ExeDir() + ini, text);
    }
    std::string Path(const std::string& backupTag = "") const
    {
        return LogDir() + (backupTag.empty() ? "" : backupTag + "_") + log;
    }
};

std::string Dec(long long n)
{
    return std::to_string(n);
}

// A record as written by this thread, with the time replaced by T's.
std::string Record(const std::string& file, int line, const char* prefix, const std::string& message)
{
    return "<!--[" + std::string(23, 'T') + "][" + file + "(" + Dec(line) + ")][(" +
           Dec(static_cast<int>(GetCurrentThreadId())) + "/" + Dec(static_cast<int>(GetCurrentProcessId())) + ")][" +
           prefix + message + "]-->\r\n";
}

// Replaces every well-formed record time by T's; a malformed one stays and
// makes the comparison fail.
std::string MaskTimes(std::string text)
{
    const char shape[] = "dddd-dd-dd dd:dd:dd:ddd";
    for (std::size_t at = text.find("<!--["); at != std::string::npos; at = text.find("<!--[", at + 1)) {
        std::size_t t = at + 5;
        if (t + 23 > text.size())
            break;
        bool ok = true;
        for (std::size_t i = 0; i < 23; ++i)
            ok = ok && (shape[i] == 'd' ? (text[t + i] >= '0' && text[t + i] <= '9') : text[t + i] == shape[i]);
        if (ok)
            text.replace(t, 23, 23, 'T');
    }
    return text;
}

// Splits a log's text into records at their closing; the last piece is what
// follows the final closing (empty for a clean file).
std::vector<std::string> SplitRecords(const std::string& text, std::string* rest)
{
    std::vector<std::string> records;
    std::size_t from = 0;
    for (std::size_t end; (end = text.find("]-->\r\n", from)) != std::string::npos; from = end + 6)
        records.push_back(text.substr(from, end + 6 - from));
    *rest = text.substr(from);
    return records;
}

// Which of the four probe messages a log holds: E(rror) I(nfo) N (Enter) L(eave).
void ProbeLevels(CTraceLog& log)
{
    log.Log(TRACE_ERROR, "probe error");
    log.Log(TRACE_INFO, "probe info");
    log.Log(TRACE_ENTER, "probe enter");
    log.Log(TRACE_LEAVE, "probe leave");
}

std::string WrittenLevels(const std::string& text)
{
    std::string s;
    if (text.find("[Error = probe error]") != std::string::npos)
        s += 'E';
    if (text.find("[INFO = probe info]") != std::string::npos)
        s += 'I';
    if (text.find("[Enter = probe enter]") != std::string::npos)
        s += 'N';
    if (text.find("[Leave = probe leave]") != std::string::npos)
        s += 'L';
    return s;
}

} // namespace

TEST(TraceLog, RecordBytes)
{
    TraceFiles f("bytes");
    CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "LogSwitch");
    ASSERT_TRUE(log.IsOpen());
    EXPECT_EQ(f.Path(), log.LogFile());
    std::string expect;

    auto localNow = [] {
        SYSTEMTIME st;
        GetLocalTime(&st);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d:%03d", st.wYear, st.wMonth, st.wDay, st.wHour,
                      st.wMinute, st.wSecond, st.wMilliseconds);
        return std::string(buf);
    };
    std::string earliest = localNow();
    log.Log(TRACE_INFO, "before %s", "location");
    std::string latest = localNow();
    std::string stamped = test_support::ReadFile(f.Path()).substr(5, 23);
    EXPECT_LE(earliest, stamped) << "local time with milliseconds";
    EXPECT_GE(latest, stamped);
    expect += Record("", 0, "INFO = ", "before location");

    log.SetLocation("C:\\src\\phone\\KexPhone", 39);
    struct Row {
        int level;
        const char* prefix; // nullptr: filtered out by the default mask 7
    } rows[] = {
        {TRACE_ERROR, "Error = "}, {TRACE_INFO, "INFO = "}, {TRACE_ENTER, "Enter = "}, {TRACE_LEAVE, "Leave = "},
        {TRACE_TCP, "TCP = "},     {TRACE_UDP, "UDP = "},   {0, nullptr},             {7, "INFO = "},
        {-1, "INFO = "},
    };
    for (const Row& r : rows) {
        log.Log(r.level, "%s.", "KexUsbPhone::Start");
        if (r.prefix)
            expect += Record("KexPhone", 39, r.prefix, "KexUsbPhone::Start.");
    }

    log.SetLocation("KexPhone", -2);
    log.Log(TRACE_INFO, "line1\r\nline2\nline3\r");
    expect += Record("KexPhone", -2, "INFO = ", "line1\r\nline2\nline3\r");
    log.Log(TRACE_ERROR, "%d|%5.2f|%s|%%|%c|%lld", -7, 3.14159, "", 'z', -9000000000LL);
    expect += Record("KexPhone", -2, "Error = ", "-7| 3.14||%|z|-9000000000");
    std::string big(5000, 'm'); // far beyond every fixed buffer
    log.Log(TRACE_ERROR, "%s", big.c_str());
    expect += Record("KexPhone", -2, "Error = ", big);
    log.Log(TRACE_ERROR, "%s", "");
    expect += Record("KexPhone", -2, "Error = ", "");

    // The last trailer reaches the disk only with the next flush or Close.
    std::string open = MaskTimes(test_support::ReadFile(f.Path()));
    log.Close();
    EXPECT_FALSE(log.IsOpen());
    std::string closed = MaskTimes(test_support::ReadFile(f.Path()));
    EXPECT_EQ(expect, closed);
    EXPECT_EQ(expect.substr(0, expect.size() - 6), open);
}

TEST(TraceLog, LongLocationsAreCutSafely)
{
    TraceFiles f("longloc");
    CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "LogSwitch");
    std::string noSlash(300, 'f');
    std::string deep = "C:\\" + std::string(300, 'd') + "\\KexPhone.cpp";
    log.SetLocation(noSlash.c_str(), 1);
    log.Log(TRACE_ERROR, "cut");
    log.SetLocation(deep.c_str(), 2);
    log.Log(TRACE_ERROR, "deep");
    log.SetLocation(nullptr, 3);
    log.Log(TRACE_ERROR, "null");
    log.Close();

    std::string rest;
    std::vector<std::string> records = SplitRecords(MaskTimes(test_support::ReadFile(f.Path())), &rest);
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("", rest);
    // The header (up to the prefix) holds 255 characters: the file part gives way.
    std::string ids = "(1)][(" + Dec(static_cast<int>(GetCurrentThreadId())) + "/" +
                      Dec(static_cast<int>(GetCurrentProcessId())) + ")][Error = ";
    std::string head = "<!--[" + std::string(23, 'T') + "][";
    EXPECT_EQ(head + std::string(255 - head.size() - ids.size(), 'f') + ids + "cut]-->\r\n", records[0]);
    EXPECT_EQ(Record("KexPhone.cpp", 2, "Error = ", "deep"), records[1]) << "the end of a long path is kept";
    EXPECT_EQ(Record("", 3, "Error = ", "null"), records[2]);
}

TEST(TraceLog, Settings)
{
    struct Row {
        const char* ini; // nullptr: no file at all
        const char* written;
        bool on;
        unsigned mask;
        int maxSize, action, saveCount;
    } rows[] = {
        {nullptr, "EINL", true, 7, 2097152, 2, 2},
        {"[Common]\n", "EINL", true, 7, 2097152, 2, 2},
        {"[Common]\nLogSwitch=0\n", "E", false, 7, 2097152, 2, 2},
        {"[Common]\nLogSwitch = 0 \n", "E", false, 7, 2097152, 2, 2},
        {"[Common]\nLogSwitch=false\n", "EINL", true, 7, 2097152, 2, 2},
        {"[Common]\nLogSwitch=off\n", "EINL", true, 7, 2097152, 2, 2},
        {"[Common]\nLogSwitch=00\n", "EINL", true, 7, 2097152, 2, 2},
        {"[Common]\nLogSwitch=\n", "EINL", true, 7, 2097152, 2, 2},
        {"[LOG]\nLogSwitch=0\n", "EINL", true, 7, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=1\n", "EN", true, 1, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=4\n", "EL", true, 4, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=1 or 2\n", "EIN", true, 3, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=1 or 4\n", "ENL", true, 5, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=0\n", "E", true, 0, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=none\n", "E", true, 0, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=7\n", "EINL", true, 7, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=1 or   or 2\n", "EIN", true, 3, 2097152, 2, 2},
        {"[Common]\nLogPrintLevel=8\n", "E", true, 8, 2097152, 2, 2},
        {"[Common]\nLogSwitch=0\nLogPrintLevel=0\n", "E", false, 0, 2097152, 2, 2},
        {"[Common]\nLogMaxSize=3\nAttachSizeAction=1\nSaveCount=5\n", "EINL", true, 7, 3145728, 1, 5},
        {"[Common]\nLogMaxSize=4096\nSaveCount=0\n", "EINL", true, 7, INT_MAX, 2, 2},
        // Emptied before every record: only the last one stays.
        {"[Common]\nLogMaxSize=x\nAttachSizeAction=0\nSaveCount=-4\n", "L", true, 7, 0, 0, 2},
    };
    int i = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.ini ? r.ini : "(no ini file)");
        TraceFiles f("settings" + Dec(i++));
        if (r.ini)
            f.WriteIni(r.ini);
        CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "LogSwitch");
        EXPECT_TRUE(Exists(f.Path())) << "created at construction whatever the switch says";
        EXPECT_EQ(r.on, log.Switch());
        EXPECT_EQ(r.mask, log.LevelMask());
        EXPECT_EQ(r.maxSize, log.MaxSize());
        EXPECT_EQ(r.action, log.AttachSizeAction());
        EXPECT_EQ(r.saveCount, log.SaveCount());
        ProbeLevels(log);
        log.Close();
        EXPECT_EQ(r.written, WrittenLevels(test_support::ReadFile(f.Path())));
    }
}

TEST(TraceLog, SectionAndSwitchKeyDefaults)
{
    TraceFiles f("keys");
    f.WriteIni("[LOG]\nLogSwitch=0\nSaveCount=9\n[Common]\nMySwitch=0\nSaveCount=4\n");
    {
        CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), nullptr, nullptr);
        EXPECT_FALSE(log.Switch()) << "no section: [LOG], no key: LogSwitch";
        EXPECT_EQ(9, log.SaveCount());
    }
    {
        CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "MySwitch");
        EXPECT_FALSE(log.Switch());
        EXPECT_EQ(4, log.SaveCount());
    }
    {
        CTraceLog log(f.log.c_str(), 2048, 2, f.ini.c_str(), "Common", "LogSwitch");
        EXPECT_TRUE(log.Switch());
        EXPECT_EQ(INT_MAX, log.MaxSize()) << "a limit beyond 2047 MiB is clamped";
    }
}

TEST(TraceLog, RotationAtEveryRecord)
{
    // LogMaxSize 0 (or below): every record first empties or rotates the file.
    struct Row {
        const char* ini;
        int action; // the constructor's
        std::map<std::string, std::vector<int>> files; // "" is the log itself
    } rows[] = {
        {"LogMaxSize=0\n", 2, {{"", {5}}, {"1", {4}}, {"2", {3}}}},
        {"LogMaxSize=-1\n", 2, {{"", {5}}, {"1", {4}}, {"2", {3}}}},
        {"LogMaxSize=0\nSaveCount=1\n", 2, {{"", {5}}, {"1", {4}}}},
        {"LogMaxSize=0\nSaveCount=0\n", 2, {{"", {5}}, {"1", {4}}, {"2", {3}}}},
        {"LogMaxSize=0\nSaveCount=4\n", 2, {{"", {5}}, {"1", {4}}, {"2", {1}}, {"3", {2}}, {"4", {3}}}},
        {"LogMaxSize=0\nAttachSizeAction=0\n", 2, {{"", {5}}}},
        {"LogMaxSize=0\n", 0, {{"", {5}}}},
        {"LogMaxSize=0\nAttachSizeAction=3\n", 2, {{"", {1, 2, 3, 4, 5}}}},
        {"LogMaxSize=0\nAttachSizeAction=-1\n", 2, {{"", {1, 2, 3, 4, 5}}}},
        {"LogMaxSize=1\n", 2, {{"", {1, 2, 3, 4, 5}}}},
    };
    int i = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.ini) + "action " + Dec(r.action));
        TraceFiles f("rotate" + Dec(i++));
        f.WriteIni(std::string("[Common]\n") + r.ini);
        CTraceLog::s_backupIndex = 0;
        CTraceLog log(f.log.c_str(), 2, r.action, f.ini.c_str(), "Common", "LogSwitch");
        log.SetLocation("Rotate", 1);
        for (int n = 1; n <= 5; ++n)
            log.Log(TRACE_ERROR, "record %d", n);
        log.Close();

        std::vector<std::string> present = LogFilesMatching("*" + f.log);
        EXPECT_EQ(r.files.size(), present.size());
        for (const auto& [tag, numbers] : r.files) {
            SCOPED_TRACE("file [" + tag + "]");
            std::string expect;
            for (int n : numbers)
                expect += Record("Rotate", 1, "Error = ", "record " + Dec(n));
            EXPECT_EQ(expect, MaskTimes(test_support::ReadFile(f.Path(tag))));
        }
    }
}

TEST(TraceLog, TimeStampedBackupsAreNeverReplaced)
{
    // Every record rotates: many backups fall into one second, three and more
    // in at least one of them. No backup name is given twice, so none replaces
    // another: not where the logger made them, and not in a folder that a
    // collector moves each backup to as soon as it appears, keeping one file
    // a name.
    const struct {
        const char* what;
        const char* tag;
        bool collect;
    } rows[] = {
        {"the backups stay beside the log", "stamped", false},
        {"a collector takes each backup away at once", "stampedaway", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TraceFiles f(row.tag);
        const std::string collected = LogDir() + "trace_" + row.tag + "_collected\\";
        test_support::RemoveTree(collected);
        ASSERT_TRUE(CreateDirectoryA(collected.c_str(), nullptr));
        const std::string backupDir = row.collect ? collected : LogDir();
        f.WriteIni("[Common]\nLogMaxSize=0\nAttachSizeAction=1\n");
        CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "LogSwitch");
        SYSTEMTIME before;
        GetLocalTime(&before);
        log.SetLocation("Stamp", 7);
        const int kRecords = 42;
        for (int n = 1; n <= kRecords; ++n) {
            log.Log(TRACE_ERROR, "record %d", n); // moves the file before it aside
            if (!row.collect)
                continue;
            for (const std::string& name : LogFilesMatching("??????????*_" + f.log))
                ASSERT_TRUE(MoveFileExA((LogDir() + name).c_str(), (collected + name).c_str(), MOVEFILE_REPLACE_EXISTING))
                    << name;
        }
        log.Close();

        EXPECT_EQ(Record("Stamp", 7, "Error = ", "record " + Dec(kRecords)), MaskTimes(test_support::ReadFile(f.Path())));
        std::vector<std::string> backups = FilesMatching(backupDir, "??????????*_" + f.log);
        std::sort(backups.begin(), backups.end());
        ASSERT_EQ(static_cast<std::size_t>(kRecords), backups.size()) << "the empty file and every record but the last";
        char monthDay[8];
        std::snprintf(monthDay, sizeof monthDay, "%02d%02d", before.wMonth, before.wDay);
        bool thirdInASecond = false;
        for (int i = 0; i < kRecords; ++i) {
            const std::string& name = backups[i];
            SCOPED_TRACE(name);
            EXPECT_EQ(std::string::npos, name.substr(0, 10).find_first_not_of("0123456789"));
            EXPECT_EQ(monthDay, name.substr(0, 4)) << "month and day, no year";
            const std::string rest = name.substr(10, name.size() - 10 - f.log.size());
            EXPECT_TRUE(rest == "_" || (rest.size() == 5 && rest[0] == '~' && rest[4] == '_')) << "stamp, ~NNN for a later one";
            thirdInASecond = thirdInASecond || rest == "~002_";
            EXPECT_EQ(i == 0 ? std::string() : Record("Stamp", 7, "Error = ", "record " + Dec(i)),
                      MaskTimes(test_support::ReadFile(backupDir + name)));
        }
        EXPECT_TRUE(thirdInASecond) << "no second held three backups: the case was not tested";
        test_support::RemoveTree(collected);
    }
}

TEST(TraceLog, TimeStampedBackupKeepsAnExistingFileOfItsName)
{
    // A backup of the same second made by another process stays as it is.
    TraceFiles f("stampedother");
    f.WriteIni("[Common]\nLogMaxSize=0\nAttachSizeAction=1\n");
    CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "LogSwitch");
    log.SetLocation("Stamp", 8);
    log.Log(TRACE_ERROR, "mine"); // the empty file becomes the first backup of this second
    // Another process's backups for this second and the next few take the
    // names that ours would have next.
    std::vector<std::string> ours = LogFilesMatching("??????????*_" + f.log);
    ASSERT_EQ(1u, ours.size());
    const std::string stamp = ours[0].substr(0, 10);
    std::vector<std::string> theirs;
    for (int second = 0; second < 3; ++second) {
        char next[16];
        std::snprintf(next, sizeof next, "%010llu", std::stoull(stamp) + second);
        for (const char* suffix : {"", "~001", "~002"})
            theirs.push_back(std::string(next) + suffix + "_" + f.log);
    }
    for (const std::string& name : theirs)
        if (name != ours[0])
            WriteFile(LogDir() + name, "theirs");
    log.Log(TRACE_ERROR, "after");
    log.Close();
    for (const std::string& name : theirs) {
        if (name != ours[0]) {
            EXPECT_EQ("theirs", test_support::ReadFile(LogDir() + name)) << name;
        }
    }
    std::vector<std::string> all = LogFilesMatching("??????????*_" + f.log);
    EXPECT_EQ(theirs.size() + 1, all.size()) << "\"mine\" went to a free name";
    bool found = false;
    for (const std::string& name : all)
        found = found || MaskTimes(test_support::ReadFile(LogDir() + name)) == Record("Stamp", 8, "Error = ", "mine");
    EXPECT_TRUE(found);
}

TEST(TraceLog, RotatesWhenAnotherWriterFillsTheFile)
{
    TraceFiles f("shared");
    CTraceLog::s_backupIndex = 0;
    CTraceLog log(f.log.c_str(), 1, 2, f.ini.c_str(), "Common", "LogSwitch");
    log.SetLocation("Shared", 1);
    log.Log(TRACE_ERROR, "ours before");

    // Another writer (as another process would) appends a mebibyte.
    HANDLE other = CreateFileA(f.Path().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    std::string block(1048576, 'x');
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(other, block.data(), static_cast<DWORD>(block.size()), &written, nullptr));
    CloseHandle(other);

    log.Log(TRACE_ERROR, "ours after");
    log.Close();
    EXPECT_EQ(Record("Shared", 1, "Error = ", "ours after"), MaskTimes(test_support::ReadFile(f.Path())));
    // Our unflushed trailer lands after the other writer's bytes.
    std::string backup = test_support::ReadFile(f.Path("1"));
    EXPECT_TRUE(backup.find(block) != std::string::npos) << "backup of " << backup.size() << " bytes";
    EXPECT_EQ(0u, MaskTimes(backup).find(Record("Shared", 1, "Error = ", "ours before").substr(0, 40)));
}

TEST(TraceLog, FailedMoveKeepsTheFileAndTriesTheNextIndex)
{
    TraceFiles f("locked");
    f.WriteIni("[Common]\nLogMaxSize=0\n");
    WriteFile(f.Path("1"), "locked backup");
    HANDLE lock = CreateFileA(f.Path("1").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    CTraceLog::s_backupIndex = 0;
    CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "LogSwitch");
    log.SetLocation("Locked", 1);
    log.Log(TRACE_ERROR, "one"); // move to 1_ fails: the empty file stays
    log.Log(TRACE_ERROR, "two"); // moves "one" to 2_
    CloseHandle(lock);
    log.Close();
    EXPECT_EQ("locked backup", test_support::ReadFile(f.Path("1")));
    EXPECT_EQ(Record("Locked", 1, "Error = ", "one"), MaskTimes(test_support::ReadFile(f.Path("2"))));
    EXPECT_EQ(Record("Locked", 1, "Error = ", "two"), MaskTimes(test_support::ReadFile(f.Path())));
}

TEST(TraceLog, FourThreadsThroughRotations)
{
    TraceFiles f("threads");
    f.WriteIni("[Common]\nSaveCount=50\n");
    CTraceLog::s_backupIndex = 0;
    CTraceLog log(f.log.c_str(), 1, 2, f.ini.c_str(), "Common", "LogSwitch");
    constexpr int kThreads = 4, kRecords = 400;
    auto payload = [](int t, int i) { return std::string(3000 + (i % 50), static_cast<char>('a' + (t * 7 + i) % 26)); };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRecords; ++i) {
                log.SetLocation("Thread", t);
                log.Log(TRACE_INFO, "T%d-%04d-%s", t, i, payload(t, i).c_str());
            }
        });
    for (std::thread& th : threads)
        th.join();
    log.Close();

    std::map<std::string, int> seen;
    std::size_t maxRecord = 0;
    std::vector<std::pair<std::string, std::size_t>> sizes;
    for (int k = 0; k <= 50; ++k) {
        std::string path = f.Path(k ? Dec(k) : "");
        if (!Exists(path))
            continue;
        SCOPED_TRACE(path);
        std::string text = test_support::ReadFile(path), rest;
        sizes.emplace_back(path, text.size());
        for (const std::string& rec : SplitRecords(text, &rest)) {
            maxRecord = std::max(maxRecord, rec.size());
            std::size_t at = rec.find("][INFO = T");
            ASSERT_NE(std::string::npos, at) << rec.substr(0, 120);
            ASSERT_EQ(0u, MaskTimes(rec).find("<!--[" + std::string(23, 'T') + "][Thread("));
            int t = -1, i = -1;
            ASSERT_EQ(2, std::sscanf(rec.c_str() + at + 10, "%d-%d-", &t, &i));
            std::string key = "T" + Dec(t) + "-" + Dec(i);
            std::size_t body = rec.find('-', rec.find('-', at + 10) + 1) + 1;
            EXPECT_EQ(payload(t, i) + "]-->\r\n", rec.substr(body)) << key << " is whole";
            ++seen[key];
        }
        EXPECT_EQ("", rest) << "only whole records";
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kRecords), seen.size());
    for (const auto& [key, count] : seen)
        EXPECT_EQ(1, count) << key;
    ASSERT_GE(sizes.size(), 5u) << "about 5 MB through a 1 MiB limit rotates several times";
    for (const auto& [path, size] : sizes)
        EXPECT_LE(size, 1048576u + maxRecord) << path << ": at most the limit plus one record";
}

TEST(TraceLog, SwitchMaskAndOtherOperations)
{
    TraceFiles f("ops");
    TraceFiles other("ops_other");
    CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "LogSwitch");
    log.SetLocation("Ops", 5);
    log.SetSwitch(false);
    log.Log(TRACE_INFO, "off info");
    log.Log(TRACE_ERROR, "off error");
    log.SetSwitch(true);
    log.AddLevel(4);
    EXPECT_EQ(4u, log.LevelMask());
    log.Log(TRACE_INFO, "mask4 info");
    log.Log(TRACE_LEAVE, "mask4 leave");
    log.ParseLevels("1 or 2");
    EXPECT_EQ(7u, log.LevelMask());
    log.ParseLevels("2");
    EXPECT_EQ(2u, log.LevelMask());
    log.AddLevel(7);
    log.LogInfo("info %d", 1);
    log.LogW(TRACE_ENTER, L"wide %d %s", 5, "narrow");
    log.LogInfoW(L"caf\u00e9");
    char ansi[8] = {};
    WideCharToMultiByte(CP_ACP, 0, L"caf\u00e9", -1, ansi, sizeof ansi, nullptr, nullptr);

    // A new name takes effect only at the next Open.
    std::string otherPath = other.Path();
    WriteFile(otherPath, "stale");
    log.SetLogFile(otherPath.c_str());
    EXPECT_EQ(otherPath, log.LogFile());
    log.SetLogFile(std::string(300, 'p').c_str());
    EXPECT_EQ(otherPath, log.LogFile()) << "a path that does not fit is refused";
    log.SetLogFile(nullptr);
    EXPECT_EQ(otherPath, log.LogFile());
    log.Log(TRACE_ERROR, "still the first file");
    log.DeleteLogFile();
    EXPECT_FALSE(Exists(otherPath));
    ASSERT_NE(nullptr, log.Open());
    EXPECT_TRUE(log.IsOpen());
    log.Log(TRACE_ERROR, "now the other file");
    log.Close();

    EXPECT_EQ(Record("Ops", 5, "Error = ", "off error") + Record("Ops", 5, "Leave = ", "mask4 leave") +
                  Record("Ops", 5, "INFO = ", "info 1") + Record("Ops", 5, "Enter = ", "wide 5 narrow") +
                  Record("Ops", 5, "INFO = ", ansi) + Record("Ops", 5, "Error = ", "still the first file"),
              MaskTimes(test_support::ReadFile(f.Path())));
    EXPECT_EQ(Record("Ops", 5, "Error = ", "now the other file"), MaskTimes(test_support::ReadFile(otherPath)));
}

TEST(TraceLog, AfterCloseEverythingIsHarmless)
{
    TraceFiles f("closed");
    CTraceLog log(f.log.c_str(), 2, 2, f.ini.c_str(), "Common", "LogSwitch");
    log.Log(TRACE_ERROR, "before close");
    log.Close();
    log.Close();
    log.SetLocation("After", 1);
    log.Log(TRACE_ERROR, "after close");
    log.LogW(TRACE_ERROR, L"after close");
    log.AddLevel(2);
    log.SetSwitch(true);
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(Record("", 0, "Error = ", "before close"), MaskTimes(test_support::ReadFile(f.Path())));
}

TEST(TraceLog, LogNameThatDoesNotFitIsRefusedButLongPathsAreNot)
{
    std::string name(300, 'n');
    CTraceLog refused(name.c_str(), 2, 2, "trace_refused.ini", "Common", "LogSwitch");
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_STREQ("", refused.LogFile());
    refused.SetLocation("Refused", 1);
    refused.Log(TRACE_ERROR, "dropped");
    EXPECT_TRUE(LogFilesMatching("nnnn*").empty());

    // A name that fits alone but not with the directory within MAX_PATH.
    std::string nearly(260 - (ExeDir() + "log\\").size(), 'n');
    {
        CTraceLog log(nearly.c_str(), 2, 2, "trace_refused.ini", "Common", "LogSwitch");
        EXPECT_TRUE(log.IsOpen());
        EXPECT_EQ(LogDir() + nearly, log.LogFile());
        log.SetLocation("Long", 1);
        log.Log(TRACE_ERROR, "kept");
        log.Close();
        log.DeleteLogFile();
    }
    EXPECT_TRUE(LogFilesMatching("nnnn*").empty()) << "deleted through its long path";
}

TEST(TraceLog, CreateDir)
{
    std::string base = LogDir() + "trace_dir_test";
    RemoveDirectoryA((base + "\\inner").c_str());
    RemoveDirectoryA(base.c_str());
    EXPECT_TRUE(CTraceLog::CreateDir(base.c_str()));
    EXPECT_TRUE(Exists(base));
    EXPECT_TRUE(CTraceLog::CreateDir(base.c_str())) << "already there";
    EXPECT_FALSE(CTraceLog::CreateDir((base + "\\missing\\inner").c_str())) << "one level only";
    EXPECT_FALSE(CTraceLog::CreateDir(nullptr));
    EXPECT_FALSE(CTraceLog::CreateDir(""));
    RemoveDirectoryA(base.c_str());
}

namespace {
// The component's logger may be rotated by other programs beside this one.
std::string ComponentLogText()
{
    std::string dir = LogDir();
    return test_support::ReadFile(dir + "KexUSBPhone.log") + test_support::ReadFile(dir + "1_KexUSBPhone.log") + test_support::ReadFile(dir + "2_KexUSBPhone.log");
}

// Leaves through an exception: the scope still writes its Leave record.
void ScopedThrow(const char* name, int* line)
{
    *line = __LINE__; KEX_TRACE_SCOPE(name);
    throw 1;
}
} // namespace

TEST(TraceLog, ComponentLoggerAndTraceHelpers)
{
    EXPECT_EQ(LogDir() + ".\\KexUSBPhone.log", g_traceLog.LogFile());
    ASSERT_TRUE(g_traceLog.IsOpen());
    // Whatever the ini beside this program says: everything on.
    g_traceLog.SetSwitch(true);
    g_traceLog.AddLevel(7);

    std::string marker = "marker " + Dec(GetCurrentProcessId()) + "-" + Dec(GetTickCount());
    int line = __LINE__; KEX_ERROR("%s.", marker.c_str());
    int namedLine = TraceFromNamedFile((marker + " named").c_str());
    std::string name = "Test::" + Dec(GetCurrentProcessId()) + "-" + Dec(GetTickCount());
    int enterLine = __LINE__; KEX_ENTER(name.c_str());
    int leaveLine = __LINE__; KEX_LEAVE(name.c_str());
    int twiceEnter[2], twiceLeave[2], voidLeave;
    EXPECT_EQ(-1, TracedTwice(-3, &twiceEnter[0], &twiceLeave[0]));
    EXPECT_EQ(8, TracedTwice(4, &twiceEnter[1], &twiceLeave[1]));
    TracedVoid(&voidLeave);
    EXPECT_NE(twiceLeave[0], twiceLeave[1]);
    std::string scoped = name + "::Scoped";
    int scopeLine = 0;
    EXPECT_THROW(ScopedThrow(scoped.c_str(), &scopeLine), int);

    std::string ids = "[(" + Dec(static_cast<int>(GetCurrentThreadId())) + "/" +
                      Dec(static_cast<int>(GetCurrentProcessId())) + ")]";
    auto at = [&](const std::string& file, int l, const std::string& message) {
        return "][" + file + "(" + Dec(l) + ")]" + ids + "[" + message;
    };
    std::string text = ComponentLogText();
    struct Row {
        std::string expect;
    } rows[] = {
        {at("test_trace_log.cpp", line, "Error = " + marker + ".]-->")},
        {at("AdapterManager", namedLine, "Error = " + marker + " named]-->")},
        {at("test_trace_log.cpp", enterLine, "Enter = " + name + ".]-->")},
        {at("test_trace_log.cpp", leaveLine, "Leave = " + name + ".]-->")},
        {at("AdapterManager", twiceEnter[0], "Enter = Named::TracedTwice.]-->")},
        {at("AdapterManager", twiceLeave[0], "Leave = Named::TracedTwice.]-->")},
        {at("AdapterManager", twiceLeave[1], "Leave = Named::TracedTwice.]")},
        {at("AdapterManager", voidLeave, "Leave = Named::TracedVoid.")},
        {at("test_trace_log.cpp", scopeLine, "Enter = " + scoped + ".]-->")},
        {at("test_trace_log.cpp", scopeLine, "Leave = " + scoped + ".")},
    };
    for (const Row& r : rows)
        EXPECT_NE(std::string::npos, text.find(r.expect)) << r.expect;
}

TEST(TraceLog, LoadCreatesDirectoryAndFileEvenWhenSwitchedOff)
{
    // A copy of this program in a fresh directory, with the log switched off
    // there, runs no test: loading alone must create log\KexUSBPhone.log.
    char tmp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, tmp));
    std::string dir =
        std::string(tmp) + "kex_trace_load_" + Dec(GetCurrentProcessId()) + "_" + Dec(GetTickCount()) + "\\";
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string exe = dir + "trace_copy.exe";
    ASSERT_TRUE(CopyFileA(self, exe.c_str(), FALSE));
    WriteFile(dir + "USBPhone.ini", "[Common]\r\nLogSwitch=0\r\n");

    std::string cmd = "\"" + exe + "\" --gtest_filter=NoTestAtAll";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, dir.c_str(),
                               &si, &pi));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 60000));
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(0u, code);

    std::string log = dir + "log\\KexUSBPhone.log";
    EXPECT_TRUE(Exists(dir + "log"));
    EXPECT_TRUE(Exists(log));
    EXPECT_EQ("", test_support::ReadFile(log));
    DeleteFileA(log.c_str());
    RemoveDirectoryA((dir + "log").c_str());
    DeleteFileA((dir + "USBPhone.ini").c_str());
    // The finished child's image may stay busy for a moment.
    for (int i = 0; i < 100 && Exists(dir); ++i) {
        DeleteFileA(exe.c_str());
        if (!RemoveDirectoryA(dir.c_str()))
            Sleep(20);
    }
}

namespace {
std::wstring LongForm(const std::wstring& path) { return L"\\\\?\\" + path; }

bool WriteFileW(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(LongForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

std::string ReadFileW(const std::wstring& path)
{
    std::string out;
    HANDLE h = CreateFileW(LongForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return out;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        out.append(buf, n);
    CloseHandle(h);
    return out;
}

// Runs the copy of this program at exe with the records test below; its
// exit code, or ~0u when it could not be run.
DWORD RunChild(const std::wstring& exe, const std::wstring& cwd)
{
    std::wstring cmd = L"\"" + exe + L"\" --gtest_also_run_disabled_tests --gtest_filter=TraceLog.DISABLED_ChildRecords";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, cwd.c_str(), &si,
                        &pi)) {
        ADD_FAILURE() << "CreateProcessW: " << GetLastError();
        return ~0u;
    }
    DWORD code = ~0u;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}
} // namespace

// Run only as a child of the test below: one record that the switch lets
// through and one that is written even when the log is off.
TEST(TraceLog, DISABLED_ChildRecords)
{
    KEX_INFO("child info record.");
    KEX_ERROR("child error record.");
}

TEST(TraceLog, HostInAnyFolderAndLongPath)
{
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    const std::wstring base =
        std::wstring(temp) + L"kex_trace_paths_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
        std::to_wstring(GetTickCount());
    // A program can only be started from a path shorter than MAX_PATH; "t.exe"
    // in a directory of 250 characters leaves its ini and its log over it.
    const std::wstring named = base + L"\\T\u00e9l\u00e9phone \u260e";
    auto longDir = [&](wchar_t fill) { return named + L"\\" + std::wstring(249 - named.size() - 1, fill); };
    const struct {
        const char* what;
        std::wstring dir;
        const char* ini; // the host's USBPhone.ini
        bool info;       // whether the info record is expected in the log itself
        bool rotates;    // every record moves the log before it aside
    } cases[] = {
        {"T\u00e9l\u00e9phone \u260e", named, "[Common]\r\nLogSwitch=1\r\n", true, false},
        {"T\u00e9l\u00e9phone \u260e, switched off", named + L" 0", "[Common]\r\nLogSwitch=0\r\n", false, false},
        {"ini and log longer than MAX_PATH", longDir(L'd'), "[Common]\r\nLogSwitch=1\r\n", true, false},
        {"ini and log longer than MAX_PATH, switched off", longDir(L'f'), "[Common]\r\nLogSwitch=0\r\n", false,
         false},
        {"time-stamped backups longer than MAX_PATH", longDir(L's'),
         "[Common]\r\nLogSwitch=1\r\nLogMaxSize=0\r\nAttachSizeAction=1\r\n", false, true},
        {"numbered backups longer than MAX_PATH", longDir(L'n'),
         "[Common]\r\nLogSwitch=1\r\nLogMaxSize=0\r\nAttachSizeAction=2\r\n", false, true},
    };
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    const std::wstring self = kex::module_file_name<wchar_t>(nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (size_t at = base.size() + 1; at <= c.dir.size(); ++at) {
            if (at == c.dir.size() || c.dir[at] == L'\\')
                CreateDirectoryW(LongForm(c.dir.substr(0, at)).c_str(), nullptr);
        }
        const std::wstring dir = c.dir + L"\\";
        ASSERT_TRUE(CopyFileW(self.c_str(), LongForm(dir + L"t.exe").c_str(), FALSE)) << GetLastError();
        ASSERT_TRUE(WriteFileW(dir + L"USBPhone.ini", c.ini));

        EXPECT_EQ(0u, RunChild(dir + L"t.exe", base));

        const std::string text = ReadFileW(dir + L"log\\KexUSBPhone.log");
        EXPECT_NE(std::string::npos, text.find("child error record.")) << "log:\n" << text;
        EXPECT_EQ(c.info, text.find("child info record.") != std::string::npos) << "log:\n" << text;
        std::string backups;
        int backupCount = 0;
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW(LongForm(dir + L"log\\*_KexUSBPhone.log").c_str(), &fd);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                ++backupCount;
                backups += ReadFileW(dir + L"log\\" + fd.cFileName);
                DeleteFileW(LongForm(dir + L"log\\" + fd.cFileName).c_str());
            } while (FindNextFileW(find, &fd));
            FindClose(find);
        }
        if (c.rotates) {
            EXPECT_LE(2, backupCount) << "the file made at load and the info record's";
            EXPECT_NE(std::string::npos, backups.find("child info record.")) << "backups:\n" << backups;
        } else {
            EXPECT_EQ(0, backupCount);
        }
        DeleteFileW(LongForm(dir + L"log\\KexUSBPhone.log").c_str());
        RemoveDirectoryW(LongForm(dir + L"log").c_str());
        DeleteFileW(LongForm(dir + L"USBPhone.ini").c_str());
        // The finished child's image may stay busy for a while under load.
        for (int i = 0; i < 500 && !DeleteFileW(LongForm(dir + L"t.exe").c_str()); ++i)
            Sleep(20);
    }
    for (const auto& c : cases) {
        for (size_t at = c.dir.size(); at > base.size(); --at) {
            if (at == c.dir.size() || c.dir[at] == L'\\')
                RemoveDirectoryW(LongForm(c.dir.substr(0, at)).c_str());
        }
    }
    // Best effort: a leftover temporary folder says nothing about the log.
    RemoveDirectoryW(base.c_str());
}
