#!/bin/sh
# Installs, with apt-get, the Debian packages a make target needs and that are
# missing, and says which.  This file is the one list of them.
# Usage: install-deps.sh dist|run|build|package|lint|abi|parsers|test|sanitize|fuzz|bench|ci
set -e

# make, make install: the libraries and quillon-demo in build-dist/
# (libcrypt-dev: the FTP server's password hashes).
dist="cmake g++ make pkg-config libssl-dev libcrypt-dev"
# make run: the FTP client the README and quillon-demo suggest; openssl makes
# the certificate for make run TLS=1.
run="$dist curl openssl"
# make build: build/, with the tests and benchmarks.
build="$dist libgtest-dev libgmock-dev"
# make test: the end-to-end tests use namespaces, FTP clients and Python;
# whois has mkpasswd, which makes the FTP tests' password hashes; strace
# counts an upload's fsync calls before its 226.
test="$build iproute2 util-linux curl lftp python3 procps openssl whois strace"
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

case "$1" in
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
    *) echo "usage: $0 dist|run|build|package|lint|abi|parsers|test|sanitize|fuzz|bench|ci" >&2; exit 2 ;;
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

apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null

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
