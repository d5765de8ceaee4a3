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

// A value set and not empty, or null.
const char *nonEmpty(const char *text) { return text != nullptr && *text != '\0' ? text : nullptr; }

// What the settings are read into: the server's settings, and what is
// decided only once all are read.
struct Reading {
    ServerConfig *config;
    bool tlsModeGiven = false;
};

// Each reader takes its variable's value (null when unset or empty: the
// default stays) and keeps it in the reading, or refuses it alone.
using Reader = bool (*)(const char *name, const char *text, Reading *reading, std::string *error);

bool readNumber(const char *name, const char *text, int high, const char *unit, int *number, std::string *error) {
    if (text == nullptr) return true;
    long long value = 0;
    if (!parseNumber(text, 1, high, &value)) {
        *error = std::string(name) + " must be a number of " + unit + " from 1 to " + std::to_string(high) +
                 ", not \"" + text + "\"";
        return false;
    }
    *number = static_cast<int>(value);
    return true;
}

template <int ServerConfig::*member>
bool readSeconds(const char *name, const char *text, Reading *reading, std::string *error) {
    return readNumber(name, text, 86400, "seconds", &(reading->config->*member), error);
}

bool readSessionsPerAddress(const char *name, const char *text, Reading *reading, std::string *error) {
    return readNumber(name, text, kMaxSessions, "sessions", &reading->config->maxSessionsPerAddress, error);
}

// "1" or "0" into *flag (1 or 0); unset leaves *flag as it is.
bool readFlag(const char *name, const char *text, int *flag, std::string *error) {
    if (text == nullptr) return true;
    if (strcmp(text, "1") != 0 && strcmp(text, "0") != 0) {
        *error = std::string(name) + " must be 1 or 0, not \"" + text + "\"";
        return false;
    }
    *flag = text[0] == '1' ? 1 : 0;
    return true;
}

template <bool ServerConfig::*member>
bool readSwitch(const char *name, const char *text, Reading *reading, std::string *error) {
    int on = reading->config->*member ? 1 : 0;
    if (!readFlag(name, text, &on, error)) return false;
    reading->config->*member = on == 1;
    return true;
}

bool readTlsResume(const char *name, const char *text, Reading *reading, std::string *error) {
    int resume = reading->config->tls.requireResumption ? 1 : 0;
    if (!readFlag(name, text, &resume, error)) return false;
    reading->config->tls.requireResumption = resume == 1;
    return true;
}

bool readReadOnly(const char *name, const char *text, Reading *reading, std::string *error) {
    int readOnly = -1;
    if (!readFlag(name, text, &readOnly, error)) return false;
    reading->config->writeAccess = readOnly < 0    ? WriteAccess::kConfiguredLogin
                                   : readOnly == 1 ? WriteAccess::kNobody
                                                   : WriteAccess::kEveryone;
    return true;
}

// A value that, when set, must be a text that `accept` takes (and keeps);
// refused as "NAME must be WHAT, not "TEXT"".
template <typename Accept>
bool readSetting(const char *name, const char *text, const char *what, Accept accept, std::string *error) {
    if (text == nullptr || accept(text)) return true;
    *error = std::string(name) + " must be " + what + ", not \"" + text + "\"";
    return false;
}

// Texts kept as they are; how they go together is checked once all are read.
template <std::string ServerConfig::*member>
bool readText(const char *, const char *text, Reading *reading, std::string *) {
    reading->config->*member = text != nullptr ? text : "";
    return true;
}

template <std::string TlsSettings::*member>
bool readTlsFile(const char *, const char *text, Reading *reading, std::string *) {
    reading->config->tls.*member = text != nullptr ? text : "";
    return true;
}

bool readRoot(const char *, const char *text, Reading *reading, std::string *) {
    if (text != nullptr) reading->config->root = text;
    reading->config->rootIsDefault = text == nullptr;
    return true;
}

bool readBind(const char *name, const char *text, Reading *reading, std::string *error) {
    ServerConfig *config = reading->config;
    config->bindText = text != nullptr ? text : "127.0.0.1";
    if (parseBindAddress(config->bindText.c_str(), config)) return true;
    *error = std::string(name) + " must be an IPv4 or IPv6 address, not \"" + config->bindText + "\"";
    return false;
}

bool readPasswordHash(const char *name, const char *text, Reading *reading, std::string *error) {
    std::string reason;
    if (text != nullptr && !acceptableHash(text, &reason)) {
        *error = std::string(name) + ": " + reason;
        return false;
    }
    return readText<&ServerConfig::passwordHash>(name, text, reading, error);
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

bool readTlsMode(const char *name, const char *text, Reading *reading, std::string *error) {
    reading->tlsModeGiven = text != nullptr;
    if (text == nullptr || parseTlsMode(text, &reading->config->tls.mode)) return true;
    *error = std::string(name) + " must be off, allowed or required, not \"" + text + "\"";
    return false;
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

bool readMinFree(const char *name, const char *text, Reading *reading, std::string *error) {
    return readSetting(
        name, text, "a size in bytes (K, M or G for KiB, MiB or GiB) or a percentage from 0% to 99%",
        [reading](const char *value) { return parseReserve(value, &reading->config->minFree); }, error);
}

bool readMaxFileSize(const char *name, const char *text, Reading *reading, std::string *error) {
    ServerConfig *config = reading->config;
    return readSetting(
        name, text, "a size in bytes from 1 (K, M or G for KiB, MiB or GiB)",
        [config](const char *value) {
            return parseSize(value, kMaxFileBytes, &config->maxFileSize) && config->maxFileSize != 0;
        },
        error);
}

// Bytes per second, with an optional K, M or G (powers of 1024).
bool parseRate(const char *text, long long *rate) {
    unsigned long long bytes = 0;
    if (!parseSize(text, kMaxRateCap, &bytes)) return false;
    *rate = static_cast<long long>(bytes);
    return true;
}

// Unset, empty or 0 leave the rate at 0: no cap.
template <long long ServerConfig::*member>
bool readRate(const char *name, const char *text, Reading *reading, std::string *error) {
    return readSetting(
        name, text, "bytes per second up to 1024G, with an optional K, M or G suffix (0: no cap)",
        [reading](const char *value) { return parseRate(value, &(reading->config->*member)); }, error);
}

// A numeric IPv4 address a client can connect to: not 0.0.0.0/8, nor
// multicast, reserved or broadcast (224.0.0.0 and up).
bool isReachableIpv4(const char *text) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) return false;
    unsigned firstByte = ntohl(parsed.s_addr) >> 24;
    return firstByte != 0 && firstByte < 224;
}

bool readPassiveAddress(const char *name, const char *text, Reading *reading, std::string *error) {
    return readSetting(
        name, text, "a numeric IPv4 address clients can reach",
        [reading](const char *value) {
            bool good = isReachableIpv4(value);
            if (good) reading->config->passiveAddress = value;
            return good;
        },
        error);
}

// The transfer log's path is absolute, so the log reopened after a rotation
// is the same file whatever the host's current directory has become.
bool readTransferLog(const char *name, const char *text, Reading *reading, std::string *error) {
    return readSetting(
        name, text, "an absolute path",
        [reading](const char *value) {
            bool good = value[0] == '/';
            if (good) reading->config->transferLogPath = value;
            return good;
        },
        error);
}

// The ports in code: 0 (or unset) for a port the kernel picks.
template <int ServerConfig::*member>
bool readPort(const char *name, const char *text, Reading *reading, std::string *error) {
    return readSetting(
        name, text, "a port number from 0 to 65535",
        [reading](const char *value) {
            long long port = 0;
            bool good = parseNumber(value, 0, 65535, &port);
            if (good) reading->config->*member = static_cast<int>(port);
            return good;
        },
        error);
}

// Every setting by name, in the order they are read.  ServerMain reads
// those from the environment; its command line gives the two ports.
struct SettingRow {
    const char *name;
    bool fromEnvironment;
    Reader read;
};

const SettingRow kSettings[] = {
    {"OSPREL_FTP_ROOT", true, readRoot},
    {"OSPREL_FTP_BIND", true, readBind},
    {"OSPREL_FTP_USER", true, readText<&ServerConfig::user>},
    {"OSPREL_FTP_PASSWORD", true, readText<&ServerConfig::password>},
    {"OSPREL_FTP_PASSWORD_HASH", true, readPasswordHash},
    {"OSPREL_FTP_USERS_FILE", true, readText<&ServerConfig::usersFile>},
    {"OSPREL_FTP_READONLY", true, readReadOnly},
    {"OSPREL_FTP_IDLE_TIMEOUT", true, readSeconds<&ServerConfig::idleTimeoutSeconds>},
    {"OSPREL_FTP_PASSIVE_TIMEOUT", true, readSeconds<&ServerConfig::passiveTimeoutSeconds>},
    {"OSPREL_FTP_LOGIN_TIMEOUT", true, readSeconds<&ServerConfig::loginTimeoutSeconds>},
    {"OSPREL_FTP_MAX_PER_ADDRESS", true, readSessionsPerAddress},
    {"OSPREL_FTP_TLS_CERT", true, readTlsFile<&TlsSettings::certificatePath>},
    {"OSPREL_FTP_TLS_KEY", true, readTlsFile<&TlsSettings::keyPath>},
    {"OSPREL_FTP_TLS", true, readTlsMode},
    {"OSPREL_FTP_TLS_RESUME", true, readTlsResume},
    {"OSPREL_FTP_ATOMIC_UPLOADS", true, readSwitch<&ServerConfig::atomicUploads>},
    {"OSPREL_FTP_SYNC_UPLOADS", true, readSwitch<&ServerConfig::syncUploads>},
    {"OSPREL_FTP_MIN_FREE", true, readMinFree},
    {"OSPREL_FTP_MAX_FILE_SIZE", true, readMaxFileSize},
    {"OSPREL_FTP_MAX_RATE", true, readRate<&ServerConfig::maxSessionRate>},
    {"OSPREL_FTP_MAX_TOTAL_RATE", true, readRate<&ServerConfig::maxTotalRate>},
    {"OSPREL_FTP_PASSIVE_ADDRESS", true, readPassiveAddress},
    {"OSPREL_FTP_TRANSFER_LOG", true, readTransferLog},
    {"OSPREL_FTP_CONFINE", true, readSwitch<&ServerConfig::confine>},
    {"OSPREL_FTP_CONTROL_PORT", false, readPort<&ServerConfig::controlPort>},
    {"OSPREL_FTP_PASSIVE_PORT", false, readPort<&ServerConfig::firstPassivePort>},
};

const SettingRow *rowOf(const char *name) {
    for (const SettingRow &row : kSettings)
        if (strcmp(row.name, name) == 0) return &row;
    return nullptr;
}

// Never the current directory, which for a service is often "/": a
// directory of the server's own under the user's data directory (XDG's
// rules: a relative XDG_DATA_HOME is ignored).
bool findDefaultRoot(const SettingLookup &lookup, ServerConfig *config, std::string *error) {
    const char *dataHome = nonEmpty(lookup("XDG_DATA_HOME"));
    const char *home = nonEmpty(lookup("HOME"));
    if (dataHome != nullptr && dataHome[0] == '/') {
        config->root = std::string(dataHome) + "/osprel/ftp";
    } else if (home != nullptr && home[0] == '/') {
        config->root = std::string(home) + "/.local/share/osprel/ftp";
    } else {
        *error = "no directory to serve: set OSPREL_FTP_ROOT (or HOME or XDG_DATA_HOME for the default)";
        return false;
    }
    return true;
}

// OSPREL_FTP_USER with OSPREL_FTP_PASSWORD or OSPREL_FTP_PASSWORD_HASH, or
// OSPREL_FTP_USERS_FILE, or none of them (anonymous).
bool checkLogin(ServerConfig *config, std::string *error) {
    bool user = !config->user.empty();
    bool password = !config->password.empty();
    bool hash = !config->passwordHash.empty();
    if (user && !config->usersFile.empty()) {
        *error = "OSPREL_FTP_USERS_FILE and OSPREL_FTP_USER exclude each other: put that login in the accounts file";
    } else if (password && hash) {
        *error = "set OSPREL_FTP_PASSWORD or OSPREL_FTP_PASSWORD_HASH, not both";
    } else if (user != (password || hash)) {
        // Half a credential pair is a mistake, not a wish for anonymous access.
        *error = "OSPREL_FTP_USER and OSPREL_FTP_PASSWORD (or OSPREL_FTP_PASSWORD_HASH) must be set together (or "
                 "neither, for anonymous login)";
    } else {
        config->credentialsRequired = user;
        return true;
    }
    return false;
}

// OSPREL_FTP_TLS is allowed by default with a certificate, off without.  The
// files are only named here; the server loads them.
bool checkTls(const Reading &reading, std::string *error) {
    TlsSettings &tls = reading.config->tls;
    bool certificate = !tls.certificatePath.empty();
    if (certificate != !tls.keyPath.empty()) {
        *error = "OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY must be set together";
        return false;
    }
    if (!reading.tlsModeGiven) tls.mode = certificate ? TlsMode::kAllowed : TlsMode::kOff;
    if (tls.mode != TlsMode::kOff && !certificate) {
        *error = std::string("OSPREL_FTP_TLS=") + (tls.mode == TlsMode::kAllowed ? "allowed" : "required") +
                 " needs OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY";
        return false;
    }
    if (tls.mode == TlsMode::kOff) tls.certificatePath = tls.keyPath = "";
    return true;
}

// A passive range of 0 is no range: each passive port is the kernel's pick.
bool checkPorts(const ServerConfig &config, std::string *error) {
    if (config.firstPassivePort == 0) return true;
    int lastPassive = config.firstPassivePort + kPassivePortCount - 1;
    if (lastPassive > 65535) {
        *error = "the passive range of " + std::to_string(kPassivePortCount) + " ports from " +
                 std::to_string(config.firstPassivePort) + " passes port 65535";
        return false;
    }
    if (config.controlPort >= config.firstPassivePort && config.controlPort <= lastPassive) {
        *error = "control port " + std::to_string(config.controlPort) + " lies inside the passive range " +
                 std::to_string(config.firstPassivePort) + "-" + std::to_string(lastPassive);
        return false;
    }
    return true;
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
    return checkPorts(*config, error);
}

bool isSetting(const char *name, bool *fromEnvironment) {
    const SettingRow *row = rowOf(name);
    if (row != nullptr && fromEnvironment != nullptr) *fromEnvironment = row->fromEnvironment;
    return row != nullptr;
}

void forEachEnvironmentSetting(const std::function<void(const char *name)> &visit) {
    for (const SettingRow &row : kSettings)
        if (row.fromEnvironment) visit(row.name);
}

bool checkSetting(const char *name, const char *value, std::string *error) {
    const SettingRow *row = rowOf(name);
    if (row == nullptr) {
        *error = std::string("no such setting: ") + name;
        return false;
    }
    ServerConfig scratch;
    Reading reading{&scratch};
    return row->read(row->name, nonEmpty(value), &reading, error);
}

bool readSettings(const SettingLookup &lookup, ServerConfig *config, std::string *error) {
    Reading reading{config};
    for (const SettingRow &row : kSettings)
        if (!row.read(row.name, nonEmpty(lookup(row.name)), &reading, error)) return false;
    if (config->rootIsDefault && !findDefaultRoot(lookup, config, error)) return false;
    return checkLogin(config, error) && checkTls(reading, error) && checkPorts(*config, error);
}

bool readEnvironment(EnvironmentGetter getter, ServerConfig *config, std::string *error) {
    return readSettings(
        [getter](const char *name) -> const char * {
            bool fromEnvironment = true;
            return isSetting(name, &fromEnvironment) && !fromEnvironment ? nullptr : getter(name);
        },
        config, error);
}

}  // namespace osprel
