/*
 * quillon.h - console logging for host applications (libquillon.so.1).
 *
 * A module registers once and then writes one line per call:
 *
 *   [Sep-24-2015, Thur.][17:31:35.042] [box][192.168.1.10] [0.0.0:5325][message] <<117>> [src/x.c:23][main:Fatal!] : text
 *
 * The groups are, in order: local date and time to the millisecond; host name
 * and the IPv4 address of eth0; version and module tag; module name; error
 * code (100 + 8 * log type + level); source file, line, function and level
 * name; then the caller's message.  Control bytes 0x01-0x07 and 0x0E-0x1F in
 * the line are printed as '?', so a message cannot carry 7-bit terminal
 * escapes.  Every other byte passes unchanged, 0x7F and 0x80-0x9F included
 * (the latter are C1 controls to a terminal that reads 8-bit controls, which
 * UTF-8 terminals do not).  The library adds no newline: end every format
 * with "\n".
 *
 * Output: the line goes to standard output.  When colour is on, the level's
 * escape and the reset "\033[0m" go to standard error around it.  Each is
 * handed to the kernel (write(2), or send(2) for a socket) before the call
 * returns, never held in stdio's buffers, so a crash right after a call
 * keeps the line and a forked child never repeats it.  What the host itself wrote through stdout (and, when the
 * call writes there, stderr) before the call is flushed first, so the line
 * keeps its place after it.  A line goes out in one write: processes and
 * threads sharing a pipe never mix inside a line.
 *
 * Colour is decided once, at the first line, by the first rule that applies:
 *   NO_COLOR present            -> off
 *   LOG_FORCE_NOCOLOR present   -> off
 *   TERM present and fd 1 a tty -> on
 *   LOG_FORCE_COLOR present     -> on
 *   otherwise                   -> off
 * ("present" means set, even to an empty value.)
 *
 * Threads: every function may be called from any thread at any time.  Lines
 * from concurrent calls come out whole and never mixed.  The library needs no
 * start-up call and allocates no memory.  A child forked at any moment, even
 * while other threads are logging, can log at once.  The calls are not for
 * signal handlers (they are not async-signal-safe).
 *
 * The host's state: a call leaves errno as it found it, on every path, and
 * never changes the signal mask or any signal's disposition.  A reader of
 * standard output that has gone never raises SIGPIPE in the host: the call
 * returns -1 instead (a SIGPIPE the host already had pending stays pending).
 *
 * A non-blocking standard output that is full is waited on with poll(2), for
 * at most 1 second per call in all; a line that finds no room by then is
 * dropped whole and the call returns -1.  A blocking one blocks the call as
 * any write would.
 *
 * This header is valid C and C++.
 */
#ifndef QUILLON_H
#define QUILLON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUILLON_EXPORT __attribute__((visibility("default")))
#define QUILLON_PRINTF(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define QUILLON_EXPORT
#define QUILLON_PRINTF(formatIndex, firstArg)
#endif

/* Levels.  1 to 6 are the working levels; 0 ("Assert") and 7 ("Undefined")
 * are named but rejected by the output step, like every level outside 1-6. */
enum {
    QUILLON_FATAL = 1,
    QUILLON_ERROR = 2,
    QUILLON_WARNING = 3,
    QUILLON_INFO = 4,
    QUILLON_VERBOSE = 5,
    QUILLON_DEBUG = 6
};

/* The version shown in every line as [major.minor.third:tag].  Zero at load;
 * the host may set it before logging.  A third number of 0 shows the whole
 * version as 0.0.0 and resets the record to 0, 0, 0. */
typedef struct LogVersion {
    int32_t major;
    int32_t minor;
    int32_t third;
} LogVersion;

QUILLON_EXPORT extern LogVersion g_version;

/*
 * Registers a module and returns its index (0-31), to be passed with every
 * log call.  `name` is kept up to 12 characters and `tag` up to 8 (both are
 * copied; the caller keeps ownership).  `type` is the log type, one of 1, 2,
 * 4, 8 or 15, and sets the error-code base; any other value gives code 0,
 * after the message "get_ErrorCode: logtype [N] is error." before each line.
 * Each call takes a new row, even for a name already registered.  A line
 * logged meanwhile sees a row either complete or still free.
 * Returns -1, changing nothing, when all 32 rows are taken or when `name` or
 * `tag` is null.  Safe to call from several threads at once.
 */
QUILLON_EXPORT int registerModule(const char *name, const char *tag, unsigned type);

/*
 * Writes one log line for `module`, an index from registerModule, at
 * `level`.  An index 0-31 that is not registered (a free row) shows as
 * "[0.0.0:][0000000] ": an empty tag, the name 0000000 and no error code;
 * -1 or any index outside 0-31 shows as "[0.0.0:]", with neither name nor
 * code.  `file`, `line` and `function` give the caller's location: the file
 * shows from after its first '/'.  The message is cut to 511 characters and
 * the line to 1023 bytes; a cut message still ends with "\n".  The message
 * is formatted first, so %m shows the caller's errno.
 * Null `file` or `function` show as empty text; a null `format` logs an
 * empty message.  When eth0 cannot be queried the line has no host group and
 * is preceded on standard output by one of "get_MachineInfo: get device
 * [eth0] mac error.", "... ip error." or "... socket error." (no descriptor
 * left for the query).  A level outside 1-6 prints "colored_LogOutput: level
 * is [N],error." on standard output and the line on standard error.
 * Returns 0 once everything the call writes has been handed to the kernel,
 * or -1 when any of it could not be: the reader has gone, the output stayed
 * full for 1 second (the line is dropped whole), or the write failed.
 *
 * The format is checked like printf's: a mismatched argument is a -Wformat
 * warning (make it an error with -Werror=format).
 */
QUILLON_EXPORT int logVerboseCStyle(const char *file, int line, const char *function, int module, int level,
                                    const char *format, ...) QUILLON_PRINTF(6, 7);

/*
 * The client call form: fills in the source file, line and function and
 * applies the calling file's level gate.  The call is made only when
 * `fileLevel` is at least `level`; otherwise the arguments are not evaluated.
 *
 * The gate: every source file that logs has its own, a file-local int fixed
 * at build time, so one file can be traced alone.  A module's files start
 * from one built-in level, kept in the header they share, which a build may
 * replace (cc -DMY_LOG_LEVEL=6 traces them all):
 *
 *   // my_module.h
 *   #ifndef MY_LOG_LEVEL
 *   #define MY_LOG_LEVEL 3   // Fatal, Error and Warning
 *   #endif
 *
 *   // each my_*.c
 *   #include "my_module.h"
 *   static int g_myLogLevel = MY_LOG_LEVEL;
 *   ...
 *   QUILLON_LOG(g_myLogLevel, g_myModule, QUILLON_ERROR, "open [%s] failed.\n", path);
 */
#define QUILLON_LOG(fileLevel, module, level, ...)                                          \
    do {                                                                                    \
        if ((fileLevel) > (level) - 1)                                                      \
            logVerboseCStyle(__FILE__, __LINE__, __func__, (module), (level), __VA_ARGS__); \
    } while (0)

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_H */
