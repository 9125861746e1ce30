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
 *
 * Built with SCRIPT_ADAPTER_V2 (script_adapter_v2.dll) it speaks contract
 * version 2 with two devices, "desk" and "head", described and plugged in at
 * start; each command's line starts with the device it is for ("[head] ",
 * "[*] " for every device), and a report may name its device
 * ("msg:wParam:lParam@head").
 */
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#ifdef SCRIPT_ADAPTER_V2
#define KEX_ADAPTER_DECLARE_VERSION_2
#endif
#define KEX_ADAPTER_BUILD
#include "adapters/KexUSBAdapter.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_REPORTS 64
#define MAX_DEVICE_ID 32

typedef struct Report {
    uint32_t msg;
    uint32_t wParam;
    int32_t lParam;
    char device[MAX_DEVICE_ID]; /* "" for none */
} Report;

static KexDeviceCallback g_callback;
static const KexHost *g_host;
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
    for (i = 0; i < g_reportCount; ++i) {
        const Report *r = &g_reports[i];
        if (g_host)
            g_host->Report(g_host->context, r->device[0] ? r->device : NULL, r->msg, r->wParam, r->lParam);
        else
            g_callback(r->msg, r->wParam, r->lParam);
    }
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
        r.device[0] = '\0';
        if (*end == '@') {
            size_t n = 0;
            for (++end; *end && *end != ' ' && n + 1 < sizeof r.device; ++end)
                r.device[n++] = *end;
            r.device[n] = '\0';
        }
        g_reports[g_reportCount++] = r;
        p = end;
    }
    if ((g_callback || g_host) && g_reportCount > 0)
        g_raiseThread = CreateThread(NULL, 0, RaiseThread, NULL, 0, NULL);
}

KEX_ADAPTER_API int32_t KEX_CDECL Intialize(KexDeviceCallback callback)
{
    g_callback = callback;
    LogLine("Intialize");
    return 0;
}

/* prefix: put before the line ("" in version 1). */
static int32_t Command(const char *prefix, uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    char body[1024];
    char line[1100];
    if (code == KEX_CMD_CONTACTINFO && wParam) {
        const ContactInfo *c = (const ContactInfo *)wParam;
        _snprintf(body, sizeof body - 1, "13|%s;%s;%s|%d;%d;%d", c->info[0], c->info[1], c->info[2],
                  (int)c->iconType[0], (int)c->iconType[1], (int)c->iconType[2]);
    } else if (code >= KEX_CMD_LINK && code <= KEX_CMD_CALLINFO) {
        _snprintf(body, sizeof body - 1, "%u|%s|%s", (unsigned)code, Text(wParam), Text(lParam));
    } else {
        _snprintf(body, sizeof body - 1, "%u|%lu|%lu", (unsigned)code, (unsigned long)wParam,
                  (unsigned long)lParam);
    }
    body[sizeof body - 1] = '\0';
    _snprintf(line, sizeof line - 1, "%s%s", prefix, body);
    line[sizeof line - 1] = '\0';
    LogLine(line);
    if (code == KEX_CMD_CALLINFO && wParam && lParam && strcmp((const char *)wParam, "raise") == 0)
        StartRaise((const char *)lParam);
    return 0;
}

KEX_ADAPTER_API int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    return Command("", code, wParam, lParam);
}

KEX_ADAPTER_API int32_t KEX_CDECL UnInitialize(void)
{
    WaitForRaise();
    LogLine("UnInitialize");
    g_callback = NULL;
    g_host = NULL;
    return 0;
}

#ifdef SCRIPT_ADAPTER_V2
KEX_ADAPTER_API int32_t KEX_CDECL KexAdapterVersion(void) { return KEX_CONTRACT_VERSION; }

KEX_ADAPTER_API int32_t KEX_CDECL KexInitialize2(const KexHost *host)
{
    KexDeviceInfo desk, head;
    desk.size = sizeof desk;
    desk.id = "desk";
    desk.name = "Desk Phone";
    desk.vendorId = 0x1234;
    desk.productId = 0x5678;
    desk.serial = "D-1";
    head.size = sizeof head;
    head.id = "head";
    head.name = "Head Set";
    head.vendorId = 0;
    head.productId = 0;
    head.serial = NULL;
    g_host = host;
    LogLine("KexInitialize2");
    host->DescribeDevice(host->context, &desk);
    host->DescribeDevice(host->context, &head);
    host->Report(host->context, "desk", KEX_DEV_PLUG, KEX_PLUG_IN, 0);
    host->Report(host->context, "head", KEX_DEV_PLUG, KEX_PLUG_IN, 0);
    return 0;
}

KEX_ADAPTER_API int32_t KEX_CDECL KexExecute2(const char *deviceId, uint32_t code, uintptr_t wParam,
                                              uintptr_t lParam)
{
    char prefix[MAX_DEVICE_ID + 4];
    _snprintf(prefix, sizeof prefix - 1, "[%s] ", deviceId ? deviceId : "*");
    prefix[sizeof prefix - 1] = '\0';
    return Command(prefix, code, wParam, lParam);
}
#endif
