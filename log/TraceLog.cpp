// CTraceLog: the settings from the host's ini, the record on disk, and the
// emptying or rotation of the file at its size limit.
#include "log/TraceLog.h"

#include "win32/path.h"
#include "win32/text.h"
#include "log/TraceRules.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>

int CTraceLog::s_backupIndex = 0;

namespace {

// The host's settings file. Where its path fits the profile functions, they
// read it (UTF-16 files included); a longer path they cannot reach, so the
// text is read here and parsed by the same rules.
struct ProfileSource {
    std::wstring path; // empty: use text
    std::string text;
    const char* section;
};

void ReadProfileKey(void* ctx, const char* key, char* out)
{
    auto* src = static_cast<ProfileSource*>(ctx);
    if (src->path.empty()) {
        kex_log::ProfileValue(src->text, src->section, key, out);
        return;
    }
    wchar_t value[kex_log::kTextSize];
    GetPrivateProfileStringW(kex::widen(src->section).c_str(), kex::widen(key).c_str(), L"", value, kex_log::kTextSize,
                             src->path.c_str());
    const std::string narrow = kex::narrow(value);
    const std::size_t n = narrow.size() < kex_log::kTextSize ? narrow.size() : kex_log::kTextSize - 1;
    std::memcpy(out, narrow.data(), n);
    out[n] = '\0';
}

// The first 64 KiB of a small configuration file ("" when it cannot be read).
std::string ReadConfigText(const std::wstring& path)
{
    std::string text;
    kex::unique_file file(CreateFileW(kex::long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return text;
    text.resize(64 * 1024);
    DWORD n = 0;
    if (!ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &n, nullptr))
        n = 0;
    text.resize(n);
    return text;
}

bool CreateDirW(const std::wstring& path) noexcept
{
    if (path.empty())
        return false;
    const std::wstring full = kex::long_path(path);
    if (GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    return CreateDirectoryW(full.c_str(), nullptr) != 0;
}

// Opens path for appending in binary mode, creating it when missing, like
// fopen(path, "ab"), but through a handle with append-only access: the system
// then appends every write at the end of the file, even when another process
// appends too, so the runtime does not have to seek before each write. The
// handle is not inherited, so a child of the host cannot keep the log open
// and block its rotation.
FILE* OpenAppend(const std::wstring& name) noexcept
{
    const wchar_t* path = name.c_str();
    HANDLE h = CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        return _wfopen(path, L"ab");
    }
    FILE* f = _fdopen(fd, "ab");
    if (!f) {
        _close(fd);
        return _wfopen(path, L"ab");
    }
    return f;
}

} // namespace

CTraceLog::CTraceLog(const char* logFile, int maxSizeMiB, int attachSizeAction, const char* iniFile,
                     const char* section, const char* switchKey)
    : m_file(nullptr)
{
    // A log name that does not fit would be cut into another file's name.
    m_badLogFile = !logFile || std::strlen(logFile) >= kex_log::kTextSize;
    kex_log::CopyText(m_section, sizeof m_section, section);
    kex_log::CopyText(m_switchKey, sizeof m_switchKey, switchKey);
    m_maxSize = kex_log::MiBToBytes(maxSizeMiB);
    m_attachSizeAction = attachSizeAction;
    m_switch = 1;
    m_opened = 0;
    m_levelMask = 7;
    m_locationFile[0] = '\0';
    kex_log::CopyText(m_iniFile, sizeof m_iniFile, iniFile);
    m_locationLine = 0;
    m_saveCount = 2;
    ReadConfig(logFile);
    OpenFile();
}

CTraceLog::~CTraceLog()
{
    Close();
}

void CTraceLog::ReadConfig(const char* name) noexcept
{
    // Every path is UTF-16 and may be longer than MAX_PATH: a host in a
    // folder named in any language, or deep, still gets its log.
    try {
        const std::wstring dir = kex::module_directory<wchar_t>(nullptr);
        if (dir.empty())
            return; // no usable directory: defaults stand, nothing is opened

        CreateDirW(dir + L"log");
        if (!m_badLogFile)
            SetPath(dir + L"log\\" + kex::widen(name));

        ProfileSource src{dir + kex::widen(m_iniFile), std::string(), m_section[0] ? m_section : "LOG"};
        if (src.path.size() >= MAX_PATH) {
            src.text = ReadConfigText(src.path);
            src.path.clear();
        }
        ApplySettings(&src);
    } catch (...) {
        // Out of memory: defaults stand.
    }
}

void CTraceLog::ApplySettings(void* source) noexcept
{
    kex_log::Settings s;
    s.on = m_switch;
    s.mask = m_levelMask;
    s.maxSize = m_maxSize;
    s.action = m_attachSizeAction;
    s.saveCount = m_saveCount;
    kex_log::ApplyConfig(s, m_switchKey, ReadProfileKey, source);
    m_switch = s.on;
    m_levelMask = s.mask;
    m_maxSize = s.maxSize;
    m_attachSizeAction = s.action;
    m_saveCount = s.saveCount;
}

void CTraceLog::SetLocation(const char* file, int line) noexcept
{
    if (m_closed)
        return;
    auto hold = m_lock.lock_exclusive();
    // Keep the end of an over-long path: the file name is there.
    kex_log::CopyTail(m_locationFile, sizeof m_locationFile, file);
    m_locationLine = line;
}

void CTraceLog::Log(int level, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    LogV(level, format, args);
    va_end(args);
}

void CTraceLog::LogInfo(const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    LogV(TRACE_INFO, format, args);
    va_end(args);
}

void CTraceLog::LogV(int level, const char* format, va_list args) noexcept
{
    if (!kex_log::Passes(level, m_switch, m_levelMask))
        return;
    // After Close there is no file: the record is dropped.
    if (m_closed)
        return;
    auto hold = m_lock.lock_exclusive();
    WriteRecord(kex_log::LevelPrefix(level), format ? format : "", args);
}

void CTraceLog::LogW(int level, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    LogWV(level, format, args);
    va_end(args);
}

void CTraceLog::LogInfoW(const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    LogWV(TRACE_INFO, format, args);
    va_end(args);
}

void CTraceLog::LogWV(int level, const wchar_t* format, va_list args) noexcept
{
    if (!kex_log::Passes(level, m_switch, m_levelMask) || m_closed)
        return;
    std::string narrow;
    try {
        narrow = kex::narrow(format ? format : L"");
    } catch (...) {
        return; // out of memory: the record is dropped
    }
    LogV(level, narrow.c_str(), args);
}

kex_log::LocalTime CTraceLog::Now() noexcept
{
    // The local clock is converted once per second: within a second only the
    // milliseconds change, and the zone's bias is whole minutes.
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    unsigned long long ticks = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    unsigned long long second = ticks / 10000000;
    int ms = static_cast<int>(ticks / 10000 % 1000);
    if (second != m_timeSecond) {
        unsigned long long whole = second * 10000000;
        FILETIME utc{static_cast<DWORD>(whole), static_cast<DWORD>(whole >> 32)}, local;
        if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &m_timeLocal)) {
            SYSTEMTIME st;
            GetLocalTime(&st);
            return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
        }
        m_timeSecond = second;
    }
    const SYSTEMTIME& t = m_timeLocal;
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, ms};
}

void CTraceLog::WriteRecord(const char* prefix, const char* format, va_list args) noexcept
{
    CheckSize();
    int threadId = static_cast<int>(GetCurrentThreadId());
    int processId = static_cast<int>(GetCurrentProcessId());
    if (m_opened != 1)
        return;

    char timeText[kex_log::kTimeSize];
    kex_log::FormatTime(timeText, sizeof timeText, Now());
    char header[kex_log::kHeaderSize];
    std::size_t n = kex_log::FormatHeader(header, sizeof header, timeText, kex_log::BaseName(m_locationFile),
                                          m_locationLine, threadId, processId, prefix);
    // Header and message in one write when they fit a line buffer; a longer
    // message goes straight to the stream, whole.
    char line[1024];
    std::memcpy(line, header, n);
    va_list copy;
    va_copy(copy, args);
    int m = std::vsnprintf(line + n, sizeof line - n, format, copy);
    va_end(copy);
    if (m >= 0 && static_cast<std::size_t>(m) < sizeof line - n) {
        std::fwrite(line, 1, n + m, m_file);
    } else {
        std::fwrite(header, 1, n, m_file);
        std::vfprintf(m_file, format, args);
    }
    std::fflush(m_file);
    // The trailer goes out with the next flush (next record, rotation or Close).
    std::fwrite(kex_log::kTrailer, 1, kex_log::kTrailerLength, m_file);
    m_unflushed = kex_log::kTrailerLength;
}

long long CTraceLog::FileLength() noexcept
{
    // One query of the length on disk: another process appending to the same
    // file is seen too. Our own unflushed trailer is added on top.
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_file)));
    LARGE_INTEGER size;
    if (h != INVALID_HANDLE_VALUE && GetFileSizeEx(h, &size))
        return size.QuadPart + m_unflushed;
    if (std::fseek(m_file, 0, SEEK_END) != 0)
        return 0;
    long long end = _ftelli64(m_file);
    std::fseek(m_file, 0, SEEK_SET);
    m_unflushed = 0;
    return end < 0 ? 0 : end;
}

void CTraceLog::CheckSize() noexcept
{
    if (m_opened != 1)
        return;
    if (FileLength() < m_maxSize)
        return;
    if (m_attachSizeAction == 0) {
        CloseFile();
        DeleteFileW(kex::long_path(m_path).c_str());
        OpenFile();
        return;
    }
    Rotate();
}

void CTraceLog::Rotate() noexcept
{
    if (m_attachSizeAction == 1) {
        CloseFile();
        MoveToStampedBackup();
        OpenFile();
        return;
    }
    if (m_attachSizeAction != 2)
        return; // no backup: the file keeps growing
    // The index is shared by every logger of the process, each with its own
    // lock.
    int index = __atomic_load_n(&s_backupIndex, __ATOMIC_RELAXED), next;
    do
        next = index >= m_saveCount ? 1 : index + 1;
    while (!__atomic_compare_exchange_n(&s_backupIndex, &index, next, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
    char tag[16];
    std::snprintf(tag, sizeof tag, "%d", next);
    CloseFile();
    try {
        const std::wstring backup = kex_log::BackupPath(m_path, tag);
        MoveFileExW(kex::long_path(m_path).c_str(), kex::long_path(backup).c_str(), MOVEFILE_REPLACE_EXISTING);
    } catch (...) {
        // Out of memory: the file keeps growing until the next try.
    }
    OpenFile();
}

void CTraceLog::MoveToStampedBackup() noexcept
{
    // A time-stamped backup is never replaced, not even one that another
    // process made in the same second: the move fails on an existing name and
    // the next name of that second is tried.
    char stamp[16];
    kex_log::FormatStamp(stamp, sizeof stamp, Now());
    int sequence = std::strcmp(stamp, m_lastStamp) == 0 ? m_lastSequence + 1 : 0;
    for (; sequence <= kex_log::kLastStampSequence; ++sequence) {
        char tag[24];
        kex_log::FormatStampTag(tag, sizeof tag, stamp, sequence);
        BOOL moved;
        try {
            const std::wstring backup = kex_log::BackupPath(m_path, tag);
            moved = MoveFileExW(kex::long_path(m_path).c_str(), kex::long_path(backup).c_str(), 0);
        } catch (...) {
            return;
        }
        if (moved) {
            std::memcpy(m_lastStamp, stamp, sizeof m_lastStamp);
            m_lastSequence = sequence;
            return;
        }
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            return; // locked, say: the next record tries again
    }
    // Every name of this second is taken: the log grows until the next second.
}

FILE* CTraceLog::OpenFile() noexcept
{
    m_file = nullptr;
    if (!m_path.empty()) {
        try {
            m_file = OpenAppend(kex::long_path(m_path));
        } catch (...) {
        }
    }
    m_opened = m_file ? 1 : 0;
    m_unflushed = 0;
    return m_file;
}

void CTraceLog::CloseFile() noexcept
{
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
    m_opened = 0;
    m_unflushed = 0;
}

FILE* CTraceLog::Open() noexcept
{
    auto hold = m_lock.lock_exclusive();
    CloseFile(); // never leak a stream that is already open
    return OpenFile();
}

void CTraceLog::Close() noexcept
{
    // Runs at unload, when no other thread logs. The lock is not taken: at
    // process exit a thread killed inside Log may still own it.
    CloseFile();
    m_closed = true;
}

void CTraceLog::SetSwitch(bool on) noexcept
{
    auto hold = m_lock.lock_exclusive();
    m_switch = on ? 1 : 0;
}

void CTraceLog::AddLevel(int n) noexcept
{
    auto hold = m_lock.lock_exclusive();
    m_levelMask = kex_log::AddLevel(m_levelMask, n);
}

void CTraceLog::ParseLevels(const char* value) noexcept
{
    kex_log::SplitLevels(
        value, [](void* self, int n) { static_cast<CTraceLog*>(self)->AddLevel(n); }, this);
}

void CTraceLog::SetPath(std::wstring path) noexcept
{
    try {
        std::string narrow = kex::narrow(path);
        m_path.swap(path);
        m_logFile.swap(narrow);
    } catch (...) {
        m_path.clear();
        m_logFile.clear();
    }
}

void CTraceLog::SetLogFile(const char* path) noexcept
{
    if (!path || std::strlen(path) >= kex_log::kTextSize)
        return; // a cut path would name another file
    auto hold = m_lock.lock_exclusive();
    try {
        SetPath(kex::widen(path));
    } catch (...) {
        return;
    }
    m_badLogFile = false;
}

void CTraceLog::DeleteLogFile() noexcept
{
    auto hold = m_lock.lock_exclusive();
    if (m_path.empty())
        return;
    try {
        DeleteFileW(kex::long_path(m_path).c_str());
    } catch (...) {
    }
}

bool CTraceLog::CreateDir(const char* path) noexcept
{
    if (!path || !*path)
        return false;
    try {
        return CreateDirW(kex::widen(path));
    } catch (...) {
        return false;
    }
}
