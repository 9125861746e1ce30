// kexscript.exe: runs a .vbs or .js file with a WScript object whose Sleep,
// ConnectObject and CreateObject(progid, prefix) deliver COM events.
//
//   kexscript [//nologo] [//E:engine] script.vbs|script.js [arguments...]
//
// Exit code: the script's WScript.Quit code, 0 at its end, 1 after a script
// error (printed with its line number), 2 when the script cannot be run.
#include "scripthost/ScriptHost.h"

#include <shellapi.h>

#include <cstdio>

namespace {
void Usage()
{
    fwprintf(stderr, L"usage: kexscript [//nologo] [//E:engine] script.vbs|script.js [arguments...]\n");
}
} // namespace

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return kexscript::kExitHostError;

    kexscript::HostOptions options;
    int i = 1;
    // Host options come before the script; everything after it is the script's.
    for (; i < argc && argv[i][0] == L'/' && argv[i][1] == L'/'; ++i) {
        const wchar_t* opt = argv[i] + 2;
        if (lstrcmpiW(opt, L"nologo") == 0 || lstrcmpiW(opt, L"logo") == 0)
            continue;
        if (_wcsnicmp(opt, L"E:", 2) == 0) {
            options.engine = opt + 2;
            continue;
        }
        fwprintf(stderr, L"kexscript: unknown option %ls\n", argv[i]);
        Usage();
        LocalFree(argv);
        return kexscript::kExitHostError;
    }
    if (i >= argc) {
        Usage();
        LocalFree(argv);
        return kexscript::kExitHostError;
    }
    options.scriptPath = argv[i++];
    for (; i < argc; ++i)
        options.arguments.push_back(argv[i]);
    LocalFree(argv);

    // A single-threaded apartment: objects created by the script live on this
    // thread, and Sleep pumps its messages.
    if (FAILED(CoInitialize(nullptr))) {
        fwprintf(stderr, L"kexscript: COM could not be initialised\n");
        return kexscript::kExitHostError;
    }
    int code;
    {
        kexscript::ScriptHost host(std::move(options));
        code = host.Run();
    }
    CoUninitialize();
    return code;
}
