#!/bin/sh
# Installs, with apt-get, the Debian packages a make target needs and that are
# missing, and says which.  This file is the one list of them.
# Usage: install-deps.sh dist|run|build|package|test|sanitize|fuzz|bench|ci
set -e

# make, make install: the libraries and quillon-demo in build-dist/
# (libcrypt-dev: the FTP server's password hashes).
dist="cmake g++ make pkg-config libssl-dev libcrypt-dev"
# make run: the FTP client the README and quillon-demo suggest; openssl makes
# the certificate for make run TLS=1.
run="$dist curl openssl"
# make build: build/, with the tests and benchmarks.
build="$dist libgtest-dev libgmock-dev"
# CPack's shared-library entries need `file`; dpkg-shlibdeps fills Depends.
packaging="file dpkg-dev"
package="$dist $packaging"
# whois: mkpasswd, which makes the FTP tests' password hashes.
test="$build $packaging iproute2 util-linux curl lftp python3 procps openssl whois"
fuzz="$dist clang libclang-rt-14-dev"
bench="$test libbenchmark-dev vsftpd"
# .ci/fresh_root.sh: a bare Debian root to follow the README in.
ci="debootstrap"

case "$1" in
    dist) wanted=$dist ;;
    run) wanted=$run ;;
    build) wanted=$build ;;
    package) wanted=$package ;;
    test | sanitize) wanted=$test ;;
    fuzz) wanted=$fuzz ;;
    bench) wanted=$bench ;;
    ci) wanted=$ci ;;
    *) echo "usage: $0 dist|run|build|package|test|sanitize|fuzz|bench|ci" >&2; exit 2 ;;
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
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null
