#!/bin/sh
# Usage: run.sh BUILD_DIR.  Prints the queue's throughput beside a bare
# non-blocking pipe doing the same system calls in the same run.
set -e
build=${1:?usage: run.sh BUILD_DIR}
exec "$build/bench/messages/carrowen_bench"
