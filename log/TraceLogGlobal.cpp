// g_traceLog, the component's one logger, and its constructor's arguments.
#include "log/TraceLog.h"

#include "win32/init_order.h"

// Built after the event-window registry and before the module object, so
// every other static object of the library can trace.
CTraceLog g_traceLog KEX_INIT_PRIORITY(KEX_INIT_TRACE_LOG)(".\\KexUSBPhone.log", 2, 2, "USBPhone.ini", "Common",
                                                          "LogSwitch");
