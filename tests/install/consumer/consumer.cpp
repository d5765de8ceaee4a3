// The C++ side of the installed headers: the same checks as consumer.c.
#include <carrowen.h>
#include <quillon.h>
#include <trevant.h>

#include <array>
#include <cstdio>
#include <poll.h>

static int g_consumerLogLevel = 4;

int main() {
    int module = registerModule("consumer", "77", 4);
    QUILLON_LOG(g_consumerLogLevel, module, QUILLON_INFO, "hello from [%s]\n", "C++");
    QUILLON_LOG(g_consumerLogLevel, module, QUILLON_DEBUG, "gated out\n");
    logVerboseCStyle(__FILE__, __LINE__, __func__, module, QUILLON_WARNING, "direct call [%d]\n", 7);

    InitMessage();
    MessageQueue *queue = MessageQueueCreate(64);
    std::array<unsigned char, 64> sent{}, received{};
    for (size_t i = 0; i < sent.size(); i++) sent[i] = static_cast<unsigned char>(255 - i);
    int enqueued = MessageQueueEnqueue(queue, sent.data(), 10000);
    pollfd readable = {GetMessageQueueFd(queue), POLLIN, 0};
    int ready = poll(&readable, 1, 1000);
    int dequeued = MessageQueueDequeue(queue, received.data(), 0);
    MessageQueueDelete(queue);

    log_monitor_init();
    bool ok = module == 0 && g_moduleMessageNO == 1 && g_moduleMonitorNO == 2 && enqueued == 0 && ready == 1 &&
              dequeued == 64 && sent == received;
    std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
