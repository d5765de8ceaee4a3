#!/bin/sh
# Installs, with apt-get, the Debian packages a make target needs and that are
# missing, and says which.  This file is the one list of them.
# Usage: install-deps.sh dist|run|build|package|lint|abi|parsers|test|sanitize|fuzz|bench|ci
#        install-deps.sh cross|cross-test|package|lint ARCH   (armhf, arm64, i386: a device's build)
set -e

# The libraries the code links (libcrypt-dev: the FTP server's password
# hashes), and those the tests link; a cross build takes them for its target.
libs="libssl-dev libcrypt-dev"
test_libs="libgtest-dev libgmock-dev"
# make, make install: the libraries and quillon-demo in build-dist/.
dist="cmake g++ make pkg-config $libs"
# make run: the FTP client the README and quillon-demo suggest; openssl makes
# the certificate for make run TLS=1.
run="$dist curl openssl"
# make build: build/, with the tests and benchmarks.
build="$dist $test_libs"
# make test: the end-to-end tests use namespaces, FTP clients and Python;
# whois has mkpasswd, which makes the FTP tests' password hashes; strace
# counts an upload's fsync calls before its 226; tzdata gives the FTP
# confinement test a time zone other than UTC to check the host's by.
test_tools="iproute2 util-linux curl lftp python3 procps openssl whois strace tzdata"
test="$build $test_tools"
# make package: dpkg-buildpackage, debhelper and build-essential (which
# dpkg-buildpackage requires; the build packages are
# debian/control's Build-Depends).
package="$dist build-essential dpkg-dev debhelper"
# make package-check: lintian on the packages.
lint="$package lintian"
# make abi-check, make abi-baseline: abidw and abidiff.
abi="$dist abigail-tools"
# make parsers-check: lnav and liblognorm's lognormalizer, the namespace and
# process tools the sample run uses.
parsers="$dist lnav liblognorm-utils python3 iproute2 util-linux procps"
fuzz="$dist clang libclang-rt-14-dev"
# make bench: vsftpd is the FTP benchmark's baseline; the benchmark starts
# its own instances, so its system service is left neither enabled nor
# running (see below).
bench="$test libbenchmark-dev vsftpd"
# .ci/fresh_root.sh: a bare Debian root to follow the README in.
ci="debootstrap"

# A device's build (ARCH: a Debian architecture): Debian's cross compiler,
# and the target's libraries as multiarch packages (NAME:ARCH, once ARCH is
# one of dpkg's architectures).  libstdc++6 and libgcc-s1 are what the
# target's programs load (the cross compiler's own copies serve the linker);
# pkg-config:ARCH answers for the target's .pc files.  On a machine of that
# architecture the native lists serve.
arch=${2:-}
[ "$arch" = "$(dpkg --print-architecture)" ] && arch=""
if [ -n "$arch" ]; then
    case "$1 $arch" in
        "cross "* | "cross-test "* | "package "* | "lint "*) ;;
        *) echo "usage: $0 cross|cross-test|package|lint armhf|arm64|i386" >&2; exit 2 ;;
    esac
    case "$arch" in
        armhf | arm64 | i386) ;;
        *) echo "install-deps: $arch is none of the device architectures (armhf, arm64, i386)" >&2; exit 2 ;;
    esac
fi
on_target() {
    for name in "$@"; do printf ' %s:%s' "$name" "$arch"; done
}
compiler="crossbuild-essential-$arch$(on_target libc6-dev libstdc++6 libgcc-s1)"
cross="cmake make $compiler$(on_target pkg-config $libs $test_libs)"
# make cross-test: the test tools are the machine's own; the target's
# programs run under qemu-user, registered with binfmt_misc (make cross-test
# registers it where it is missing; i386's only where an x86-64 kernel does
# not run them itself).
emulator="qemu-user qemu-user-binfmt"
cross_test="$cross $test_tools $emulator"

case "$1${arch:+ for $arch}" in
    "cross for "*) wanted=$cross ;;
    "cross-test for "*) wanted=$cross_test ;;
    "package for "*) wanted="$package $compiler$(on_target pkg-config $libs)" ;;
    "lint for "*) wanted="$lint $compiler$(on_target pkg-config $libs) $emulator" ;;
    cross) wanted=$build ;;
    cross-test) wanted=$test ;;
    dist) wanted=$dist ;;
    run) wanted=$run ;;
    build) wanted=$build ;;
    package) wanted=$package ;;
    lint) wanted=$lint ;;
    abi) wanted=$abi ;;
    parsers) wanted=$parsers ;;
    test | sanitize) wanted=$test ;;
    fuzz) wanted=$fuzz ;;
    bench) wanted=$bench ;;
    ci) wanted=$ci ;;
    *) echo "usage: $0 dist|run|build|package|lint|abi|parsers|test|sanitize|fuzz|bench|ci" \
            "(or cross|cross-test|package|lint ARCH)" >&2; exit 2 ;;
esac

missing=""
for name in $wanted; do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" || missing="$missing $name"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing Debian packages:$missing; run as root or install them" >&2
    exit 1
fi
echo "install-deps: installing with apt-get:$missing"
export DEBIAN_FRONTEND=noninteractive
# Another apt-get or dpkg at work holds dpkg's lock: wait for it.
apt_get() {
    apt-get -o DPkg::Lock::Timeout=900 "$@"
}
if [ -n "$arch" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "install-deps: adding $arch to dpkg's architectures"
    dpkg --add-architecture "$arch"
fi

# A daemon installed here only as a benchmark's peer (vsftpd) must not be
# left serving: while apt-get runs, a policy-rc.d refuses every service
# start (invoke-rc.d and deb-systemd-invoke both ask it), and afterwards the
# service is disabled, and stopped should anything have started it.  An
# existing policy-rc.d, the machine owner's, is left as it is.
daemons=""
case " $missing " in *" vsftpd "*) daemons="vsftpd" ;; esac
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ -n "$daemons" ] && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# install-deps.sh: no service starts while it installs packages.\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=yes
    trap 'rm -f "$policy"' EXIT
fi

apt_get update -qq
apt_get install -y -qq --no-install-recommends --no-remove $missing >/dev/null

for daemon in $daemons; do
    if command -v systemctl >/dev/null 2>&1; then
        # Works without a running systemd too: it removes the unit's links.
        systemctl disable --quiet "$daemon.service" 2>/dev/null || true
        if [ -d /run/systemd/system ]; then systemctl stop "$daemon.service" 2>/dev/null || true; fi
    fi
    if command -v update-rc.d >/dev/null 2>&1 && [ -e "/etc/init.d/$daemon" ]; then
        update-rc.d "$daemon" disable >/dev/null 2>&1 || true
    fi
    if [ ! -d /run/systemd/system ] && [ -e "/etc/init.d/$daemon" ]; then
        "/etc/init.d/$daemon" stop >/dev/null 2>&1 || true
    fi
    echo "install-deps: $daemon installed with its service disabled and not running"
done
if [ -n "$own_policy" ]; then rm -f "$policy"; trap - EXIT; fi
