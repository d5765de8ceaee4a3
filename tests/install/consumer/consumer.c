/* A program built against the installed libraries: registers and logs,
 * passes a record through a queue and loads the monitor library. */
#include <carrowen.h>
#include <quillon.h>
#include <trevant.h>

#include <poll.h>
#include <stdio.h>
#include <string.h>

static int g_consumerLogLevel = 4;

int main(void) {
    int module = registerModule("consumer", "77", 4);
    QUILLON_LOG(g_consumerLogLevel, module, QUILLON_INFO, "hello from [%s]\n", "C");
    QUILLON_LOG(g_consumerLogLevel, module, QUILLON_DEBUG, "gated out\n");
    logVerboseCStyle(__FILE__, __LINE__, __func__, module, QUILLON_WARNING, "direct call [%d]\n", 7);

    InitMessage();
    MessageQueue *queue = MessageQueueCreate(64);
    char sent[64], received[64] = {0};
    for (int i = 0; i < 64; i++) sent[i] = (char)(i * 7 + 1);
    int enqueued = MessageQueueEnqueue(queue, sent, 10000);
    struct pollfd readable = {GetMessageQueueFd(queue), POLLIN, 0};
    int ready = poll(&readable, 1, 1000);
    int dequeued = MessageQueueDequeue(queue, received, 0);
    MessageQueueDelete(queue);

    log_monitor_init();
    int ok = module == 0 && g_moduleMessageNO == 1 && g_moduleMonitorNO == 2 && enqueued == 0 && ready == 1 &&
             dequeued == 64 && memcmp(sent, received, sizeof sent) == 0;
    printf("consumer: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
