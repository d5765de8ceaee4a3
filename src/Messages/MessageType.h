// The message library's records.
#ifndef MESSAGE_TYPE_H
#define MESSAGE_TYPE_H

#include <stdint.h>

#include "carrowen.h"

// Behind the opaque MessageQueue of carrowen.h.  Written once by
// MessageQueueCreate and only read afterwards, so threads share it unlocked.
struct MessageQueue {
    int32_t size;  // bytes per message, 0 to PIPE_BUF
    int readFd;    // the pipe's read end, non-blocking
    int writeFd;   // the pipe's write end, non-blocking
};

#endif  // MESSAGE_TYPE_H
