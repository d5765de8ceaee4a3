#!/bin/sh
# check_linkage.sh LIBRARY SONAME "NEEDED..." "EXPORTED..." ["LEFT UNDEFINED..."] [SANITIZED]
# Checks a shared library's dynamic interface exactly: its soname, its NEEDED
# entries, its exported symbols, the symbols it leaves to the loading process,
# and that it binds lazily (no BIND_NOW).  Lists may be separated by blanks or
# semicolons.  SANITIZED (non-empty) ignores what a sanitizer runtime brings:
# its own libraries among the NEEDED entries and ASan's __odr_asan twins of
# exported globals.
library=$1
soname_expected=$2
sanitized=$6
runtime='^lib(asan|ubsan|tsan|stdc\+\+|m|gcc_s)\.so'
status=0

list() { printf '%s\n' $(echo "$1" | tr ';' ' ') | sed '/^$/d' | sort; }
without_runtime() { if [ -n "$sanitized" ]; then grep -Ev "$runtime"; else cat; fi; }

dynamic=$(readelf -d "$library") || exit 1

soname=$(echo "$dynamic" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "$soname_expected" ]; then
    printf 'soname of %s: [%s], expected [%s]\n' "$library" "$soname" "$soname_expected"
    status=1
fi

needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | without_runtime)
needed_expected=$(list "$3" | without_runtime)
if [ "$needed" != "$needed_expected" ]; then
    printf 'NEEDED of %s:\n%s\nexpected:\n%s\n' "$library" "$needed" "$needed_expected"
    status=1
fi

exported=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^__odr_asan' | sort)
exported_expected=$(list "$4")
if [ "$exported" != "$exported_expected" ]; then
    printf 'exported by %s:\n%s\nexpected:\n%s\n' "$library" "$exported" "$exported_expected"
    status=1
fi

for symbol in $(list "$5"); do
    if ! nm -D --undefined-only "$library" | awk '{print $2}' | grep -qx "$symbol"; then
        echo "$library does not leave $symbol to the loading process"
        status=1
    fi
done

if echo "$dynamic" | grep -Eq 'BIND_NOW|FLAGS.*NOW'; then
    echo "$library binds its symbols at load time (BIND_NOW)"
    status=1
fi
exit $status
