#!/bin/sh
# Installs the build tree into a fresh prefix and builds programs against it
# in C and C++, through pkg-config and through find_package(quillon), then
# runs them with nothing but their own search paths.
# Usage: install_test.sh BUILD_DIR WORK_DIR [SANITIZE]
# CC and CXX name the build's compilers, and CMAKE_TOOLCHAIN_FILE its
# toolchain when it is a device's (cross) build.
set -eu
cc=${CC:-cc}
cxx=${CXX:-c++}
build=$1
work=$2
sanitize=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
flags=""
[ -n "$sanitize" ] && flags="-fsanitize=$sanitize -fno-omit-frame-pointer"

fail() {
    echo "install_test: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install failed (see $work/install.log)"

# Files, with each library's soname and development links.
for library in quillon carrowen trevant dunmarr osprel; do
    real=$prefix/lib/lib$library.so.1.0.0
    [ -f "$real" ] && [ ! -L "$real" ] || fail "missing $real"
    [ "$(readlink "$prefix/lib/lib$library.so.1")" = "lib$library.so.1.0.0" ] || fail "bad soname link of $library"
    [ "$(readlink "$prefix/lib/lib$library.so")" = "lib$library.so.1" ] || fail "bad development link of $library"
    readelf -d "$real" | grep -q "(SONAME).*\[lib$library.so.1\]" || fail "lib$library: soname is not lib$library.so.1"
done
for header in quillon carrowen trevant dunmarr osprel; do
    cmp -s "$prefix/include/$header.h" "$here/../../include/$header.h" || fail "header $header.h not installed as is"
done
for file in lib/pkgconfig/quillon.pc lib/pkgconfig/carrowen.pc lib/pkgconfig/trevant.pc \
            lib/cmake/quillon/quillonConfig.cmake lib/cmake/quillon/quillonConfigVersion.cmake \
            lib/cmake/quillon/quillonTargets.cmake bin/quillon-demo; do
    [ -f "$prefix/$file" ] || fail "missing $prefix/$file"
done
grep -qx "$prefix/lib/pkgconfig/quillon.pc" "$build/install_manifest.txt" || fail "quillon.pc not in the install manifest"

# libtrevant finds its neighbours where it is installed; nothing installed
# points back into the build tree.
runpath=$(readelf -d "$prefix/lib/libtrevant.so.1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN' ] || fail "libtrevant RUNPATH is [$runpath], not [\$ORIGIN]"
runpath=$(readelf -d "$prefix/bin/quillon-demo" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN/../lib' ] || fail "quillon-demo RUNPATH is [$runpath], not [\$ORIGIN/../lib]"
build_abs=$(cd "$build" && pwd)
for elf in "$prefix"/lib/*.so.1.0.0 "$prefix/bin/quillon-demo"; do
    if readelf -d "$elf" | grep -E 'RPATH|RUNPATH' | grep -qF "$build_abs"; then fail "$elf searches the build tree"; fi
done

# pkg-config.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
unset PKG_CONFIG_LIBDIR || true
[ "$(pkg-config --modversion quillon carrowen trevant | sort -u)" = 1.1.0 ] || fail "pkg-config versions"
[ "$(pkg-config --variable=libdir trevant)" = "$prefix/lib" ] || fail "trevant.pc libdir is not $prefix/lib"
pc() {
    # shellcheck disable=SC2046,SC2086
    "$1" $flags -Wall -Wextra -Werror "$here/consumer/$2" -o "$work/$3" $(pkg-config --cflags --libs $4) \
        -Wl,-rpath,"$prefix/lib" || fail "building $3 through pkg-config failed"
}
pc "$cc" consumer.c pc_c_consumer "quillon carrowen trevant"
pc "$cxx" consumer.cpp pc_cxx_consumer "quillon carrowen trevant"
pc "$cc" queue_only.c pc_queue_only carrowen

# find_package.
cmake -S "$here/consumer" -B "$work/find_package" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="$flags -Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="$flags -Wall -Wextra -Werror" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/find_package.log" 2>&1 ||
    fail "configuring the find_package consumer failed (see $work/find_package.log)"
cmake --build "$work/find_package" >>"$work/find_package.log" 2>&1 ||
    fail "building the find_package consumer failed (see $work/find_package.log)"

# Only the consumers' own search path (their direct libraries) and
# libtrevant's: libosprel and libdunmarr must come from the prefix.
unset LD_LIBRARY_PATH || true
check_loaded_from_prefix() {
    # The program's own loader lists what it loads (as ldd does, but also
    # for a device's program under qemu-user, which LD_TRACE_LOADED_OBJECTS
    # would stop instead).
    loader=$(readelf -l "$1" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
    "$loader" --list "$1" >"$work/trace" 2>&1 || fail "$1: cannot be loaded"
    for library in quillon carrowen trevant osprel dunmarr; do
        grep -q "lib$library.so.1 => $prefix/lib/lib$library.so.1 " "$work/trace" ||
            fail "$1: lib$library.so.1 not loaded from $prefix/lib: $(cat "$work/trace")"
    done
}
check_output() { # program, language, source
    out=$work/$(basename "$1").out
    "$1" >"$out" 2>&1 || fail "$1 failed: $(cat "$out")"
    source_shown=$(echo "$here/consumer/$3" | cut -d/ -f2- | sed 's/[.[\*^$+]/\\&/g')
    language=$(echo "$2" | sed 's/+/\\+/g')
    for pattern in \
        "\[0\.0\.0:77\]\[consumer\] <<136>> \[$source_shown:[0-9]+\]\[main:Info\] : hello from \[$language\]$" \
        "\[0\.0\.0:77\]\[consumer\] <<135>> \[$source_shown:[0-9]+\]\[main:Warning\] : direct call \[7\]$" \
        "\[0\.0\.0:5325\]\[message\] <<117>> \[[^]]*logMessage\.cpp:[0-9]+\]\[log_message_init:Fatal!\] : =====messageLogFatal==\[1\]=--------------=$" \
        "\[0\.0\.0:5325\]\[monitor\] <<122>> \[[^]]*logMonitor\.cpp:[0-9]+\]\[log_monitor_init:Debug\] : =====monitorLogDebug==\[2\]=--------------=$"; do
        grep -Eq "$pattern" "$out" || fail "$1: no line matching [$pattern] in: $(cat "$out")"
    done
    ! grep -q "gated out" "$out" || fail "$1: a Debug line passed an Info gate"
    [ "$(tail -n 1 "$out")" = "consumer: ok" ] || fail "$1: $(tail -n 1 "$out")"
}
for program in "$work/pc_c_consumer" "$work/find_package/c_consumer"; do
    check_loaded_from_prefix "$program"
    check_output "$program" C consumer.c
done
for program in "$work/pc_cxx_consumer" "$work/find_package/cxx_consumer"; do
    check_loaded_from_prefix "$program"
    check_output "$program" C++ consumer.cpp
done
for program in "$work/pc_queue_only" "$work/find_package/queue_only"; do
    "$program" >"$work/queue_only.out" 2>&1 || fail "$program failed: $(cat "$work/queue_only.out")"
    [ "$(tail -n 1 "$work/queue_only.out")" = "queue-only: ok" ] || fail "$program: $(cat "$work/queue_only.out")"
done

# The README's embed.c, against the prefix.
awk '/^```c$/ { inside = 1; first = 1; next }
     inside && /^```$/ { if (kept) exit; inside = 0; next }
     first { kept = /^\/\* embed\.c \*\/$/; first = 0 }
     kept { print }' \
    "$here/../../README.md" >"$work/embed.c"
[ -s "$work/embed.c" ] || fail "no embed.c in the README"
# shellcheck disable=SC2086
"$cc" $flags -Wall -Wextra -Werror "$work/embed.c" -I"$prefix/include" -L"$prefix/lib" -losprel -Wl,-rpath,"$prefix/lib" \
    -o "$work/embed" || fail "building the README's embed.c failed"
sh "$here/embed_check.sh" "$work/embed" >/dev/null || fail "the README's embed.c did not work"
echo "install_test: ok"
