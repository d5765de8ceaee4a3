// The directory the monitor's FTP server serves, and how a client reaches it.
#ifndef QUILLON_DEMO_SERVED_DIRECTORY_H
#define QUILLON_DEMO_SERVED_DIRECTORY_H

#include <string>

// The control port of the monitor's fixed server command line.
constexpr int kFtpControlPort = 3456;

struct ServedDirectory {
    std::string path;     // absolute
    bool fromEnvironment; // OSPREL_FTP_ROOT was set by the caller
    bool created;         // made by this run, with a welcome file in it
};

// Uses OSPREL_FTP_ROOT when it is set (it must name a directory); otherwise
// $XDG_DATA_HOME/quillon-demo/ftp (XDG_DATA_HOME defaulting to
// $HOME/.local/share), created when missing, and exports it as
// OSPREL_FTP_ROOT.  On loopback, with OSPREL_FTP_READONLY unset, sets it to
// 0 so clients may upload.  Calls setenv, so it must run before any thread
// starts.
bool PrepareServedDirectory(ServedDirectory *served, std::string *error);

// The address a client connects to: OSPREL_FTP_BIND, with a wildcard
// replaced by loopback; 127.0.0.1 when unset.  IPv6 comes in brackets.
std::string FtpClientHost();

// Connects to the server, reads its greeting and says QUIT.  True when it
// greets with 220; otherwise `error` says what went wrong.
bool ProbeFtpServer(const std::string &clientHost, int port, std::string *error);

#endif
