// A source file that names itself in its trace records.
#define KEX_TRACE_FILE "AdapterManager"
#include "log/Trace.h"

int TraceFromNamedFile(const char* marker)
{
    int line = __LINE__; KEX_ERROR("%s", marker);
    return line;
}
