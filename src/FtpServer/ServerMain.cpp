// ServerMain: the FTP server's entry point, run by the host on a thread of
// its own.  Nothing is written on standard output, which belongs to the
// host's log lines; standard error gets one line per event.
#include "osprel.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <cxxabi.h>

#include <exception>
#include <string>

#include "base/Report.h"
#include "config/ServerConfig.h"
#include "server/Server.h"

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
    osprel::Server server(config);
    if (!server.open(&error)) {
        *cause = errno;
        osprel::reportLine("osprel: %s", error.c_str());
        return 1;
    }
    osprel::reportLine("osprel: serving %s on %s port %d, passive ports %d-%d%s%s", config.root.c_str(),
                       config.bindText.c_str(), config.controlPort, config.firstPassivePort,
                       config.firstPassivePort + osprel::kPassivePortCount - 1, writeAccessText(config).c_str(),
                       tlsText(config.tls));
    server.serve();
    return 0;
}

}  // namespace

extern "C" OSPREL_EXPORT int ServerMain(int argc, char **argv) {
    // A client that vanishes, or a file (an upload, the transfer log) that
    // reaches the process's file size limit, must not kill the host: SIGPIPE
    // and SIGXFSZ stay blocked in this thread and every session thread it
    // starts, and the call that would raise them fails instead.
    sigset_t fatalSignals;
    sigset_t previous;
    sigemptyset(&fatalSignals);
    sigaddset(&fatalSignals, SIGPIPE);
    sigaddset(&fatalSignals, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &fatalSignals, &previous);
    int result = 1;
    int cause = 0;
    try {
        result = runServer(argc, argv, &cause);
    } catch (const abi::__forced_unwind &) {
        // The host cancelled its thread: the unwinding must go on.
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    } catch (const std::exception &failure) {
        osprel::reportLine("osprel: stopped on an internal error: %s", failure.what());
    } catch (...) {
        osprel::reportLine("osprel: stopped on an internal error");
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (result != 0) errno = cause;
    return result;
}
