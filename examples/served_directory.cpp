#include "served_directory.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kWelcomeName[] = "welcome.txt";
constexpr char kWelcomeText[] =
    "This directory is served by quillon-demo through the monitor's FTP server.\n"
    "List it:      curl ftp://127.0.0.1:3456/\n"
    "Upload:       curl -T FILE ftp://127.0.0.1:3456/\n"
    "Set OSPREL_FTP_ROOT to serve another directory.\n";
constexpr int kProbeTimeoutMs = 3000;

std::string SystemError(const std::string &what, const std::string &path) {
    return what + " [" + path + "]: " + strerror(errno);
}

bool IsDirectory(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// XDG's base directory rules: a relative XDG_DATA_HOME is ignored.
std::string DefaultServedPath() {
    const char *dataHome = getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/') return std::string(dataHome) + "/quillon-demo/ftp";
    const char *home = getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/share/quillon-demo/ftp";
    return "quillon-demo-ftp";
}

// mkdir -p; `created` tells whether the last component was made here.
bool MakeDirectories(const std::string &path, bool *created, std::string *error) {
    *created = false;
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string prefix = path.substr(0, end);
        if (mkdir(prefix.c_str(), 0755) == 0) {
            *created = end == std::string::npos;
        } else if (errno != EEXIST || !IsDirectory(prefix)) {
            *error = SystemError("cannot create directory", prefix);
            return false;
        }
        if (end == std::string::npos) return true;
    }
}

bool WriteWelcome(const std::string &directory, std::string *error) {
    std::string path = directory + "/" + kWelcomeName;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = SystemError("cannot create", path);
        return false;
    }
    ssize_t length = sizeof kWelcomeText - 1;
    bool written = write(fd, kWelcomeText, length) == length;
    if (!written) *error = SystemError("cannot write", path);
    close(fd);
    return written;
}

bool Absolute(const std::string &path, std::string *absolute, std::string *error) {
    char *resolved = realpath(path.c_str(), nullptr);
    if (!resolved) {
        *error = SystemError("cannot resolve", path);
        return false;
    }
    *absolute = resolved;
    free(resolved);
    return true;
}

bool WaitFor(int fd, short events) {
    struct pollfd entry = {fd, events, 0};
    int ready;
    do ready = poll(&entry, 1, kProbeTimeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool ConnectWithTimeout(int fd, const struct addrinfo *address, std::string *error) {
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) return true;
    if (errno != EINPROGRESS) {
        *error = strerror(errno);
        return false;
    }
    if (!WaitFor(fd, POLLOUT)) {
        *error = "no answer within 3 s";
        return false;
    }
    int failure = 0;
    socklen_t length = sizeof failure;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
    if (failure) *error = strerror(failure);
    return failure == 0;
}

// Reads up to the end of the first reply line.
bool ReadReplyLine(int fd, std::string *line, std::string *error) {
    char buffer[512];
    line->clear();
    while (line->find('\n') == std::string::npos && line->size() < 4096) {
        if (!WaitFor(fd, POLLIN)) {
            *error = "no greeting within 3 s";
            return false;
        }
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            *error = got == 0 ? "connection closed before the greeting" : strerror(errno);
            return false;
        }
        line->append(buffer, got);
    }
    size_t end = line->find_first_of("\r\n");
    if (end != std::string::npos) line->erase(end);
    return true;
}

bool Greeted(int fd, std::string *error) {
    std::string greeting;
    if (!ReadReplyLine(fd, &greeting, error)) return false;
    if (greeting.compare(0, 3, "220") != 0) {
        *error = "unexpected greeting [" + greeting + "]";
        return false;
    }
    static const char quit[] = "QUIT\r\n";
    send(fd, quit, sizeof quit - 1, MSG_NOSIGNAL);
    std::string ignored;
    ReadReplyLine(fd, &ignored, &ignored);
    return true;
}

// The server listens on loopback only: OSPREL_FTP_BIND unset, 127.x or ::1.
bool LoopbackOnly() {
    const char *bind = getenv("OSPREL_FTP_BIND");
    return !bind || !*bind || strncmp(bind, "127.", 4) == 0 || strcmp(bind, "::1") == 0;
}

// Uploads (curl -T) work out of the box where nobody else can reach the
// server; anywhere else the server's read-only default for anonymous
// sessions stands.
bool AllowWritingOnLoopback(std::string *error) {
    const char *readOnly = getenv("OSPREL_FTP_READONLY");
    if ((readOnly && *readOnly) || !LoopbackOnly()) return true;
    if (setenv("OSPREL_FTP_READONLY", "0", 1) == 0) return true;
    *error = SystemError("cannot set OSPREL_FTP_READONLY to", "0");
    return false;
}

} // namespace

bool PrepareServedDirectory(ServedDirectory *served, std::string *error) {
    const char *configured = getenv("OSPREL_FTP_ROOT");
    served->fromEnvironment = configured != nullptr;
    served->created = false;
    if (!AllowWritingOnLoopback(error)) return false;
    if (configured) {
        if (!IsDirectory(configured)) {
            *error = std::string("OSPREL_FTP_ROOT [") + configured + "] is not a directory";
            return false;
        }
        return Absolute(configured, &served->path, error);
    }
    std::string path = DefaultServedPath();
    if (!MakeDirectories(path, &served->created, error)) return false;
    if (served->created && !WriteWelcome(path, error)) return false;
    if (!Absolute(path, &served->path, error)) return false;
    if (setenv("OSPREL_FTP_ROOT", served->path.c_str(), 1) != 0) {
        *error = SystemError("cannot set OSPREL_FTP_ROOT to", served->path);
        return false;
    }
    return true;
}

std::string FtpClientHost() {
    const char *bind = getenv("OSPREL_FTP_BIND");
    std::string host = bind && *bind ? bind : "127.0.0.1";
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

bool ProbeFtpServer(const std::string &clientHost, int port, std::string *error) {
    std::string numeric = clientHost;
    if (numeric.size() > 2 && numeric.front() == '[') numeric = numeric.substr(1, numeric.size() - 2);
    struct addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *address = nullptr;
    int failure = getaddrinfo(numeric.c_str(), std::to_string(port).c_str(), &hints, &address);
    if (failure) {
        *error = std::string("bad address: ") + gai_strerror(failure);
        return false;
    }
    int fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool answered = fd >= 0 && ConnectWithTimeout(fd, address, error) && Greeted(fd, error);
    if (fd < 0) *error = strerror(errno);
    else close(fd);
    freeaddrinfo(address);
    return answered;
}
