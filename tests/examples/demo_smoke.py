"""End-to-end checks of quillon-demo, run inside a private network namespace
(tests/support/in_netns.sh: host "box", eth0 192.168.1.10, loopback up), so
the FTP server's fixed port 3456 is ours.

    demo_smoke.py BINARY SOURCE_DIR CASE     one case against the built program
    demo_smoke.py --make-run SOURCE_DIR [LAUNCHER...]
        `make run` in SOURCE_DIR, stopped by Ctrl-C; with LAUNCHER, a command
        that runs its arguments in SOURCE_DIR elsewhere (say, in a chroot)
    demo_smoke.py --make-run-tls SOURCE_DIR  `make run TLS=1`, reached with curl over TLS
"""
import ftplib
import io
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

FTP_PORT = 3456
# Start-up pauses 6 s in InitMonitor; sanitizer builds are slower.
READY_TIMEOUT = 90
SUMMARY = re.compile(
    r"^quillon-demo: stopped by (SIG[A-Z]+) after \d+\.\d s: (\d+) messages passed, (\d+) sent, "
    r"(\d+) out of order, (\d+) enqueues failed; FTP: (.*)$")


class Demo:
    """The program under test, its output collected line by line."""

    def __init__(self, command, env, cwd=None, new_group=False):
        self.lines = []
        self.errors = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen(command, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, start_new_session=new_group)
        self.readers = [threading.Thread(target=self._collect, args=(self.process.stdout, self.lines)),
                        threading.Thread(target=self._collect, args=(self.process.stderr, self.errors))]
        for reader in self.readers:
            reader.start()

    def _collect(self, stream, into):
        for raw in stream:
            with self.changed:
                into.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_for(self, pattern, timeout, count=1):
        """Returns the matching lines once `count` of them have arrived."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = [line for line in self.lines if regex.search(line)]
                if len(found) >= count:
                    return found
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not any(r.is_alive() for r in self.readers)):
                    raise AssertionError("no %d line(s) matching %r; output:\n%s\nstandard error:\n%s"
                                         % (count, pattern, "\n".join(self.lines), "\n".join(self.errors)))
                self.changed.wait(min(left, 0.5))

    def finish(self, timeout=60):
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        for reader in self.readers:
            reader.join()
        return status

    def stop_if_running(self):
        if self.process.poll() is None:
            self.process.kill()
            self.finish()


def demo_line(source_dir, source, function, level, code, message_regex, module="demo"):
    """A whole log line of the module "demo" (or `module`), the time group by pattern."""
    shown = source_dir.split("/", 1)[1]  # the library shows a path from after its first '/'
    return (r"^\[[A-Z][a-z]{2}-\d\d-\d{4}, [A-Z][a-z]+\.\]\[\d\d:\d\d:\d\d\.\d{3}\] \[box\]\[192\.168\.1\.10\] "
            r"\[0\.0\.0:5325\]\[%s\] <<%d>> \[%s:\d+\]\[%s:%s\] : %s$"
            % (module, code, re.escape(shown + "/examples/" + source), function, level, message_regex))


class DemoCase(unittest.TestCase):
    binary = None
    source_dir = None

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)
        self.env = {key: value for key, value in os.environ.items() if not key.startswith("OSPREL_FTP_")}
        self.env["XDG_DATA_HOME"] = os.path.join(self.scratch.name, "data")
        self.env["NO_COLOR"] = "1"

    def start(self, *arguments, env=None):
        demo = Demo([self.binary, *arguments], env or self.env, cwd=self.scratch.name)
        self.addCleanup(demo.stop_if_running)
        return demo

    def line(self, source, function, level, code, message_regex):
        return demo_line(self.source_dir, source, function, level, code, message_regex)

    def ftp_line(self, function, level, code, message_regex):
        return demo_line(self.source_dir, "ftp_events.cpp", function, level, code, message_regex, "ftp")

    def wait_ready(self, demo):
        return demo.wait_for(self.line("demo_main.cpp", "StartMonitor", "Info", 136,
                                       r"FTP server ready: try  curl ftp://127\.0\.0\.1:3456/  "
                                       r"\(any user name and password\)\."), READY_TIMEOUT)

    def stop_and_check_summary(self, demo, how, name, ftp=r"\d+ sessions, .*"):
        """Stops the demo; the FTP part of its summary must match `ftp`.
        Returns the messages passed."""
        demo.process.send_signal(how)
        self.assertEqual(demo.finish(), 0, "\n".join(demo.lines + demo.errors))
        summary = SUMMARY.match(demo.lines[-1])
        self.assertIsNotNone(summary, demo.lines[-1])
        self.assertEqual(summary.group(1), name)
        passed, sent, out_of_order = int(summary.group(2)), int(summary.group(3)), int(summary.group(4))
        self.assertEqual(passed, sent)
        self.assertEqual(out_of_order, 0)
        self.assertRegex(summary.group(6), "^" + ftp + "$")
        demo.wait_for(self.line("message_road.cpp", "TakeSignal", "Info", 136,
                                re.escape(name) + r": stopping the producers\."), 1)
        return passed

    def ftp(self):
        client = ftplib.FTP()
        client.connect("127.0.0.1", FTP_PORT, timeout=20)
        client.login()
        self.addCleanup(client.close)
        return client

    def test_default_directory_is_created_served_and_stop_by_sigterm_sums_up(self):
        demo = self.start("-r", "1", "-i", "5", "-p", "3")
        self.wait_ready(demo)
        served = os.path.join(self.env["XDG_DATA_HOME"], "quillon-demo", "ftp")
        demo.wait_for(self.line("demo_main.cpp", "StartMonitor", "Info", 136,
                                r"FTP server will serve \[%s\] \(created\); start-up pauses 6 s\."
                                % re.escape(served)), 1)
        with open(os.path.join(served, "welcome.txt"), "rb") as welcome:
            welcome_bytes = welcome.read()
        self.assertTrue(welcome_bytes.startswith(b"This directory is served by quillon-demo"))

        client = self.ftp()
        self.assertEqual(client.nlst(), ["welcome.txt"])
        fetched = io.BytesIO()
        client.retrbinary("RETR welcome.txt", fetched.write)
        self.assertEqual(fetched.getvalue(), welcome_bytes)
        upload = os.urandom(100000)
        client.storbinary("STOR upload.bin", io.BytesIO(upload))
        client.quit()
        # Each event a line of the module "ftp", from the consumer's loop.
        who = r"session \[(\d+)\] user \[anonymous\] from \[127\.0\.0\.1\]: "
        for function, what in (("LogEvent", r"logged in\."),
                               ("LogTransfer", r"download \[/welcome\.txt\], \[%d\] bytes, complete\."
                                % len(welcome_bytes)),
                               ("LogTransfer", r"upload \[/upload\.bin\], \[100000\] bytes, complete\."),
                               ("LogEvent", r"session ended \(QUIT\)\.")):
            demo.wait_for(self.ftp_line(function, "Info", 136, who + what), 10)
        with open(os.path.join(served, "upload.bin"), "rb") as landed:
            self.assertEqual(landed.read(), upload)
        listing = subprocess.run(["curl", "-s", "--max-time", "20", "ftp://127.0.0.1:3456/"],
                                 capture_output=True, text=True, check=True).stdout
        self.assertRegex(listing, r"(?m) welcome\.txt$")

        demo.wait_for(self.line("demo_main.cpp", "RunDemo", "Info", 136,
                                r"road open: \[3\] producers, a \[64\]-byte record every \[5\] ms each; "
                                r"Ctrl-C or SIGTERM stops\."), 1)
        demo.wait_for(self.line("message_road.cpp", "ReportProgress", "Info", 136,
                                r"passed \[\d+\] messages, \[\d+\] in the last \[1\] s, mean latency \[\d+\] us\."),
                      30, count=2)
        passed = self.stop_and_check_summary(
            demo, signal.SIGTERM, "SIGTERM", r"3 sessions, 2 logins \(0 failed\), 1 downloads \(0 cut\), "
            r"1 uploads \(0 cut\), \d+ bytes sent, 100000 received")
        self.assertGreater(passed, 0)
        demo.wait_for(self.ftp_line("StopFtpServer", "Info", 136,
                                    r"stopping the FTP server: transfers have \[3\] s to finish\."), 1)
        for noise in ("Error!", "Warning]", "out of order"):
            self.assertFalse([line for line in demo.lines if "[demo]" in line and noise in line], noise)

    def test_osprel_ftp_root_is_served_as_given_and_sigint_stops(self):
        mine = os.path.join(self.scratch.name, "mine")
        os.mkdir(mine)
        with open(os.path.join(mine, "only.txt"), "w") as only:
            only.write("mine\n")
        env = dict(self.env, OSPREL_FTP_ROOT=mine)
        demo = self.start("-r", "1", env=env)
        self.wait_ready(demo)
        demo.wait_for(self.line("demo_main.cpp", "StartMonitor", "Info", 136,
                                r"FTP server will serve \[%s\] \(OSPREL_FTP_ROOT\); start-up pauses 6 s\."
                                % re.escape(mine)), 1)
        self.assertEqual(self.ftp().nlst(), ["only.txt"])
        self.assertFalse(os.path.exists(self.env["XDG_DATA_HOME"]))
        self.stop_and_check_summary(demo, signal.SIGINT, "SIGINT")

    def test_login_hint_names_the_configured_user(self):
        hashed = subprocess.run(["openssl", "passwd", "-6", "s3cret"], check=True, capture_output=True, text=True)
        env = dict(self.env, OSPREL_FTP_USER="keeper", OSPREL_FTP_PASSWORD_HASH=hashed.stdout.strip())
        demo = self.start(env=env)
        demo.wait_for(self.line("demo_main.cpp", "StartMonitor", "Info", 136,
                                r"FTP server ready: try  curl -u keeper ftp://127\.0\.0\.1:3456/  "
                                r"\(OSPREL_FTP_USER's login\)\."), READY_TIMEOUT)
        client = ftplib.FTP()
        client.connect("127.0.0.1", FTP_PORT, timeout=20)
        self.addCleanup(client.close)
        client.login("keeper", "s3cret")
        self.assertEqual(client.nlst(), ["welcome.txt"])
        self.stop_and_check_summary(demo, signal.SIGTERM, "SIGTERM")

    def test_signal_during_start_up_stops_once_the_road_is_open(self):
        demo = self.start()
        demo.wait_for(r"\[monitor\] .*MonitorThreadCreate$", READY_TIMEOUT)
        demo.process.send_signal(signal.SIGTERM)
        self.assertEqual(demo.finish(), 0, "\n".join(demo.lines + demo.errors))
        self.assertRegex(demo.lines[-1], SUMMARY)
        self.assertIn("stopped by SIGTERM", demo.lines[-1])
        # The pause was not cut short: the monitor's start-up completed.
        self.assertTrue([line for line in demo.lines if line.endswith("[InitMonitor:Debug] : InitMonitor.")])

    def test_warns_when_something_else_holds_the_ftp_port(self):
        squatter = socket.socket()
        squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        squatter.bind(("127.0.0.1", FTP_PORT))
        squatter.listen(8)
        self.addCleanup(squatter.close)
        demo = self.start("-r", "1")
        demo.wait_for(self.line("demo_main.cpp", "StartMonitor", "Warning", 135,
                                r"FTP server is not answering on \[127\.0\.0\.1:3456\]: no greeting within 3 s; "
                                r"see its message on standard error\."), READY_TIMEOUT)
        demo.wait_for(self.line("message_road.cpp", "ReportProgress", "Info", 136, r"passed .*"), 30)
        self.stop_and_check_summary(demo, signal.SIGTERM, "SIGTERM", "not running")

    def test_missing_osprel_ftp_root_is_fatal_before_start_up(self):
        missing = os.path.join(self.scratch.name, "missing")
        demo = self.start(env=dict(self.env, OSPREL_FTP_ROOT=missing))
        self.assertEqual(demo.finish(), 1)
        self.assertEqual(len(demo.lines), 1, demo.lines)
        self.assertRegex(demo.lines[0], self.line("demo_main.cpp", "ServeDirectory", "Fatal!", 133,
                                                  r"FTP directory: OSPREL_FTP_ROOT \[%s\] is not a directory\."
                                                  % re.escape(missing)))

    def test_options_are_checked(self):
        for arguments, message in ((["-p", "0"], "quillon-demo: -p: [0] is out of range"),
                                   (["-i", "60001"], "quillon-demo: -i: [60001] is out of range"),
                                   (["-r", "2x"], "quillon-demo: -r: [2x] is out of range"),
                                   (["-p", "-1"], "quillon-demo: -p: [-1] is out of range"),
                                   (["extra"], "quillon-demo: unexpected argument [extra]")):
            result = subprocess.run([self.binary, *arguments], capture_output=True, text=True, env=self.env)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertEqual(result.stdout, "")
            self.assertEqual(result.stderr.splitlines()[0], message)
            self.assertTrue(result.stderr.splitlines()[1].startswith("usage: quillon-demo "))
        result = subprocess.run([self.binary, "-h"], capture_output=True, text=True, env=self.env)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertTrue(result.stdout.startswith("usage: quillon-demo [-p PRODUCERS] [-i INTERVAL_MS]"))


def wait_for_free_port(port, timeout):
    """Another `make run` on this host may hold the port for a while."""
    deadline = time.monotonic() + timeout
    while True:
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("127.0.0.1", port))
                return
            except OSError as error:
                if time.monotonic() > deadline:
                    raise AssertionError("port %d stays taken: %s" % (port, error))
        time.sleep(5)


def list_over_tls(demo, source_dir):
    """Runs the ready line's curl command, which must list welcome.txt, and
    checks that the key made for it is its owner's alone."""
    directory = os.path.join(source_dir, "build-dist", "tls")
    options = ["--ssl-reqd", "--cacert", os.path.join(directory, "localhost.pem")]
    demo.wait_for(r"FTP server ready: try  %s ftp://127\.0\.0\.1:3456/ " % re.escape(" ".join(["curl"] + options)),
                  1200)
    listing = subprocess.run(["curl", "-s", "--max-time", "20", "--list-only"] + options + ["ftp://127.0.0.1:3456/"],
                             capture_output=True, text=True)
    if listing.stdout != "welcome.txt\n":
        raise AssertionError("listing over TLS %r: %s" % (listing.stdout, listing.stderr))
    if os.stat(os.path.join(directory, "localhost-key.pem")).st_mode & 0o777 != 0o600:
        raise AssertionError("the key in %s is open to others" % directory)


def make_run(source_dir, launcher, tls=False):
    """`make run` (`make run TLS=1`) as a newcomer would type it, stopped
    with Ctrl-C."""
    wait_for_free_port(FTP_PORT, 600)
    command = launcher + ["make", "run", "RUN_ARGS=-r 1"] + (["TLS=1"] if tls else [])
    with tempfile.TemporaryDirectory() as scratch:
        env = {key: value for key, value in os.environ.items() if not key.startswith(("OSPREL_FTP_", "MAKE"))}
        env["XDG_DATA_HOME"] = scratch
        demo = Demo(command, env, cwd=None if launcher else source_dir, new_group=True)
        try:
            if tls:
                list_over_tls(demo, source_dir)
            else:
                demo.wait_for(r"FTP server ready: try  curl ftp://127\.0\.0\.1:3456/ ", 1200)
                client = ftplib.FTP()
                client.connect("127.0.0.1", FTP_PORT, timeout=20)
                client.login()
                names = client.nlst()
                client.quit()
                if names != ["welcome.txt"]:
                    raise AssertionError("listing %r" % names)
            demo.wait_for(r"\[demo\] <<136>> .*\[ReportProgress:Info\] : passed \[\d+\] messages", 30)
            os.killpg(demo.process.pid, signal.SIGINT)  # what Ctrl-C does
            demo.finish(120)
            summaries = [line for line in demo.lines if SUMMARY.match(line)]
            if len(summaries) != 1 or "stopped by SIGINT" not in summaries[0]:
                raise AssertionError("no summary line:\n" + "\n".join(demo.lines[-20:] + demo.errors[-20:]))
            print("make run: " + summaries[0])
        finally:
            if demo.process.poll() is None:
                os.killpg(demo.process.pid, signal.SIGKILL)
                demo.finish()


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--make-run":
        make_run(sys.argv[2], sys.argv[3:])
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "--make-run-tls":
        make_run(sys.argv[2], [], tls=True)
        return 0
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    DemoCase.binary, DemoCase.source_dir, case = sys.argv[1:]
    suite = unittest.defaultTestLoader.loadTestsFromName(case, DemoCase)
    return 0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
