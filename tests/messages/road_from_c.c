/* The typical road, written in C against carrowen.h as a host would. */
#include <poll.h>
#include <string.h>

#include "carrowen.h"

/* Passes one 64-byte record through a new queue: enqueue with a 10 ms
 * time-out, wait on the descriptor, dequeue without waiting.  Returns what
 * the dequeue returned; the record lands in `received`. */
int typicalRoadFromC(const char record[64], char received[64]) {
    MessageQueue *queue = MessageQueueCreate(64);
    if (queue == NULL) return -2;
    int result = -3;
    if (MessageQueueEnqueue(queue, record, 10000) == 0) {
        struct pollfd entry = {GetMessageQueueFd(queue), POLLIN, 0};
        if (poll(&entry, 1, 1000) == 1 && (entry.revents & POLLIN)) result = MessageQueueDequeue(queue, received, 0);
    }
    MessageQueueDelete(queue);
    return result;
}
