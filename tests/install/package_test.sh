#!/bin/sh
# Checks the Debian packages that `make package` left in DEB_DIR: lintian has
# nothing to say at warning level or above, each package holds its part, the
# libraries carry their symbols files and no RUNPATH, and quillon-demo runs
# from the unpacked tree (a device's under qemu-user, registered with
# binfmt_misc).  Usage: package_test.sh DEB_DIR [ARCH]
set -eu
debs=$(cd "$1" && pwd)
version=$(dpkg-parsechangelog -l "$(dirname "$0")/../../debian/changelog" -S Version)
arch=${2:-$(dpkg --print-architecture)}
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "package_test: $*" >&2
    exit 1
}
deb() { echo "$debs/$1_${version}_$arch.deb"; }

# lintian: any error or warning fails (the overrides in debian/ say why each is there).
lintian --fail-on error,warning "$debs/quillon_${version}_$arch.changes" >"$work/lintian" 2>&1 ||
    fail "lintian: $(cat "$work/lintian")"
! grep -E '^[EW]: ' "$work/lintian" || fail "lintian reported the lines above"

# Each package's part.  A library package: its soname link, the library, a
# symbols file.  The -dev package: headers, development links, pkg-config,
# CMake and the parsers.
libdir=usr/lib/$multiarch
contents() { dpkg-deb -c "$(deb "$1")" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}'; }
for library in quillon carrowen trevant osprel dunmarr; do
    package=lib${library}1
    contents $package >"$work/$package"
    for entry in "./$libdir/lib$library.so.1.0.0" "./$libdir/lib$library.so.1 -> lib$library.so.1.0.0"; do
        grep -qxF "$entry" "$work/$package" || fail "$package lacks [$entry]"
    done
    dpkg-deb --ctrl-tarfile "$(deb $package)" | tar -xO ./symbols | grep -q "@$(echo "$library" | tr a-z A-Z)_1.0 " ||
        fail "$package has no symbols file with its version node"
    grep -qxF "./$libdir/lib$library.so -> lib$library.so.1" "$work/$package" && fail "$package holds the development link"
done
contents libquillon-dev >"$work/dev"
for entry in ./usr/include/quillon.h ./usr/include/carrowen.h ./usr/include/trevant.h ./usr/include/dunmarr.h \
             ./usr/include/osprel.h "./$libdir/libquillon.so -> libquillon.so.1" "./$libdir/libosprel.so -> libosprel.so.1" \
             "./$libdir/pkgconfig/quillon.pc" "./$libdir/pkgconfig/carrowen.pc" "./$libdir/pkgconfig/trevant.pc" \
             "./$libdir/cmake/quillon/quillonConfig.cmake" ./usr/share/quillon/lnav/quillon_log.json \
             ./usr/share/quillon/rsyslog/quillon.rb; do
    grep -qxF "$entry" "$work/dev" || fail "libquillon-dev lacks [$entry]"
done
contents quillon-demo >"$work/demo"
for entry in ./usr/bin/quillon-demo ./usr/share/man/man1/quillon-demo.1.gz; do
    grep -qxF "$entry" "$work/demo" || fail "quillon-demo lacks [$entry]"
done

# libcarrowen names no libquillon, so its package states the dependency.
dpkg-deb -f "$(deb libcarrowen1)" Depends | grep -q 'libquillon1 (>= 1.0.0)' ||
    fail "libcarrowen1 does not depend on libquillon1: $(dpkg-deb -f "$(deb libcarrowen1)" Depends)"

# The unpacked tree: no RUNPATH (the system's library directory needs none),
# and the program runs with the packaged libraries.
root=$work/root
for package in libquillon1 libcarrowen1 libtrevant1 libosprel1 libdunmarr1 quillon-demo; do
    dpkg-deb -x "$(deb $package)" "$root"
done
for elf in "$root/$libdir"/lib*.so.1.0.0 "$root/usr/bin/quillon-demo"; do
    ! readelf -d "$elf" | grep -Eq 'RPATH|RUNPATH' || fail "$elf has a run-time search path"
done
LD_LIBRARY_PATH=$root/$libdir "$root/usr/bin/quillon-demo" -h >"$work/usage" 2>&1 ||
    fail "packaged quillon-demo -h failed: $(cat "$work/usage")"
head -n 1 "$work/usage" | grep -q "^usage: quillon-demo " || fail "packaged quillon-demo: $(cat "$work/usage")"
echo "package_test: ok (lintian: no error or warning)"
