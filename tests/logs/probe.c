/* quillon_probe: a fresh process that logs what its arguments say, for the
 * tests of once-per-process behaviour (colour, the first clock read).
 *   L:text      log "text\n" at level L from probe.c:1, function "main"
 *   +NAME=VALUE set an environment variable
 *   !NAME       unset one */
#include <stdlib.h>
#include <string.h>

#include "quillon.h"

int main(int argc, char **argv) {
    int module = registerModule("probe", "9", 2);
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] == '+') {
            char *assignment = strdup(arg + 1);
            char *equals = strchr(assignment, '=');
            if (equals == NULL) return 2;
            *equals = '\0';
            setenv(assignment, equals + 1, 1);
            free(assignment);
        } else if (arg[0] == '!') {
            unsetenv(arg + 1);
        } else {
            char *colon;
            long level = strtol(arg, &colon, 10);
            if (*colon != ':') return 2;
            logVerboseCStyle("probe.c", 1, "main", module, (int)level, "%s\n", colon + 1);
        }
    }
    return 0;
}
