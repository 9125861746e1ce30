// Construction order of the library's static objects. Lower numbers are
// constructed first and destroyed last; each object names its own slot so the
// order holds across translation units and static libraries.
#pragma once

#define KEX_INIT_PRIORITY(n) __attribute__((init_priority(n)))

enum {
    KEX_INIT_REGISTRY_MUTEX = 1001, // event-window registry mutex
    KEX_INIT_REGISTRY = 1002,       // event-window registry
    KEX_INIT_TRACE_LOG = 1003,      // g_traceLog
    KEX_INIT_MODULE = 1004,         // CKexUSBPhoneModule
    KEX_INIT_PLUGINS = 1005,        // plug-in registrations
};
