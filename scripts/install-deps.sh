#!/bin/sh
# Installs, with apt-get, the Debian packages a make target needs and that are
# missing, and says which.  Usage: install-deps.sh build|test|sanitize|fuzz|bench
set -e

build="cmake g++ make pkg-config libssl-dev openssl"
test="$build libgtest-dev libgmock-dev iproute2 util-linux curl lftp python3 procps"
fuzz="$build clang libclang-rt-14-dev"
bench="$test libbenchmark-dev vsftpd"

case "$1" in
    build) wanted=$build ;;
    test | sanitize) wanted=$test ;;
    fuzz) wanted=$fuzz ;;
    bench) wanted=$bench ;;
    *) echo "usage: $0 build|test|sanitize|fuzz|bench" >&2; exit 2 ;;
esac

missing=""
for package in $wanted; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
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
