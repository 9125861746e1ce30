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
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kDefaultPipe[] = "\\\\.\\pipe\\KexVirtualHandset";

int usage()
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
HANDLE connect(const std::string& name, DWORD waitMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        DWORD err = GetLastError();
        DWORD waited = GetTickCount() - start;
        DWORD left = waited < waitMs ? waitMs - waited : 0;
        if (err == ERROR_PIPE_BUSY) {
            // Another client is being served; that can take as long as its
            // own waits, so allow at least a few seconds.
            if (!WaitNamedPipeA(name.c_str(), left > 5000 ? left : 5000))
                return INVALID_HANDLE_VALUE;
            continue;
        }
        if (left == 0)
            return INVALID_HANDLE_VALUE;
        Sleep(left < 100 ? left : 100);
    }
}

bool send_line(HANDLE pipe, const std::string& line, std::string& reply)
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

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

} // namespace

int main(int argc, char** argv)
{
    std::string pipeName = kDefaultPipe;
    DWORD waitMs = 0;
    std::string words;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pipe") == 0 && i + 1 < argc) {
            pipeName = argv[++i];
        } else if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
            waitMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return usage();
        } else {
            break;
        }
    }
    for (; i < argc; ++i)
        words += std::string(words.empty() ? "" : " ") + argv[i];

    std::vector<std::string> lines;
    if (!words.empty()) {
        size_t start = 0;
        for (;;) {
            size_t comma = words.find(',', start);
            lines.push_back(trim(words.substr(start, comma - start)));
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    } else {
        std::string line;
        while (std::getline(std::cin, line))
            lines.push_back(trim(line));
    }

    HANDLE pipe = connect(pipeName, waitMs);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "handset_ctl: no virtual handset at %s (error %lu)\n", pipeName.c_str(),
                     static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    int rc = 0;
    for (const std::string& line : lines) {
        if (line.empty())
            continue;
        std::string reply;
        if (!send_line(pipe, line, reply)) {
            std::fprintf(stderr, "handset_ctl: the handset went away at \"%s\"\n", line.c_str());
            rc = 2;
            break;
        }
        if (reply != "ok") {
            std::printf("\"%s\": %s\n", line.c_str(), reply.c_str());
            rc = 1;
        }
    }
    std::fflush(stdout);
    CloseHandle(pipe);
    return rc;
}
