// Shared by the phone object's sources: the file name their trace records carry.
#pragma once

#define KEX_TRACE_FILE "KexPhone"

#include "log/Trace.h"
