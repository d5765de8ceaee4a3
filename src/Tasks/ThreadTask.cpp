// libdunmarr: named task threads.  Plain pthreads; no exceptions, no heap, no
// libstdc++.

#include "dunmarr.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

namespace {

// The kernel keeps 15 characters of a thread's name plus the terminator.
constexpr size_t kThreadNameSize = 16;

// Lives on the creator's stack: the new thread copies what it needs out of it
// before it reports that it runs, and never touches it afterwards.
struct TaskStart {
    char name[kThreadNameSize];
    bool named;
    int (*entry)(void *);
    void *argument;
    pthread_mutex_t lock;
    pthread_cond_t runs;
    bool started;
};

void copyTaskName(TaskStart *start, const char *taskName) {
    start->named = taskName != nullptr;
    if (!start->named) return;
    size_t length = strnlen(taskName, kThreadNameSize - 1);
    memcpy(start->name, taskName, length);
    start->name[length] = '\0';
}

void reportStarted(TaskStart *start) {
    pthread_mutex_lock(&start->lock);
    start->started = true;
    pthread_cond_signal(&start->runs);
    pthread_mutex_unlock(&start->lock);
}

void waitUntilStarted(TaskStart *start) {
    pthread_mutex_lock(&start->lock);
    while (!start->started) pthread_cond_wait(&start->runs, &start->lock);
    pthread_mutex_unlock(&start->lock);
}

void *runTask(void *opaque) {
    TaskStart *start = static_cast<TaskStart *>(opaque);
    int (*entry)(void *) = start->entry;
    void *argument = start->argument;
    // Named before the creator returns, so the name is visible from then on.
    if (start->named) pthread_setname_np(pthread_self(), start->name);
    reportStarted(start);
    entry(argument);
    return nullptr;
}

int startDetached(TaskStart *start) {
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error != 0) return error;
    error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (error == 0) error = pthread_create(&thread, &attributes, runTask, start);
    pthread_attr_destroy(&attributes);
    return error;
}

}  // namespace

int ThreadTaskCreateAdvanced(const char *taskName, int (*entry)(void *), void *argument) {
    const char *shownName = taskName ? taskName : "(unnamed)";
    if (entry == nullptr) {
        fprintf(stderr, "ThreadTaskCreateAdvanced: task [%s] has no entry function.\n", shownName);
        errno = EINVAL;
        return -1;
    }
    TaskStart start = {};
    copyTaskName(&start, taskName);
    start.entry = entry;
    start.argument = argument;
    pthread_mutex_init(&start.lock, nullptr);
    pthread_cond_init(&start.runs, nullptr);
    int error = startDetached(&start);
    if (error == 0) waitUntilStarted(&start);
    pthread_cond_destroy(&start.runs);
    pthread_mutex_destroy(&start.lock);
    if (error != 0) {
        fprintf(stderr, "ThreadTaskCreateAdvanced: cannot start task [%s]: %s.\n", shownName, strerror(error));
        errno = error;
        return -1;
    }
    return 0;
}
