// libquillon: module registry, prefix groups, line composition and console
// output.  Plain functions over plain records; no exceptions, no heap, no
// libstdc++.  Every call composes its line in its own stack buffers, so the
// socket and clock work runs in parallel across threads; only the captured
// time, the registry writes and the output step are serialised.

#include "quillon.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

LogVersion g_version;

namespace {

// ---------------------------------------------------------------------------
// Bounded text building.  Every group writes through this, so no buffer can
// overflow whatever the numbers, names or lengths.

struct TextBuffer {
    char *data;
    size_t size;  // bytes available, terminator included
    size_t length;
    bool cut;
};

TextBuffer textBufferOn(char *data, size_t size) {
    data[0] = '\0';
    return TextBuffer{data, size, 0, false};
}

void appendBytes(TextBuffer *text, const char *bytes, size_t count) {
    size_t room = text->size - 1 - text->length;
    if (count > room) {
        count = room;
        text->cut = true;
    }
    memcpy(text->data + text->length, bytes, count);
    text->length += count;
    text->data[text->length] = '\0';
}

void appendText(TextBuffer *text, const char *source) { appendBytes(text, source, strlen(source)); }

// Fixed-width fields are not terminated when full.
void appendField(TextBuffer *text, const char *field, size_t width) {
    appendBytes(text, field, strnlen(field, width));
}

void appendChar(TextBuffer *text, char c) { appendBytes(text, &c, 1); }

void appendSigned(TextBuffer *text, long long value, int minDigits) {
    char digits[24];
    unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value;
    int count = 0;
    do {
        digits[sizeof digits - 1 - count++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 || count < minDigits);
    if (value < 0) digits[sizeof digits - 1 - count++] = '-';
    appendBytes(text, digits + sizeof digits - count, (size_t)count);
}

// ---------------------------------------------------------------------------
// Module registry.

constexpr int kModuleRows = 32;

struct ModuleEntry {
    char name[12] __attribute__((nonstring));
    char tag[8] __attribute__((nonstring));
    uint32_t logType;
};

ModuleEntry g_moduleList[kModuleRows];
int g_moduleCount;
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;

bool moduleIndexValid(int module) { return module >= 0 && module < kModuleRows; }

bool moduleRowFree(int module) { return g_moduleList[module].name[0] == '\0'; }

// Version flags: 1 major, 2 minor, 4 third, 8 tag.  Only the combinations
// below (and negative values, taken bit by bit) print anything.
bool versionFlagsRefused(int flags) {
    if (flags < 0) return false;
    switch (flags) {
    case 1: case 2: case 3: case 4: case 7: case 8: case 15: return false;
    default: return true;
    }
}

int get_Version(char *buffer, size_t size, int module, int flags) {
    if (versionFlagsRefused(flags)) return 0;
    int32_t major = __atomic_load_n(&g_version.major, __ATOMIC_RELAXED);
    int32_t minor = __atomic_load_n(&g_version.minor, __ATOMIC_RELAXED);
    int32_t third = __atomic_load_n(&g_version.third, __ATOMIC_RELAXED);
    if (third == 0) {
        if (major != 0) __atomic_store_n(&g_version.major, 0, __ATOMIC_RELAXED);
        if (minor != 0) __atomic_store_n(&g_version.minor, 0, __ATOMIC_RELAXED);
        major = minor = 0;
    }
    TextBuffer text = textBufferOn(buffer, size);
    appendChar(&text, '[');
    if (flags & 1) appendSigned(&text, major, 1);
    if (flags & 2) { appendChar(&text, '.'); appendSigned(&text, minor, 1); }
    if (flags & 4) { appendChar(&text, '.'); appendSigned(&text, third, 1); }
    if (flags & 8) {
        appendChar(&text, ':');
        if (moduleIndexValid(module)) appendField(&text, g_moduleList[module].tag, sizeof g_moduleList[module].tag);
    }
    appendChar(&text, ']');
    return (int)text.length;
}

int get_CurrentModuleName(char *buffer, size_t size, int module, int flag) {
    if (flag == 0) return 0;
    if (!moduleIndexValid(module)) return -1;
    TextBuffer text = textBufferOn(buffer, size);
    appendChar(&text, '[');
    if (moduleRowFree(module)) appendText(&text, "0000000");
    else appendField(&text, g_moduleList[module].name, sizeof g_moduleList[module].name);
    appendText(&text, "] ");
    return (int)text.length;
}

int errorCodeBase(uint32_t logType) {
    switch (logType) {
    case 1: case 2: case 4: case 8: case 15: return 100 + 8 * (int)logType;
    default: return -1;
    }
}

int get_ErrorCode(char *buffer, size_t size, int module, int level) {
    if (!moduleIndexValid(module) || moduleRowFree(module)) return -1;
    uint32_t logType = g_moduleList[module].logType;
    int base = errorCodeBase(logType);
    long long code = (long long)base + level;
    if (base < 0) {
        printf("get_ErrorCode: logtype [%d] is error.\n", (int)logType);
        code = 0;
    }
    TextBuffer text = textBufferOn(buffer, size);
    appendText(&text, "<<");
    appendSigned(&text, code, 1);
    appendText(&text, ">> ");
    return (int)text.length;
}

// ---------------------------------------------------------------------------
// Time group.

struct DateTime {
    uint16_t year;
    uint8_t month;
    uint8_t weekday;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint32_t microseconds;
};

// The last time read successfully, shown again when the clock cannot be read.
DateTime sDTime;
pthread_mutex_t capturedTimeLock = PTHREAD_MUTEX_INITIALIZER;

const char *const monthStr[14] = {"Reserved", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul",      "Aug", "Sep", "Oct", "Nov", "Dec", "Undefined"};
const char *const weekStr[8] = {"Sun.", "Mon.", "Tues.", "Wed.", "Thur.", "Fri.", "Sat.", "Undefined"};

bool readLocalTime(DateTime *now) {
    struct timeval clock;
    struct tm local;
    if (gettimeofday(&clock, nullptr) != 0 || localtime_r(&clock.tv_sec, &local) == nullptr) return false;
    now->year = (uint16_t)(local.tm_year + 1900);
    now->month = (uint8_t)(local.tm_mon + 1);
    now->weekday = (uint8_t)local.tm_wday;
    now->day = (uint8_t)local.tm_mday;
    now->hour = (uint8_t)local.tm_hour;
    now->minute = (uint8_t)local.tm_min;
    now->second = (uint8_t)local.tm_sec;
    now->microseconds = (uint32_t)clock.tv_usec;
    return true;
}

DateTime captureTime() {
    DateTime now;
    bool fresh = readLocalTime(&now);
    pthread_mutex_lock(&capturedTimeLock);
    if (fresh) sDTime = now;
    else now = sDTime;
    pthread_mutex_unlock(&capturedTimeLock);
    return now;
}

int get_CurrentTime(char *buffer, size_t size, int flags) {
    if (flags == 0) return 0;
    DateTime now = captureTime();
    TextBuffer text = textBufferOn(buffer, size);
    if (flags & 1) {
        appendChar(&text, '[');
        appendText(&text, monthStr[now.month < 13 ? now.month : 13]);
        appendChar(&text, '-');
        appendSigned(&text, now.day, 2);
        appendChar(&text, '-');
        appendSigned(&text, now.year, 4);
        appendText(&text, ", ");
        appendText(&text, weekStr[now.weekday < 7 ? now.weekday : 7]);
        appendChar(&text, ']');
    }
    if (flags & 2) {
        appendChar(&text, '[');
        appendSigned(&text, now.hour, 2);
        appendChar(&text, ':');
        appendSigned(&text, now.minute, 2);
        appendChar(&text, ':');
        appendSigned(&text, now.second, 2);
        appendChar(&text, '.');
        appendSigned(&text, now.microseconds / 1000, 3);
        appendText(&text, "] ");
    }
    return (int)text.length;
}

// ---------------------------------------------------------------------------
// Host group.

struct InterfaceInfo {
    unsigned char hardwareAddress[6];
    char address[18];
};

// Both queries are made whatever the caller asks for: an interface without
// a hardware address or without an IPv4 address gives no host group.
bool queryInterface(const char *interfaceName, InterfaceInfo *info) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, interfaceName, IFNAMSIZ - 1);
    bool ok = false;
    if (ioctl(fd, SIOCGIFHWADDR, &request) < 0) {
        printf("get_MachineInfo: get device [%s] mac error.\n", interfaceName);
    } else {
        memcpy(info->hardwareAddress, request.ifr_hwaddr.sa_data, sizeof info->hardwareAddress);
        if (ioctl(fd, SIOCGIFADDR, &request) < 0) {
            printf("get_MachineInfo: get device [%s] ip error.\n", interfaceName);
        } else {
            const struct sockaddr_in *inet = (const struct sockaddr_in *)(const void *)&request.ifr_addr;
            inet_ntop(AF_INET, &inet->sin_addr, info->address, sizeof info->address);
            ok = true;
        }
    }
    if (fd >= 0) close(fd);
    return ok;
}

void appendHex2(TextBuffer *text, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    char pair[2] = {hex[byte >> 4], hex[byte & 15]};
    appendBytes(text, pair, 2);
}

int get_MachineInfo(const char *interfaceName, char *buffer, size_t size, int flags) {
    if (flags == 0) return 0;
    InterfaceInfo info;
    memset(&info, 0, sizeof info);
    if (!queryInterface(interfaceName ? interfaceName : "", &info)) return -1;
    char hostName[32] = {0};
    gethostname(hostName, sizeof hostName);
    hostName[sizeof hostName - 1] = '\0';

    TextBuffer text = textBufferOn(buffer, size);
    appendChar(&text, '[');
    appendText(&text, hostName);
    appendChar(&text, ']');
    if (flags & 1) {
        appendChar(&text, '[');
        for (int i = 0; i < 6; i++) {
            if (i) appendChar(&text, ':');
            appendHex2(&text, info.hardwareAddress[i]);
        }
        appendText(&text, (flags & 2) ? "]" : "] ");
    }
    if (flags & 2) {
        appendChar(&text, '[');
        appendText(&text, info.address);
        appendText(&text, "] ");
    }
    return (int)text.length;
}

// ---------------------------------------------------------------------------
// Line composition and output.

constexpr int kLevelEntries = 8;
const char *const textLogLevel[kLevelEntries] = {"Assert", "Fatal!",  "Error!", "Warning",
                                                 "Info",   "Verbose", "Debug",  "Undefined"};
// High nibble: display attribute; low nibble: colour digit.
const unsigned char color[kLevelEntries] = {0x00, 0x41, 0x41, 0x43, 0x04, 0x02, 0x02, 0x02};

// Levels outside the tables read as the last entry, "Undefined".
int levelEntry(int level) { return level >= 0 && level < kLevelEntries ? level : kLevelEntries - 1; }

constexpr size_t kMessageBufferSize = 512;
constexpr size_t kLineBufferSize = 1024;

// Formats the caller's message, cut to 511 characters.  A cut message keeps
// its line ending, so the next line never continues this one.
void formatMessage(char *message, const char *format, va_list arguments) {
    if (format == nullptr) {
        message[0] = '\0';
        return;
    }
    int length = vsnprintf(message, kMessageBufferSize, format, arguments);
    if (length < 0) {
        message[0] = '\0';
    } else if ((size_t)length >= kMessageBufferSize && message[kMessageBufferSize - 2] != '\n') {
        message[kMessageBufferSize - 1] = '\n';
        message[kMessageBufferSize] = '\0';
    }
}

// The file shows from after its first '/': /a/b/c as a/b/c, a/b/c as b/c.
const char *fileNameShown(const char *file) {
    if (file == nullptr) return "";
    const char *slash = strchr(file, '/');
    return slash ? slash + 1 : file;
}

void logLineSanitize(char *line) {
    for (unsigned char *p = (unsigned char *)line; *p; p++) {
        if ((*p >= 0x01 && *p <= 0x07) || (*p >= 0x0E && *p <= 0x1F)) *p = '?';
    }
}

int useColor = -1;
pthread_mutex_t outputLock = PTHREAD_MUTEX_INITIALIZER;

int decideColor() {
    if (getenv("NO_COLOR")) return 0;
    if (getenv("LOG_FORCE_NOCOLOR")) return 0;
    if (getenv("TERM") && isatty(STDOUT_FILENO)) return 1;
    if (getenv("LOG_FORCE_COLOR")) return 1;
    return 0;
}

void writeColorEscape(int entry) {
    int attribute = color[entry] >> 4;
    int digit = color[entry] & 0x0F;
    if (entry <= 3) fprintf(stderr, "\033[1;%d;3%dm", attribute, digit);
    else fprintf(stderr, "\033[%d;3%dm", attribute, digit);
}

// A line at a level outside 1-6 is reported on standard output and the line
// itself goes to standard error, so nothing is lost.
int colored_LogOutput(int level, const char *line, size_t length) {
    pthread_mutex_lock(&outputLock);
    if (useColor < 0) useColor = decideColor();
    if (useColor) writeColorEscape(levelEntry(level));
    if (level < 1 || level > 6) {
        printf("colored_LogOutput: level is [%d],error.\n", level);
        fwrite(line, 1, length, stderr);
    } else {
        fwrite(line, 1, length, stdout);
    }
    if (useColor) fwrite("\033[0m", 1, 4, stderr);
    pthread_mutex_unlock(&outputLock);
    return 0;
}

struct PrefixGroups {
    char time[48];
    char host[96];
    char version[48];
    char moduleName[16];
    char errorCode[24];
};

void composeGroups(PrefixGroups *groups, int module, int level) {
    memset(groups, 0, sizeof *groups);
    get_CurrentTime(groups->time, sizeof groups->time, 3);
    get_MachineInfo("eth0", groups->host, sizeof groups->host, 2);
    get_Version(groups->version, sizeof groups->version, module, 15);
    get_CurrentModuleName(groups->moduleName, sizeof groups->moduleName, module, 1);
    get_ErrorCode(groups->errorCode, sizeof groups->errorCode, module, level);
}

// Builds the whole line; a line longer than the buffer is cut and keeps the
// message's final newline.
size_t composeLine(char *line, const PrefixGroups *groups, const char *file, int lineNumber,
                   const char *function, int level, const char *message) {
    TextBuffer text = textBufferOn(line, kLineBufferSize);
    appendText(&text, groups->time);
    appendText(&text, groups->host);
    appendText(&text, groups->version);
    appendText(&text, groups->moduleName);
    appendText(&text, groups->errorCode);
    appendChar(&text, '[');
    appendText(&text, fileNameShown(file));
    appendChar(&text, ':');
    appendSigned(&text, lineNumber, 1);
    appendText(&text, "][");
    appendText(&text, function ? function : "");
    appendChar(&text, ':');
    appendText(&text, textLogLevel[levelEntry(level)]);
    appendText(&text, "] : ");
    appendText(&text, message);
    size_t messageLength = strlen(message);
    if (text.cut && messageLength > 0 && message[messageLength - 1] == '\n') line[text.length - 1] = '\n';
    return text.length;
}

}  // namespace

extern "C" {

QUILLON_EXPORT int registerModule(const char *name, const char *tag, unsigned type) {
    if (name == nullptr || tag == nullptr) return -1;
    pthread_mutex_lock(&registryLock);
    int index = -1;
    if (g_moduleCount >= 0 && g_moduleCount < kModuleRows) {
        index = g_moduleCount;
        ModuleEntry *row = &g_moduleList[index];
        strncpy(row->name, name, sizeof row->name);
        strncpy(row->tag, tag, sizeof row->tag);
        row->logType = type;
        g_moduleCount++;
    }
    pthread_mutex_unlock(&registryLock);
    return index;
}

QUILLON_EXPORT int logVerboseCStyle(const char *file, int line, const char *function, int module, int level,
                                    const char *format, ...) {
    PrefixGroups groups;
    composeGroups(&groups, module, level);

    char sLogBuffer[kMessageBufferSize + 1];  // one spare byte for a restored newline
    va_list arguments;
    va_start(arguments, format);
    formatMessage(sLogBuffer, format, arguments);
    va_end(arguments);

    char lineBuffer[kLineBufferSize];
    size_t length = composeLine(lineBuffer, &groups, file, line, function, level, sLogBuffer);
    logLineSanitize(lineBuffer);
    return colored_LogOutput(level, lineBuffer, length);
}

}  // extern "C"
