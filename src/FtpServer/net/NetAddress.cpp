#include "net/NetAddress.h"

#include <arpa/inet.h>
#include <string.h>

namespace osprel {

namespace {

// Plain decimal only, at most `high`.
bool parseDecimal(std::string_view text, long high, long *value) {
    if (text.empty() || text.size() > 5) return false;
    long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
    }
    if (result > high) return false;
    *value = result;
    return true;
}

SocketAddress ipv4Address(const in_addr &host, int port) {
    SocketAddress address;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr = host;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    memcpy(&address.storage, &v4, sizeof v4);
    address.length = sizeof v4;
    return address;
}

}  // namespace

int SocketAddress::port() const {
    if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in *>(&storage)->sin_port);
    if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_port);
    return 0;
}

void SocketAddress::setPort(int port) {
    uint16_t value = htons(static_cast<uint16_t>(port));
    if (family() == AF_INET) reinterpret_cast<sockaddr_in *>(&storage)->sin_port = value;
    if (family() == AF_INET6) reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port = value;
}

SocketAddress unmapped(const SocketAddress &address) {
    if (address.family() != AF_INET6) return address;
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&address.storage);
    if (!IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) return address;
    in_addr host;
    memcpy(&host, v6->sin6_addr.s6_addr + 12, sizeof host);
    return ipv4Address(host, ntohs(v6->sin6_port));
}

SocketAddress peerAddressOf(int fd) {
    SocketAddress address;
    address.length = sizeof address.storage;
    if (getpeername(fd, address.raw(), &address.length) != 0) address = SocketAddress();
    return unmapped(address);
}

SocketAddress localAddressOf(int fd) {
    SocketAddress address;
    address.length = sizeof address.storage;
    if (getsockname(fd, address.raw(), &address.length) != 0) address = SocketAddress();
    return unmapped(address);
}

bool sameHost(const SocketAddress &a, const SocketAddress &b) {
    SocketAddress left = unmapped(a);
    SocketAddress right = unmapped(b);
    if (left.family() != right.family()) return false;
    if (left.family() == AF_INET) {
        return reinterpret_cast<const sockaddr_in *>(&left.storage)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in *>(&right.storage)->sin_addr.s_addr;
    }
    if (left.family() == AF_INET6) {
        return memcmp(&reinterpret_cast<const sockaddr_in6 *>(&left.storage)->sin6_addr,
                      &reinterpret_cast<const sockaddr_in6 *>(&right.storage)->sin6_addr, sizeof(in6_addr)) == 0;
    }
    return false;
}

std::string hostText(const SocketAddress &address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.family() == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&address.storage)->sin_addr, text, sizeof text);
    else if (address.family() == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&address.storage)->sin6_addr, text, sizeof text);
    return text;
}

bool parsePortArgument(std::string_view argument, SocketAddress *address) {
    long numbers[6];
    size_t start = 0;
    for (int i = 0; i < 6; ++i) {
        size_t comma = argument.find(',', start);
        if ((comma == std::string_view::npos) != (i == 5)) return false;
        std::string_view field = argument.substr(start, comma == std::string_view::npos ? argument.npos : comma - start);
        if (!parseDecimal(field, 255, &numbers[i])) return false;
        start = comma + 1;
    }
    in_addr host;
    host.s_addr = htonl(static_cast<uint32_t>((numbers[0] << 24) | (numbers[1] << 16) | (numbers[2] << 8) | numbers[3]));
    *address = ipv4Address(host, static_cast<int>(numbers[4] * 256 + numbers[5]));
    return true;
}

EprtParse parseEprtArgument(std::string_view argument, SocketAddress *address) {
    if (argument.size() < 2) return EprtParse::kBadSyntax;
    char delimiter = argument[0];
    if (delimiter < 33 || delimiter > 126 || (delimiter >= '0' && delimiter <= '9')) return EprtParse::kBadSyntax;
    std::string_view fields[3];
    size_t start = 1;
    for (std::string_view &field : fields) {
        size_t end = argument.find(delimiter, start);
        if (end == std::string_view::npos) return EprtParse::kBadSyntax;
        field = argument.substr(start, end - start);
        start = end + 1;
    }
    if (start != argument.size()) return EprtParse::kBadSyntax;

    long port = 0;
    if (!parseDecimal(fields[2], 65535, &port) || port == 0) return EprtParse::kBadSyntax;
    std::string host(fields[1]);
    if (fields[0] == "1") {
        in_addr v4;
        if (inet_pton(AF_INET, host.c_str(), &v4) != 1) return EprtParse::kBadSyntax;
        *address = ipv4Address(v4, static_cast<int>(port));
        return EprtParse::kOk;
    }
    if (fields[0] == "2") {
        sockaddr_in6 v6{};
        if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) != 1) return EprtParse::kBadSyntax;
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        SocketAddress result;
        memcpy(&result.storage, &v6, sizeof v6);
        result.length = sizeof v6;
        *address = result;
        return EprtParse::kOk;
    }
    return EprtParse::kUnknownProtocol;
}

}  // namespace osprel
