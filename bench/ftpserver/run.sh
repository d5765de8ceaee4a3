#!/bin/sh
# FTP server benchmark beside Debian's vsftpd, both on loopback in a private
# network namespace: download and upload of a 512 MiB file with curl, and
# sessions per second (connect, login, LIST, quit), in plain FTP and over TLS;
# first the TLS stream alone beside plain sendfile; then uploads with and
# without the sync, to the tmpfs and to the disk (BENCH_DISK_DIR, /var/tmp);
# then the server's threads confined (the default) and not
# (OSPREL_FTP_CONFINE=0); then the rate caps (what capped transfers achieve,
# and the server's CPU time meanwhile); last the host interface, with and
# without a host taking every event, beside ServerMain.
# Usage: run.sh BUILD_DIR
# BENCH_FILE_MIB, BENCH_SESSIONS, BENCH_ROUNDS and BENCH_CAP_SECONDS (how
# long each capped transfer lasts) shrink the run for a quick look;
# BENCH_ONLY=host runs the host interface's part alone (BENCH_ONLY=confine the
# confinement's), and
# BENCH_BASELINE_HOST names another build's osprel_bench_host to run beside.
set -eu
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
host="$build/bench/ftpserver/osprel_bench_host"
stream_bench="$build/bench/ftpserver/osprel_tls_stream_bench"
if [ ! -x "$host" ] || [ ! -x "$stream_bench" ]; then
    echo "bench/ftpserver: $host or $stream_bench is missing; build $build first" >&2
    exit 1
fi
for tool in curl vsftpd unshare openssl; do
    command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || {
        echo "bench/ftpserver: $tool is missing (scripts/install-deps.sh bench)" >&2
        exit 1
    }
done
if [ "$(id -u)" != 0 ] || ! unshare -n true 2>/dev/null; then
    echo "bench/ftpserver: needs root and network namespaces" >&2
    exit 1
fi
host=$(cd "$(dirname "$host")" && pwd)/$(basename "$host")
stream_bench=$(cd "$(dirname "$stream_bench")" && pwd)/$(basename "$stream_bench")
# The files live on a tmpfs of the namespace's own, so the disk's write-back
# does not decide the upload figures.
exec unshare -n -m sh -ec '
    mount --make-rprivate /
    work=$(mktemp -d /tmp/osprel-bench-XXXXXX)
    mount -t tmpfs -o size=3g osprel-bench "$work"
    ip link set lo up
    status=0
    python3 "$1" "$2" "$work" "$3" || status=$?
    umount "$work"
    rmdir "$work"
    exit $status' bench "$here/bench.py" "$host" "$stream_bench"
