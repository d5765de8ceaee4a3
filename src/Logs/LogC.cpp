// libquillon: module registry, prefix groups, line composition and console
// output.  Plain functions over plain records; no exceptions, no heap, no
// libstdc++.  Every call composes its line in its own stack buffers, so the
// socket and clock work runs in parallel across threads; only the captured
// time, the registry writes and the output step are serialised.  A call
// leaves its host as it found it: errno, signal mask and dispositions, and
// nothing of its own left in stdio's buffers (see the output step below).

#include "quillon.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
// Rows below the count are complete: registration writes a row, then
// publishes it by a release store of the count.  Log calls read rows without
// the lock and only below the count they acquire.
int g_moduleCount;
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;

bool moduleIndexValid(int module) { return module >= 0 && module < kModuleRows; }

// A row not yet published, or outside the table, reads as free: all zero.
const ModuleEntry *publishedRow(int module) {
    static const ModuleEntry freeRow = {};
    bool published = moduleIndexValid(module) && module < __atomic_load_n(&g_moduleCount, __ATOMIC_ACQUIRE);
    return published ? &g_moduleList[module] : &freeRow;
}

bool moduleRowFree(const ModuleEntry *row) { return row->name[0] == '\0'; }

// Version flags: 1 major, 2 minor, 4 third, 8 tag.  Only the combinations
// below (and negative values, taken bit by bit) print anything.
bool versionFlagsRefused(int flags) {
    if (flags < 0) return false;
    switch (flags) {
    case 1: case 2: case 3: case 4: case 7: case 8: case 15: return false;
    default: return true;
    }
}

// The version, module-name and error-code groups of one line all show the
// `row` that composeGroups looked up once: a row published between two
// groups would otherwise show a line half free and half registered.
int get_Version(char *buffer, size_t size, const ModuleEntry *row, int flags) {
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
        appendField(&text, row->tag, sizeof row->tag);
    }
    appendChar(&text, ']');
    return (int)text.length;
}

int get_CurrentModuleName(char *buffer, size_t size, int module, const ModuleEntry *row, int flag) {
    if (flag == 0) return 0;
    if (!moduleIndexValid(module)) return -1;
    TextBuffer text = textBufferOn(buffer, size);
    appendChar(&text, '[');
    if (moduleRowFree(row)) appendText(&text, "0000000");
    else appendField(&text, row->name, sizeof row->name);
    appendText(&text, "] ");
    return (int)text.length;
}

int errorCodeBase(uint32_t logType) {
    switch (logType) {
    case 1: case 2: case 4: case 8: case 15: return 100 + 8 * (int)logType;
    default: return -1;
    }
}

// A formatter's own message ("get_ErrorCode: ...") goes into `notes`, which
// the output step writes just before the line.
int get_ErrorCode(char *buffer, size_t size, const ModuleEntry *row, int level, TextBuffer *notes) {
    if (moduleRowFree(row)) return -1;
    uint32_t logType = row->logType;
    int base = errorCodeBase(logType);
    long long code = (long long)base + level;
    if (base < 0) {
        appendText(notes, "get_ErrorCode: logtype [");
        appendSigned(notes, (int)logType, 1);
        appendText(notes, "] is error.\n");
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
DateTime g_capturedTime;
pthread_mutex_t capturedTimeLock = PTHREAD_MUTEX_INITIALIZER;

const char *const monthStr[14] = {"Reserved", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul",      "Aug", "Sep", "Oct", "Nov", "Dec", "Undefined"};
const char *const weekStr[8] = {"Sun.", "Mon.", "Tues.", "Wed.", "Thur.", "Fri.", "Sat.", "Undefined"};

// Device clocks run past 2038, where a 32-bit time_t wraps to 1901.
static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64 (and _FILE_OFFSET_BITS=64), as CMakeLists.txt does");

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

// The clock is read under the lock too: fork takes this lock first, so a
// child never starts while one of our threads is inside the C library's
// time-zone lock, which the child could then never take.
DateTime captureTime() {
    DateTime now;
    pthread_mutex_lock(&capturedTimeLock);
    if (readLocalTime(&now)) g_capturedTime = now;
    else now = g_capturedTime;
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

void noteDeviceError(TextBuffer *notes, const char *interfaceName, const char *what) {
    appendText(notes, "get_MachineInfo: get device [");
    appendText(notes, interfaceName);
    appendText(notes, "] ");
    appendText(notes, what);
    appendText(notes, " error.\n");
}

// Both queries are made whatever the caller asks for: an interface without
// a hardware address or without an IPv4 address gives no host group.  A
// socket that cannot be opened (no descriptor left) says so, rather than
// passing for a missing interface.
bool queryInterface(const char *interfaceName, InterfaceInfo *info, TextBuffer *notes) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        noteDeviceError(notes, interfaceName, "socket");
        return false;
    }
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, interfaceName, IFNAMSIZ - 1);
    bool ok = false;
    if (ioctl(fd, SIOCGIFHWADDR, &request) < 0) {
        noteDeviceError(notes, interfaceName, "mac");
    } else {
        memcpy(info->hardwareAddress, request.ifr_hwaddr.sa_data, sizeof info->hardwareAddress);
        if (ioctl(fd, SIOCGIFADDR, &request) < 0) {
            noteDeviceError(notes, interfaceName, "ip");
        } else {
            const struct sockaddr_in *inet = (const struct sockaddr_in *)(const void *)&request.ifr_addr;
            inet_ntop(AF_INET, &inet->sin_addr, info->address, sizeof info->address);
            ok = true;
        }
    }
    close(fd);
    return ok;
}

void appendHex2(TextBuffer *text, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    char pair[2] = {hex[byte >> 4], hex[byte & 15]};
    appendBytes(text, pair, 2);
}

int get_MachineInfo(const char *interfaceName, char *buffer, size_t size, int flags, TextBuffer *notes) {
    if (flags == 0) return 0;
    InterfaceInfo info;
    memset(&info, 0, sizeof info);
    if (!queryInterface(interfaceName ? interfaceName : "", &info, notes)) return -1;
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

// -1 until the first line decides it, then 0 or 1 for the life of the process.
int useColor = -1;

int decideColor() {
    if (getenv("NO_COLOR")) return 0;
    if (getenv("LOG_FORCE_NOCOLOR")) return 0;
    if (getenv("TERM") && isatty(STDOUT_FILENO)) return 1;
    if (getenv("LOG_FORCE_COLOR")) return 1;
    return 0;
}

// The first decision stored wins, so every line agrees even when two threads
// race to decide.
bool colorIsOn() {
    int decided = __atomic_load_n(&useColor, __ATOMIC_ACQUIRE);
    if (decided >= 0) return decided;
    int expected = -1;
    int fresh = decideColor();
    if (__atomic_compare_exchange_n(&useColor, &expected, fresh, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return fresh;
    return expected;
}

// ---------------------------------------------------------------------------
// Output step.  Everything a call writes goes out with write(2) or send(2),
// never through stdio, so a crash or a fork can neither hold a line back nor
// repeat it.
// Each run below leaves in one write, and a pipe takes up to PIPE_BUF bytes
// at once, so processes and threads sharing one never mix inside a line.

// The formatters' messages: at most one from the host group and one from the
// error-code group per line.
constexpr size_t kNotesSize = 128;
static_assert(sizeof "get_MachineInfo: get device [eth0] socket error.\n" - 1 +
                  sizeof "get_ErrorCode: logtype [-2147483648] is error.\n" <= kNotesSize);
constexpr size_t kEscapeSize = sizeof "\033[1;15;315m";
constexpr size_t kReportSize = sizeof "colored_LogOutput: level is [-2147483648],error.\n";
constexpr size_t kResetSize = sizeof "\033[0m" - 1;
constexpr size_t kOutputSize = kNotesSize + kEscapeSize + kReportSize + kLineBufferSize + kResetSize;
static_assert(kOutputSize <= PIPE_BUF, "every run must reach a pipe in one atomic write");

// How long one call may wait, in all, for room on a non-blocking output.
constexpr int kLineWaitMilliseconds = 1000;

// A call's output in the order it is written: runs of bytes, each for one
// descriptor.  Consecutive pieces for the same descriptor share a run.
struct OutputRun {
    int fd;
    size_t start;
    size_t length;
};

struct LineOutput {
    char bytes[kOutputSize];
    size_t length;
    OutputRun runs[5];
    int runCount;
};

void addPiece(LineOutput *output, int fd, const char *bytes, size_t count) {
    if (count == 0) return;
    memcpy(output->bytes + output->length, bytes, count);
    OutputRun *last = output->runCount > 0 ? &output->runs[output->runCount - 1] : nullptr;
    if (last && last->fd == fd) last->length += count;
    else output->runs[output->runCount++] = OutputRun{fd, output->length, count};
    output->length += count;
}

void addColorEscape(LineOutput *output, int entry) {
    char escape[kEscapeSize];
    TextBuffer text = textBufferOn(escape, sizeof escape);
    appendText(&text, entry <= 3 ? "\033[1;" : "\033[");
    appendSigned(&text, color[entry] >> 4, 1);
    appendText(&text, ";3");
    appendSigned(&text, color[entry] & 0x0F, 1);
    appendChar(&text, 'm');
    addPiece(output, STDERR_FILENO, escape, text.length);
}

void addLevelReport(LineOutput *output, int level) {
    char report[kReportSize];
    TextBuffer text = textBufferOn(report, sizeof report);
    appendText(&text, "colored_LogOutput: level is [");
    appendSigned(&text, level, 1);
    appendText(&text, "],error.\n");
    addPiece(output, STDOUT_FILENO, report, text.length);
}

// Our own write to a reader that has gone must not signal the host.  Only a
// pipe or a socket can raise SIGPIPE, and neither can seek, so a descriptor
// that seeks (a file, /dev/null) is written plainly and the common case costs
// one lseek.  A socket gets send(MSG_NOSIGNAL).  For a pipe, SIGPIPE is
// blocked in this thread around the writes, and one that a write raised is
// taken back before the mask is restored, unless the host already had one
// pending, which stays pending.  The mask is never changed otherwise.  (A
// host thread that puts a pipe on the descriptor between our look and our
// write is not covered: it would be swapping the output under its own
// logging threads.)
enum class SinkKind { Plain, Pipe, Socket };

SinkKind sinkKind(int fd) {
    if (lseek(fd, 0, SEEK_CUR) >= 0) return SinkKind::Plain;
    struct stat status;
    if (errno == EBADF || fstat(fd, &status) != 0) return SinkKind::Plain;  // the write reports it
    if (S_ISSOCK(status.st_mode)) return SinkKind::Socket;
    if (S_ISFIFO(status.st_mode)) return SinkKind::Pipe;
    return SinkKind::Plain;  // a terminal or another device
}

struct PipeSignalHold {
    bool held;
    bool wasBlocked;
    bool wasPending;
    bool raised;  // a write of ours met a reader that has gone
    sigset_t previousMask;
};

void holdPipeSignal(PipeSignalHold *hold) {
    if (hold->held) return;
    hold->held = true;
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &hold->previousMask);
    hold->wasBlocked = sigismember(&hold->previousMask, SIGPIPE) == 1;
    if (hold->wasBlocked) {
        sigset_t pending;
        sigpending(&pending);
        hold->wasPending = sigismember(&pending, SIGPIPE) == 1;
    }
}

void releasePipeSignal(const PipeSignalHold *hold) {
    if (!hold->held) return;
    if (hold->raised && !hold->wasPending) {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        const struct timespec noWait = {0, 0};
        sigtimedwait(&pipeOnly, nullptr, &noWait);
    }
    if (!hold->wasBlocked) pthread_sigmask(SIG_SETMASK, &hold->previousMask, nullptr);
}

// Set at the first wait of a call, so a call that never waits reads no clock.
struct Deadline {
    bool started;
    struct timespec at;
};

// Milliseconds left, rounded up so that poll never spins on a 0 time-out.
int millisecondsLeft(Deadline *deadline) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!deadline->started) {
        deadline->started = true;
        deadline->at = now;
        deadline->at.tv_sec += kLineWaitMilliseconds / 1000;
        deadline->at.tv_nsec += (kLineWaitMilliseconds % 1000) * 1000000L;
    }
    long long left = (deadline->at.tv_sec - now.tv_sec) * 1000000000LL + (deadline->at.tv_nsec - now.tv_nsec);
    return left <= 0 ? 0 : (int)((left + 999999) / 1000000);
}

bool waitForRoom(int fd, Deadline *deadline) {
    for (;;) {
        int left = millisecondsLeft(deadline);
        if (left == 0) return false;
        struct pollfd entry = {fd, POLLOUT, 0};
        int ready = poll(&entry, 1, left);
        if (ready > 0) return true;  // room, or an error that the write will report
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Writes every byte or reports failure.  A pipe takes a whole run or none of
// it; a file or socket that takes part gets the rest within the deadline.
bool writeRun(int fd, SinkKind kind, const char *bytes, size_t count, Deadline *deadline, PipeSignalHold *hold) {
    if (kind == SinkKind::Pipe) holdPipeSignal(hold);
    while (count > 0) {
        ssize_t written = kind == SinkKind::Socket ? send(fd, bytes, count, MSG_NOSIGNAL) : write(fd, bytes, count);
        if (written > 0) {
            bytes += written;
            count -= (size_t)written;
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitForRoom(fd, deadline)) {
            continue;
        } else if (written < 0 && errno == ENOTSOCK) {
            // Another thread put something else on the descriptor since we
            // looked: write it as a pipe, the one safe way for anything.
            kind = SinkKind::Pipe;
            holdPipeSignal(hold);
        } else {
            if (written < 0 && errno == EPIPE) hold->raised = true;
            return false;
        }
    }
    return true;
}

// What the host wrote through stdio before this call goes out first, so our
// line keeps its place after it.  Only a stream whose lock is free right now
// is flushed: in a child forked while another thread held the stream's lock,
// that lock stays taken for good, and waiting for it would hang the child.  A
// host thread busy with the stream at this moment is concurrent with us
// anyway.  stdio writes plainly, so a pipe or socket needs the hold.
void flushHostStream(FILE *stream, SinkKind kind, PipeSignalHold *hold) {
    if (ftrylockfile(stream) != 0) return;
    if (__fpending(stream) > 0) {
        if (kind != SinkKind::Plain) holdPipeSignal(hold);
        if (fflush_unlocked(stream) != 0 && errno == EPIPE) hold->raised = true;
    }
    funlockfile(stream);
}

bool writesTo(const LineOutput *output, int fd) {
    for (int i = 0; i < output->runCount; i++)
        if (output->runs[i].fd == fd) return true;
    return false;
}

// Keeps the runs of concurrent calls apart.  It guards no memory, only the
// order of writes, so a forked child, whose one thread holds nothing, starts
// it afresh (see the fork handlers below).
pthread_mutex_t outputLock = PTHREAD_MUTEX_INITIALIZER;

bool writeOutput(const LineOutput *output) {
    bool toErr = writesTo(output, STDERR_FILENO);
    SinkKind outKind = sinkKind(STDOUT_FILENO);
    SinkKind errKind = toErr ? sinkKind(STDERR_FILENO) : SinkKind::Plain;
    PipeSignalHold hold = {};
    Deadline deadline = {};
    bool written = true;
    pthread_mutex_lock(&outputLock);
    flushHostStream(stdout, outKind, &hold);
    if (toErr) flushHostStream(stderr, errKind, &hold);
    for (int i = 0; i < output->runCount; i++) {
        const OutputRun *run = &output->runs[i];
        SinkKind kind = run->fd == STDOUT_FILENO ? outKind : errKind;
        // A failed run does not stop the rest: a reset still ends the colour.
        if (!writeRun(run->fd, kind, output->bytes + run->start, run->length, &deadline, &hold)) written = false;
    }
    pthread_mutex_unlock(&outputLock);
    releasePipeSignal(&hold);
    return written;
}

// The formatters' messages on standard output; with colour on, the level's
// escape on standard error; the line on standard output (for a level outside
// 1-6 a report there instead, and the line on standard error); with colour
// on, the reset on standard error.
int colored_LogOutput(int level, const char *line, size_t length, const char *notes, size_t notesLength) {
    LineOutput output;
    output.length = 0;
    output.runCount = 0;
    bool color = colorIsOn();
    addPiece(&output, STDOUT_FILENO, notes, notesLength);
    if (color) addColorEscape(&output, levelEntry(level));
    if (level >= 1 && level <= 6) {
        addPiece(&output, STDOUT_FILENO, line, length);
    } else {
        addLevelReport(&output, level);
        addPiece(&output, STDERR_FILENO, line, length);
    }
    if (color) addPiece(&output, STDERR_FILENO, "\033[0m", kResetSize);
    return writeOutput(&output) ? 0 : -1;
}

// ---------------------------------------------------------------------------
// fork.  The registry and clock locks are held for a few instructions at a
// time, so the forking thread takes them and the child starts with both free
// and the tables whole.  The output lock can be held while a slow reader
// drains, so fork does not wait for it: the child starts it afresh.

void takeLocksBeforeFork() {
    pthread_mutex_lock(&registryLock);
    pthread_mutex_lock(&capturedTimeLock);
}

void releaseLocksInParent() {
    pthread_mutex_unlock(&capturedTimeLock);
    pthread_mutex_unlock(&registryLock);
}

void releaseLocksInChild() {
    releaseLocksInParent();
    pthread_mutex_init(&outputLock, nullptr);
}

__attribute__((constructor)) void installForkHandlers() {
    pthread_atfork(takeLocksBeforeFork, releaseLocksInParent, releaseLocksInChild);
}

// Each buffer holds its group's longest text, so no group is ever cut.
struct PrefixGroups {
    char time[48];
    char host[96];
    char version[48];
    char moduleName[16];
    char errorCode[24];
};
// Month and weekday names up to "Undefined", a 16-bit year, a clock read
// through localtime_r and gettimeofday (microseconds below one million).
static_assert(sizeof "[Undefined-31-65535, Undefined][23:59:60.999] " <= sizeof(PrefixGroups{}.time));
// A 31-character host name, both address parts.
static_assert(sizeof "[1234567890123456789012345678901][00:00:00:00:00:00][255.255.255.255] " <=
              sizeof(PrefixGroups{}.host));
// Three signed 32-bit numbers and an 8-character tag.
static_assert(sizeof "[-2147483648.-2147483648.-2147483648:12345678]" <= sizeof(PrefixGroups{}.version));
// A 12-character name.
static_assert(sizeof "[123456789012] " <= sizeof(PrefixGroups{}.moduleName));
// Base 108 plus the lowest int level; the highest, 220 + INT_MAX, is shorter.
static_assert(sizeof "<<-2147483540>> " <= sizeof(PrefixGroups{}.errorCode));

void composeGroups(PrefixGroups *groups, int module, int level, TextBuffer *notes) {
    memset(groups, 0, sizeof *groups);
    get_CurrentTime(groups->time, sizeof groups->time, 3);
    get_MachineInfo("eth0", groups->host, sizeof groups->host, 2, notes);
    const ModuleEntry *row = publishedRow(module);
    get_Version(groups->version, sizeof groups->version, row, 15);
    get_CurrentModuleName(groups->moduleName, sizeof groups->moduleName, module, row, 1);
    get_ErrorCode(groups->errorCode, sizeof groups->errorCode, row, level, notes);
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
    int count = g_moduleCount;
    if (count >= 0 && count < kModuleRows) {
        index = count;
        ModuleEntry *row = &g_moduleList[index];
        strncpy(row->name, name, sizeof row->name);
        strncpy(row->tag, tag, sizeof row->tag);
        row->logType = type;
        __atomic_store_n(&g_moduleCount, count + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&registryLock);
    return index;
}

QUILLON_EXPORT int logVerboseCStyle(const char *file, int line, const char *function, int module, int level,
                                    const char *format, ...) {
    int callersErrno = errno;
    // The message first, while errno is still the caller's (for %m).
    char message[kMessageBufferSize + 1];  // one spare byte for a restored newline
    va_list arguments;
    va_start(arguments, format);
    formatMessage(message, format, arguments);
    va_end(arguments);

    char notesBuffer[kNotesSize];
    TextBuffer notes = textBufferOn(notesBuffer, sizeof notesBuffer);
    PrefixGroups groups;
    composeGroups(&groups, module, level, &notes);

    char lineBuffer[kLineBufferSize];
    size_t length = composeLine(lineBuffer, &groups, file, line, function, level, message);
    logLineSanitize(lineBuffer);
    int result = colored_LogOutput(level, lineBuffer, length, notesBuffer, notes.length);
    errno = callersErrno;
    return result;
}

}  // extern "C"
