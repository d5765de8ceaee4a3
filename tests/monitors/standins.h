// Recording stand-ins for the two platform libraries of libtrevant.  Linked
// into a test program ahead of libtrevant, their ThreadTaskCreateAdvanced and
// ServerMain are the ones libtrevant's calls bind to.
#pragma once

#include <errno.h>
#include <sys/types.h>

#include <string>
#include <vector>

#define STANDIN_EXPORT __attribute__((visibility("default")))

struct RecordedTaskStart {
    int calls = 0;
    std::string taskName;
    const void *taskNamePointer = nullptr;
    void *argument = nullptr;
};

struct RecordedServerCall {
    int calls = 0;
    int argc = 0;
    std::vector<std::string> arguments;
    std::vector<const void *> argumentPointers;
    bool vectorOnCallersStack = false;
    pid_t threadId = 0;
    std::string threadName;  // the kernel's name of the calling thread
};

// With `fail` set, ThreadTaskCreateAdvanced records the call and returns -1
// with errno `error` without starting anything: EAGAIN, as when no thread
// can be created, or 0, a failure that gives no reason.  Otherwise it hands
// the call on to the real libdunmarr.
STANDIN_EXPORT void standinFailTaskStart(bool fail, int error = EAGAIN);

STANDIN_EXPORT RecordedTaskStart standinTaskStart();

// Waits up to `seconds` for ServerMain to be called; false on time-out.
STANDIN_EXPORT bool standinWaitForServer(int seconds, RecordedServerCall *call);

// ServerMain blocks, as a real server does, until this is called.
STANDIN_EXPORT void standinStopServer();
