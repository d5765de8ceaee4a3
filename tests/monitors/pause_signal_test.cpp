// A signal that arrives during InitMonitor's pause ends the pause: start-up
// goes on at once and is not put back to sleep.

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "capture.h"
#include "standins.h"
#include "trevant.h"

namespace {

volatile sig_atomic_t signalsTaken = 0;

void takeSignal(int) { signalsTaken = signalsTaken + 1; }

// True while `thread` is blocked in a sleep: the kernel's wait channel says
// so whatever the program's instruction set, where the system call number
// can be the emulator's own (qemu-user) or a 64-bit-time variant (32-bit).
bool isSleeping(pid_t thread) {
    std::ifstream channel("/proc/self/task/" + std::to_string(thread) + "/wchan");
    std::string function;
    return channel >> function && function.find("nanosleep") != std::string::npos;
}

using Clock = std::chrono::steady_clock;

TEST(MonitorPause, ASignalEndsThePauseAndItIsNotResumed) {
    struct sigaction action = {};
    action.sa_handler = takeSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

    pid_t caller = gettid();
    pthread_t callerThread = pthread_self();
    std::atomic<bool> returned{false};
    std::atomic<bool> signalled{false};
    Clock::time_point signalledAt;
    std::thread waker([&] {
        // Signal only once the pause has begun; earlier, it would be missed.
        auto giveUp = Clock::now() + std::chrono::seconds(30);
        while (!returned && Clock::now() < giveUp) {
            if (isSleeping(caller)) {
                signalledAt = Clock::now();
                signalled = true;
                pthread_kill(callerThread, SIGUSR1);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    CapturedFd out(1);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(InitMonitor(), 0);
    Clock::time_point end = Clock::now();
    returned = true;
    waker.join();
    std::string text = out.take();
    standinStopServer();

    ASSERT_TRUE(signalled) << "InitMonitor never paused";
    EXPECT_EQ(signalsTaken, 1);
    EXPECT_LT(std::chrono::duration<double>(end - start).count(), 6.0);
    EXPECT_LT(std::chrono::duration<double>(end - signalledAt).count(), 3.0);
    // The start-up still ends with its last line.
    const std::string last = "[InitMonitor:Debug] : InitMonitor.\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
}

}  // namespace
