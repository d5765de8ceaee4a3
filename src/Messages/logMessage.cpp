// Registration of the "message" module and its self-test lines.

#include <stdio.h>

#include "MessageType.h"
#include "quillon.h"

static int g_messageLogLevel = MESSAGE_LOG_LEVEL;

int g_moduleMessageNO;

int log_message_init(void) {
    g_moduleMessageNO = registerModule("message", "5325", 2);
    puts("==================log_message_init========================");
    int module = g_moduleMessageNO;
    QUILLON_LOG(g_messageLogLevel, module, QUILLON_FATAL, "=====messageLogFatal==[%d]=--------------=\n", module);
    QUILLON_LOG(g_messageLogLevel, module, QUILLON_ERROR, "=====messageLogError==[%d]=--------------=\n", module);
    QUILLON_LOG(g_messageLogLevel, module, QUILLON_WARNING, "=====messageLogWarning==[%d]=--------------=\n", module);
    QUILLON_LOG(g_messageLogLevel, module, QUILLON_INFO, "=====messageLogInfo==[%d]=--------------=\n", module);
    QUILLON_LOG(g_messageLogLevel, module, QUILLON_VERBOSE, "=====messageLogVerbose==[%d]=--------------=\n", module);
    QUILLON_LOG(g_messageLogLevel, module, QUILLON_DEBUG, "=====messageLogDebug==[%d]=--------------=\n", module);
    return 0;
}
