// The component's one plug-in registration, made during static start-up.
#include "win32/init_order.h"
#include "plugin/PlugIn.h"

namespace {
PlugInRegister<TestPlugIn> g_testPlugIn KEX_INIT_PRIORITY(KEX_INIT_PLUGINS)("TestPlugIn");
} // namespace
