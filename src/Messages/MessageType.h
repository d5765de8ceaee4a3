// The message library's records and its files' log level.
#ifndef MESSAGE_TYPE_H
#define MESSAGE_TYPE_H

#include <stdint.h>

#include "carrowen.h"

// The log gate every file of the library starts from (see QUILLON_LOG in
// quillon.h): Fatal, Error and Warning.  A build may set another.
#ifndef MESSAGE_LOG_LEVEL
#define MESSAGE_LOG_LEVEL 3
#endif

// Behind the opaque MessageQueue of carrowen.h.  Written once by
// MessageQueueCreate and only read afterwards, so threads share it unlocked.
struct MessageQueue {
    int32_t size;  // bytes per message, 0 to PIPE_BUF
    int readFd;    // the pipe's read end, non-blocking
    int writeFd;   // the pipe's write end, non-blocking
};

#endif  // MESSAGE_TYPE_H
