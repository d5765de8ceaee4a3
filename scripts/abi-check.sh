#!/bin/sh
# The ABI of the five libraries against the baseline recorded in abi/.
#   abi-check.sh BUILD_DIR           compare (abidiff); fails on an
#                                     incompatible change or a missing library
#   abi-check.sh --update BUILD_DIR  record BUILD_DIR's ABI as the baseline
# The baseline is abidw's description of each library, restricted to the
# types of the public headers, without paths, so that it depends on the
# interface alone.  Additions (a new function, say) are shown and pass; any
# other change fails.  Refresh the baseline with --update when an addition is
# meant; anything else needs a new soname.
set -eu
update=""
if [ "${1:-}" = --update ]; then
    update=yes
    shift
fi
build=${1:?usage: abi-check.sh [--update] BUILD_DIR}
here=$(cd "$(dirname "$0")/.." && pwd)
baseline=$here/abi
headers=$here/include
status=0

for library in quillon carrowen trevant osprel dunmarr; do
    elf=$build/src/libs/lib$library.so.1
    [ -f "$elf" ] || { echo "abi-check: $elf is missing; build $build first" >&2; exit 1; }
    if [ -n "$update" ]; then
        abidw --headers-dir "$headers" --drop-private-types --exported-interfaces-only --no-corpus-path \
            --no-comp-dir-path --no-show-locs \
            --out-file "$baseline/lib$library.abi" "$elf"
        echo "abi-check: recorded $baseline/lib$library.abi"
        continue
    fi
    # abidiff's status is a bit field (1 error, 2 usage, 4 a change, 8 an
    # incompatible change), and it calls many breaking changes (a parameter
    # added, a field's type changed) mere changes: so any change to what the
    # baseline has fails, and only additions (new functions and variables,
    # in a new version node) pass.
    options="--headers-dir2 $headers --drop-private-types --exported-interfaces-only"
    report=$build/abidiff-$library.txt
    # shellcheck disable=SC2086
    if ! abidiff $options --no-added-syms "$baseline/lib$library.abi" "$elf" >"$report" 2>&1; then
        echo "abi-check: lib$library: its interface changed from abi/lib$library.abi:" >&2
        cat "$report" >&2
        status=1
    elif ! abidiff $options "$baseline/lib$library.abi" "$elf" >"$report" 2>&1; then
        echo "abi-check: lib$library: additions only, compatible (record them with make abi-baseline):"
        cat "$report"
    else
        echo "abi-check: lib$library: as recorded"
    fi
done
exit $status
