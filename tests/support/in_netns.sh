#!/bin/sh
# Runs a command in private network, UTS and mount namespaces whose host is
# pinned: host name "box", interface eth0 (one end of a veth pair) with
# hardware address 02:00:5e:10:00:01 and address 192.168.1.10/24, loopback
# up.  The FTP server's fixed ports (control 3456, passive 34567-34630) lie
# inside the ephemeral range, so they are reserved: a client's listen(0)
# could otherwise take a passive port the server is binding at the same
# moment.  unshare makes the namespace's mounts private, so a test may mount
# a small file system of its own that nothing outside sees.
# Exits 77 (skipped) when namespaces are not available, except under CI,
# where that is a failure.
if [ "$(id -u)" != 0 ] || ! unshare -n -u -m true 2>/dev/null; then
    if [ "${CI:-}" = true ]; then
        echo "in_netns.sh: cannot create network, UTS and mount namespaces (need root, unshare, and / a mount point)" >&2
        exit 1
    fi
    echo "in_netns.sh: no network namespace here, skipping" >&2
    exit 77
fi
exec unshare -n -u -m sh -ec '
    ip link set lo up
    echo 3456,34567-34630 > /proc/sys/net/ipv4/ip_local_reserved_ports
    ip link add eth0 type veth peer name eth0peer
    ip link set eth0 address 02:00:5e:10:00:01
    ip addr add 192.168.1.10/24 dev eth0
    ip link set eth0 up
    ip link set eth0peer up
    hostname box
    exec "$@"' in_netns "$@"
