// The server's threads confine themselves, so that a fault in one of them
// (a parser, a path built by hand, a memory corruption) cannot reach what
// the path resolver guards: a Landlock domain (the served root and the few
// directories the server reads or writes later, the control and passive
// ports, no signals or abstract sockets out of the domain) and a seccomp
// filter (no programs, processes, namespaces, mounts or tracing).  Both
// apply to the thread that installs them and to the threads it creates
// afterwards, never to the host's other threads.
#pragma once

#include <memory>
#include <string>

#include "confine/Landlock.h"
#include "config/ServerConfig.h"

namespace osprel {

// What confining a thread uses, as found by trying it: the Landlock ABI
// version (0: none) and the seccomp filter, each with the reason when it is
// missing.
struct ConfinementOffer {
    bool wanted = true;  // OSPREL_FTP_CONFINE
    int landlockAbi = 0;
    std::string landlockMissing;
    bool seccomp = false;
    std::string seccompMissing;
};

// The start-up line's words: ", confined (Landlock 7, seccomp)", or what is
// missing and why (", not confined: the kernel offers no Landlock (seccomp
// only)"), or ", not confined (OSPREL_FTP_CONFINE=0)".
std::string confinementWords(const ConfinementOffer &offer);

class Confinement {
public:
    // On the thread that sets the server up, once the root is open and the
    // accounts, TLS files and transfer log are loaded: makes the first uses
    // of the process's shared state that a confined thread could not make
    // (the time zone, the C library's messages, OpenSSL's configuration and
    // seeding), builds the rules for config, and tries them on a thread of
    // its own to learn what the kernel offers.  rootFd: the served root;
    // controlPort: the port listened on.  Null with a one-line reason in
    // *error and errno its cause when a directory the rules name cannot be
    // opened.
    static std::unique_ptr<Confinement> prepare(const ServerConfig &config, int rootFd, int controlPort,
                                                std::string *error);

    const ConfinementOffer &offer() const { return offer_; }

    // Confines the calling thread (and those it creates afterwards) with
    // what prepare found offered.  Never the host's thread: the server's
    // own.  False with a one-line reason and errno set when the kernel
    // refuses what it offered before; the thread must then not serve.
    // Thread-safe.
    bool confineThisThread(std::string *error) const;

private:
    Confinement() = default;
    // 0, or an errno with a one-line reason in *error.
    int planRules(const ServerConfig &config, int rootFd, int controlPort, std::string *error);
    void tryOnAThreadOfItsOwn();

    ConfinementOffer offer_;
    LandlockRuleset ruleset_;
};

}  // namespace osprel
