// The message library's start-up.

#include "MessageType.h"
#include "quillon.h"

static int g_messageLogLevel = MESSAGE_LOG_LEVEL;

// Fixed when this file is compiled.
static const char kBuildTimeLine[] = "Message Module Build time :" __DATE__ " " __TIME__ " \n";

static int MessageBuildTime(void) {
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_INFO, "%s", kBuildTimeLine);
    return 0;
}

int InitMessage(void) {
    log_message_init();
    MessageBuildTime();
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_DEBUG, "InitMessage.\n");
    return 0;
}
