#!/bin/sh
# libcarrowen's dynamic interface: its soname, that it needs neither
# libquillon nor libstdc++ (the host's libquillon serves its log calls), and
# that it exports exactly its API.
# Usage: linkage.sh path/to/libcarrowen.so [sanitizers it was built with]
library=$1
sanitized=$2
status=0
fail() { echo "linkage: $*" >&2; status=1; }

dynamic=$(readelf -d "$library") || exit 1
echo "$dynamic" | grep -q 'Library soname: \[libcarrowen.so.1\]' || fail "soname is not libcarrowen.so.1"
needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "$needed" | grep -qx 'libc.so.6' || fail "libc.so.6 is not needed: $needed"
echo "$needed" | grep -q '^libquillon' && fail "needs libquillon: $needed"
# A sanitizer runtime brings its own needs (libstdc++ among them).
[ -n "$sanitized" ] && needed=$(echo "$needed" | grep -Ev '^lib(asan|ubsan|tsan|stdc\+\+|m)\.so')
[ "$needed" = libc.so.6 ] || fail "needs more than the C library: $needed"

# ASan adds an __odr_asan twin of each exported global.
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^__odr_asan' | sort | tr '\n' ' ')
expected="GetMessageQueueFd InitMessage MessageQueueCreate MessageQueueDelete MessageQueueDequeue \
MessageQueueEnqueue g_moduleMessageNO log_message_init "
[ "$exported" = "$expected" ] || fail "exports [$exported], expected [$expected]"

for symbol in registerModule logVerboseCStyle; do
    nm -D --undefined-only "$library" | grep -qw "$symbol" || fail "$symbol is not left to the loading process"
done
exit $status
