// ServerMain: the FTP server's entry point for a command line and the
// environment, run by the host on a thread of its own until the server is
// stopped.  Nothing is written on standard output, which belongs to the
// host's log lines; standard error gets one line per event.
#include "osprel.h"

#include <errno.h>
#include <stdlib.h>

#include <cxxabi.h>

#include <exception>
#include <string>

#include "base/Report.h"
#include "config/ServerConfig.h"
#include "host/HostServer.h"

namespace {

std::string writeAccessText(const osprel::ServerConfig &config) {
    // With an accounts file its lines decide, OSPREL_FTP_READONLY=1 apart.
    std::string accounts = config.usersFile.empty() ? "" : ", accounts from " + config.usersFile;
    switch (config.writeAccess) {
    case osprel::WriteAccess::kNobody:
        return accounts + ", read-only";
    case osprel::WriteAccess::kEveryone:
        if (accounts.empty()) return ", everyone may write";
        break;
    case osprel::WriteAccess::kConfiguredLogin:
        if (accounts.empty() && !config.credentialsRequired) return ", read-only for anonymous users";
        break;
    }
    return accounts;
}

const char *tlsText(const osprel::TlsSettings &tls) {
    switch (tls.mode) {
    case osprel::TlsMode::kOff:
        break;
    case osprel::TlsMode::kAllowed:
        return tls.requireResumption ? ", TLS allowed" : ", TLS allowed (data connections need not resume its session)";
    case osprel::TlsMode::kRequired:
        return tls.requireResumption ? ", TLS required"
                                     : ", TLS required (data connections need not resume its session)";
    }
    return "";
}

// Listed for FtpServerFind while it serves; afterwards what served is
// freed, the handle kept for whoever found it.  A server thread that could
// not start, or not confine itself, has said so: *cause says why.
int serve(FtpServer *server, int *cause) {
    osprel::listServerMainServer(server);
    int result = osprel::runServer(server);
    *cause = errno;
    osprel::retireServerMainServer(server);
    return result == 0 ? 0 : 1;
}

// A refused start sets *cause to the errno that says why.
int runServer(int argc, char **argv, int *cause) {
    osprel::ServerConfig config;
    std::string error;
    if (!osprel::parseCommandLine(argc, argv, &config, &error) ||
        !osprel::readEnvironment(getenv, &config, &error)) {
        *cause = EINVAL;
        osprel::reportLine("osprel: %s", error.c_str());
        return 2;
    }
    FtpServer *server = osprel::createServer(config, &error);
    if (server == nullptr) {
        *cause = errno;
        osprel::reportLine("osprel: %s", error.c_str());
        return 1;
    }
    osprel::reportLine("osprel: serving %s on %s port %d, passive ports %d-%d%s%s%s", config.root.c_str(),
                       config.bindText.c_str(), server->controlPort, config.firstPassivePort,
                       config.firstPassivePort + osprel::kPassivePortCount - 1, writeAccessText(config).c_str(),
                       tlsText(config.tls), osprel::confinementWords(server->core->confinement()).c_str());
    return serve(server, cause);
}

}  // namespace

extern "C" OSPREL_EXPORT int ServerMain(int argc, char **argv) {
    int result = 1;
    int cause = 0;
    try {
        result = runServer(argc, argv, &cause);
    } catch (const abi::__forced_unwind &) {
        // The host cancelled its thread: the unwinding must go on.
        throw;
    } catch (const std::exception &failure) {
        osprel::reportLine("osprel: stopped on an internal error: %s", failure.what());
    } catch (...) {
        osprel::reportLine("osprel: stopped on an internal error");
    }
    if (result != 0) errno = cause;
    return result;
}
