#!/bin/sh
# Builds the FTP server's libFuzzer targets (path resolution, command
# parsing and the accounts file) with clang into the build directory $1 and runs each briefly.
# FUZZ_SECONDS sets the time per target (default 60).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: fuzz/run.sh BUILD_DIR}
seconds=${FUZZ_SECONDS:-60}
mkdir -p "$build"
build=$(cd "$build" && pwd)
sources="$here/../src/FtpServer"

for target in command_parser path_resolver accounts; do
    libraries=""
    case $target in
        command_parser) unit="control/CommandParser.cpp files/Wildcard.cpp" ;;
        path_resolver) unit=files/PathResolver.cpp ;;
        accounts) unit="access/Accounts.cpp base/PasswordHash.cpp files/PathResolver.cpp base/PrivateFile.cpp" libraries=-lcrypt ;;
    esac
    echo "fuzz: building $target"
    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -I "$sources" "$here/${target}_fuzz.cpp" $(for file in $unit; do echo "$sources/$file"; done) \
        $libraries -o "$build/${target}_fuzz"
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    echo "fuzz: running $target for $seconds s"
    "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/${target}-" "$corpus" "$here/seeds/$target" 2>"$build/$target.log" || {
        tail -40 "$build/$target.log" >&2
        echo "fuzz: $target found a failure; see $build/$target.log" >&2
        exit 1
    }
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$build/$target.log" | sed "s/^/fuzz: $target /"
done
echo "fuzz: no failure found"
