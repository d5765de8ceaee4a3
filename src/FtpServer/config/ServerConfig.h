// The server's settings: the command line ("-c PORT -d PORT") and the
// OSPREL_FTP_* environment, read once at start.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "config/TlsSettings.h"

namespace osprel {

constexpr int kPassivePortCount = 64;
constexpr int kMaxSessions = 64;
// The highest rate cap accepted, in bytes per second (1024G).
constexpr long long kMaxRateCap = 1LL << 40;

// Who may change files (OSPREL_FTP_READONLY unset, 1, 0).  With an accounts
// file its rights decide, kNobody taking all but reading from everyone.
enum class WriteAccess { kConfiguredLogin, kNobody, kEveryone };

// OSPREL_FTP_MIN_FREE: the part of the served file system kept free, in
// bytes and the same share of its inodes: percent of its size, at most
// atMostBytes.  "5%" is {5, no limit}, "100M" {100, 100 MiB}, "0" {0, 0}.
struct FreeSpaceReserve {
    unsigned percent = 5;
    unsigned long long atMostBytes = 1ULL << 30;
};

struct ServerConfig {
    int controlPort = 0;
    int firstPassivePort = 0;
    std::string root;             // directory served
    bool rootIsDefault = false;   // not named by OSPREL_FTP_ROOT: created when missing
    sockaddr_storage bindAddress{};
    socklen_t bindAddressLength = 0;
    std::string bindText = "127.0.0.1";
    bool credentialsRequired = false;
    std::string user;
    std::string password;
    std::string passwordHash;     // OSPREL_FTP_PASSWORD_HASH, instead of password
    std::string usersFile;        // OSPREL_FTP_USERS_FILE: the accounts, loaded by the server
    WriteAccess writeAccess = WriteAccess::kConfiguredLogin;
    int idleTimeoutSeconds = 300;
    int passiveTimeoutSeconds = 30;
    int loginTimeoutSeconds = 30;
    int maxSessionsPerAddress = 16;
    TlsSettings tls;
    bool atomicUploads = true;           // OSPREL_FTP_ATOMIC_UPLOADS
    bool syncUploads = true;             // OSPREL_FTP_SYNC_UPLOADS
    FreeSpaceReserve minFree;            // OSPREL_FTP_MIN_FREE
    unsigned long long maxFileSize = 0;  // OSPREL_FTP_MAX_FILE_SIZE; 0: no cap
    // Bytes per second, 0 for no cap: each session's, and all sessions' together.
    long long maxSessionRate = 0;
    long long maxTotalRate = 0;
    // The dotted IPv4 address 227 replies name, or empty for the control
    // connection's own local address.
    std::string passiveAddress;
    std::string transferLogPath;  // absolute, or empty for no transfer log
    // OSPREL_FTP_CONFINE: the server's threads confine themselves with what
    // the kernel offers (Landlock, a seccomp filter).
    bool confine = true;
};

// Reads exactly argc entries of argv and writes into none of them.  On a bad
// command line returns false with a one-line reason in *error.
bool parseCommandLine(int argc, char *const *argv, ServerConfig *config, std::string *error);

// Reads the OSPREL_FTP_* variables (and XDG_DATA_HOME and HOME for the
// default root) through getter (getenv in production); the TLS files are
// loaded later, by the server.
// Returns false with a one-line reason in *error on a value it cannot use.
using EnvironmentGetter = char *(*)(const char *name);
bool readEnvironment(EnvironmentGetter getter, ServerConfig *config, std::string *error);

}  // namespace osprel
