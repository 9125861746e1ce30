// Runs programs of the build (kexscript.exe, regsvr32) as child processes and
// collects their exit code and output, for the script host tests.
#pragma once

#include <windows.h>

#include "win32/raii.h"

#include <string>

namespace script_test {

struct RunResult {
    DWORD exitCode = 0xDEADBEEF;
    std::string out; // stdout, CR removed
    std::string err; // stderr, CR removed
    bool timedOut = false;
};

inline std::wstring Widen(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

// Directory of the running test program (the build's bin), with a backslash.
inline std::wstring BinDir()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

inline std::string ReadAll(HANDLE file)
{
    std::string text;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text.append(buffer, n);
    std::string clean;
    for (char c : text)
        if (c != '\r')
            clean += c;
    return clean;
}

inline kex::unique_handle TempOutput()
{
    wchar_t dir[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"ksh", 0, name);
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return kex::unique_handle(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                          nullptr));
}

// Runs commandLine (program and arguments, quoted as needed) and waits.
inline RunResult Run(const std::wstring& commandLine, DWORD timeoutMs = 60000)
{
    RunResult r;
    kex::unique_handle out = TempOutput(), err = TempOutput();
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        r.err = "CreateProcess failed";
        return r;
    }
    kex::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        r.timedOut = true;
        TerminateProcess(process.get(), 99);
        WaitForSingleObject(process.get(), 5000);
    }
    GetExitCodeProcess(process.get(), &r.exitCode);
    r.out = ReadAll(out.get());
    r.err = ReadAll(err.get());
    return r;
}

inline std::wstring Quote(const std::wstring& s) { return L"\"" + s + L"\""; }

// kexscript.exe with a script of the test folder and its arguments.
inline RunResult RunScript(const std::wstring& script, const std::wstring& args = L"")
{
    std::wstring cmd = Quote(BinDir() + L"kexscript.exe") + L" " + Quote(Widen(KEX_SCRIPT_DIR) + L"\\" + script);
    if (!args.empty())
        cmd += L" " + args;
    return Run(cmd);
}

inline std::string ReadTextFile(const std::wstring& path)
{
    kex::unique_file f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    if (!f)
        return std::string();
    return ReadAll(f.get());
}

} // namespace script_test
