// handset_ctl: sends control lines to a running virtual handset.
//
//   handset_ctl [--pipe NAME] [--wait MS] [LINE[, LINE...]]
//
// The words after the options form the lines, separated by commas:
//   handset_ctl key 5
//   handset_ctl plug in, pickup, keys 123#, hangup
// Without words, lines are read from standard input. Each line is answered
// by the handset with "ok" or "error: ..."; errors are printed.
// Exit status: 0 all lines accepted, 1 some line rejected, 2 no handset.
#include "win32/raii.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kDefaultPipe[] = "\\\\.\\pipe\\KexVirtualHandset";
// Another client is being served; that can take as long as its own waits, so
// a busy pipe is waited for at least this long.
constexpr DWORD kBusyWaitMs = 5000;
// How often a pipe that is not there yet is looked for.
constexpr DWORD kRetryMs = 100;

int Usage()
{
    std::fprintf(stderr,
                 "usage: handset_ctl [--pipe NAME] [--wait MS] [LINE[, LINE...]]\n"
                 "  LINE: plug in | plug out | key 5 | keys 123# | pickup | hangup | hold | mute |\n"
                 "        redial | ... | raw MSG [WPARAM [LPARAM]] | sleep MS | await COMMAND [MS]\n"
                 "  Without LINE, lines are read from standard input.\n"
                 "  --pipe  the handset's control pipe (default %s)\n"
                 "  --wait  how long to wait for the handset to appear (default 0 ms)\n",
                 kDefaultPipe);
    return 2;
}

// Opens the pipe, waiting up to `waitMs` for the handset to create it and
// for a busy pipe to become free.
kex::unique_file Connect(const std::string& name, DWORD waitMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        kex::unique_file pipe(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe)
            return pipe;
        DWORD err = GetLastError();
        DWORD waited = GetTickCount() - start;
        DWORD left = waited < waitMs ? waitMs - waited : 0;
        if (err == ERROR_PIPE_BUSY) {
            if (!WaitNamedPipeA(name.c_str(), left > kBusyWaitMs ? left : kBusyWaitMs))
                return {};
            continue;
        }
        if (left == 0)
            return {};
        // No event tells when another process creates a pipe: look again.
        Sleep(left < kRetryMs ? left : kRetryMs);
    }
}

bool SendLine(HANDLE pipe, const std::string& line, std::string& reply)
{
    std::string out = line + "\n";
    DWORD sent = 0;
    if (!WriteFile(pipe, out.data(), static_cast<DWORD>(out.size()), &sent, nullptr) || sent != out.size())
        return false;
    reply.clear();
    char c;
    DWORD got = 0;
    while (ReadFile(pipe, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n')
            return true;
        reply += c;
    }
    return false;
}

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

struct Options {
    std::string pipeName = kDefaultPipe;
    DWORD waitMs = 0;
    std::string words; // the words after the options, joined by spaces
};

// False when the usage is to be shown.
bool ParseOptions(int argc, char** argv, Options& options)
{
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pipe") == 0 && i + 1 < argc)
            options.pipeName = argv[++i];
        else if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc)
            options.waitMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return false;
        else
            break;
    }
    for (; i < argc; ++i)
        options.words += std::string(options.words.empty() ? "" : " ") + argv[i];
    return true;
}

// The words split at commas, or without words the lines of standard input.
std::vector<std::string> ControlLines(const std::string& words)
{
    std::vector<std::string> lines;
    if (words.empty()) {
        std::string line;
        while (std::getline(std::cin, line))
            lines.push_back(Trim(line));
        return lines;
    }
    size_t start = 0;
    for (;;) {
        size_t comma = words.find(',', start);
        lines.push_back(Trim(words.substr(start, comma - start)));
        if (comma == std::string::npos)
            return lines;
        start = comma + 1;
    }
}

// Sends each line and prints the handset's errors; the exit status.
int SendLines(HANDLE pipe, const std::vector<std::string>& lines)
{
    int rc = 0;
    for (const std::string& line : lines) {
        if (line.empty())
            continue;
        std::string reply;
        if (!SendLine(pipe, line, reply)) {
            std::fprintf(stderr, "handset_ctl: the handset went away at \"%s\"\n", line.c_str());
            return 2;
        }
        if (reply != "ok") {
            std::printf("\"%s\": %s\n", line.c_str(), reply.c_str());
            rc = 1;
        }
    }
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options))
        return Usage();
    const std::vector<std::string> lines = ControlLines(options.words);
    const kex::unique_file pipe = Connect(options.pipeName, options.waitMs);
    if (!pipe) {
        std::fprintf(stderr, "handset_ctl: no virtual handset at %s (error %lu)\n", options.pipeName.c_str(),
                     static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    const int rc = SendLines(pipe.get(), lines);
    std::fflush(stdout);
    return rc;
}
