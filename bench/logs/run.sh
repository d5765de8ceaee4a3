#!/bin/sh
# Logging throughput beside its floor, in a namespace where eth0 exists.
build=${1:-build}
here=$(dirname "$0")
"$here/../../tests/support/in_netns.sh" "$build/bench/logs/quillon_log_bench" "${LOG_BENCH_SECONDS:-0.5}"
