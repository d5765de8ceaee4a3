// The server's settings, each named as its OSPREL_FTP_* variable: read from
// the environment and the command line ("-c PORT -d PORT") by ServerMain, or
// set in code by the host, with the same checks and the same messages.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
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
    int controlPort = 0;       // 0: the kernel picks one
    int firstPassivePort = 0;  // 0: each passive port is the kernel's pick
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
// default root) through getter (getenv in production), all but the ports,
// which come from the command line; the TLS files are loaded later, by the
// server.  Returns false with a one-line reason in *error on a value it
// cannot use, or values that do not go together.
using EnvironmentGetter = char *(*)(const char *name);
bool readEnvironment(EnvironmentGetter getter, ServerConfig *config, std::string *error);

// The settings in code: the variables above plus OSPREL_FTP_CONTROL_PORT and
// OSPREL_FTP_PASSIVE_PORT.  A lookup gives a variable's value, or null.
using SettingLookup = std::function<const char *(const char *name)>;

// Whether name is a setting; *fromEnvironment (when not null) says whether
// ServerMain reads it from the environment.
bool isSetting(const char *name, bool *fromEnvironment);
void forEachEnvironmentSetting(const std::function<void(const char *name)> &visit);
// A value alone (null or empty: unset), refused with the reason ServerMain
// gives for it; whether values go together is readSettings' to say.
bool checkSetting(const char *name, const char *value, std::string *error);
// Every setting through lookup (XDG_DATA_HOME and HOME too, for the default
// root) into *config, then checked together.
bool readSettings(const SettingLookup &lookup, ServerConfig *config, std::string *error);

}  // namespace osprel
