/*
 * carrowen.h - a queue of fixed-size messages on a non-blocking pipe
 * (libcarrowen.so.1).
 *
 * The queue carries messages of one fixed size between threads of a process.
 * Producers enqueue whole messages, optionally waiting for room; a consumer
 * dequeues, optionally waiting for a message, or folds the queue into its own
 * poll/select loop through GetMessageQueueFd and dequeues without waiting once
 * the descriptor is readable.
 *
 *   InitMessage();                               once, at start-up
 *   MessageQueue *queue = MessageQueueCreate(64);
 *   MessageQueueEnqueue(queue, record, 10000);   producer: wait up to 10 ms
 *   poll on GetMessageQueueFd(queue) for POLLIN; then
 *   MessageQueueDequeue(queue, buffer, 0);       consumer: returns 64
 *   MessageQueueDelete(queue);
 *
 * Logging: failures are reported as Error lines of the module "message"
 * through libquillon, which the host must have loaded before this library
 * (link libquillon ahead of libcarrowen).  Successful steps are traced at Info
 * and Debug, which this build does not print.
 *
 * Time-outs are unsigned counts of microseconds; 0 means do not wait.  A
 * wait is not cut short by signals, and a call woken for room or a message
 * that another thread took first waits on for the rest of its time-out.
 *
 * Threads: no locks are taken; the queue relies on the pipe's atomic writes.
 * Any number of threads may enqueue and dequeue on one queue at once.  Every
 * message comes out whole, byte for byte, and the messages of each producer
 * in the order it enqueued them.  Deleting a queue must not overlap any other
 * call on it: never delete a queue while another thread waits on it in
 * MessageQueueEnqueue or MessageQueueDequeue, or polls its descriptor.  The
 * calls are not for signal handlers (they log through libquillon).
 *
 * Descriptors: both ends of the pipe are inherited by child processes (no
 * close-on-exec).  Descriptor numbers of 1024 and above work like any other.
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
 * MessageQueueDelete.  Its fields never change after creation. */
typedef struct MessageQueue MessageQueue;

/* The index libquillon gave the "message" module and that every line of this
 * library carries; 0 before InitMessage, -1 if registration failed.  Written
 * only by log_message_init. */
CARROWEN_EXPORT extern int g_moduleMessageNO;

/* Start-up: registers the module "message" (tag "5325", log type 2), prints
 * the banner "==================log_message_init========================" and
 * the self-test lines Fatal, Error and Warning.  Call once from the start-up
 * thread, before using a queue.  A second call registers a second row and
 * moves g_moduleMessageNO to it.  Returns 0. */
CARROWEN_EXPORT int InitMessage(void);
/* Registration, banner and self-test only (called by InitMessage).
 * Returns 0. */
CARROWEN_EXPORT int log_message_init(void);

/*
 * Creates a queue for messages of `size` bytes, 0 to PIPE_BUF (4096): a
 * larger message could enter the pipe in part and break the boundaries.  The
 * queue holds as many messages as the pipe's buffer does: the buffer is made
 * of 4096-byte pages, a message never straddles two, and a 64 KiB pipe holds
 * 16 * floor(4096 / size) messages.  Room comes back a page at a time, so a
 * full queue takes messages again once a page's worth has been dequeued.
 * A queue of size 0 passes zero-byte messages: every enqueue and dequeue
 * returns 0 (a timed dequeue after waiting out its time-out) and its
 * descriptor never becomes readable.
 * Returns the queue, or null after logging why: a size out of range, no
 * memory, or no descriptors for the pipe.
 */
CARROWEN_EXPORT MessageQueue *MessageQueueCreate(int size);

/* Closes both ends of the pipe, discarding queued messages, and frees the
 * record, which must not be used again.  Returns 0, or -1 for a null queue
 * (not logged). */
CARROWEN_EXPORT int MessageQueueDelete(MessageQueue *queue);

/*
 * Copies the `size` bytes at `message` into the queue in one write.  With a
 * non-zero `timeout` it waits up to that many microseconds for room first;
 * with 0, or once the time-out expires, it tries the write at once.
 * Returns 0, or -1 after logging an Error line: null queue, full queue (after
 * the time-out, if any), or a null `message` with a non-zero size.  A failed
 * enqueue leaves the queue as it was.
 */
CARROWEN_EXPORT int MessageQueueEnqueue(MessageQueue *queue, const void *message, unsigned timeout);

/*
 * Moves the oldest message into `buffer`, which must hold `size` bytes.  With
 * a non-zero `timeout` it waits up to that many microseconds for a message
 * first; with 0, or once the time-out expires, it reads at once.
 * Returns the queue's size, or -1 after logging two Error lines (the system's
 * error text, then the read's result): an empty queue counts as a failure, as
 * does a null `buffer` with a non-zero size, which leaves the message queued.
 * A null queue returns -1 with one line.
 */
CARROWEN_EXPORT int MessageQueueDequeue(MessageQueue *queue, void *buffer, unsigned timeout);

/* The read end of the pipe, for the caller's poll/select loop: readable while
 * at least one message is queued.  The queue keeps ownership; do not read or
 * close it.  Returns -1 for a null queue, with an Error line. */
CARROWEN_EXPORT int GetMessageQueueFd(MessageQueue *queue);

#ifdef __cplusplus
}
#endif

#endif /* CARROWEN_H */
