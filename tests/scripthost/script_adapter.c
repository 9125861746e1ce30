/*
 * script_adapter.dll: an adapter for the script tests. It appends one line
 * per call to the file named by the environment variable
 * KEX_SCRIPT_ADAPTER_LOG ("code|first|second", texts as received, "0" for a
 * zero argument; code 13 as "13|info0;info1;info2|icon0;icon1;icon2").
 *
 * PutCallInfo with the name "raise" (code 12) starts a thread that reports
 * the device messages listed in the number, "msg:wParam:lParam" separated by
 * blanks, through the device callback, one after the other, the way a
 * handset would while the host's script is sleeping.
 */
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#define KEX_ADAPTER_BUILD
#include "adapters/KexUSBAdapter.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_REPORTS 64

typedef struct Report {
    uint32_t msg;
    uint32_t wParam;
    int32_t lParam;
} Report;

static KexDeviceCallback g_callback;
static HANDLE g_raiseThread;
static Report g_reports[MAX_REPORTS];
static int g_reportCount;

static void LogLine(const char *line)
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("KEX_SCRIPT_ADAPTER_LOG", path, sizeof path);
    FILE *f;
    if (n == 0 || n >= sizeof path)
        return;
    f = fopen(path, "ab");
    if (!f)
        return;
    fprintf(f, "%s\n", line);
    fclose(f);
}

static const char *Text(uintptr_t p) { return p ? (const char *)p : "0"; }

static DWORD WINAPI RaiseThread(LPVOID unused)
{
    int i;
    (void)unused;
    for (i = 0; i < g_reportCount; ++i)
        g_callback(g_reports[i].msg, g_reports[i].wParam, g_reports[i].lParam);
    return 0;
}

static void WaitForRaise(void)
{
    if (g_raiseThread) {
        WaitForSingleObject(g_raiseThread, 20000);
        CloseHandle(g_raiseThread);
        g_raiseThread = NULL;
    }
}

static void StartRaise(const char *spec)
{
    const char *p = spec;
    WaitForRaise();
    g_reportCount = 0;
    while (*p && g_reportCount < MAX_REPORTS) {
        char *end;
        Report r;
        while (*p == ' ')
            ++p;
        if (!*p)
            break;
        r.msg = (uint32_t)strtoul(p, &end, 10);
        if (*end != ':')
            break;
        r.wParam = (uint32_t)strtoul(end + 1, &end, 10);
        if (*end != ':')
            break;
        r.lParam = (int32_t)strtol(end + 1, &end, 10);
        g_reports[g_reportCount++] = r;
        p = end;
    }
    if (g_callback && g_reportCount > 0)
        g_raiseThread = CreateThread(NULL, 0, RaiseThread, NULL, 0, NULL);
}

KEX_ADAPTER_API int32_t KEX_CDECL Intialize(KexDeviceCallback callback)
{
    g_callback = callback;
    LogLine("Intialize");
    return 0;
}

KEX_ADAPTER_API int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    char line[1024];
    if (code == KEX_CMD_CONTACTINFO && wParam) {
        const ContactInfo *c = (const ContactInfo *)wParam;
        _snprintf(line, sizeof line - 1, "13|%s;%s;%s|%d;%d;%d", c->info[0], c->info[1], c->info[2],
                  (int)c->iconType[0], (int)c->iconType[1], (int)c->iconType[2]);
    } else if (code >= KEX_CMD_LINK && code <= KEX_CMD_CALLINFO) {
        _snprintf(line, sizeof line - 1, "%u|%s|%s", (unsigned)code, Text(wParam), Text(lParam));
    } else {
        _snprintf(line, sizeof line - 1, "%u|%lu|%lu", (unsigned)code, (unsigned long)wParam,
                  (unsigned long)lParam);
    }
    line[sizeof line - 1] = '\0';
    LogLine(line);
    if (code == KEX_CMD_CALLINFO && wParam && lParam && strcmp((const char *)wParam, "raise") == 0)
        StartRaise((const char *)lParam);
    return 0;
}

KEX_ADAPTER_API int32_t KEX_CDECL UnInitialize(void)
{
    WaitForRaise();
    LogLine("UnInitialize");
    g_callback = NULL;
    return 0;
}
