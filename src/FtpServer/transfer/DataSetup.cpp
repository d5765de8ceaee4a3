#include "transfer/DataSetup.h"

#include <errno.h>
#include <strings.h>

#include <algorithm>

namespace osprel {

bool DataSetup::refusedAfterEpsvAll() {
    if (epsvAll_) control_.reply(503, "Only EPSV after EPSV ALL.");
    return epsvAll_;
}

// Listens on a free port of the passive range; answers 425 and returns -1
// when none can be had.
int DataSetup::openPassivePort() {
    int port = 0;
    auto deadline = Clock::now() + std::chrono::seconds(passiveSeconds_);
    if (!channel_.listenPassive(ports_, local_, deadline, &port)) {
        control_.reply(425, errno == EADDRINUSE ? "No passive port free, try later." : "Cannot open passive port.");
        return -1;
    }
    return port;
}

void DataSetup::pasv() {
    if (refusedAfterEpsvAll()) return;
    if (local_.family() != AF_INET) {
        control_.reply(425, "PASV needs IPv4; use EPSV.");
        return;
    }
    int port = openPassivePort();
    if (port < 0) return;
    // The listener stays on the local address, and takes only the client.
    std::string host = passiveAddress_.empty() ? hostText(local_) : passiveAddress_;
    std::replace(host.begin(), host.end(), '.', ',');
    control_.replyf(227, "Entering Passive Mode (%s,%d,%d).", host.c_str(), port >> 8, port & 0xff);
}

void DataSetup::epsv(const std::string &argument) {
    if (strcasecmp(argument.c_str(), "ALL") == 0) {
        epsvAll_ = true;
        control_.reply(200, "EPSV ALL ok.");
        return;
    }
    const char *supported = local_.family() == AF_INET ? "Network protocol not supported, use (1)"
                                                       : "Network protocol not supported, use (2)";
    if (!argument.empty() && argument != (local_.family() == AF_INET ? "1" : "2")) {
        control_.reply(522, supported);
        return;
    }
    int port = openPassivePort();
    if (port < 0) return;
    control_.replyf(229, "Entering Extended Passive Mode (|||%d|)", port);
}

void DataSetup::acceptActiveTarget(const SocketAddress &target) {
    // No bouncing: data goes only back to the client, and never to a
    // privileged port where a service might take it for commands.
    if (!sameHost(target, peer_)) {
        control_.reply(504, "Data connections go only to the client's own address.");
    } else if (target.port() < 1024) {
        control_.reply(504, "Data connections to ports below 1024 are refused.");
    } else {
        channel_.setActiveTarget(target, local_);
        control_.reply(200, "PORT command successful.");
    }
}

void DataSetup::port(const std::string &argument) {
    SocketAddress target;
    if (refusedAfterEpsvAll()) return;
    if (!parsePortArgument(argument, &target)) {
        control_.reply(501, "Syntax error in PORT argument.");
        return;
    }
    acceptActiveTarget(target);
}

void DataSetup::eprt(const std::string &argument) {
    SocketAddress target;
    if (refusedAfterEpsvAll()) return;
    switch (parseEprtArgument(argument, &target)) {
    case EprtParse::kOk:
        acceptActiveTarget(target);
        break;
    case EprtParse::kBadSyntax:
        control_.reply(501, "Syntax error in EPRT argument.");
        break;
    case EprtParse::kUnknownProtocol:
        control_.reply(522, "Network protocol not supported, use (1,2)");
        break;
    }
}

}  // namespace osprel
