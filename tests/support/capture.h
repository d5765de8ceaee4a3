// Captures what the process writes on standard output or standard error.
#pragma once

#include <string>

class CapturedFd {
public:
    explicit CapturedFd(int fd);
    ~CapturedFd();
    CapturedFd(const CapturedFd &) = delete;
    CapturedFd &operator=(const CapturedFd &) = delete;

    // Flushes stdio, puts the original descriptor back and returns every byte
    // written since construction.  Further calls return "".
    std::string take();

private:
    int fd_;
    int saved_;
    int file_;
};

// Every byte `fd` gives until end of file or an error.
std::string readAll(int fd);

// Both standard streams at once.
struct CapturedOutput {
    CapturedFd out{1};
    CapturedFd err{2};
};
