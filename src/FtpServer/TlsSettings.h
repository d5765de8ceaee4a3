// The FTP-over-TLS settings from the environment: whether TLS is off,
// allowed or required, the certificate chain and private key files, and
// whether a protected data connection must resume its control connection's
// TLS session.
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

// Reads OSPREL_FTP_TLS (off, allowed or required; default allowed with a
// certificate, off without), OSPREL_FTP_TLS_CERT, OSPREL_FTP_TLS_KEY and
// OSPREL_FTP_TLS_RESUME (1 or 0, default 1) through getter.  The files are
// not opened here.  Returns false with a one-line reason in *error.
using TlsEnvironmentGetter = char *(*)(const char *name);
bool readTlsSettings(TlsEnvironmentGetter getter, TlsSettings *settings, std::string *error);

}  // namespace osprel
