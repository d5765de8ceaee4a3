"""Runs the osprel server and vsftpd side by side on loopback and prints
download and upload throughput (curl, 512 MiB) and sessions per second.

Run through run.sh, which puts it in private network and mount namespaces
with its files on a tmpfs (the directory given after the host program)."""

import ftplib
import os
import shutil
import subprocess
import sys
import tempfile
import time

FILE_MIB = int(os.environ.get("BENCH_FILE_MIB", "512"))
SESSIONS = int(os.environ.get("BENCH_SESSIONS", "500"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))
# Servers on one core, clients on the other: the same placement for both
# servers, instead of whatever the scheduler picks from run to run.
SERVER_CPU, CLIENT_CPU = "1", "0"
VSFTPD = shutil.which("vsftpd") or "/usr/sbin/vsftpd"

OSPREL_PORT, OSPREL_PASSIVE = 3456, 34567
VSFTPD_PORT, VSFTPD_PASSIVE = 2121, 40000


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


def start_osprel(host, root):
    env = dict(os.environ, OSPREL_FTP_ROOT=root, OSPREL_FTP_READONLY="0")
    process = subprocess.Popen(["taskset", "-c", SERVER_CPU, host, "-c", str(OSPREL_PORT), "-d", str(OSPREL_PASSIVE)],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(OSPREL_PORT, process, "osprel")
    return process


def start_vsftpd(root, work):
    config = os.path.join(work, "vsftpd.conf")
    with open(config, "w") as handle:
        handle.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % VSFTPD_PORT,
            "background=NO", "anonymous_enable=YES", "no_anon_password=YES", "anon_root=" + root,
            "local_enable=NO", "write_enable=YES", "anon_upload_enable=YES", "anon_mkdir_write_enable=YES",
            "anon_other_write_enable=YES", "anon_umask=022", "pasv_enable=YES",
            "pasv_min_port=%d" % VSFTPD_PASSIVE, "pasv_max_port=%d" % (VSFTPD_PASSIVE + 63),
            "xferlog_enable=NO", "seccomp_sandbox=NO", "max_clients=0", "max_per_ip=0",
            "secure_chroot_dir=/var/run/vsftpd/empty", "dirmessage_enable=NO", "use_localtime=NO", ""]))
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    process = subprocess.Popen(["taskset", "-c", SERVER_CPU, VSFTPD, config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(VSFTPD_PORT, process, "vsftpd")
    return process


def curl(arguments):
    result = subprocess.run(["taskset", "-c", CLIENT_CPU, "curl", "--silent", "--show-error"] + arguments, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("bench: curl %s failed: %s" % (" ".join(arguments), result.stderr))
    return float(result.stdout)


def download_mib_per_s(port):
    url = "ftp://127.0.0.1:%d/big.bin" % port
    return curl(["-o", "/dev/null", "-w", "%{speed_download}", url]) / (1 << 20)


def upload_mib_per_s(port, root, source):
    url = "ftp://127.0.0.1:%d/incoming/up.bin" % port
    speed = curl(["-T", source, "-w", "%{speed_upload}", url])
    os.unlink(os.path.join(root, "incoming", "up.bin"))
    return speed / (1 << 20)


def one_session(port):
    client = ftplib.FTP()
    client.connect("127.0.0.1", port, timeout=10)
    client.login("anonymous", "bench@")
    client.retrlines("LIST", lambda line: None)
    client.quit()


def sessions_per_s(port):
    started = time.perf_counter()
    for _ in range(SESSIONS):
        one_session(port)
    return SESSIONS / (time.perf_counter() - started)


def measure(servers, root, source):
    """Rounds alternate between the servers, so neither gets the quieter
    machine; each figure is the best of its rounds."""
    for port in servers.values():
        for _ in range(20):
            one_session(port)
    best = {name: [0.0, 0.0, 0.0] for name in servers}
    for _ in range(ROUNDS):
        for name, port in servers.items():
            figures = (download_mib_per_s(port), upload_mib_per_s(port, root, source), sessions_per_s(port))
            best[name] = [max(old, new) for old, new in zip(best[name], figures)]
    return best


def main():
    os.sched_setaffinity(0, {int(CLIENT_CPU)})
    host = sys.argv[1]
    work = tempfile.mkdtemp(prefix="osprel-bench-", dir=sys.argv[2] if len(sys.argv) > 2 else None)
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

        servers = [start_osprel(host, root), start_vsftpd(root, work)]
        try:
            best = measure({"osprel": OSPREL_PORT, "vsftpd": VSFTPD_PORT}, root, source)
        finally:
            for server in servers:
                server.kill()
                server.wait()

        print("FTP server over loopback, best of %d alternating rounds: %d MiB file with curl; "
              "%d sessions of connect+login+LIST+quit" % (ROUNDS, FILE_MIB, SESSIONS))
        print("%-8s %16s %16s %16s" % ("server", "download MiB/s", "upload MiB/s", "sessions/s"))
        for name, figures in best.items():
            print("%-8s %16.0f %16.0f %16.0f" % (name, *figures))
        ratios = [ours / theirs for ours, theirs in zip(best["osprel"], best["vsftpd"])]
        print("%-8s %15.2fx %15.2fx %15.2fx" % ("ratio", *ratios))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
