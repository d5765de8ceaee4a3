#!/bin/sh
# Runs the README's embed.c, built as PROGRAM: it must serve a directory on
# the port the kernel picked, print a curl client's session as events from
# its poll loop, and on SIGTERM drain, sum up and exit 0.  Needs curl.
# Usage: embed_check.sh PROGRAM
set -eu
program=$1
work=$(mktemp -d)
pid=""
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() {
    echo "embed_check: $*: $(cat "$work/out" 2>/dev/null)" >&2
    exit 1
}

mkdir "$work/served"
printf 'hello\n' >"$work/served/hello.txt"
"$program" "$work/served" >"$work/out" 2>&1 &
pid=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^serving .* on port \([0-9]*\)$/\1/p' "$work/out")
    [ -z "$port" ] || break
    kill -0 "$pid" 2>/dev/null || fail "$program exited"
    sleep 0.1
done
[ -n "$port" ] || fail "no port line"
[ "$(curl -s --max-time 10 "ftp://127.0.0.1:$port/hello.txt")" = hello ] || fail "curl did not fetch hello.txt"
# The session's end is its last event: wait for it before the stop.
for _ in $(seq 100); do
    ! grep -qx 'session 1: ended' "$work/out" || break
    sleep 0.1
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"
printf '%s\n' "serving $work/served on port $port" \
    "session 1: anonymous logged in from 127.0.0.1" \
    "session 1: download /hello.txt, 6 bytes, complete" \
    "session 1: ended" \
    "stopped after 1 sessions, 1 downloads, 6 bytes sent" >"$work/expected"
cmp -s "$work/out" "$work/expected" || fail "printed, instead of [$(cat "$work/expected")]"
echo "embed_check: ok"
