// The FTP-over-TLS settings (read from the environment with the others, see
// ServerConfig.h): whether TLS is off, allowed or required, the certificate
// chain and private key files, and whether a protected data connection must
// resume its control connection's TLS session.
#pragma once

#include <string>

namespace osprel {

enum class TlsMode { kOff, kAllowed, kRequired };

struct TlsSettings {
    TlsMode mode = TlsMode::kOff;
    std::string certificatePath;  // certificate chain, PEM, server's own first
    std::string keyPath;          // private key, PEM, unencrypted
    bool requireResumption = true;
};

}  // namespace osprel
