"""The server a host holds (osprel.h's host interface), through
osprel_embedding_host: settings in code refused as ServerMain refuses them,
every event with its fields, counters that agree, a stop that drains with a
deadline, the 421 that reaches the client, FtpServerFind on ServerMain's
server, and create-run-stop-destroy cycles that leave nothing behind."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from collections import namedtuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftpharness  # noqa: E402
from ftpharness import (Control, SANITIZER_MARKS, connect_data, read_file, refusal,  # noqa: E402
                        write_file, CONTROL_PORT, HOST_PROGRAM)

EMBEDDING_HOST = os.environ.get("OSPREL_EMBEDDING_HOST", "")
Event = namedtuple("Event", "type complete session bytes dropped user address path target")
STATS = ("sessionsNow sessionsTotal sessionsRefused loginsOk loginsFailed downloadsComplete downloadsCut "
         "uploadsComplete uploadsCut bytesSent bytesReceived eventsDropped").split()
STOPPING = "421 Server shutting down.\r\n"


class Host:
    """osprel_embedding_host and the lines it prints, split at tabs."""

    def __init__(self, arguments, env=None):
        environment = {k: v for k, v in os.environ.items() if not k.startswith("OSPREL_FTP_")}
        environment.update(env or {})
        self.err = tempfile.TemporaryFile()
        self.process = subprocess.Popen([EMBEDDING_HOST] + arguments, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.err, env=environment)
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        for raw in self.process.stdout:
            with self.changed:
                self.lines.append(raw.decode("utf-8", "surrogateescape").rstrip("\n").split("\t"))
                self.changed.notify_all()
        with self.changed:
            self.lines.append(["exited"])
            self.changed.notify_all()

    def wait_for(self, kind, count=1, timeout=20):
        """The lines of `kind` once there are `count` of them."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = [line[1:] for line in self.lines if line[0] == kind]
                if len(found) >= count:
                    return found
                if ["exited"] in self.lines or time.monotonic() > deadline:
                    raise AssertionError("no %d %r lines in %r; standard error: %s"
                                         % (count, kind, self.lines, self.stderr()))
                self.changed.wait(0.2)

    def events(self, count, timeout=20):
        return [Event(line[0], *map(int, line[1:5]), *line[5:]) for line in self.wait_for("event", count, timeout)]

    def all_events(self):
        """Every event, once the host has exited."""
        return self.events(0)

    def last_stats(self):
        return dict(zip(STATS, map(int, self.wait_for("stats")[-1])))

    def stats(self):
        seen = len(self.wait_for("stats", 0))
        self.send("stats")
        return dict(zip(STATS, map(int, self.wait_for("stats", seen + 1)[-1])))

    def send(self, command):
        self.process.stdin.write((command + "\n").encode())
        self.process.stdin.flush()

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode(errors="replace")

    def finish(self, timeout=30):
        """Waits for the host's end: its exit status; no sanitizer report."""
        self.process.stdin.close()
        status = self.process.wait(timeout)
        self.reader.join()
        self.process.stdout.close()
        assert not any(mark in self.stderr() for mark in SANITIZER_MARKS), self.stderr()
        return status


class HostInterface(unittest.TestCase):
    def setUp(self):
        if not EMBEDDING_HOST or not HOST_PROGRAM:
            raise unittest.SkipTest("OSPREL_EMBEDDING_HOST or OSPREL_HOST is not set")
        self.root = tempfile.mkdtemp(prefix="osprel-e2e-host-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.hosts = []
        self.addCleanup(self.kill_hosts)

    def kill_hosts(self):
        while ftpharness._opened:
            ftpharness._opened.pop().close()
        for host in self.hosts:
            if host.process.poll() is None:
                host.process.kill()
            if not host.process.stdin.closed:
                host.finish()
            host.err.close()

    def start(self, **settings):
        """A host serving the root on the harness's control port, writable."""
        settings = dict({"OSPREL_FTP_ROOT": self.root, "OSPREL_FTP_READONLY": "0",
                         "OSPREL_FTP_CONTROL_PORT": str(CONTROL_PORT)}, **settings)
        host = self.host(["%s=%s" % item for item in settings.items()])
        self.hosts.append(host)
        self.assertEqual(host.wait_for("port"), [[str(CONTROL_PORT)]])
        return host

    def stop(self, host, drain_ms):
        """Stops the server; how long its run took to end."""
        started = time.monotonic()
        host.send("stop %d" % drain_ms)
        self.assertEqual(host.wait_for("ran"), [["0"]])
        return time.monotonic() - started

    def host(self, arguments, env=None):
        host = Host(arguments, env)
        self.hosts.append(host)
        return host

    def test_settings_are_refused_with_servermains_message(self):
        for name, value in (("OSPREL_FTP_IDLE_TIMEOUT", "0"), ("OSPREL_FTP_MAX_RATE", "1MB"),
                            ("OSPREL_FTP_TLS", "on"), ("OSPREL_FTP_PASSWORD_HASH", "$1$i.VBmZkF$x"),
                            ("OSPREL_FTP_TRANSFER_LOG", "xferlog"), ("OSPREL_FTP_BIND", "localhost")):
            status, said = refusal(self.root, {name: value})
            self.assertEqual(status, 2)
            host = self.host(["%s=%s" % (name, value)])
            self.assertEqual(host.wait_for("refused"), [[said[len("osprel: "):].rstrip("\n")]])
            self.assertEqual(host.finish(), 2)
            # The same from the environment, through FtpSettingsFromEnvironment.
            host = self.host(["--cycles", "1"], env={name: value})
            self.assertEqual(host.wait_for("refused"), [[said[len("osprel: "):].rstrip("\n")]])
            host.finish()
        # Settings that do not go together are FtpServerCreate's to refuse.
        status, said = refusal(self.root, {"OSPREL_FTP_USER": "alice"})
        host = self.host(["OSPREL_FTP_ROOT=" + self.root, "OSPREL_FTP_USER=alice"])
        self.assertEqual(host.wait_for("create failed"), [[said[len("osprel: "):].rstrip("\n")]])
        self.assertEqual(host.finish(), 1)
        for setting, reason in (("OSPREL_FTP_NOPE=1", 'unknown setting "OSPREL_FTP_NOPE"'),
                                ("OSPREL_FTP_CONTROL_PORT=65536",
                                 'OSPREL_FTP_CONTROL_PORT must be a port number from 0 to 65535, not "65536"')):
            host = self.host([setting])
            self.assertEqual(host.wait_for("refused"), [[reason]])
            host.finish()

    def test_every_event_with_its_fields_and_counters_that_agree(self):
        write_file(os.path.join(self.root, "a.txt"), b"hello\n")
        write_file(os.path.join(self.root, "big.bin"), b"old")
        host = self.start(OSPREL_FTP_USER="alice", OSPREL_FTP_PASSWORD="secret", OSPREL_FTP_MAX_FILE_SIZE="1K")
        control = Control()
        self.assertEqual(control.reply(), "220 osprel FTP server ready.\r\n")
        self.assertEqual(control.command("USER bob"), "331 Please specify the password.\r\n")
        self.assertEqual(control.command("PASS wrong"), "530 Login incorrect.\r\n")
        self.assertEqual(control.command("USER alice"), "331 Please specify the password.\r\n")
        self.assertEqual(control.command("PASS secret"), "230 Login successful.\r\n")
        self.assertEqual(control.command("TYPE I"), "200 Switching to Binary mode.\r\n")
        data = connect_data(control.passive())  # the kernel's pick: no passive range is set
        self.assertEqual(control.command("RETR a.txt")[:4], "150 ")
        self.assertEqual(data.makefile("rb").read(), b"hello\n")
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        control.passive()  # never connected to: ABOR cuts the download before a byte
        self.assertEqual(control.command("RETR a.txt")[:4], "150 ")
        self.assertEqual(control.command("ABOR"), "426 Connection closed; transfer aborted.\r\n")
        self.assertEqual(control.reply(), "226 Abort successful.\r\n")
        for name, size, last in (("up.bin", 100, "226 Transfer complete.\r\n"),
                                 ("big.bin", 2000, "552 Exceeded storage allocation.\r\n")):
            data = connect_data(control.passive())
            self.assertEqual(control.command("STOR " + name), "150 Ok to send data.\r\n")
            try:
                data.sendall(b"u" * size)  # one segment on loopback: refused before a byte is written
                data.close()
            except OSError:
                pass
            self.assertEqual(control.reply(), last)
        self.assertEqual(read_file(os.path.join(self.root, "big.bin")), b"old")
        for command, reply in (("MKD d", '257 "/d" created\r\n'), ("RNFR up.bin", "350 Ready for RNTO.\r\n"),
                               ("RNTO /d/moved.bin", "250 Rename successful.\r\n"),
                               ("DELE d/moved.bin", "250 Delete operation successful.\r\n"),
                               ("RMD /d", "250 Remove directory operation successful.\r\n"),
                               ("QUIT", "221 Goodbye.\r\n")):
            self.assertEqual(control.command(command), reply)
        control.close()
        Control().close()  # a session that ends without login or QUIT
        local = "127.0.0.1"
        self.assertEqual(host.events(12), [
            Event("LOGIN_FAILED", 0, 1, 0, 0, "bob", local, "", ""),
            Event("LOGIN", 1, 1, 0, 0, "alice", local, "", ""),
            Event("DOWNLOAD", 1, 1, 6, 0, "alice", local, "/a.txt", ""),
            Event("DOWNLOAD", 0, 1, 0, 0, "alice", local, "/a.txt", ""),
            Event("UPLOAD", 1, 1, 100, 0, "alice", local, "/up.bin", ""),
            Event("UPLOAD", 0, 1, 0, 0, "alice", local, "/big.bin", ""),
            Event("MKDIR", 1, 1, 0, 0, "alice", local, "/d", ""),
            Event("RENAME", 1, 1, 0, 0, "alice", local, "/up.bin", "/d/moved.bin"),
            Event("DELETE", 1, 1, 0, 0, "alice", local, "/d/moved.bin", ""),
            Event("RMDIR", 1, 1, 0, 0, "alice", local, "/d", ""),
            Event("LOGOUT", 1, 1, 0, 0, "alice", local, "", ""),
            Event("LOGOUT", 0, 2, 0, 0, "", local, "", ""),
        ])
        self.assertEqual(host.stats(), dict(
            sessionsNow=0, sessionsTotal=2, sessionsRefused=0, loginsOk=1, loginsFailed=1, downloadsComplete=1,
            downloadsCut=1, uploadsComplete=1, uploadsCut=1, bytesSent=6, bytesReceived=100, eventsDropped=0))
        self.stop(host, 0)
        self.assertEqual(host.finish(), 0)

    def test_past_1024_waiting_events_new_ones_are_dropped_and_counted(self):
        host = self.start()
        host.send("hold")
        control = Control()
        control.login()
        control.send("".join("MKD d%d\r\nRMD d%d\r\n" % (i, i) for i in range(550)))
        for _ in range(1100):
            self.assertTrue(control.reply().startswith(("257 ", "250 ")))
        host.send("take")
        events = host.events(1024)
        self.assertEqual([event.dropped for event in events], [0] * 1024)
        self.assertEqual(events[-1], Event("MKDIR", 1, 1, 0, 0, "anonymous", "127.0.0.1", "/d511", ""))
        self.assertEqual(control.command("QUIT"), "221 Goodbye.\r\n")
        self.assertEqual(host.events(1025)[-1], Event("LOGOUT", 1, 1, 0, 77, "anonymous", "127.0.0.1", "", ""))
        self.assertEqual(host.stats()["eventsDropped"], 77)
        self.stop(host, 0)
        host.finish()

    def capped_download(self, name):
        """A download under the rate cap, its first bytes in: (control, data, those bytes)."""
        control = Control()
        control.login()
        data = connect_data(control.passive())
        self.assertEqual(control.command("RETR " + name)[:4], "150 ")
        first = data.recv(1024)
        self.assertTrue(first)
        return control, data, first

    def test_a_stop_lets_a_transfer_finish_within_the_drain(self):
        payload = os.urandom(96 << 10)
        write_file(os.path.join(self.root, "f.bin"), payload)
        host = self.start(OSPREL_FTP_MAX_RATE="64K")  # the download takes 1.5 s
        idle = Control()
        idle.login()
        control, data, first = self.capped_download("f.bin")
        host.send("stop 10000")
        # The idle session hears at once, the port refuses, the download goes on.
        self.assertEqual(idle.file.read(), STOPPING.encode())
        self.assertRaises(ConnectionRefusedError, socket.create_connection, ("127.0.0.1", CONTROL_PORT), 5)
        self.assertTrue(first + data.makefile("rb").read() == payload)
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        self.assertEqual(control.file.read(), STOPPING.encode())
        self.assertEqual(host.wait_for("ran"), [["0"]])
        self.assertEqual(host.finish(), 0)
        self.assertIn(Event("DOWNLOAD", 1, 2, len(payload), 0, "anonymous", "127.0.0.1", "/f.bin", ""),
                      host.all_events())

    def test_a_stop_cuts_transfers_at_the_deadline_and_publishes_nothing(self):
        write_file(os.path.join(self.root, "f.bin"), os.urandom(1 << 20))
        write_file(os.path.join(self.root, "old.bin"), b"old")
        host = self.start(OSPREL_FTP_MAX_RATE="64K")
        control, _, _ = self.capped_download("f.bin")
        uploader = Control()
        uploader.login()
        upload = connect_data(uploader.passive())
        self.assertEqual(uploader.command("STOR old.bin"), "150 Ok to send data.\r\n")
        sender = threading.Thread(target=self.send_until_cut, args=(upload,))
        sender.start()
        took = self.stop(host, 500)
        sender.join()
        self.assertLess(took, 3)
        for client in (control, uploader):
            self.assertEqual(client.reply(), "426 Server shutting down; transfer aborted.\r\n")
            self.assertEqual(client.file.read(), STOPPING.encode())
        self.assertEqual(sorted(os.listdir(self.root)), ["f.bin", "old.bin"])
        self.assertEqual(read_file(os.path.join(self.root, "old.bin")), b"old")
        self.assertEqual(host.finish(), 0)
        cut = {event.type: event.complete for event in host.all_events() if event.type in ("DOWNLOAD", "UPLOAD")}
        self.assertEqual(cut, {"DOWNLOAD": 0, "UPLOAD": 0})
        stats = host.last_stats()
        self.assertEqual((stats["downloadsCut"], stats["uploadsComplete"], stats["uploadsCut"]), (1, 0, 1))

    @staticmethod
    def send_until_cut(data):
        try:
            while True:
                data.sendall(b"x" * 65536)
        except OSError:
            pass

    def test_idle_sessions_read_their_421_and_the_run_ends_at_once(self):
        host = self.start()
        sessions = []
        for index in range(30):
            control = Control(source="127.0.0.%d" % (10 + index // 15))
            self.assertEqual(control.reply(), "220 osprel FTP server ready.\r\n")
            if index % 3 == 1:
                self.assertEqual(control.command("USER anonymous")[:4] + control.command("PASS guest")[:4],
                                 "331 230 ")
                control.passive()
            elif index % 3 == 2:
                self.assertEqual(control.command("USER someone"), "331 Please specify the password.\r\n")
            sessions.append(control)
        self.assertLess(self.stop(host, 10000), 3)
        for control in sessions:
            self.assertEqual(control.file.read(), STOPPING.encode())
        self.assertEqual(host.finish(), 0)
        self.assertEqual([event.type for event in host.all_events()].count("LOGOUT"), 30)
        # The server's threads confined themselves; the caller's is as it was.
        self.assertEqual(host.wait_for("caller"), [["NoNewPrivs:", "0", "Seccomp:", "0"]])

    def test_a_refused_client_reads_its_421_though_it_sent_first(self):
        host = self.start(OSPREL_FTP_MAX_PER_ADDRESS="1")
        holder = Control()
        holder.login()
        for _ in range(10):
            sock = socket.create_connection(("127.0.0.1", CONTROL_PORT), timeout=10)
            sock.sendall(b"USER anonymous\r\nPASS guest\r\n" * 200)  # unread by the server
            with sock, sock.makefile("rb") as said:
                self.assertEqual(said.read(), b"421 Too many sessions from your address, try later.\r\n")
        self.assertEqual(host.stats()["sessionsRefused"], 10)
        self.stop(host, 0)
        host.finish()

    def test_servermains_server_is_found_stopped_and_left_readable(self):
        write_file(os.path.join(self.root, "a.txt"), b"hello\n")
        host = self.host(["--find", str(CONTROL_PORT)], env={"OSPREL_FTP_ROOT": self.root})
        self.assertEqual(host.wait_for("found"), [[str(CONTROL_PORT)]])
        control = Control()
        control.login()
        data = connect_data(control.passive())
        self.assertEqual(control.command("RETR a.txt")[:4], "150 ")
        self.assertEqual(data.makefile("rb").read(), b"hello\n")
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        self.assertEqual(host.events(2)[1], Event("DOWNLOAD", 1, 1, 6, 0, "anonymous", "127.0.0.1", "/a.txt", ""))
        self.stop(host, 1000)  # ServerMain returned 0
        self.assertEqual(control.file.read(), STOPPING.encode())
        self.assertEqual(host.wait_for("found after"), [["0"]])
        self.assertEqual(host.wait_for("stats", 2)[1][:6], ["0", "1", "0", "1", "0", "1"])
        self.assertEqual(host.finish(), 0)
        self.assertIn("osprel: serving " + self.root, host.stderr())

    def test_20_cycles_leave_no_thread_or_descriptor_behind(self):
        host = self.host(["--cycles", "20"], env={"OSPREL_FTP_ROOT": self.root})
        threads_before, threads_after, fds_before, fds_after, failed = host.wait_for("cycles", timeout=120)[0]
        self.assertEqual((threads_after, fds_after, failed), (threads_before, fds_before, "0"))
        self.assertEqual(host.finish(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
