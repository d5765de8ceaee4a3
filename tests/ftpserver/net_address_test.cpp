// PORT and EPRT arguments, and host comparison for the bounce checks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include "net/NetAddress.h"

using osprel::EprtParse;
using osprel::hostText;
using osprel::parseEprtArgument;
using osprel::parsePortArgument;
using osprel::sameHost;
using osprel::SocketAddress;

namespace {

SocketAddress v4(const char *host, int port) {
    SocketAddress address;
    EXPECT_EQ(parsePortArgument(std::string(host) + "," + std::to_string(port >> 8) + "," + std::to_string(port & 255),
                                &address),
              true);
    return address;
}

}  // namespace

TEST(PortArgument, SixNumbersGiveHostAndPort) {
    SocketAddress address;
    ASSERT_TRUE(parsePortArgument("127,0,0,1,4,1", &address));
    EXPECT_EQ(address.family(), AF_INET);
    EXPECT_EQ(hostText(address), "127.0.0.1");
    EXPECT_EQ(address.port(), 1025);
    ASSERT_TRUE(parsePortArgument("192,168,1,10,255,255", &address));
    EXPECT_EQ(hostText(address), "192.168.1.10");
    EXPECT_EQ(address.port(), 65535);
}

TEST(PortArgument, RefusesMalformedArguments) {
    SocketAddress address;
    for (const char *bad : {"", "1,2,3,4,5", "1,2,3,4,5,6,7", "256,0,0,1,4,1", "1,2,3,4,5,256", "1,2,3,4,5,",
                            ",1,2,3,4,5", "1,2,3,4,-5,6", "1, 2,3,4,5,6", "a,b,c,d,e,f", "1,2,3,4,5,0x1",
                            "1,2,3,4,5,000006"})
        EXPECT_FALSE(parsePortArgument(bad, &address)) << bad;
}

TEST(EprtArgument, Ipv4AndIpv6WithAnyDelimiter) {
    SocketAddress address;
    ASSERT_EQ(parseEprtArgument("|1|127.0.0.1|6275|", &address), EprtParse::kOk);
    EXPECT_EQ(address.family(), AF_INET);
    EXPECT_EQ(hostText(address), "127.0.0.1");
    EXPECT_EQ(address.port(), 6275);
    ASSERT_EQ(parseEprtArgument("!2!::1!5282!", &address), EprtParse::kOk);
    EXPECT_EQ(address.family(), AF_INET6);
    EXPECT_EQ(hostText(address), "::1");
    EXPECT_EQ(address.port(), 5282);
}

TEST(EprtArgument, RefusesMalformedArgumentsAndUnknownProtocols) {
    SocketAddress address;
    for (const char *bad : {"", "|", "|1|127.0.0.1|6275", "|1|127.0.0.1|6275||", "|1|127.0.0.1|0|",
                            "|1|127.0.0.1|65536|", "|1|::1|6275|", "|2|127.0.0.1|6275|", "|1|127.0.0.1|x|",
                            "1|1|127.0.0.1|6275|", " |1|127.0.0.1|6275|"})
        EXPECT_EQ(parseEprtArgument(bad, &address), EprtParse::kBadSyntax) << bad;
    EXPECT_EQ(parseEprtArgument("|3|127.0.0.1|6275|", &address), EprtParse::kUnknownProtocol);
}

TEST(SameHost, ComparesAddressesNotPortsAndSeesThroughMappedIpv4) {
    EXPECT_TRUE(sameHost(v4("127,0,0,1", 5000), v4("127,0,0,1", 6000)));
    EXPECT_FALSE(sameHost(v4("127,0,0,1", 5000), v4("127,0,0,2", 5000)));

    SocketAddress mapped;
    ASSERT_EQ(parseEprtArgument("|2|::ffff:127.0.0.1|5000|", &mapped), EprtParse::kOk);
    EXPECT_TRUE(sameHost(mapped, v4("127,0,0,1", 1)));
    SocketAddress loopback6;
    ASSERT_EQ(parseEprtArgument("|2|::1|5000|", &loopback6), EprtParse::kOk);
    EXPECT_FALSE(sameHost(loopback6, v4("127,0,0,1", 1)));
    EXPECT_FALSE(sameHost(SocketAddress(), SocketAddress()));
}
