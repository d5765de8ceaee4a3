/* The public header compiled as C, with the client call form. */
#include "quillon.h"

static int g_logLevel = QUILLON_DEBUG;

const char *logFromCFile(void) { return __FILE__; }

/* Logs at `level` and returns the line of the call. */
int logFromC(int module, int level, int *evaluations) {
    QUILLON_LOG(g_logLevel, module, level, "from C %d\n", ++*evaluations);
    return __LINE__ - 1;
}
