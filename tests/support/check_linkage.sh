#!/bin/sh
# check_linkage.sh LIBRARY "NEEDED..." "EXPORTED..."
# Checks a shared library's NEEDED entries and its exported symbols exactly,
# and that it binds lazily (no BIND_NOW).
library=$1
needed_expected=$(printf "%s\n" $(echo "$2" | tr ";" " ") | sort)
exported_expected=$(printf "%s\n" $(echo "$3" | tr ";" " ") | sort)
status=0

needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
if [ "$needed" != "$needed_expected" ]; then
    printf 'NEEDED of %s:\n%s\nexpected:\n%s\n' "$library" "$needed" "$needed_expected"
    status=1
fi

exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$exported" != "$exported_expected" ]; then
    printf 'exported by %s:\n%s\nexpected:\n%s\n' "$library" "$exported" "$exported_expected"
    status=1
fi

if readelf -d "$library" | grep -Eq 'BIND_NOW|FLAGS.*NOW'; then
    echo "$library binds its symbols at load time (BIND_NOW)"
    status=1
fi
exit $status
