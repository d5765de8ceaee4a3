"""Runs the osprel server and vsftpd side by side on loopback and prints
download and upload throughput (curl, 512 MiB) and sessions per second, in
plain FTP and in explicit FTP over TLS (both servers with the same
certificate, curl held to the same TLS 1.3 cipher, data connections
protected and resuming the control connection's session), and the TLS
stream's own figures beside plain sendfile.  Then uploads alone, to the tmpfs
and to a directory on the disk (BENCH_DISK_DIR, /var/tmp by default): osprel
as it comes (atomic, synced before the 226), osprel with the sync off, and
vsftpd, which writes in place and never syncs.  Last the rate caps: a capped
download and upload (osprel, and vsftpd's own cap beside it) as a share of the
cap, two sessions at once under a total cap as a share of half of it, and
the server's CPU time meanwhile.  Then the host interface: a server held by
its host, with a host that takes every event and without one, beside
ServerMain (and, given BENCH_BASELINE_HOST, another build's ServerMain, such
as main's): downloads and sessions per second.  BENCH_ONLY=host runs that
part alone.  Before the rate caps, osprel with its threads confined (the
default) beside OSPREL_FTP_CONFINE=0; BENCH_ONLY=confine runs that alone.

Run through run.sh, which puts it in private network and mount namespaces
with its files on a tmpfs (the directory given after the host program)."""

import ftplib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The end-to-end tests' harness: its certificate maker and resuming FTP_TLS.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "ftpserver", "e2e"))
from ftpharness import make_certificate, ResumingFTP_TLS, tls_context  # noqa: E402

FILE_MIB = int(os.environ.get("BENCH_FILE_MIB", "512"))
SESSIONS = int(os.environ.get("BENCH_SESSIONS", "500"))
# Uploads also go to a directory on this disk, where the sync before the
# 226 costs what it costs on a real host.
DISK_DIR = os.environ.get("BENCH_DISK_DIR", "/var/tmp")
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))
# How long each capped transfer lasts at its cap.
CAP_SECONDS = float(os.environ.get("BENCH_CAP_SECONDS", "10"))
CAP = 1 << 20  # bytes per second, per session; the total cap is twice that
# Servers on one core, clients on the other: the same placement for both
# servers, instead of whatever the scheduler picks from run to run.
SERVER_CPU, CLIENT_CPU = "1", "0"
VSFTPD = shutil.which("vsftpd") or "/usr/sbin/vsftpd"

OSPREL_PORT, OSPREL_PASSIVE = 3456, 34567
VSFTPD_PORT, VSFTPD_PASSIVE = 2121, 40000
OSPREL_TLS_PORT, OSPREL_TLS_PASSIVE = 3457, 34700
OSPREL_NOSYNC_PORT, OSPREL_NOSYNC_PASSIVE = 3458, 34800
VSFTPD_TLS_PORT, VSFTPD_TLS_PASSIVE = 2122, 40100
OSPREL_CAP_PORT, OSPREL_CAP_PASSIVE = 3459, 34900
VSFTPD_CAP_PORT, VSFTPD_CAP_PASSIVE = 2123, 40200
HELD_PORT, HELD_PASSIVE = 3460, 35000
HELD_EVENTS_PORT, HELD_EVENTS_PASSIVE = 3461, 35100
BASELINE_PORT, BASELINE_PASSIVE = 3462, 35200
CONFINED_PORT, CONFINED_PASSIVE = 3463, 35300
UNCONFINED_PORT, UNCONFINED_PASSIVE = 3464, 35400
# Another build's bench host (ServerMain of, say, main), run beside this one.
BASELINE_HOST = os.environ.get("BENCH_BASELINE_HOST")
TLS_CIPHER = "TLS_AES_256_GCM_SHA384"


def wait_for_port(port, process, name):
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit("bench: %s exited with %s" % (name, process.returncode))
        try:
            ftplib.FTP().connect("127.0.0.1", port, timeout=1).startswith("220")
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("bench: %s did not start" % name)


def start_osprel(host, root, port=OSPREL_PORT, passive=OSPREL_PASSIVE, settings=None, mode=()):
    """mode: () for ServerMain, ("--hold",) or ("--hold-events",) for the host interface."""
    env = dict(os.environ, OSPREL_FTP_ROOT=root, OSPREL_FTP_READONLY="0", **(settings or {}))
    process = subprocess.Popen(["taskset", "-c", SERVER_CPU, host, *mode, "-c", str(port), "-d", str(passive)],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(port, process, "osprel")
    return process


def start_vsftpd(root, work, port=VSFTPD_PORT, passive=VSFTPD_PASSIVE, extra_lines=()):
    config = os.path.join(work, "vsftpd-%d.conf" % port)
    with open(config, "w") as handle:
        handle.write("\n".join(list(extra_lines) + [
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port,
            "background=NO", "anonymous_enable=YES", "no_anon_password=YES", "anon_root=" + root,
            "local_enable=NO", "write_enable=YES", "anon_upload_enable=YES", "anon_mkdir_write_enable=YES",
            "anon_other_write_enable=YES", "anon_umask=022", "pasv_enable=YES",
            "pasv_min_port=%d" % passive, "pasv_max_port=%d" % (passive + 63),
            "xferlog_enable=NO", "seccomp_sandbox=NO", "max_clients=0", "max_per_ip=0",
            "secure_chroot_dir=/var/run/vsftpd/empty", "dirmessage_enable=NO", "use_localtime=NO", ""]))
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    process = subprocess.Popen(["taskset", "-c", SERVER_CPU, VSFTPD, config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(port, process, "vsftpd")
    return process


def vsftpd_tls_lines(cert, key):
    return ["ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES", "force_anon_data_ssl=YES",
            "require_ssl_reuse=YES", "ssl_ciphers=HIGH", "rsa_cert_file=" + cert, "rsa_private_key_file=" + key]


# curl flags for one server: over TLS, the same cipher whichever server.
CURL_TLS = ["--ssl-reqd", "--insecure", "--tls13-ciphers", TLS_CIPHER]
CURL_FLAGS = {}


def negotiated(port):
    """The TLS version and cipher curl settles on with the server on port."""
    result = subprocess.run(["curl", "-v", "-o", "/dev/null"] + CURL_TLS + ["ftp://127.0.0.1:%d/" % port],
                            capture_output=True, text=True)
    found = re.search(r"SSL connection using (\S+) / (\S+)", result.stderr)
    return "%s %s" % found.groups() if found else "?"


TLS_CONTEXT = tls_context()


def curl(arguments):
    result = subprocess.run(["taskset", "-c", CLIENT_CPU, "curl", "--silent", "--show-error"] + arguments, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("bench: curl %s failed: %s" % (" ".join(arguments), result.stderr))
    return float(result.stdout)


def download_arguments(port, name):
    return CURL_FLAGS.get(port, []) + ["-o", "/dev/null", "-w", "%{speed_download}",
                                       "ftp://127.0.0.1:%d/%s" % (port, name)]


def download_mib_per_s(port):
    return curl(download_arguments(port, "big.bin")) / (1 << 20)


def upload_mib_per_s(port, root, source, directory="incoming"):
    url = "ftp://127.0.0.1:%d/%s/up.bin" % (port, directory)
    speed = curl(CURL_FLAGS.get(port, []) + ["-T", source, "-w", "%{speed_upload}", url])
    os.unlink(os.path.join(root, directory, "up.bin"))
    return speed / (1 << 20)


def one_session(port):
    tls = port in CURL_FLAGS
    client = ResumingFTP_TLS(context=TLS_CONTEXT) if tls else ftplib.FTP()
    client.connect("127.0.0.1", port, timeout=10)
    client.login("anonymous", "bench@")
    if tls:
        client.prot_p()
    client.retrlines("LIST", lambda line: None)
    client.quit()


def sessions_per_s(port):
    started = time.perf_counter()
    for _ in range(SESSIONS):
        one_session(port)
    return SESSIONS / (time.perf_counter() - started)


def measure(servers, root, source):
    """Rounds alternate between the servers, so neither gets the quieter
    machine; returns every round's figures per server."""
    for port in servers.values():
        for _ in range(20):
            one_session(port)
    rounds = {name: [] for name in servers}
    for _ in range(ROUNDS):
        for name, port in servers.items():
            rounds[name].append((download_mib_per_s(port), upload_mib_per_s(port, root, source),
                                 sessions_per_s(port)))
    return rounds


def measure_uploads(servers, root, source):
    """Uploads alone, to the tmpfs and to the disk, in alternating rounds."""
    rounds = {name: [] for name in servers}
    for _ in range(ROUNDS):
        for name, port in servers.items():
            rounds[name].append((upload_mib_per_s(port, root, source),
                                 upload_mib_per_s(port, root, source, "disk")))
    return rounds


def print_table(title, rounds, pairs, columns=("download MiB/s", "upload MiB/s", "sessions/s")):
    """Each figure: the median of the rounds, with their lowest and highest;
    each ratio: of the medians, with the lowest and highest of the ratios of
    the same round (the two servers ran one after the other)."""
    line = "%-18s" + " %22s" * len(columns)
    print(title)
    print(line % ("server", *columns))
    for name, figures in rounds.items():
        print(line % (name, *(spread(column, "%.0f") for column in zip(*figures))))
    for label, ours, theirs in pairs:
        if ours in rounds and theirs in rounds:
            ratios = [[a / b for a, b in zip(mine, other)] for mine, other in zip(rounds[ours], rounds[theirs])]
            print(line % (label, *(spread(column, "%.2fx") for column in zip(*ratios))))


def spread(values, form):
    ordered = sorted(values)
    return (form + " (" + form + "-" + form + ")") % (statistics.median(ordered), ordered[0], ordered[-1])


def stop_for_cpu(process, started):
    """Stops a server; returns its CPU time (its sessions' too) as a share
    of one core since `started`."""
    time.sleep(0.2)  # vsftpd reaps its session processes, which adds their time to its own
    elapsed = time.monotonic() - started
    process.kill()
    _, _, usage = os.wait4(process.pid, 0)
    process.returncode = -9
    return (usage.ru_utime + usage.ru_stime) / elapsed


def capped_one_session(start, port, root, capped, source):
    """A download and an upload at the per-session cap: (each speed as a
    share of the cap, server CPU as a share of a core)."""
    process = start()
    started = time.monotonic()
    try:
        down = curl(download_arguments(port, capped)) / CAP
        up = upload_mib_per_s(port, root, source) * (1 << 20) / CAP
    finally:
        cpu = stop_for_cpu(process, started)
    return down, up, cpu


def capped_two_sessions(host, root, capped):
    """Two downloads at once under a total cap of twice CAP: (each speed as
    a share of half the total, server CPU as a share of a core)."""
    process = start_osprel(host, root, OSPREL_CAP_PORT, OSPREL_CAP_PASSIVE,
                           {"OSPREL_FTP_MAX_TOTAL_RATE": str(2 * CAP)})
    started = time.monotonic()
    try:
        clients = [subprocess.Popen(["taskset", "-c", CLIENT_CPU, "curl", "--silent", "--show-error"] +
                                    download_arguments(OSPREL_CAP_PORT, capped), stdout=subprocess.PIPE, text=True)
                   for _ in range(2)]
        shares = [float(client.communicate()[0]) / CAP for client in clients]
    finally:
        cpu = stop_for_cpu(process, started)
    return shares, cpu


def measure_caps(host, root, work):
    """Prints the capped figures: osprel beside vsftpd's own per-session cap."""
    capped = "capped.bin"
    size = int(CAP * CAP_SECONDS)
    with open(os.path.join(root, capped), "wb") as handle:
        handle.write(os.urandom(size))
    source = os.path.join(work, "capped-source.bin")
    shutil.copyfile(os.path.join(root, capped), source)
    rows = {
        "osprel": capped_one_session(
            lambda: start_osprel(host, root, OSPREL_CAP_PORT, OSPREL_CAP_PASSIVE, {"OSPREL_FTP_MAX_RATE": "1M"}),
            OSPREL_CAP_PORT, root, capped, source),
        "vsftpd": capped_one_session(
            lambda: start_vsftpd(root, work, VSFTPD_CAP_PORT, VSFTPD_CAP_PASSIVE, ["anon_max_rate=%d" % CAP]),
            VSFTPD_CAP_PORT, root, capped, source),
    }
    shares, cpu = capped_two_sessions(host, root, capped)
    print("Rate caps: %d MiB/s per session, each transfer %.0f s at its cap (targets: 0.95-1.00 of the cap; "
          "server CPU under 5%% of a core)" % (CAP >> 20, CAP_SECONDS))
    print("%-18s %22s %22s %22s" % ("server", "download / cap", "upload / cap", "server CPU"))
    for name, (down, up, server_cpu) in rows.items():
        print("%-18s %22.3f %22.3f %21.1f%%" % (name, down, up, 100 * server_cpu))
    print("osprel, two downloads at once under a %d MiB/s total cap (target: each 0.80-1.20 of half): "
          "%.3f and %.3f of half, server CPU %.1f%%" % (2 * CAP >> 20, shares[0], shares[1], 100 * cpu))


def measure_host_interface(host, root):
    """Downloads and sessions per second: ServerMain, a held server whose host
    takes every event (two per session, one more per download), and one
    whose host takes none; in alternating rounds."""
    ports = {"ServerMain": OSPREL_PORT, "held, no events": HELD_PORT, "held, every event": HELD_EVENTS_PORT}
    servers = [start_osprel(host, root), start_osprel(host, root, HELD_PORT, HELD_PASSIVE, mode=("--hold",)),
               start_osprel(host, root, HELD_EVENTS_PORT, HELD_EVENTS_PASSIVE, mode=("--hold-events",))]
    if BASELINE_HOST:
        ports["ServerMain, baseline"] = BASELINE_PORT
        servers.append(start_osprel(BASELINE_HOST, root, BASELINE_PORT, BASELINE_PASSIVE))
    try:
        for port in ports.values():
            for _ in range(20):
                one_session(port)
        rounds = {name: [] for name in ports}
        for _ in range(ROUNDS):
            for name, port in ports.items():
                rounds[name].append((download_mib_per_s(port), sessions_per_s(port)))
    finally:
        for server in servers:
            server.kill()
            server.wait()
    print_table("The host interface, median (lowest-highest) of %d alternating rounds: %d MiB download with curl; "
                "%d sessions of connect+login+LIST+quit%s" % (ROUNDS, FILE_MIB, SESSIONS,
                                                              "; baseline: " + BASELINE_HOST if BASELINE_HOST else ""),
                rounds, [("events/none", "held, every event", "held, no events"),
                         ("events/ServerMain", "held, every event", "ServerMain"),
                         ("ServerMain/baseline", "ServerMain", "ServerMain, baseline")],
                columns=("download MiB/s", "sessions/s"))


def measure_confinement(host, root, source):
    """Prints osprel with its threads confined (the default) beside
    OSPREL_FTP_CONFINE=0, in alternating rounds."""
    servers = [start_osprel(host, root, CONFINED_PORT, CONFINED_PASSIVE),
               start_osprel(host, root, UNCONFINED_PORT, UNCONFINED_PASSIVE, {"OSPREL_FTP_CONFINE": "0"})]
    try:
        rounds = measure({"osprel confined": CONFINED_PORT, "osprel unconfined": UNCONFINED_PORT}, root, source)
    finally:
        for server in servers:
            server.kill()
            server.wait()
    print_table("Confinement: osprel as it comes (its threads confined: Landlock and the seccomp filter) and with "
                "OSPREL_FTP_CONFINE=0, median (lowest-highest) of %d alternating rounds: %d MiB file with curl; %d "
                "sessions of connect+login+LIST+quit" % (ROUNDS, FILE_MIB, SESSIONS),
                rounds, [("confined/not", "osprel confined", "osprel unconfined")])
    print()


def main():
    os.sched_setaffinity(0, {int(CLIENT_CPU)})
    host = sys.argv[1]
    stream_bench = sys.argv[3] if len(sys.argv) > 3 else None
    work = tempfile.mkdtemp(prefix="osprel-bench-", dir=sys.argv[2] if len(sys.argv) > 2 else None)
    disk = None
    try:
        root = os.path.join(work, "root")
        os.mkdir(root, 0o755)
        # vsftpd refuses a writable root for anonymous users: uploads go to a subdirectory.
        incoming = os.path.join(root, "incoming")
        os.mkdir(incoming)
        shutil.chown(incoming, "ftp", "ftp")
        for index in range(20):
            with open(os.path.join(root, "listed-%02d.txt" % index), "w") as handle:
                handle.write("x" * index)
        big = os.path.join(root, "big.bin")
        with open(big, "wb") as handle:
            chunk = os.urandom(1 << 20)
            for _ in range(FILE_MIB):
                handle.write(chunk)
        source = os.path.join(work, "source.bin")
        shutil.copyfile(big, source)
        # The disk directory appears in the root through a bind mount of
        # this namespace's own.
        disk = tempfile.mkdtemp(prefix="osprel-bench-disk-", dir=DISK_DIR)
        os.mkdir(os.path.join(root, "disk"))
        subprocess.run(["mount", "--bind", disk, os.path.join(root, "disk")], check=True)
        shutil.chown(disk, "ftp", "ftp")

        if os.environ.get("BENCH_ONLY") == "host":
            measure_host_interface(host, root)
            return
        if os.environ.get("BENCH_ONLY") == "confine":
            measure_confinement(host, root, source)
            return
        cert, key = make_certificate(work)
        if stream_bench:
            subprocess.run(["taskset", "-c", "0,1", stream_bench, cert, key, work], check=True)
            print()
        osprel_tls_env = {"OSPREL_FTP_TLS_CERT": cert, "OSPREL_FTP_TLS_KEY": key, "OSPREL_FTP_TLS": "allowed"}
        servers = [start_osprel(host, root), start_vsftpd(root, work),
                   start_osprel(host, root, OSPREL_TLS_PORT, OSPREL_TLS_PASSIVE, osprel_tls_env),
                   start_vsftpd(root, work, VSFTPD_TLS_PORT, VSFTPD_TLS_PASSIVE, vsftpd_tls_lines(cert, key)),
                   start_osprel(host, root, OSPREL_NOSYNC_PORT, OSPREL_NOSYNC_PASSIVE,
                                {"OSPREL_FTP_SYNC_UPLOADS": "0"})]
        try:
            ports = {"osprel": OSPREL_PORT, "vsftpd": VSFTPD_PORT, "osprel TLS": OSPREL_TLS_PORT,
                     "vsftpd TLS": VSFTPD_TLS_PORT}
            for port in (OSPREL_TLS_PORT, VSFTPD_TLS_PORT):
                CURL_FLAGS[port] = CURL_TLS
            ciphers = {name: negotiated(port) for name, port in ports.items() if "TLS" in name}
            rounds = measure(ports, root, source)
            uploads = measure_uploads({"osprel": OSPREL_PORT, "osprel sync off": OSPREL_NOSYNC_PORT,
                                       "vsftpd": VSFTPD_PORT}, root, source)
        finally:
            for server in servers:
                server.kill()
                server.wait()

        print_table("FTP server over loopback, median (lowest-highest) of %d alternating rounds: "
                    "%d MiB file with curl; "
                    "%d sessions of connect+login+LIST+quit (over TLS: AUTH TLS, PROT P, resumed data session)"
                    % (ROUNDS, FILE_MIB, SESSIONS), rounds,
                    [("ratio", "osprel", "vsftpd"), ("ratio TLS", "osprel TLS", "vsftpd TLS"),
                     ("osprel TLS/plain", "osprel TLS", "osprel"), ("vsftpd TLS/plain", "vsftpd TLS", "vsftpd")])
        for name, cipher in ciphers.items():
            print("%s negotiated %s" % (name, cipher))
        print()
        print_table("Uploads of the %d MiB file, median (lowest-highest) of %d alternating rounds: osprel atomic "
                    "and synced before the 226 (the default), osprel with OSPREL_FTP_SYNC_UPLOADS=0, vsftpd (in "
                    "place, never synced); to the tmpfs and to %s" % (FILE_MIB, ROUNDS, DISK_DIR), uploads,
                    [("ratio", "osprel", "vsftpd"), ("ratio sync off", "osprel sync off", "vsftpd"),
                     ("osprel sync/off", "osprel", "osprel sync off")],
                    columns=("tmpfs MiB/s", "disk MiB/s"))
        print()
        measure_confinement(host, root, source)
        measure_caps(host, root, work)
        print()
        measure_host_interface(host, root)
    finally:
        subprocess.run(["umount", os.path.join(work, "root", "disk")], stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)
        if disk:
            shutil.rmtree(disk, ignore_errors=True)


if __name__ == "__main__":
    main()
