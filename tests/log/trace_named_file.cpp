// A source file that names itself in its trace records.
#define KEX_TRACE_FILE "AdapterManager"
#include "log/Trace.h"

int TraceFromNamedFile(const char* marker)
{
    int line = __LINE__; KEX_ERROR("%s", marker);
    return line;
}

// Enter and Leave through the helpers; the lines of the Enter and of the
// return that was taken are handed back.
int TracedTwice(int x, int* enterLine, int* leaveLine)
{
    *enterLine = __LINE__; KEX_ENTER("Named::TracedTwice");
    if (x < 0) {
        *leaveLine = __LINE__; KEX_RETURN("Named::TracedTwice", -1);
    }
    *leaveLine = __LINE__; KEX_RETURN("Named::TracedTwice", x * 2);
}

void TracedVoid(int* leaveLine)
{
    KEX_ENTER("Named::TracedVoid");
    *leaveLine = __LINE__; KEX_RETURN_VOID("Named::TracedVoid");
}
