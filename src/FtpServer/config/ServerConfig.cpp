#include "config/ServerConfig.h"

#include <arpa/inet.h>
#include <limits.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <limits>

#include "base/PasswordHash.h"

namespace osprel {

namespace {

// The largest size a file can have, in bytes.
constexpr unsigned long long kMaxFileBytes = std::numeric_limits<off_t>::max();

// Accepts only plain decimal digits, so "+1", " 1" and "1x" are all refused.
// 64-bit on every target: sizes and rates pass 2^32.
bool parseNumber(const char *text, long long low, long long high, long long *value) {
    if (text == nullptr || *text == '\0') return false;
    long long result = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        int digit = *p - '0';
        if (result > (high - digit) / 10) return false;
        result = result * 10 + digit;
    }
    if (result < low) return false;
    *value = result;
    return true;
}

bool parsePortOption(const char *option, const char *text, int *port, std::string *error) {
    long long value = 0;
    if (!parseNumber(text, 1, 65535, &value)) {
        *error = std::string("option ") + option + " needs a port number from 1 to 65535, not \"" +
                 (text ? text : "") + "\"";
        return false;
    }
    *port = static_cast<int>(value);
    return true;
}

bool parseBindAddress(const char *text, ServerConfig *config) {
    sockaddr_in v4{};
    if (inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        memcpy(&config->bindAddress, &v4, sizeof v4);
        config->bindAddressLength = sizeof v4;
        return true;
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        memcpy(&config->bindAddress, &v6, sizeof v6);
        config->bindAddressLength = sizeof v6;
        return true;
    }
    return false;
}

bool readNumber(EnvironmentGetter getter, const char *name, int high, const char *unit, int *number,
                std::string *error) {
    const char *text = getter(name);
    if (text == nullptr || *text == '\0') return true;
    long long value = 0;
    if (!parseNumber(text, 1, high, &value)) {
        *error = std::string(name) + " must be a number of " + unit + " from 1 to " + std::to_string(high) +
                 ", not \"" + text + "\"";
        return false;
    }
    *number = static_cast<int>(value);
    return true;
}

bool readSeconds(EnvironmentGetter getter, const char *name, int *seconds, std::string *error) {
    return readNumber(getter, name, 86400, "seconds", seconds, error);
}

const char *nonEmpty(const char *text) { return text != nullptr && *text != '\0' ? text : nullptr; }

// "1" or "0" into *flag (1 or 0); unset or empty leaves *flag as it is.
bool readFlag(EnvironmentGetter getter, const char *name, int *flag, std::string *error) {
    const char *text = nonEmpty(getter(name));
    if (text == nullptr) return true;
    if (strcmp(text, "1") != 0 && strcmp(text, "0") != 0) {
        *error = std::string(name) + " must be 1 or 0, not \"" + text + "\"";
        return false;
    }
    *flag = text[0] == '1' ? 1 : 0;
    return true;
}

// Never the current directory, which for a service is often "/": a
// directory of the server's own under the user's data directory (XDG's
// rules: a relative XDG_DATA_HOME is ignored).
bool readRoot(EnvironmentGetter getter, ServerConfig *config, std::string *error) {
    if (const char *root = nonEmpty(getter("OSPREL_FTP_ROOT"))) {
        config->root = root;
        return true;
    }
    const char *dataHome = nonEmpty(getter("XDG_DATA_HOME"));
    const char *home = nonEmpty(getter("HOME"));
    if (dataHome != nullptr && dataHome[0] == '/') {
        config->root = std::string(dataHome) + "/osprel/ftp";
    } else if (home != nullptr && home[0] == '/') {
        config->root = std::string(home) + "/.local/share/osprel/ftp";
    } else {
        *error = "no directory to serve: set OSPREL_FTP_ROOT (or HOME or XDG_DATA_HOME for the default)";
        return false;
    }
    config->rootIsDefault = true;
    return true;
}

bool parseTlsMode(const char *text, TlsMode *mode) {
    static const struct {
        const char *name;
        TlsMode mode;
    } kModes[] = {{"off", TlsMode::kOff}, {"allowed", TlsMode::kAllowed}, {"required", TlsMode::kRequired}};
    for (const auto &candidate : kModes) {
        if (strcmp(text, candidate.name) == 0) {
            *mode = candidate.mode;
            return true;
        }
    }
    return false;
}

// OSPREL_FTP_TLS is allowed by default with a certificate, off without.  The
// files are only named here; the server loads them.
bool readTls(EnvironmentGetter getter, TlsSettings *tls, std::string *error) {
    const char *certificate = nonEmpty(getter("OSPREL_FTP_TLS_CERT"));
    const char *key = nonEmpty(getter("OSPREL_FTP_TLS_KEY"));
    const char *mode = nonEmpty(getter("OSPREL_FTP_TLS"));
    if ((certificate == nullptr) != (key == nullptr)) {
        *error = "OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY must be set together";
        return false;
    }
    tls->mode = certificate != nullptr ? TlsMode::kAllowed : TlsMode::kOff;
    if (mode != nullptr && !parseTlsMode(mode, &tls->mode)) {
        *error = std::string("OSPREL_FTP_TLS must be off, allowed or required, not \"") + mode + "\"";
        return false;
    }
    if (tls->mode != TlsMode::kOff && certificate == nullptr) {
        *error = std::string("OSPREL_FTP_TLS=") + mode + " needs OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY";
        return false;
    }
    int resume = 1;
    if (!readFlag(getter, "OSPREL_FTP_TLS_RESUME", &resume, error)) return false;
    tls->requireResumption = resume == 1;
    if (tls->mode != TlsMode::kOff) {
        tls->certificatePath = certificate;
        tls->keyPath = key;
    }
    return true;
}

// Bytes, or KiB, MiB or GiB with a K, M or G after the digits; at most
// limit bytes.
bool parseSize(const char *text, unsigned long long limit, unsigned long long *bytes) {
    static const char kSuffixes[] = "KMG";
    std::string digits = text;
    const char *suffix = digits.empty() ? nullptr : strchr(kSuffixes, digits.back());
    int shift = suffix != nullptr && *suffix != '\0' ? 10 * static_cast<int>(suffix - kSuffixes + 1) : 0;
    if (shift != 0) digits.pop_back();
    long long value = 0;
    if (!parseNumber(digits.c_str(), 0, static_cast<long long>(limit >> shift), &value)) return false;
    *bytes = static_cast<unsigned long long>(value) << shift;
    return true;
}

// A size, or a percentage ("5%") of the file system.
bool parseReserve(const char *text, FreeSpaceReserve *reserve) {
    size_t length = strlen(text);
    long long percent = 0;
    if (text[length - 1] == '%') {
        if (!parseNumber(std::string(text, length - 1).c_str(), 0, 99, &percent)) return false;
        *reserve = {static_cast<unsigned>(percent), percent == 0 ? 0 : ULLONG_MAX};
        return true;
    }
    unsigned long long bytes = 0;
    if (!parseSize(text, kMaxFileBytes, &bytes)) return false;
    *reserve = {bytes == 0 ? 0U : 100U, bytes};
    return true;
}

// A variable that, when set, must be a text that `accept` takes (and
// keeps); refused as "NAME must be WHAT, not "TEXT"".
template <typename Accept>
bool readSetting(EnvironmentGetter getter, const char *name, const char *what, Accept accept, std::string *error) {
    const char *text = nonEmpty(getter(name));
    if (text == nullptr || accept(text)) return true;
    *error = std::string(name) + " must be " + what + ", not \"" + text + "\"";
    return false;
}

bool readUploads(EnvironmentGetter getter, ServerConfig *config, std::string *error) {
    int atomic = 1;
    int sync = 1;
    if (!readFlag(getter, "OSPREL_FTP_ATOMIC_UPLOADS", &atomic, error) ||
        !readFlag(getter, "OSPREL_FTP_SYNC_UPLOADS", &sync, error))
        return false;
    config->atomicUploads = atomic == 1;
    config->syncUploads = sync == 1;
    return readSetting(
               getter, "OSPREL_FTP_MIN_FREE",
               "a size in bytes (K, M or G for KiB, MiB or GiB) or a percentage from 0% to 99%",
               [config](const char *text) { return parseReserve(text, &config->minFree); }, error) &&
           readSetting(
               getter, "OSPREL_FTP_MAX_FILE_SIZE", "a size in bytes from 1 (K, M or G for KiB, MiB or GiB)",
               [config](const char *text) {
                   return parseSize(text, kMaxFileBytes, &config->maxFileSize) && config->maxFileSize != 0;
               },
               error);
}

// OSPREL_FTP_USER with OSPREL_FTP_PASSWORD or OSPREL_FTP_PASSWORD_HASH, or
// OSPREL_FTP_USERS_FILE, or none of them (anonymous).
bool readLogin(EnvironmentGetter getter, ServerConfig *config, std::string *error) {
    const char *user = nonEmpty(getter("OSPREL_FTP_USER"));
    const char *password = nonEmpty(getter("OSPREL_FTP_PASSWORD"));
    const char *hash = nonEmpty(getter("OSPREL_FTP_PASSWORD_HASH"));
    const char *usersFile = nonEmpty(getter("OSPREL_FTP_USERS_FILE"));
    std::string reason;
    if (user != nullptr && usersFile != nullptr) {
        *error = "OSPREL_FTP_USERS_FILE and OSPREL_FTP_USER exclude each other: put that login in the accounts file";
    } else if (password != nullptr && hash != nullptr) {
        *error = "set OSPREL_FTP_PASSWORD or OSPREL_FTP_PASSWORD_HASH, not both";
    } else if ((user == nullptr) != (password == nullptr && hash == nullptr)) {
        // Half a credential pair is a mistake, not a wish for anonymous access.
        *error = "OSPREL_FTP_USER and OSPREL_FTP_PASSWORD (or OSPREL_FTP_PASSWORD_HASH) must be set together (or "
                 "neither, for anonymous login)";
    } else if (hash != nullptr && !acceptableHash(hash, &reason)) {
        *error = "OSPREL_FTP_PASSWORD_HASH: " + reason;
    } else {
        config->credentialsRequired = user != nullptr;
        config->user = user != nullptr ? user : "";
        config->password = password != nullptr ? password : "";
        config->passwordHash = hash != nullptr ? hash : "";
        config->usersFile = usersFile != nullptr ? usersFile : "";
        return true;
    }
    return false;
}

// Bytes per second, with an optional K, M or G (powers of 1024).
bool parseRate(const char *text, long long *rate) {
    unsigned long long bytes = 0;
    if (!parseSize(text, kMaxRateCap, &bytes)) return false;
    *rate = static_cast<long long>(bytes);
    return true;
}

// Unset, empty or 0 leave *rate at 0: no cap.
bool readRate(EnvironmentGetter getter, const char *name, long long *rate, std::string *error) {
    return readSetting(
        getter, name, "bytes per second up to 1024G, with an optional K, M or G suffix (0: no cap)",
        [rate](const char *text) { return parseRate(text, rate); }, error);
}

// A numeric IPv4 address a client can connect to: not 0.0.0.0/8, nor
// multicast, reserved or broadcast (224.0.0.0 and up).
bool isReachableIpv4(const char *text) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) return false;
    unsigned firstByte = ntohl(parsed.s_addr) >> 24;
    return firstByte != 0 && firstByte < 224;
}

// The transfer log's path is absolute, so the log reopened after a rotation
// is the same file whatever the host's current directory has become.
bool readNetworkSharing(EnvironmentGetter getter, ServerConfig *config, std::string *error) {
    auto keepIf = [](bool good, const char *text, std::string *kept) {
        if (good) *kept = text;
        return good;
    };
    return readRate(getter, "OSPREL_FTP_MAX_RATE", &config->maxSessionRate, error) &&
           readRate(getter, "OSPREL_FTP_MAX_TOTAL_RATE", &config->maxTotalRate, error) &&
           readSetting(
               getter, "OSPREL_FTP_PASSIVE_ADDRESS", "a numeric IPv4 address clients can reach",
               [&](const char *text) { return keepIf(isReachableIpv4(text), text, &config->passiveAddress); }, error) &&
           readSetting(
               getter, "OSPREL_FTP_TRANSFER_LOG", "an absolute path",
               [&](const char *text) { return keepIf(text[0] == '/', text, &config->transferLogPath); }, error);
}

}  // namespace

bool parseCommandLine(int argc, char *const *argv, ServerConfig *config, std::string *error) {
    bool haveControl = false;
    bool havePassive = false;
    for (int i = 1; i < argc; ++i) {
        const char *option = argv[i];
        if (option == nullptr) {
            *error = "missing argument " + std::to_string(i);
            return false;
        }
        bool isControl = strcmp(option, "-c") == 0;
        bool isPassive = strcmp(option, "-d") == 0;
        if (!isControl && !isPassive) {
            *error = std::string("unknown option \"") + option + "\"";
            return false;
        }
        if (i + 1 >= argc) {
            *error = std::string("option ") + option + " needs a port number";
            return false;
        }
        const char *value = argv[++i];
        if (!parsePortOption(option, value, isControl ? &config->controlPort : &config->firstPassivePort, error))
            return false;
        (isControl ? haveControl : havePassive) = true;
    }
    if (!haveControl || !havePassive) {
        *error = "usage: -c CONTROL_PORT -d FIRST_PASSIVE_PORT";
        return false;
    }
    int lastPassive = config->firstPassivePort + kPassivePortCount - 1;
    if (lastPassive > 65535) {
        *error = "the passive range of " + std::to_string(kPassivePortCount) + " ports from " +
                 std::to_string(config->firstPassivePort) + " passes port 65535";
        return false;
    }
    if (config->controlPort >= config->firstPassivePort && config->controlPort <= lastPassive) {
        *error = "control port " + std::to_string(config->controlPort) + " lies inside the passive range " +
                 std::to_string(config->firstPassivePort) + "-" + std::to_string(lastPassive);
        return false;
    }
    return true;
}

bool readEnvironment(EnvironmentGetter getter, ServerConfig *config, std::string *error) {
    if (!readRoot(getter, config, error)) return false;

    const char *bind = getter("OSPREL_FTP_BIND");
    config->bindText = (bind != nullptr && *bind != '\0') ? bind : "127.0.0.1";
    if (!parseBindAddress(config->bindText.c_str(), config)) {
        *error = "OSPREL_FTP_BIND must be an IPv4 or IPv6 address, not \"" + config->bindText + "\"";
        return false;
    }

    if (!readLogin(getter, config, error)) return false;

    int readOnly = -1;
    if (!readFlag(getter, "OSPREL_FTP_READONLY", &readOnly, error)) return false;
    config->writeAccess = readOnly < 0    ? WriteAccess::kConfiguredLogin
                          : readOnly == 1 ? WriteAccess::kNobody
                                          : WriteAccess::kEveryone;

    return readSeconds(getter, "OSPREL_FTP_IDLE_TIMEOUT", &config->idleTimeoutSeconds, error) &&
           readSeconds(getter, "OSPREL_FTP_PASSIVE_TIMEOUT", &config->passiveTimeoutSeconds, error) &&
           readSeconds(getter, "OSPREL_FTP_LOGIN_TIMEOUT", &config->loginTimeoutSeconds, error) &&
           readNumber(getter, "OSPREL_FTP_MAX_PER_ADDRESS", kMaxSessions, "sessions",
                      &config->maxSessionsPerAddress, error) &&
           readTls(getter, &config->tls, error) && readUploads(getter, config, error) &&
           readNetworkSharing(getter, config, error);
}

}  // namespace osprel
