#!/bin/sh
# Checks the lnav format and the liblognorm rule base of parsers/ on real
# lines: quillon-demo's, run briefly with eth0 (tests/support/in_netns.sh) and
# in a namespace without it, and sample_lines.c's, which prints every kind of
# line the library makes.  Needs root (network namespaces), lnav and
# lognormalizer.  Usage: check.sh BUILD_DIR (a build-dist/ tree)
set -eu
build=$(cd "${1:?usage: check.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
demo=$build/examples/quillon-demo
in_netns=$here/../tests/support/in_netns.sh

# quillon-demo for 9 s (6 s of it the monitor's start-up pause), stopped with SIGINT.
run_demo() { # NAME LAUNCHER...
    name=$1
    shift
    mkdir -p "$work/$name.home"
    env HOME="$work/$name.home" XDG_DATA_HOME="$work/$name.home" NO_COLOR=1 timeout -s INT 9 "$@" "$demo" -r 1 -i 20 \
        >"$work/$name.log" 2>"$work/$name.err" || [ $? = 124 ] || { cat "$work/$name.err" >&2; exit 1; }
}
run_demo demo "$in_netns" &
run_demo demo-no-eth0 unshare -n sh -c 'ip link set lo up && exec "$@"' no_eth0 &
cc -Wall -Wextra -I"$here/../include" "$here/sample_lines.c" -L"$build/src/libs" -lquillon \
    -Wl,-rpath,"$build/src/libs" -o "$work/sample_lines"
"$in_netns" "$work/sample_lines" >"$work/sample.log"
wait

mkdir -p "$work/lnav/formats/quillon" "$work/lnav-home"
cp "$here/lnav/quillon_log.json" "$work/lnav/formats/quillon/"
HOME=$work/lnav-home lnav -I "$work/lnav" -C || { echo "check.sh: lnav -C refuses the format" >&2; exit 1; }
python3 "$here/check_lines.py" "$work" "$here/rsyslog/quillon.rb" demo.log demo-no-eth0.log sample.log
