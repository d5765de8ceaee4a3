#!/bin/sh
# Registers qemu-user with the kernel's binfmt_misc for a device's
# architecture (ARCH: armhf, arm64 or i386), so that its programs run as
# native ones do: from the tests, from Python's subprocess, under strace.
# Without systemd nobody reads /usr/lib/binfmt.d at boot, so this does what
# systemd-binfmt would, for one architecture; a handler already there is
# left as it is.  An x86-64 kernel may run i386 programs itself (unless
# booted without its 32-bit emulation, as some virtual machines are); only
# where it does not is qemu-i386 registered, with the rule Debian leaves out
# on amd64 for that reason.
# Usage: binfmt.sh ARCH
set -eu
arch=${1:?usage: binfmt.sh ARCH}
case "$arch-$(dpkg --print-architecture)" in
    armhf-armhf | arm64-arm64 | i386-i386) exit 0 ;;
    armhf-*) handler=qemu-arm ;;
    arm64-*) handler=qemu-aarch64 ;;
    i386-*) handler=qemu-i386 ;;
    *) echo "binfmt: no emulator known for $arch" >&2; exit 2 ;;
esac
misc=/proc/sys/fs/binfmt_misc
if [ -e "$misc/$handler" ]; then
    [ "$(head -n 1 "$misc/$handler")" = enabled ] || echo 1 >"$misc/$handler"
    [ "$(cat "$misc/status")" = enabled ] || echo 1 >"$misc/status"
    exit 0
fi
if [ "$arch" = i386 ]; then
    # libc6:i386's loader, an i386 program itself.
    if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then exit 0; fi
    rule=":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00"
    rule="$rule:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff"
    rule="$rule:/usr/bin/qemu-i386:"
    source="the kernel runs no i386 programs itself"
else
    file=/usr/lib/binfmt.d/$handler.conf
    [ -f "$file" ] || { echo "binfmt: $file is missing (qemu-user-binfmt)" >&2; exit 1; }
    rule=$(grep -v '^[#;]' "$file" | sed '/^$/d' | head -n 1)
    source=$file
fi
if [ ! -e "$misc/register" ]; then
    echo "binfmt: mounting binfmt_misc on $misc"
    mount -t binfmt_misc binfmt_misc "$misc"
fi
[ "$(cat "$misc/status")" = enabled ] || echo 1 >"$misc/status"
echo "binfmt: registering $handler ($source)"
printf '%s\n' "$rule" >"$misc/register"
