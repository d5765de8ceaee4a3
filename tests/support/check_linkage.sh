#!/bin/sh
# check_linkage.sh LIBRARY SONAME "NEEDED..." "EXPORTED..." "LEFT UNDEFINED..." RUNPATH [SANITIZED]
# Checks a shared library's dynamic interface exactly: its soname, its NEEDED
# entries, its exported symbols as nm -D names them (NAME@@VERSION, and the
# version node itself), the symbols it leaves to the loader to bind
# (those without a version), its RUNPATH ("" for none; DT_RPATH is never
# right), and that it binds lazily (no BIND_NOW).  Lists may be separated by
# blanks or semicolons.  SANITIZED (non-empty) ignores what a sanitizer
# runtime brings: its libraries among the NEEDED entries, ASan's __odr_asan
# twins of exported globals, and the C library calls its interceptors take.
library=$1
soname_expected=$2
runpath_expected=$6
sanitized=$7
status=0

list() { printf '%s\n' $(echo "$1" | tr ';' ' ') | sed '/^$/d' | sort; }
differs() {  # WHAT FOUND EXPECTED
    [ "$2" = "$3" ] && return 1
    printf '%s %s:\n%s\nexpected:\n%s\n' "$1" "$library" "$2" "$3"
    status=1
}

dynamic=$(readelf -d "$library") || exit 1
tag() { echo "$dynamic" | sed -n "s/.*($1).*\[\(.*\)\]/\1/p"; }

differs 'soname of' "$(tag SONAME)" "$soname_expected"
differs 'RUNPATH of' "$(tag RUNPATH)" "$runpath_expected"
differs 'RPATH of' "$(tag RPATH)" ""

needed=$(tag NEEDED | sort)
[ -n "$sanitized" ] && needed=$(echo "$needed" | grep -Ev '^lib(asan|ubsan|tsan)\.so')
differs 'NEEDED of' "$needed" "$(list "$3")"

differs 'exported by' "$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^__odr_asan' | sort)" \
    "$(list "$4")"

undefined_expected=$(list "$5")
left=$(nm -D --undefined-only "$library" | awk '$1 == "U" && $2 !~ /@/ && $2 !~ /^__/ {print $2}' | sort)
[ -n "$sanitized" ] && left=$(echo "$left" | grep -Fx "$undefined_expected")
differs 'left to the loader by' "$left" "$undefined_expected"

if echo "$dynamic" | grep -Eq 'BIND_NOW|FLAGS.*NOW'; then
    echo "$library binds its symbols at load time (BIND_NOW)"
    status=1
fi
exit $status
