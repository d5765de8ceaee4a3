// PASV, EPSV, PORT and EPRT: the passive listener or the active target that
// the session's next transfer uses.
#pragma once

#include <string>

#include "control/ControlChannel.h"
#include "net/DataConnection.h"
#include "net/NetAddress.h"

namespace osprel {

class DataSetup {
public:
    // local and peer are the control connection's addresses; a passive port
    // waits passiveSeconds for its client.  PASV names passiveAddress (a
    // dotted IPv4 address, e.g. a NAT's public one) instead of local, unless
    // it is empty.
    DataSetup(ControlChannel &control, PassivePortRange &ports, const SocketAddress &local,
              const SocketAddress &peer, int passiveSeconds, const std::string &passiveAddress)
        : control_(control),
          ports_(ports),
          local_(local),
          peer_(peer),
          passiveSeconds_(passiveSeconds),
          passiveAddress_(passiveAddress) {}

    // Each answers its command on the control connection.
    void pasv();
    void epsv(const std::string &argument);
    void port(const std::string &argument);
    void eprt(const std::string &argument);

    DataChannel &channel() { return channel_; }

private:
    int openPassivePort();
    void acceptActiveTarget(const SocketAddress &target);
    bool refusedAfterEpsvAll();

    ControlChannel &control_;
    PassivePortRange &ports_;
    const SocketAddress &local_;
    const SocketAddress &peer_;
    int passiveSeconds_;
    const std::string &passiveAddress_;
    DataChannel channel_;
    bool epsvAll_ = false;
};

}  // namespace osprel
