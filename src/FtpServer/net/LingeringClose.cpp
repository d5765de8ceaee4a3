#include "net/LingeringClose.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

namespace osprel {

LingeringClose::LingeringClose(int fd) : fd_(fd), deadline_(Clock::now() + kTime) { shutdown(fd, SHUT_WR); }

bool LingeringClose::drained() {
    char dropped[4096];
    while (left_ > 0) {
        ssize_t n = recv(fd_, dropped, std::min(sizeof dropped, left_), MSG_DONTWAIT);
        if (n > 0) {
            left_ -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
    return true;
}

void LingeringClose::waitDrained() {
    pollfd entry{fd_, POLLIN, 0};
    while (!drained()) {
        int left = millisecondsUntil(deadline_);
        if (left == 0 || (poll(&entry, 1, left) < 0 && errno != EINTR)) return;
    }
}

}  // namespace osprel
