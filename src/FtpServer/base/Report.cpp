#include "base/Report.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

namespace osprel {

void reportLine(const char *format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (length > static_cast<int>(sizeof line) - 2) length = sizeof line - 2;
    line[length++] = '\n';
    int saved = errno;
    ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(length));
    (void)ignored;
    errno = saved;
}

}  // namespace osprel
