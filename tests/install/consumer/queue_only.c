/* Uses libcarrowen alone: the package has to bring libquillon in, since
 * libcarrowen's log calls bind to it without naming it. */
#include <carrowen.h>

#include <stdio.h>

int main(void) {
    InitMessage();
    MessageQueue *queue = MessageQueueCreate(8);
    int ok = queue && MessageQueueEnqueue(queue, "12345678", 0) == 0;
    char buffer[8];
    ok = ok && MessageQueueDequeue(queue, buffer, 0) == 8 && MessageQueueDelete(queue) == 0;
    printf("queue-only: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
