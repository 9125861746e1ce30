// Prints what the "USBPhone.ini" beside this program sets, read by the
// component's own readers: the adapters of [AdapterList] in binding order and
// [Common] "UseVarneUSBPhone" (the configuration reader, as at Start), and the
// trace log's switches (g_traceLog, as when the library is loaded). The
// README-examples test compares these lines with what an example claims.
#include "adapters/IniFile.h"
#include "log/TraceLog.h"

#include <windows.h>

#include <cstdio>
#include <string>

int main()
{
    char exe[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path(exe, n);
    path = path.substr(0, path.find_last_of('\\') + 1) + "USBPhone.ini";

    CIniFile ini;
    if (!ini.Open(path.c_str())) {
        std::printf("cannot read %s\n", path.c_str());
        return 1;
    }
    IniEntries adapters;
    ini.GetSection("AdapterList", adapters);
    for (const auto& [name, library] : adapters)
        std::printf("adapter %s = %s\n", name.c_str(), library.c_str());
    std::printf("UseVarneUSBPhone %s\n", ini.GetValue("Common", "UseVarneUSBPhone") == "1" ? "on" : "off");

    std::printf("LogSwitch %s\n", g_traceLog.Switch() ? "on" : "off");
    std::printf("level mask %u\n", g_traceLog.LevelMask());
    std::printf("LogMaxSize %d bytes\n", g_traceLog.MaxSize());
    std::printf("AttachSizeAction %d\n", g_traceLog.AttachSizeAction());
    std::printf("SaveCount %d\n", g_traceLog.SaveCount());
    return 0;
}
