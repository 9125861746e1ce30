// The component's trace log: one record per call in "log\KexUSBPhone.log"
// beside the host's executable, with a level filter and size-based rotation.
#pragma once

#include <windows.h>

#include "win32/raii.h"
#include "log/TraceRules.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#ifdef __MINGW_PRINTF_FORMAT
#define KEX_PRINTF_LIKE(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define KEX_PRINTF_LIKE(f, a)
#endif

enum TraceLevel {
    TRACE_ERROR = 1, // written even when the log is switched off
    TRACE_INFO = 2,
    TRACE_ENTER = 3,
    TRACE_LEAVE = 4,
    TRACE_TCP = 5,
    TRACE_UDP = 6,
};

// Settings come from [section] of iniFile beside the process's executable;
// records go to logFile inside a "log" directory there. Logging never fails
// its caller. After Close every call is harmless and writes nothing.
class CTraceLog {
public:
    CTraceLog(const char* logFile, int maxSizeMiB, int attachSizeAction,
              const char* iniFile, const char* section, const char* switchKey);
    ~CTraceLog(); // Close()
    CTraceLog(const CTraceLog&) = delete;
    CTraceLog& operator=(const CTraceLog&) = delete;

    void SetLocation(const char* file, int line) noexcept;
    void Log(int level, const char* format, ...) noexcept KEX_PRINTF_LIKE(3, 4);
    void LogV(int level, const char* format, va_list args) noexcept;
    void LogInfo(const char* format, ...) noexcept KEX_PRINTF_LIKE(2, 3);
    void LogW(int level, const wchar_t* format, ...) noexcept;
    void LogInfoW(const wchar_t* format, ...) noexcept;
    void SetSwitch(bool on) noexcept;
    void AddLevel(int n) noexcept;
    void ParseLevels(const char* value) noexcept;
    void SetLogFile(const char* path) noexcept;
    FILE* Open() noexcept; // closes a stream that is already open first
    void DeleteLogFile() noexcept;
    void Close() noexcept;
    static bool CreateDir(const char* path) noexcept;

    // Read-only views for tests and diagnostics.
    // The log's path in the ANSI code page (diagnostics; the file itself is
    // reached through its UTF-16 path).
    const char* LogFile() const noexcept { return m_logFile.c_str(); }
    int MaxSize() const noexcept { return m_maxSize; }
    int AttachSizeAction() const noexcept { return m_attachSizeAction; }
    bool Switch() const noexcept { return m_switch != 0; }
    unsigned LevelMask() const noexcept { return m_levelMask; }
    int SaveCount() const noexcept { return m_saveCount; }
    bool IsOpen() const noexcept { return m_opened == 1; }
    // Whether a record of this level would pass the filter; lets a call site
    // skip setting its location (and the lock) for records that are dropped.
    bool Enabled(int level) const noexcept { return kex_log::Passes(level, m_switch, m_levelMask); }

    // Shared by every logger of the process; numbered backups only.
    static int s_backupIndex;

private:
    void ReadConfig(const char* name) noexcept;
    void SetPath(std::wstring path) noexcept;
    // source: the settings file, read key by key (TraceLog.cpp's ProfileSource).
    void ApplySettings(void* source) noexcept;
    void LogWV(int level, const wchar_t* format, va_list args) noexcept;
    void WriteRecord(const char* prefix, const char* format, va_list args) noexcept;
    void CheckSize() noexcept;
    void Rotate() noexcept;
    void MoveToStampedBackup() noexcept;
    long long FileLength() noexcept;
    FILE* OpenFile() noexcept;
    void CloseFile() noexcept;
    kex_log::LocalTime Now() noexcept;

    std::wstring m_path;   // the log's full path, UTF-16; empty: nothing is opened
    std::string m_logFile; // the same in the ANSI code page
    int m_maxSize;
    int m_attachSizeAction;
    unsigned char m_switch;
    unsigned m_levelMask;
    char m_locationFile[260];
    char m_iniFile[260];
    char m_section[260];
    char m_switchKey[260];
    int m_locationLine;
    int m_saveCount;
    FILE* m_file;
    unsigned char m_opened;
    kex::srwlock m_lock;
    bool m_closed = false; // after Close() records are dropped
    // Bytes written to the stream but not yet flushed (the last trailer):
    // the size check adds them to the length on disk.
    unsigned m_unflushed = 0;
    bool m_badLogFile = false; // the log path did not fit: nothing is opened
    // Local time of the last whole second seen, in UTC seconds (under m_lock).
    unsigned long long m_timeSecond = ~0ULL;
    SYSTEMTIME m_timeLocal = {};
    // Stamp and sequence of the last time-stamped backup (under m_lock): the
    // next one in the same second starts looking after it.
    char m_lastStamp[16] = {};
    int m_lastSequence = 0;
};

// The component's one logger.
extern CTraceLog g_traceLog;
