/* Prints each kind of line libquillon makes, for the parser checks: all six
 * levels, a row not registered (no code group), an index outside the table
 * (no module or code group), a bad log type (a fault line, then code 0) and a
 * version set by the host. */
#include <quillon.h>

int main(void) {
    int app = registerModule("app", "0100", 2);
    for (int level = QUILLON_FATAL; level <= QUILLON_DEBUG; level++)
        logVerboseCStyle("/src/app/main.c", 10 + level, "main", app, level, "level [%d]: text with [brackets] : and colons\n",
                         level);
    logVerboseCStyle("/src/app/main.c", 20, "main", 5, QUILLON_INFO, "a row not registered\n");
    logVerboseCStyle("/src/app/main.c", 21, "main", -1, QUILLON_WARNING, "no module\n");
    int odd = registerModule("odd", "", 3);
    logVerboseCStyle("/src/app/odd.c", 22, "odd", odd, QUILLON_ERROR, "a module of a bad log type\n");
    g_version = (LogVersion){1, 2, 3};
    logVerboseCStyle("/src/app/main.c", 23, "main", app, QUILLON_VERBOSE, "versioned\n");
    return 0;
}
