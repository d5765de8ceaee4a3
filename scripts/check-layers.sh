#!/bin/sh
# The FTP server's parts form layers: a folder of src/FtpServer may include
# headers of its own folder and of the folders before it in the order that
# src/FtpServer/CMakeLists.txt lists them, never of one after it.  Prints
# each include that breaks the order and fails if there is one.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)/src/FtpServer
order=$(sed -n 's/^foreach(part \(.*\))$/\1/p' "$top/CMakeLists.txt")
[ -n "$order" ] || { echo "check-layers: no part list in $top/CMakeLists.txt" >&2; exit 1; }
rank() { i=0; for part in $order; do [ "$part" = "$1" ] && { echo $i; return; }; i=$((i + 1)); done; echo -1; }
status=0
for part in $order; do
    mine=$(rank "$part")
    for file in "$top/$part"/*.h "$top/$part"/*.cpp; do
        [ -e "$file" ] || continue
        for used in $(sed -n 's|^#include "\([a-z]*\)/[^"]*"|\1|p' "$file"); do
            theirs=$(rank "$used")
            if [ "$theirs" -lt 0 ] || [ "$theirs" -gt "$mine" ]; then
                echo "check-layers: ${file#$top/} includes $used/, which is not below $part/" >&2
                status=1
            fi
        done
    done
done
[ $status = 0 ] && echo "check-layers: $(echo $order | wc -w) parts, each includes only itself and the parts below it"
exit $status
