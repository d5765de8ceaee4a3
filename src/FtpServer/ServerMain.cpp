// ServerMain: the FTP server's entry point, run by the host on a thread of
// its own.  Nothing is written on standard output, which belongs to the
// host's log lines.
#include "osprel.h"

#include <stdlib.h>

#include <string>

#include "Report.h"
#include "ServerConfig.h"

extern "C" OSPREL_EXPORT int ServerMain(int argc, char **argv) {
    osprel::ServerConfig config;
    std::string error;
    if (!osprel::parseCommandLine(argc, argv, &config, &error) ||
        !osprel::readEnvironment(getenv, &config, &error)) {
        osprel::reportLine("osprel: %s", error.c_str());
        return 2;
    }
    osprel::reportLine("osprel: the server is not built yet");
    return 1;
}
