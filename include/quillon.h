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
 * the line are printed as '?', so a message cannot carry terminal escapes.
 * The library adds no newline: end every format with "\n".
 *
 * Output: the line goes to standard output.  When colour is on, the level's
 * escape and the reset "\033[0m" go to standard error around it.  Colour is
 * decided once, at the first line, by the first rule that applies:
 *   NO_COLOR present            -> off
 *   LOG_FORCE_NOCOLOR present   -> off
 *   TERM present and fd 1 a tty -> on
 *   LOG_FORCE_COLOR present     -> on
 *   otherwise                   -> off
 * ("present" means set, even to an empty value.)
 *
 * Threads: every function may be called from any thread at any time.  Lines
 * from concurrent calls come out whole and never mixed.  The library needs no
 * start-up call and allocates no memory.
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
 * 4, 8 or 15, and sets the error-code base; any other value gives code 0.
 * Each call takes a new row, even for a name already registered.
 * Returns -1, changing nothing, when all 32 rows are taken or when `name` or
 * `tag` is null.  Safe to call from several threads at once.
 */
QUILLON_EXPORT int registerModule(const char *name, const char *tag, unsigned type);

/*
 * Writes one log line for `module` (an index from registerModule; -1 or an
 * unregistered index prints the line without module-name and error-code
 * groups) at `level`.  `file`, `line` and `function` give the caller's
 * location: the file shows from after its first '/'.  The message is cut to
 * 511 characters; a cut message still ends with "\n".  Null `file` or
 * `function` show as empty text; a null `format` logs an empty message.
 * A level outside 1-6 prints "colored_LogOutput: level is [N],error." on
 * standard output and the line on standard error.  Always returns 0.
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
