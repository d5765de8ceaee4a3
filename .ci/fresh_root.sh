#!/usr/bin/env bash
# Follows the README on a bare Debian 12, as a newcomer would: in a minimal
# root made with debootstrap from the Debian archive this machine's apt uses,
# it runs the README's prerequisite line, clones the commit under test (HEAD;
# uncommitted changes are not part of it), then `make run` (reached over FTP
# from outside the root, stopped with Ctrl-C), `make test` with CI=true, the
# install section's commands, and then `make package`, the packages installed
# with apt and the README's app.c, queue.c and embed.c built against them.  The untouched root is kept as a tarball in
# $QUILLON_CI_CACHE (default /var/cache/quillon-ci) for the next run.
# Needs root and the Debian archive; `make run` uses port 3456 of this host.
set -euo pipefail
shopt -s nullglob
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${QUILLON_CI_CACHE:-/var/cache/quillon-ci}
suite=bookworm
login_env=(/usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/sh
           PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)

say() { printf 'fresh-root: %s\n' "$*"; }
fail() {
    printf 'fresh-root: %s\n' "$*" >&2
    exit 1
}

# The first URI this machine's apt fetches $suite from (deb822 .sources, then
# one-line .list files).
archive_uri() {
    local sources=(/etc/apt/sources.list.d/*.sources) lists=(/etc/apt/sources.list.d/*.list)
    [ ! -f /etc/apt/sources.list ] || lists+=(/etc/apt/sources.list)
    [ ${#sources[@]} -eq 0 ] || awk -v suite="$suite" 'BEGIN { RS = ""; FS = "\n" } {
        types = uris = suites = ""; enabled = "yes"
        for (i = 1; i <= NF; i++) {
            if ($i ~ /^#/ || $i !~ /^[A-Za-z-]+:/) continue
            key = tolower(substr($i, 1, index($i, ":") - 1)); value = substr($i, index($i, ":") + 1)
            if (key == "types") types = value; else if (key == "uris") uris = value
            else if (key == "suites") suites = value; else if (key == "enabled") enabled = value
        }
        if (enabled !~ /no/ && (types " ") ~ /(^| )deb / && (suites " ") ~ ("(^| )" suite " ")) { split(uris, uri, " "); print uri[1] }
    }' "${sources[@]}"
    [ ${#lists[@]} -eq 0 ] || awk -v suite="$suite" '$1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) print $i
    }' "${lists[@]}"
}

# The fenced block of language $1 in README.md whose first line matches the
# regular expression $2 (passed through the environment, which keeps its
# backslashes).
readme_block() {
    lang=$1 first=$2 awk '
        /^```/ && !inside { inside = 1; start = 1; mine = (substr($0, 4) == ENVIRON["lang"]); next }
        /^```$/ && inside { if (keep) exit; inside = 0; next }
        start { keep = mine && $0 ~ ENVIRON["first"]; start = 0 }
        keep { print }' "$repo/README.md"
}

# Runs a command in directory $1 of the root, as root's login shell would.
in_root() {
    local dir=$1
    shift
    chroot "$root" "${login_env[@]}" sh -c 'cd "$0" && exec "$@"' "$dir" "$@" </dev/null
}

# Steps run in the background, so that a signal to this script cleans up at
# once instead of after the step.
run_step() {
    "$@" &
    step_pid=$!
    wait "$step_pid"
}

cleanup() {
    local status=$? proc
    [ -z "${step_pid:-}" ] || kill "$step_pid" 2>/dev/null || true
    # Whatever a failed step left running in the root holds its mounts.
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" != "$root" ] || kill -KILL "${proc#/proc/}" 2>/dev/null || true
    done
    if mountpoint -q "$work"; then umount -R -l "$work" || status=1; fi
    rmdir "$work" 2>/dev/null || true
    rm -f "${tarball:-}.$$"
    exit "$status"
}

[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, chroot, mounts)"
"$repo/scripts/install-deps.sh" ci

readarray -t steps < <(readme_block sh '^apt-get ')
if [ ${#steps[@]} -ne 4 ] || [[ ${steps[1]} != *REPOSITORY_URL* ]] || [ "${steps[2]}" != "make run" ] ||
    [ "${steps[3]}" != "make test" ]; then
    fail "README's first commands are not [prerequisites; git clone REPOSITORY_URL ...; make run; make test]: ${steps[*]}"
fi
install_line=$(readme_block sh '^make install ' | sed -n 's/^\(make install PREFIX=[^ ]*\).*/\1/p')
pkg_config_commands=$(readme_block sh '^export PKG_CONFIG_PATH=')
cmake_commands=$(readme_block sh '^cmake -S \. -B build -DCMAKE_PREFIX_PATH=')
app_source=$(readme_block c '^/\* app\.c \*/')
app_cmake=$(readme_block cmake '^cmake_minimum_required')
app_output=$(readme_block '' '\[app\] <<' | sed 's/^.* \[0\.0\.0:/[0.0.0:/')
package_commands=$(readme_block sh '^make package$')
app_packaged=$(readme_block sh '^cc app\.c ')
queue_source=$(readme_block c '^/\* queue\.c \*/')
queue_commands=$(readme_block sh '^cc queue\.c ')
embed_source=$(readme_block c '^/\* embed\.c \*/')
embed_commands=$(readme_block sh '^cc embed\.c ')
for found in "$install_line" "$pkg_config_commands" "$cmake_commands" "$app_source" "$app_cmake" "$app_output" \
    "$package_commands" "$app_packaged" "$queue_source" "$queue_commands" "$embed_source" "$embed_commands"; do
    [ -n "$found" ] || fail "README lacks one of: make install PREFIX=, PKG_CONFIG_PATH, CMake commands, app.c, its CMakeLists.txt, its output, make package, cc app.c, queue.c, cc queue.c, embed.c, cc embed.c"
done

uri=$(archive_uri | awk '/^https?:\/\// && !found { print; found = 1 }')
[ -n "$uri" ] || fail "no http(s) Debian archive for $suite in this machine's apt sources"
commit=$(git -C "$repo" rev-parse HEAD)
[ -z "$(git -C "$repo" status --porcelain)" ] || say "uncommitted changes are not tested, only $commit"

work=$(mktemp -d /var/tmp/quillon-fresh-root.XXXXXX)
root=$work/root
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
# Memory, not disk: dpkg syncs every file it unpacks.
mount -t tmpfs -o size=8g,mode=0755 quillon-fresh-root "$work"
mount --make-rprivate "$work"
mkdir "$root"

started=$SECONDS
mkdir -p "$cache"
tarball=$cache/debian-$suite-minbase-$(printf '%s' "$uri" | sha256sum | cut -c1-12).tar
if [ -f "$tarball" ]; then
    say "Debian $suite root from $tarball"
else
    say "building a minimal Debian $suite root from $uri"
    exec 9>"$cache/lock"
    flock 9
    if [ ! -f "$tarball" ]; then
        run_step debootstrap --variant=minbase "$suite" "$root" "$uri" >"$work/debootstrap.log" 2>&1 ||
            fail "debootstrap failed: $(tail -n 20 "$work/debootstrap.log")"
        # A fresh machine knows no packages until apt-get update.
        rm -rf "$root"/var/lib/apt/lists/* "$root"/var/cache/apt/*.bin "$root"/var/cache/apt/archives/*.deb
        tar -C "$root" --numeric-owner -cf "$tarball.$$" . && mv "$tarball.$$" "$tarball"
    fi
    exec 9>&-
fi
[ -x "$root/bin/sh" ] || tar -C "$root" --numeric-owner -xpf "$tarball"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# A mount point of its own, as / is on a machine: the tests' private mount
# namespaces (unshare -m) make / private, which a plain directory cannot be.
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --rbind --make-rslave /dev "$root/dev"
say "root ready in $((SECONDS - started)) s"

step() {
    say "$1 ($((SECONDS - started)) s so far)"
}
step "${steps[0]}"
run_step in_root /root sh -ec "${steps[0]}"

# The clone comes from a repository in the root holding the commit under test.
git init -q --bare "$root/srv/quillon.git"
git -C "$root/srv/quillon.git" fetch -q "$repo" "$commit:refs/heads/main"
git -C "$root/srv/quillon.git" symbolic-ref HEAD refs/heads/main
clone_line=${steps[1]//REPOSITORY_URL//srv/quillon.git}
step "$clone_line"
clone=$(in_root /root sh -ec "$clone_line && pwd" | tail -n 1)
[ "$(in_root "$clone" git rev-parse HEAD)" = "$commit" ] || fail "$clone is not at $commit"

step "make run in $clone"
run_step python3 "$repo/tests/examples/demo_smoke.py" --make-run "$clone" chroot "$root" "${login_env[@]}" \
    sh -c 'cd "$0" && exec "$@"' "$clone" </dev/null

step "make test in $clone, with CI=true"
run_step in_root "$clone" env CI=true make test

step "$install_line, then the README's app.c through pkg-config and CMake"
run_step in_root "$clone" sh -ec "$install_line"
mkdir "$root/root/app"
printf '%s\n' "$app_source" >"$root/root/app/app.c"
printf '%s\n' "$app_cmake" >"$root/root/app/CMakeLists.txt"
for commands in "$pkg_config_commands" "$cmake_commands"; do
    output=$(in_root /root/app sh -ec "$commands" 2>&1) || fail "[$commands] failed: $output"
    # The README's lines from the version group on; CMake names the source by its full path.
    shown=$(grep ' \[0\.0\.0:0100\]' <<<"$output" | sed 's/^.* \[0\.0\.0:/[0.0.0:/; s/\[root\/app\/app\.c:/[app.c:/')
    [ "$shown" = "$app_output" ] || fail "[$commands] printed [$output], not the README's [$app_output]"
done

# The Debian packages, as the README builds and installs them; then the
# examples against the installed packages alone (no PKG_CONFIG_PATH, no
# CMAKE_PREFIX_PATH, no run-time search path).
step "$(echo "$package_commands" | tr '\n' ';') in $clone"
run_step in_root "$clone" sh -ec "$package_commands"
mkdir "$root/root/packaged"
printf '%s\n' "$app_source" >"$root/root/packaged/app.c"
printf '%s\n' "$app_cmake" >"$root/root/packaged/CMakeLists.txt"
printf '%s\n' "$queue_source" >"$root/root/packaged/queue.c"
printf '%s\n' "$embed_source" >"$root/root/packaged/embed.c"
step "the README's app.c, queue.c and embed.c against the packages"
for commands in "$app_packaged" "cmake -S . -B build && cmake --build build && build/app"; do
    output=$(in_root /root/packaged sh -ec "$commands" 2>&1) || fail "[$commands] failed: $output"
    shown=$(grep ' \[0\.0\.0:0100\]' <<<"$output" | sed 's/^.* \[0\.0\.0:/[0.0.0:/; s/\[root\/packaged\/app\.c:/[app.c:/')
    [ "$shown" = "$app_output" ] || fail "[$commands] printed [$output], not the README's [$app_output]"
done
output=$(in_root /root/packaged sh -ec "$queue_commands" 2>&1) || fail "[$queue_commands] failed: $output"
grep -qxF 'received [sensor 7: 21.5 C]' <<<"$output" || fail "[$queue_commands] printed [$output]"
grep -q '\[message\] <<117>> ' <<<"$output" || fail "[$queue_commands]: no start-up line of the message module in [$output]"
# embed.c serves until stopped: built as the README says, then driven by
# the same check as against `make install`.
output=$(in_root /root/packaged sh -ec "$embed_commands && sh $clone/tests/install/embed_check.sh ./embed" 2>&1) ||
    fail "[$embed_commands] and tests/install/embed_check.sh failed: $output"

say "ok: the README's commands work on a bare Debian $suite ($((SECONDS - started)) s)"
