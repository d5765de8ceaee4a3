/*
 * carrowen.h - a queue of fixed-size messages on a non-blocking pipe
 * (libcarrowen.so.1).  Reports its failures as log lines of the module
 * "message" through libquillon, which the host must have loaded first.
 *
 * This header is valid C and C++.
 */
#ifndef CARROWEN_H
#define CARROWEN_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define CARROWEN_EXPORT __attribute__((visibility("default")))
#else
#define CARROWEN_EXPORT
#endif

/* The queue record; created by MessageQueueCreate, owned by its creator until
 * MessageQueueDelete. */
typedef struct MessageQueue MessageQueue;

/* The index libquillon gave the "message" module; 0 before InitMessage, -1 if
 * registration failed. */
CARROWEN_EXPORT extern int g_moduleMessageNO;

/* Start-up: registers "message", prints its banner and self-test lines.
 * Call once, before using a queue.  Returns 0. */
CARROWEN_EXPORT int InitMessage(void);
/* Registration and self-test only (called by InitMessage).  Returns 0. */
CARROWEN_EXPORT int log_message_init(void);

CARROWEN_EXPORT MessageQueue *MessageQueueCreate(int size);
CARROWEN_EXPORT int MessageQueueDelete(MessageQueue *queue);
CARROWEN_EXPORT int MessageQueueEnqueue(MessageQueue *queue, const void *message, unsigned timeout);
CARROWEN_EXPORT int MessageQueueDequeue(MessageQueue *queue, void *buffer, unsigned timeout);
CARROWEN_EXPORT int GetMessageQueueFd(MessageQueue *queue);

#ifdef __cplusplus
}
#endif

#endif /* CARROWEN_H */
