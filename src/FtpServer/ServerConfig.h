// The server's settings: the command line ("-c PORT -d PORT") and the
// OSPREL_FTP_* environment, read once at start.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

namespace osprel {

constexpr int kPassivePortCount = 64;

struct ServerConfig {
    int controlPort = 0;
    int firstPassivePort = 0;
    std::string root;  // directory served
    sockaddr_storage bindAddress{};
    socklen_t bindAddressLength = 0;
    std::string bindText = "127.0.0.1";
    bool credentialsRequired = false;
    std::string user;
    std::string password;
    bool readOnly = false;
    int idleTimeoutSeconds = 300;
    int passiveTimeoutSeconds = 30;
};

// Reads exactly argc entries of argv and writes into none of them.  On a bad
// command line returns false with a one-line reason in *error.
bool parseCommandLine(int argc, char *const *argv, ServerConfig *config, std::string *error);

// Reads the OSPREL_FTP_* variables through getter (getenv in production).
// Returns false with a one-line reason in *error on a value it cannot use.
using EnvironmentGetter = char *(*)(const char *name);
bool readEnvironment(EnvironmentGetter getter, ServerConfig *config, std::string *error);

}  // namespace osprel
