#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

CapturedFd::CapturedFd(int fd) : fd_(fd) {
    fflush(stdout);
    fflush(stderr);
    char path[] = "/tmp/captureXXXXXX";
    file_ = mkstemp(path);
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    unlink(path);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

CapturedFd::~CapturedFd() { take(); }

std::string CapturedFd::take() {
    if (saved_ < 0) return "";
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    lseek(file_, 0, SEEK_SET);
    std::string bytes = readAll(file_);
    close(file_);
    return bytes;
}

std::string readAll(int fd) {
    std::string bytes;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, (size_t)got);
    return bytes;
}
