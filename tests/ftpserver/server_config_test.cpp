// The command line and the OSPREL_FTP_* environment.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "config/ServerConfig.h"

using osprel::parseCommandLine;
using osprel::readEnvironment;
using osprel::ServerConfig;

namespace {

constexpr char kHash[] = "$y$j9T$tRuC4m6c0BfKw57594EUC/$4qt/jFl1PLt7hEaizY8PFplJVzJ3WMheUg25l4YWzMD";

std::string parseError(std::vector<const char *> arguments) {
    ServerConfig config;
    std::string error;
    EXPECT_FALSE(parseCommandLine(static_cast<int>(arguments.size()), const_cast<char **>(arguments.data()), &config,
                                  &error));
    return error;
}

std::map<std::string, std::string> g_environment;

// HOME is set unless a test sets it otherwise.
void setEnvironment(std::map<std::string, std::string> variables) {
    variables.try_emplace("HOME", "/home/u");
    g_environment = std::move(variables);
}

char *fakeGetenv(const char *name) {
    auto found = g_environment.find(name);
    return found == g_environment.end() ? nullptr : found->second.data();
}

std::string environmentError(std::map<std::string, std::string> variables) {
    setEnvironment(std::move(variables));
    ServerConfig config;
    std::string error;
    EXPECT_FALSE(readEnvironment(fakeGetenv, &config, &error));
    return error;
}

ServerConfig environmentConfig(std::map<std::string, std::string> variables) {
    setEnvironment(std::move(variables));
    ServerConfig config;
    std::string error;
    EXPECT_TRUE(readEnvironment(fakeGetenv, &config, &error)) << error;
    return config;
}

}  // namespace

TEST(CommandLine, TheMonitorsCommandLine) {
    const char *arguments[] = {"monitor.elf", "-c", "3456", "-d", "34567"};
    ServerConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine(5, const_cast<char **>(arguments), &config, &error)) << error;
    EXPECT_EQ(config.controlPort, 3456);
    EXPECT_EQ(config.firstPassivePort, 34567);
}

TEST(CommandLine, ReadsExactlyArgcEntriesAndWritesNone) {
    // The vector ends at a page nobody may touch, with no null entry after
    // it, and the texts are read-only.
    long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<char *>(mmap(nullptr, static_cast<size_t>(2 * page), PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    static const char *const texts[] = {"monitor.elf", "-c", "3456", "-d", "34567"};
    char **argv = reinterpret_cast<char **>(pages + page) - 5;
    for (int i = 0; i < 5; ++i) argv[i] = const_cast<char *>(texts[i]);
    ASSERT_EQ(mprotect(pages, static_cast<size_t>(page), PROT_READ), 0);
    ASSERT_EQ(mprotect(pages + page, static_cast<size_t>(page), PROT_NONE), 0);

    ServerConfig config;
    std::string error;
    EXPECT_TRUE(parseCommandLine(5, argv, &config, &error)) << error;
    EXPECT_EQ(config.firstPassivePort, 34567);
    // Three entries: "-d" has no value within argc, whatever follows in memory.
    EXPECT_FALSE(parseCommandLine(4, argv, &config, &error));
    EXPECT_EQ(error, "option -d needs a port number");
    munmap(pages, static_cast<size_t>(2 * page));
}

TEST(CommandLine, BadCommandLinesSayWhy) {
    EXPECT_EQ(parseError({"x"}), "usage: -c CONTROL_PORT -d FIRST_PASSIVE_PORT");
    EXPECT_EQ(parseError({"x", "-c", "21"}), "usage: -c CONTROL_PORT -d FIRST_PASSIVE_PORT");
    EXPECT_EQ(parseError({"x", "-c", "21", "-d"}), "option -d needs a port number");
    EXPECT_EQ(parseError({"x", "-c", "0", "-d", "2000"}), "option -c needs a port number from 1 to 65535, not \"0\"");
    EXPECT_EQ(parseError({"x", "-c", "65536", "-d", "2000"}),
              "option -c needs a port number from 1 to 65535, not \"65536\"");
    EXPECT_EQ(parseError({"x", "-c", "21x", "-d", "2000"}),
              "option -c needs a port number from 1 to 65535, not \"21x\"");
    EXPECT_EQ(parseError({"x", "-c", "+21", "-d", "2000"}),
              "option -c needs a port number from 1 to 65535, not \"+21\"");
    EXPECT_EQ(parseError({"x", "-c", "21", "-d", ""}), "option -d needs a port number from 1 to 65535, not \"\"");
    EXPECT_EQ(parseError({"x", "-p", "21"}), "unknown option \"-p\"");
    EXPECT_EQ(parseError({"x", "-c", "21", "-d", "65500"}), "the passive range of 64 ports from 65500 passes port 65535");
    EXPECT_EQ(parseError({"x", "-c", "2010", "-d", "2000"}), "control port 2010 lies inside the passive range 2000-2063");
    EXPECT_EQ(parseError({"x", "-c", "21", nullptr, "2000"}), "missing argument 3");
    ServerConfig config;
    std::string error;
    EXPECT_FALSE(parseCommandLine(0, nullptr, &config, &error));
}

TEST(Environment, Defaults) {
    ServerConfig config = environmentConfig({});
    EXPECT_EQ(config.root, "/home/u/.local/share/osprel/ftp");
    EXPECT_TRUE(config.rootIsDefault);
    EXPECT_EQ(config.bindText, "127.0.0.1");
    ASSERT_EQ(config.bindAddress.ss_family, AF_INET);
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(&config.bindAddress)->sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(config.credentialsRequired);
    EXPECT_EQ(config.writeAccess, osprel::WriteAccess::kConfiguredLogin);
    EXPECT_EQ(config.idleTimeoutSeconds, 300);
    EXPECT_EQ(config.passiveTimeoutSeconds, 30);
    EXPECT_EQ(config.loginTimeoutSeconds, 30);
    EXPECT_EQ(config.maxSessionsPerAddress, 16);
    EXPECT_TRUE(config.atomicUploads);
    EXPECT_TRUE(config.syncUploads);
    EXPECT_EQ(config.minFree.percent, 5U);
    EXPECT_EQ(config.minFree.atMostBytes, 1ULL << 30);
    EXPECT_EQ(config.maxFileSize, 0ULL);
    EXPECT_EQ(config.maxSessionRate, 0);
    EXPECT_EQ(config.maxTotalRate, 0);
    EXPECT_EQ(config.passiveAddress, "");
    EXPECT_EQ(config.transferLogPath, "");
    // Never the current directory: the user's data directory, else nothing.
    EXPECT_EQ(environmentConfig({{"HOME", "/home/u"}, {"XDG_DATA_HOME", "/data"}}).root, "/data/osprel/ftp");
    EXPECT_EQ(environmentConfig({{"HOME", "/home/u"}, {"XDG_DATA_HOME", "rel"}}).root,
              "/home/u/.local/share/osprel/ftp");
    EXPECT_EQ(environmentError({{"HOME", "relative"}}),
              "no directory to serve: set OSPREL_FTP_ROOT (or HOME or XDG_DATA_HOME for the default)");
}

TEST(Environment, EveryVariable) {
    ServerConfig config = environmentConfig({{"OSPREL_FTP_ROOT", "/srv/ftp"},
                                             {"OSPREL_FTP_BIND", "::1"},
                                             {"OSPREL_FTP_USER", "alice"},
                                             {"OSPREL_FTP_PASSWORD", "s3cret"},
                                             {"OSPREL_FTP_READONLY", "1"},
                                             {"OSPREL_FTP_IDLE_TIMEOUT", "5"},
                                             {"OSPREL_FTP_PASSIVE_TIMEOUT", "2"},
                                             {"OSPREL_FTP_LOGIN_TIMEOUT", "3"},
                                             {"OSPREL_FTP_MAX_PER_ADDRESS", "64"},
                                             {"OSPREL_FTP_ATOMIC_UPLOADS", "0"},
                                             {"OSPREL_FTP_SYNC_UPLOADS", "0"},
                                             {"OSPREL_FTP_MIN_FREE", "2%"},
                                             {"OSPREL_FTP_MAX_FILE_SIZE", "3G"},
                                             {"OSPREL_FTP_MAX_RATE", "512K"},
                                             {"OSPREL_FTP_MAX_TOTAL_RATE", "10M"},
                                             {"OSPREL_FTP_PASSIVE_ADDRESS", "203.0.113.7"},
                                             {"OSPREL_FTP_TRANSFER_LOG", "/var/log/xferlog"},
                                             {"OSPREL_FTP_CONFINE", "0"}});
    EXPECT_EQ(config.root, "/srv/ftp");
    EXPECT_FALSE(config.rootIsDefault);
    EXPECT_EQ(config.bindAddress.ss_family, AF_INET6);
    EXPECT_TRUE(config.credentialsRequired);
    EXPECT_EQ(config.user, "alice");
    EXPECT_EQ(config.password, "s3cret");
    EXPECT_EQ(config.writeAccess, osprel::WriteAccess::kNobody);
    EXPECT_EQ(config.idleTimeoutSeconds, 5);
    EXPECT_EQ(config.passiveTimeoutSeconds, 2);
    EXPECT_EQ(config.loginTimeoutSeconds, 3);
    EXPECT_EQ(config.maxSessionsPerAddress, 64);
    EXPECT_FALSE(config.atomicUploads);
    EXPECT_FALSE(config.syncUploads);
    EXPECT_EQ(config.minFree.percent, 2U);
    EXPECT_EQ(config.minFree.atMostBytes, ULLONG_MAX);
    EXPECT_EQ(config.maxFileSize, 3ULL << 30);
    EXPECT_EQ(config.maxSessionRate, 512 << 10);
    EXPECT_EQ(config.maxTotalRate, 10 << 20);
    EXPECT_EQ(config.passiveAddress, "203.0.113.7");
    EXPECT_EQ(config.transferLogPath, "/var/log/xferlog");
    EXPECT_FALSE(config.confine);
    EXPECT_TRUE(environmentConfig({}).confine);
    EXPECT_EQ(environmentConfig({{"OSPREL_FTP_ROOT", "/"}, {"OSPREL_FTP_READONLY", "0"}}).writeAccess,
              osprel::WriteAccess::kEveryone);
    config = environmentConfig({{"OSPREL_FTP_USER", "alice"}, {"OSPREL_FTP_PASSWORD_HASH", kHash}});
    EXPECT_EQ(config.passwordHash, kHash);
    EXPECT_EQ(config.password, "");
    EXPECT_EQ(environmentConfig({{"OSPREL_FTP_USERS_FILE", "/etc/users"}}).usersFile, "/etc/users");
}

TEST(Environment, ValuesItCannotUseStopTheStart) {
    EXPECT_EQ(environmentError({{"OSPREL_FTP_BIND", "localhost"}}),
              "OSPREL_FTP_BIND must be an IPv4 or IPv6 address, not \"localhost\"");
    const std::string halfPair = "OSPREL_FTP_USER and OSPREL_FTP_PASSWORD (or OSPREL_FTP_PASSWORD_HASH) must be set "
                                 "together (or neither, for anonymous login)";
    EXPECT_EQ(environmentError({{"OSPREL_FTP_USER", "alice"}}), halfPair);
    EXPECT_EQ(environmentError({{"OSPREL_FTP_PASSWORD", "x"}}), halfPair);
    EXPECT_EQ(environmentError({{"OSPREL_FTP_PASSWORD_HASH", kHash}}), halfPair);
    EXPECT_EQ(environmentError({{"OSPREL_FTP_USERS_FILE", "/etc/users"}, {"OSPREL_FTP_PASSWORD", "x"}}), halfPair);
    EXPECT_EQ(environmentError({{"OSPREL_FTP_USER", "alice"}, {"OSPREL_FTP_PASSWORD", "x"},
                                {"OSPREL_FTP_PASSWORD_HASH", kHash}}),
              "set OSPREL_FTP_PASSWORD or OSPREL_FTP_PASSWORD_HASH, not both");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_USER", "alice"}, {"OSPREL_FTP_PASSWORD_HASH", "$1$i.VBmZkF$x"}}),
              "OSPREL_FTP_PASSWORD_HASH: $1$ hashes are refused: use yescrypt ($y$), bcrypt ($2b$), SHA-512 ($6$) "
              "or SHA-256 ($5$) crypt");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_USERS_FILE", "/etc/users"}, {"OSPREL_FTP_USER", "alice"},
                                {"OSPREL_FTP_PASSWORD", "x"}}),
              "OSPREL_FTP_USERS_FILE and OSPREL_FTP_USER exclude each other: put that login in the accounts file");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_READONLY", "yes"}}), "OSPREL_FTP_READONLY must be 1 or 0, not \"yes\"");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_IDLE_TIMEOUT", "0"}}),
              "OSPREL_FTP_IDLE_TIMEOUT must be a number of seconds from 1 to 86400, not \"0\"");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_PASSIVE_TIMEOUT", "1.5"}}),
              "OSPREL_FTP_PASSIVE_TIMEOUT must be a number of seconds from 1 to 86400, not \"1.5\"");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_MAX_PER_ADDRESS", "65"}}),
              "OSPREL_FTP_MAX_PER_ADDRESS must be a number of sessions from 1 to 64, not \"65\"");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_ATOMIC_UPLOADS", "on"}}),
              "OSPREL_FTP_ATOMIC_UPLOADS must be 1 or 0, not \"on\"");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_SYNC_UPLOADS", "2"}}),
              "OSPREL_FTP_SYNC_UPLOADS must be 1 or 0, not \"2\"");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_CONFINE", "yes"}}), "OSPREL_FTP_CONFINE must be 1 or 0, not \"yes\"");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_TRANSFER_LOG", "xferlog"}}),
              "OSPREL_FTP_TRANSFER_LOG must be an absolute path, not \"xferlog\"");
}

TEST(Environment, SizesTakeBinarySuffixesAndTheReserveAPercentage) {
    struct Case {
        const char *text;
        unsigned percent;
        unsigned long long atMostBytes;
    };
    const Case reserves[] = {{"0", 0, 0},
                             {"0%", 0, 0},
                             {"99%", 99, ULLONG_MAX},
                             {"4096", 100, 4096},
                             {"512K", 100, 512 << 10},
                             {"100M", 100, 100ULL << 20},
                             {"2G", 100, 2ULL << 30},
                             {"8589934591G", 100, 8589934591ULL << 30}};
    for (const Case &reserve : reserves) {
        osprel::FreeSpaceReserve got = environmentConfig({{"OSPREL_FTP_MIN_FREE", reserve.text}}).minFree;
        EXPECT_EQ(got.percent, reserve.percent) << reserve.text;
        EXPECT_EQ(got.atMostBytes, reserve.atMostBytes) << reserve.text;
    }
    EXPECT_EQ(environmentConfig({{"OSPREL_FTP_MAX_FILE_SIZE", "1"}}).maxFileSize, 1ULL);
    EXPECT_EQ(environmentConfig({{"OSPREL_FTP_MAX_FILE_SIZE", "9223372036854775807"}}).maxFileSize,
              9223372036854775807ULL);
    for (const char *bad : {"100%", "5.5%", "%", "-1", "1T", "1k", "M", "10 M", "8589934592G", "9223372036854775808"})
        EXPECT_EQ(environmentError({{"OSPREL_FTP_MIN_FREE", bad}}),
                  std::string("OSPREL_FTP_MIN_FREE must be a size in bytes (K, M or G for KiB, MiB or GiB) or a "
                              "percentage from 0% to 99%, not \"") +
                      bad + "\"");
    for (const char *bad : {"0", "0K", "5%", "1.5G", "99999999999999999999"})
        EXPECT_EQ(environmentError({{"OSPREL_FTP_MAX_FILE_SIZE", bad}}),
                  std::string("OSPREL_FTP_MAX_FILE_SIZE must be a size in bytes from 1 (K, M or G for KiB, MiB or "
                              "GiB), not \"") +
                      bad + "\"");
}

TEST(Environment, RateCapsInPowersOf1024) {
    const std::pair<const char *, long long> accepted[] = {
        {"0", 0}, {"0K", 0}, {"1", 1}, {"1048576", 1 << 20}, {"5368709120", 5LL << 30}, {"512K", 512 << 10},
        {"3M", 3 << 20}, {"1024G", 1LL << 40}};
    for (const auto &[text, rate] : accepted) {
        EXPECT_EQ(environmentConfig({{"OSPREL_FTP_MAX_RATE", text}}).maxSessionRate, rate) << text;
        EXPECT_EQ(environmentConfig({{"OSPREL_FTP_MAX_TOTAL_RATE", text}}).maxTotalRate, rate) << text;
    }
    for (const char *text : {"1.5M", "10m", "1T", "K", "-1", " 1M", "1M ", "1025G", "1099511627777", "1KB"}) {
        EXPECT_EQ(environmentError({{"OSPREL_FTP_MAX_RATE", text}}),
                  std::string("OSPREL_FTP_MAX_RATE must be bytes per second up to 1024G, with an optional K, M or G "
                              "suffix (0: no cap), not \"") +
                      text + "\"");
    }
    EXPECT_EQ(environmentError({{"OSPREL_FTP_MAX_TOTAL_RATE", "fast"}}),
              "OSPREL_FTP_MAX_TOTAL_RATE must be bytes per second up to 1024G, with an optional K, M or G suffix (0: "
              "no cap), not \"fast\"");
}

TEST(Environment, PassiveAddressIsAnIpv4AddressClientsCanReach) {
    EXPECT_EQ(environmentConfig({{"OSPREL_FTP_PASSIVE_ADDRESS", "192.168.1.10"}}).passiveAddress, "192.168.1.10");
    for (const char *text : {"::1", "gateway", "10.0.0", "010.0.0.1", "0.0.0.0", "0.1.2.3", "224.0.0.1",
                             "255.255.255.255", "10.0.0.1 "}) {
        EXPECT_EQ(environmentError({{"OSPREL_FTP_PASSIVE_ADDRESS", text}}),
                  std::string("OSPREL_FTP_PASSIVE_ADDRESS must be a numeric IPv4 address clients can reach, not \"") +
                      text + "\"");
    }
}

namespace {

osprel::TlsSettings tlsSettings(std::map<std::string, std::string> variables) {
    return environmentConfig(std::move(variables)).tls;
}

}  // namespace

TEST(Environment, TlsIsOffWithoutACertificateAndAllowedWithOne) {
    using osprel::TlsMode;
    EXPECT_EQ(tlsSettings({}).mode, TlsMode::kOff);
    EXPECT_TRUE(tlsSettings({}).requireResumption);
    osprel::TlsSettings settings = tlsSettings({{"OSPREL_FTP_TLS_CERT", "c.pem"}, {"OSPREL_FTP_TLS_KEY", "k.pem"}});
    EXPECT_EQ(settings.mode, TlsMode::kAllowed);
    EXPECT_EQ(settings.certificatePath, "c.pem");
    EXPECT_EQ(settings.keyPath, "k.pem");
    settings = tlsSettings({{"OSPREL_FTP_TLS_CERT", "c.pem"},
                            {"OSPREL_FTP_TLS_KEY", "k.pem"},
                            {"OSPREL_FTP_TLS", "required"},
                            {"OSPREL_FTP_TLS_RESUME", "0"}});
    EXPECT_EQ(settings.mode, TlsMode::kRequired);
    EXPECT_FALSE(settings.requireResumption);
    EXPECT_EQ(tlsSettings({{"OSPREL_FTP_TLS_CERT", "c.pem"}, {"OSPREL_FTP_TLS_KEY", "k.pem"}, {"OSPREL_FTP_TLS", "off"}})
                  .mode,
              TlsMode::kOff);
}

TEST(Environment, TlsValuesItCannotUseStopTheStart) {
    EXPECT_EQ(environmentError({{"OSPREL_FTP_TLS_CERT", "c.pem"}}),
              "OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY must be set together");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_TLS_KEY", "k.pem"}}),
              "OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY must be set together");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_TLS", "required"}}),
              "OSPREL_FTP_TLS=required needs OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_TLS", "on"}}),
              "OSPREL_FTP_TLS must be off, allowed or required, not \"on\"");
    EXPECT_EQ(environmentError({{"OSPREL_FTP_TLS_RESUME", "no"}}), "OSPREL_FTP_TLS_RESUME must be 1 or 0, not \"no\"");
}
