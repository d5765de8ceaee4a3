// Socket addresses and the client's PORT and EPRT arguments.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <string_view>

namespace osprel {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const { return storage.ss_family; }
    int port() const;
    void setPort(int port);
    sockaddr *raw() { return reinterpret_cast<sockaddr *>(&storage); }
    const sockaddr *raw() const { return reinterpret_cast<const sockaddr *>(&storage); }
};

// An IPv4 address seen through a dual-stack IPv6 socket (::ffff:a.b.c.d)
// becomes plain IPv4, so comparisons and PASV see one form.
SocketAddress unmapped(const SocketAddress &address);

SocketAddress peerAddressOf(int fd);
SocketAddress localAddressOf(int fd);

// Whether two addresses name the same host (ports ignored).
bool sameHost(const SocketAddress &a, const SocketAddress &b);

// The numeric host, "192.0.2.1" or "2001:db8::1".
std::string hostText(const SocketAddress &address);

// "h1,h2,h3,h4,p1,p2" to an IPv4 address and port.
bool parsePortArgument(std::string_view argument, SocketAddress *address);

enum class EprtParse { kOk, kBadSyntax, kUnknownProtocol };

// "|1|192.0.2.1|6275|" or "|2|2001:db8::1|6275|", any delimiter.
EprtParse parseEprtArgument(std::string_view argument, SocketAddress *address);

}  // namespace osprel
