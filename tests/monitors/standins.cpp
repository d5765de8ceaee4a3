#include "standins.h"

#include "dunmarr.h"
#include "osprel.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace {

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
bool failTaskStart = false;
int failTaskStartError = EAGAIN;
bool serverStopped = false;
RecordedTaskStart taskStart;
RecordedServerCall serverCall;

using TaskCreator = int (*)(const char *, int (*)(void *), void *);

TaskCreator realTaskCreator() {
    void *symbol = dlsym(RTLD_NEXT, "ThreadTaskCreateAdvanced");
    if (symbol == nullptr) {
        fprintf(stderr, "standins: libdunmarr's ThreadTaskCreateAdvanced not found\n");
        abort();
    }
    return reinterpret_cast<TaskCreator>(symbol);
}

bool onThisThreadsStack(const void *address) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
    void *low = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    const char *byte = static_cast<const char *>(address);
    return byte >= static_cast<const char *>(low) && byte < static_cast<const char *>(low) + size;
}

std::string kernelThreadName() {
    char name[17] = {};
    prctl(PR_GET_NAME, name);
    return name;
}

}  // namespace

int ThreadTaskCreateAdvanced(const char *taskName, int (*entry)(void *), void *argument) {
    pthread_mutex_lock(&lock);
    taskStart.calls++;
    taskStart.taskName = taskName ? taskName : "(null)";
    taskStart.taskNamePointer = taskName;
    taskStart.argument = argument;
    bool fail = failTaskStart;
    int error = failTaskStartError;
    pthread_mutex_unlock(&lock);
    if (fail) {
        errno = error;  // EAGAIN: as libdunmarr leaves it when the system has no thread to give
        return -1;
    }
    return realTaskCreator()(taskName, entry, argument);
}

int ServerMain(int argc, char **argv) {
    RecordedServerCall call;
    call.argc = argc;
    for (int i = 0; i < argc; i++) {
        call.arguments.push_back(argv[i]);
        call.argumentPointers.push_back(argv[i]);
    }
    call.vectorOnCallersStack = onThisThreadsStack(argv);
    call.threadId = gettid();
    call.threadName = kernelThreadName();

    pthread_mutex_lock(&lock);
    call.calls = serverCall.calls + 1;
    serverCall = call;
    pthread_cond_broadcast(&changed);
    while (!serverStopped) pthread_cond_wait(&changed, &lock);
    pthread_mutex_unlock(&lock);
    return 0;
}

void standinFailTaskStart(bool fail, int error) {
    pthread_mutex_lock(&lock);
    failTaskStart = fail;
    failTaskStartError = error;
    pthread_mutex_unlock(&lock);
}

RecordedTaskStart standinTaskStart() {
    pthread_mutex_lock(&lock);
    RecordedTaskStart copy = taskStart;
    pthread_mutex_unlock(&lock);
    return copy;
}

bool standinWaitForServer(int seconds, RecordedServerCall *call) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    pthread_mutex_lock(&lock);
    int error = 0;
    while (serverCall.calls == 0 && error == 0) error = pthread_cond_timedwait(&changed, &lock, &deadline);
    bool called = serverCall.calls > 0;
    *call = serverCall;
    pthread_mutex_unlock(&lock);
    return called;
}

void standinStopServer() {
    pthread_mutex_lock(&lock);
    serverStopped = true;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}
