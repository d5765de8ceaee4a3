#!/bin/sh
# Makes the .deb with CPack and checks what it carries: the five libraries
# with their links, the headers, the pkg-config and CMake files for /usr, and
# quillon-demo, runnable from the unpacked tree.
# Usage: package_test.sh BUILD_DIR WORK_DIR
set -eu
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)

fail() {
    echo "package_test: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || fail "cpack failed: $(cat "$work/cpack.log")"
deb=$work/quillon_1.0.0_amd64.deb
[ -f "$deb" ] || fail "no $deb: $(ls "$work")"

[ "$(dpkg-deb -f "$deb" Package)" = quillon ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = 1.0.0 ] || fail "package version"
for dependency in libc6 libssl3; do
    dpkg-deb -f "$deb" Depends | grep -q "$dependency" || fail "Depends lacks $dependency: $(dpkg-deb -f "$deb" Depends)"
done

dpkg-deb -c "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}' | sort >"$work/contents"
for library in quillon carrowen trevant dunmarr osprel; do
    for entry in "./usr/lib/lib$library.so.1.0.0" "./usr/lib/lib$library.so.1 -> lib$library.so.1.0.0" \
                 "./usr/lib/lib$library.so -> lib$library.so.1"; do
        grep -qxF "$entry" "$work/contents" || fail "package lacks [$entry]"
    done
done
for entry in ./usr/include/quillon.h ./usr/include/carrowen.h ./usr/include/trevant.h ./usr/include/dunmarr.h \
             ./usr/include/osprel.h ./usr/lib/pkgconfig/quillon.pc ./usr/lib/pkgconfig/carrowen.pc \
             ./usr/lib/pkgconfig/trevant.pc ./usr/lib/cmake/quillon/quillonConfig.cmake \
             ./usr/lib/cmake/quillon/quillonTargets.cmake ./usr/bin/quillon-demo; do
    grep -qxF "$entry" "$work/contents" || fail "package lacks [$entry]"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./shlibs 2>/dev/null | grep -qx "libquillon 1 quillon (>= 1.0.0)" ||
    fail "no shlibs entry for libquillon"

# The unpacked tree: files name /usr, and the program runs from it.
root=$work/root
dpkg-deb -x "$deb" "$root"
grep -qx "prefix=/usr" "$root/usr/lib/pkgconfig/trevant.pc" || fail "trevant.pc does not name /usr"
runpath=$(readelf -d "$root/usr/lib/libtrevant.so.1.0.0" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN' ] || fail "packaged libtrevant RUNPATH is [$runpath]"
unset LD_LIBRARY_PATH || true
"$root/usr/bin/quillon-demo" -h >"$work/usage" 2>&1 || fail "packaged quillon-demo -h failed: $(cat "$work/usage")"
head -n 1 "$work/usage" | grep -q "^usage: quillon-demo " || fail "packaged quillon-demo: $(cat "$work/usage")"
LD_TRACE_LOADED_OBJECTS=1 "$root/usr/bin/quillon-demo" >"$work/trace" 2>&1
grep -qF "libosprel.so.1 => $root/usr/" "$work/trace" ||
    fail "packaged libosprel not loaded from the package: $(cat "$work/trace")"
echo "package_test: ok"
