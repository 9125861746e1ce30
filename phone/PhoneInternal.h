// Shared by the phone object's sources: its trace file name and the lock that
// guards g_pPhone against adapter threads.
#pragma once

#define KEX_TRACE_FILE "KexPhone"

#include "win32/raii.h"
#include "log/Trace.h"

#include <windows.h>

namespace kex_phone {

// Guards g_pPhone and each object's count of device callbacks in flight.
// Adapter threads may take it at any time, also while static objects are
// built or torn down.
extern kex::srwlock g_phoneLock;

} // namespace kex_phone
