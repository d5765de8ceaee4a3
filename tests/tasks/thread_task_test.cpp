// libdunmarr: named, detached task threads.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "capture.h"
#include "dunmarr.h"
#include "process_view.h"

extern char **environ;

namespace {

// What a task saw of itself.  The task then waits to be released, so the
// test can look at the running thread from outside.
struct TaskProbe {
    std::mutex lock;
    std::condition_variable changed;
    bool ran = false;
    bool released = false;
    bool finished = false;
    void *argument = nullptr;
    pid_t thread = 0;
    std::string name;
    int detachState = -1;

    void waitUntil(bool TaskProbe::*flag) {
        std::unique_lock<std::mutex> hold(lock);
        ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(20), [&] { return this->*flag; }));
    }
    void release() {
        std::lock_guard<std::mutex> hold(lock);
        released = true;
        changed.notify_all();
    }
};

int probeTask(void *argument) {
    TaskProbe *probe = static_cast<TaskProbe *>(argument);
    char name[17] = {};
    prctl(PR_GET_NAME, name);
    pthread_attr_t attributes;
    int detachState = -1;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getdetachstate(&attributes, &detachState);
        pthread_attr_destroy(&attributes);
    }
    std::unique_lock<std::mutex> hold(probe->lock);
    probe->ran = true;
    probe->argument = argument;
    probe->thread = gettid();
    probe->name = name;
    probe->detachState = detachState;
    probe->changed.notify_all();
    probe->changed.wait(hold, [&] { return probe->released; });
    probe->finished = true;
    probe->changed.notify_all();
    return 7;  // ignored
}

std::vector<pid_t> threadsNamed(const std::string &name) {
    std::vector<pid_t> found;
    for (const auto &[thread, threadName] : threadNames())
        if (threadName == name) found.push_back(thread);
    return found;
}

TEST(ThreadTask, RunsTheEntryWithItsArgumentOnANamedDetachedThread) {
    TaskProbe probe;
    ASSERT_EQ(ThreadTaskCreateAdvanced("worker", probeTask, &probe), 0);
    // Already running under its name when the call returns.
    std::vector<pid_t> named = threadsNamed("worker");
    ASSERT_EQ(named.size(), 1u);

    probe.waitUntil(&TaskProbe::ran);
    EXPECT_EQ(probe.argument, &probe);
    EXPECT_EQ(probe.thread, named[0]);
    EXPECT_NE(probe.thread, gettid());
    EXPECT_EQ(probe.name, "worker");
    EXPECT_EQ(probe.detachState, PTHREAD_CREATE_DETACHED);
    probe.release();
    probe.waitUntil(&TaskProbe::finished);
}

TEST(ThreadTask, CutsTheNameToTheKernelsFifteenCharacters) {
    const std::pair<const char *, const char *> cases[] = {
        {"a", "a"},
        {"fifteen_chars_x", "fifteen_chars_x"},
        {"sixteen_chars_xy", "sixteen_chars_x"},
        {"MonitorFTPServerTask", "MonitorFTPServe"},
    };
    for (const auto &[given, shown] : cases) {
        TaskProbe probe;
        ASSERT_EQ(ThreadTaskCreateAdvanced(given, probeTask, &probe), 0) << given;
        EXPECT_EQ(threadsNamed(shown).size(), 1u) << given;
        probe.waitUntil(&TaskProbe::ran);
        EXPECT_EQ(probe.name, shown);
        probe.release();
        probe.waitUntil(&TaskProbe::finished);
    }
}

TEST(ThreadTask, WithoutANameTheTaskKeepsTheNameItInherits) {
    char creatorName[17] = {};
    prctl(PR_GET_NAME, creatorName);
    TaskProbe probe;
    ASSERT_EQ(ThreadTaskCreateAdvanced(nullptr, probeTask, &probe), 0);
    probe.waitUntil(&TaskProbe::ran);
    EXPECT_EQ(probe.name, creatorName);
    EXPECT_NE(probe.thread, gettid());
    probe.release();
    probe.waitUntil(&TaskProbe::finished);
}

TEST(ThreadTask, RefusesATaskWithoutEntry) {
    CapturedOutput output;
    EXPECT_EQ(ThreadTaskCreateAdvanced("headless", nullptr, nullptr), -1);
    EXPECT_EQ(output.err.take(), "ThreadTaskCreateAdvanced: task [headless] has no entry function.\n");
    EXPECT_EQ(output.out.take(), "");
}

// ---------------------------------------------------------------------------
// A task that cannot start.  The process limit that makes thread creation
// fail is set in a fresh copy of this program (see main), which first drops
// root, since root is exempt from it.

const char kNoThreadsFlag[] = "--start-task-without-processes";

int reportIfRun(void *) {
    write(1, "entry ran\n", 10);
    return 0;
}

int startTaskWithoutProcesses() {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
        perror("dropping root");
        return 3;
    }
    rlimit none = {0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0) {
        perror("setrlimit");
        return 3;
    }
    int result = ThreadTaskCreateAdvanced("doomed", reportIfRun, nullptr);
    char line[64];
    int length = snprintf(line, sizeof line, "result %d\n", result);
    write(1, line, (size_t)length);
    // Skip exit-time work (a leak check would need a thread of its own).
    _exit(0);
}

TEST(ThreadTask, ReportsATaskThatCannotStartOnOneLine) {
    int out[2], err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    char self[] = "/proc/self/exe";
    char flag[sizeof kNoThreadsFlag];
    memcpy(flag, kNoThreadsFlag, sizeof flag);
    char *arguments[] = {self, flag, nullptr};
    pid_t child;
    ASSERT_EQ(posix_spawn(&child, self, &actions, nullptr, arguments, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    std::string childOut = readAll(out[0]);
    std::string childErr = readAll(err[0]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " " << childErr;
    EXPECT_EQ(childOut, "result -1\n");
    EXPECT_EQ(childErr, "ThreadTaskCreateAdvanced: cannot start task [doomed]: Resource temporarily unavailable.\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], kNoThreadsFlag) == 0) return startTaskWithoutProcesses();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
