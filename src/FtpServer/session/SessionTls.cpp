// FTP over TLS on the control connection: AUTH TLS, PBSZ and PROT.  (The
// data connections' TLS is the transfer's: TransferLink.cpp.)
#include <openssl/ssl.h>
#include <strings.h>

#include "session/Session.h"

namespace osprel {

void Session::cmdAuth(const std::string &argument) {
    if (!tlsOn()) {
        control_.reply(502, "AUTH not supported.");
    } else if (control_.tls() != nullptr) {
        control_.reply(503, "Already using TLS.");
    } else if (loggedIn_) {
        control_.reply(503, "AUTH TLS must come before login.");
    } else if (strcasecmp(argument.c_str(), "TLS") != 0 && strcasecmp(argument.c_str(), "TLS-C") != 0) {
        control_.reply(504, "Only AUTH TLS is supported.");
    } else if (binding_ == nullptr && (binding_ = TlsSessionBinding::create()) == nullptr) {
        control_.reply(431, "Cannot start TLS now.");
    } else if (control_.reply(234, "Proceed with negotiation.")) {
        // Lines sent in clear behind AUTH are never run as if sent over TLS,
        // and a USER before it does not count.
        watch_.dropWaiting();
        haveUser_ = false;
        control_.startTls(TlsStream::open(*tls_, control_.fd(), *binding_, TlsStream::Role::kControl));
        // The handshake gets no more time than the login deadline left.
        if (control_.tls() == nullptr || control_.tls()->handshake(sessionDeadline()) != TlsResult::kOk) {
            control_.markBroken();
            closing_ = true;
        }
    }
}

void Session::cmdPbsz(const std::string &argument) {
    if (control_.tls() == nullptr) {
        control_.reply(503, "PBSZ needs AUTH TLS first.");
    } else if (argument.find_first_not_of("0123456789") != std::string::npos) {
        control_.reply(501, "PBSZ needs a number.");
    } else {
        pbszDone_ = true;
        control_.reply(200, "PBSZ=0");
    }
}

void Session::cmdProt(const std::string &argument) {
    if (!pbszDone_) {
        control_.reply(503, "PROT needs PBSZ first.");
    } else if (strcasecmp(argument.c_str(), "P") == 0) {
        dataProtected_ = true;
        control_.reply(200, "PROT now Private.");
    } else if (strcasecmp(argument.c_str(), "C") == 0 && tlsRequired()) {
        control_.reply(534, "Data connections must be protected.");
    } else if (strcasecmp(argument.c_str(), "C") == 0) {
        dataProtected_ = false;
        control_.reply(200, "PROT now Clear.");
    } else if (strcasecmp(argument.c_str(), "S") == 0 || strcasecmp(argument.c_str(), "E") == 0) {
        control_.reply(536, "Only PROT P and PROT C are supported.");
    } else {
        control_.reply(504, "PROT needs C or P.");
    }
}

std::string tlsStatus(const ControlChannel &control, bool dataProtected) {
    if (control.tls() == nullptr) return " Control connection in clear";
    return std::string(" Control connection over ") + SSL_get_version(control.tls()->handle()) +
           ", data connections " + (dataProtected ? "protected" : "in clear");
}

}  // namespace osprel
