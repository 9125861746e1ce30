// BENCH P3 trace-record: records per second of a logger built like
// g_traceLog (default settings and mask, rotation included) divided by records
// per second of fwrite + fflush of the same bytes to a file of its own.
#include "log/TraceLog.h"
#include "tests/support/files.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string LogDir() { return test_support::ExeDirectory() + "log\\"; }

void RemoveLogs(const std::string& name)
{
    std::string dir = LogDir();
    DeleteFileA((dir + name).c_str());
    for (int i = 1; i <= 2; ++i)
        DeleteFileA((dir + std::to_string(i) + "_" + name).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    const char* flavour = argc > 1 ? argv[1] : "wine32";
    // Short alternating rounds: load on the machine hits both sides alike.
    const int kRecords = 1000;
    const int kRounds = 120;
    const std::string logName = "bench_trace.log";
    const std::string refPath = LogDir() + "bench_trace_ref.log";
    RemoveLogs(logName);
    DeleteFileA(refPath.c_str());

    // No such ini file: the defaults (2 MiB, numbered backups, mask 7).
    CTraceLog log(logName.c_str(), 2, 2, "bench_trace_absent.ini", "Common", "LogSwitch");
    if (!log.IsOpen()) {
        std::fprintf(stderr, "bench_trace: cannot open %s\n", log.LogFile());
        return 1;
    }

    // One record as the logger writes it, for the reference loop.
    log.SetLocation("KexPhone", 39);
    log.Log(TRACE_ENTER, "%s.", "KexUsbPhone::Start");
    log.Close();
    std::string record;
    if (FILE* f = std::fopen((LogDir() + logName).c_str(), "rb")) {
        char buf[512];
        record.assign(buf, std::fread(buf, 1, sizeof buf, f));
        std::fclose(f);
    }
    RemoveLogs(logName);
    if (record.empty())
        return 1;

    CTraceLog bench(logName.c_str(), 2, 2, "bench_trace_absent.ini", "Common", "LogSwitch");
    FILE* ref = std::fopen(refPath.c_str(), "ab");
    if (!ref)
        return 1;

    double totalLog = 0, totalRef = 0;
    for (int round = 0; round < kRounds; ++round) {
        double t0 = test_support::Seconds();
        for (int i = 0; i < kRecords; ++i) {
            std::fwrite(record.data(), 1, record.size(), ref);
            std::fflush(ref);
        }
        double t1 = test_support::Seconds();
        for (int i = 0; i < kRecords; ++i) {
            bench.SetLocation("KexPhone", 39);
            bench.Log(TRACE_ENTER, "%s.", "KexUsbPhone::Start");
        }
        double t2 = test_support::Seconds();
        totalRef += t1 - t0;
        totalLog += t2 - t1;
    }
    std::fclose(ref);
    bench.Close();
    RemoveLogs(logName);
    DeleteFileA(refPath.c_str());

    double logRate = kRounds * kRecords / totalLog, refRate = kRounds * kRecords / totalRef;
    std::printf("BENCH P3 trace-record ratio=%.2f (%s: logger %.0f records/s, fwrite+fflush %.0f records/s, "
                "%u-byte records, %d alternating rounds of %d, rotation included)\n",
                logRate / refRate, flavour, logRate, refRate, static_cast<unsigned>(record.size()), kRounds,
                kRecords);
    return 0;
}
