"""Sharing the host's network: rate caps (each session's and the total, plain
and over TLS), the passive address that 227 replies name, and the transfer
log's lines."""

import io
import os
import re
import resource
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import (Control, ServerTestCase, ResumingFTP_TLS, connect_data, ftp_client, make_certificate,  # noqa: E402
                        retrieve, store, tls_context, write_file, CONTROL_PORT)

KIB = 1 << 10
# A transfer log line: the time, the seconds taken, and the rest.
LOG_LINE = re.compile(r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} (\d+) (.*\n)")


class LoggedServer(ServerTestCase):
    """A server whose transfer log is read line by line."""

    @classmethod
    def log_env(cls, root):
        cls.log_path = os.path.join(os.path.dirname(root), "xferlog")
        return {"OSPREL_FTP_TRANSFER_LOG": cls.log_path}

    def setUp(self):
        super().setUp()
        self.log_start = os.path.getsize(self.log_path)

    def new_log_lines(self):
        """(seconds taken, the rest) of every line since the test began."""
        with open(self.log_path, "rb") as log:
            log.seek(self.log_start)
            lines = log.read().decode().splitlines(keepends=True)
        matches = [LOG_LINE.fullmatch(line) for line in lines]
        self.assertNotIn(None, matches, lines)
        return [(int(found.group(1)), found.group(2)) for found in matches]


class CappedSessions(LoggedServer):
    """Each session capped at 256 KiB/s; PASV names a NAT's address."""

    cap = 256 * KIB

    @classmethod
    def populate(cls, root):
        cls.server_env = dict(cls.log_env(root), OSPREL_FTP_MAX_RATE="256K",
                              OSPREL_FTP_PASSIVE_ADDRESS="198.51.100.7")
        cls.payload = os.urandom(512 * KIB)
        write_file(os.path.join(root, "big.bin"), cls.payload)
        write_file(os.path.join(root, "small.txt"), b"hello")
        with open(os.path.join(root, "huge.bin"), "wb") as handle:
            handle.truncate(64 << 20)
        os.mkdir(os.path.join(root, "many"))
        for index in range(600):
            write_file(os.path.join(root, "many", "file-%04d-with-a-longer-name.txt" % index), b"")

    def test_downloads_uploads_and_listings_never_run_faster_than_the_cap(self):
        client = ftp_client()

        def download():
            return len(retrieve(client, "big.bin"))

        def upload():
            store(client, "up.bin", self.payload)
            return len(self.payload)

        def listing():
            lines = []
            client.retrlines("LIST many", lines.append)
            return sum(len(line) + 2 for line in lines)

        for work in (download, upload, listing):
            started = time.monotonic()
            moved = work()
            elapsed = time.monotonic() - started
            self.assertGreater(moved, 32 * KIB, work.__name__)
            self.assertLessEqual(moved, self.cap * elapsed, work.__name__)
        self.assertEqual(retrieve(client, "up.bin"), self.payload)
        os.unlink(self.path("up.bin"))

    def test_pasv_names_the_passive_address_and_abor_and_stat_are_heard_at_once(self):
        control = Control()
        control.login()
        self.assertRegex(control.command("EPSV"), r"^229 Entering Extended Passive Mode \(\|\|\|\d+\|\)\r\n$")
        reply = control.command("PASV")
        found = re.fullmatch(r"227 Entering Passive Mode \(198,51,100,7,(\d+),(\d+)\)\.\r\n", reply)
        self.assertIsNotNone(found, reply)
        # The listener is still the server's own, and takes the client.
        data = connect_data(int(found.group(1)) * 256 + int(found.group(2)))
        control.command("TYPE I")
        self.assertTrue(control.command("RETR huge.bin").startswith("150 "))
        received = 0
        while received < 64 * KIB:
            received += len(data.recv(65536))
        started = time.monotonic()
        self.assertRegex(control.command("STAT"), r"^213 Status: \d+ bytes transferred\.\r\n$")
        self.assertEqual(control.command("ABOR"), "426 Connection closed; transfer aborted.\r\n")
        self.assertEqual(control.reply(), "226 Abort successful.\r\n")
        self.assertLess(time.monotonic() - started, 1.0)
        [(_, line)] = self.new_log_lines()
        cut = re.fullmatch(r"127\.0\.0\.1 (\d+) /huge\.bin b _ o a anonymous ftp 0 \* i\n", line)
        self.assertIsNotNone(cut, line)
        self.assertGreaterEqual(int(cut.group(1)), received)
        self.assertLess(int(cut.group(1)), 64 << 20)

    def test_the_log_has_a_line_for_each_download_upload_and_deletion(self):
        client = ftp_client()
        retrieve(client, "small.txt")
        client.storlines("STOR my file.txt", io.BytesIO(b"one\r\ntwo\r\n"))
        client.delete("my file.txt")
        client.quit()
        self.assertEqual(self.new_log_lines(), [
            (1, "127.0.0.1 5 /small.txt b _ o a anonymous ftp 0 * c\n"),
            (1, "127.0.0.1 10 /my\\040file.txt a _ i a anonymous ftp 0 * c\n"),
            (0, "127.0.0.1 10 /my\\040file.txt a _ d a anonymous ftp 0 * c\n"),
        ])


class TotalCap(LoggedServer):
    """512 KiB/s for all sessions together, a configured login, TLS allowed."""

    total = 512 * KIB
    # An idle total lets one piece, 50 ms at the cap, go at once.
    slack = 0.05

    @classmethod
    def populate(cls, root):
        cls.cert, cls.key = make_certificate(os.path.dirname(root))
        cls.server_env = dict(cls.log_env(root), OSPREL_FTP_MAX_TOTAL_RATE="512K", OSPREL_FTP_USER="alice",
                              OSPREL_FTP_PASSWORD="secret", OSPREL_FTP_TLS_CERT=cls.cert, OSPREL_FTP_TLS_KEY=cls.key)
        cls.payload = os.urandom(384 * KIB)
        write_file(os.path.join(root, "share.bin"), cls.payload)

    def tls_client(self):
        client = ResumingFTP_TLS(context=tls_context(self.cert), timeout=20)
        client.connect("127.0.0.1", CONTROL_PORT)
        client.login("alice", "secret")
        client.prot_p()
        return client

    def test_two_sessions_plain_and_tls_share_the_total(self):
        clients = [ftp_client("alice", "secret"), self.tls_client()]
        received = [None, None]
        start = threading.Barrier(3)

        def download(index):
            start.wait()
            received[index] = retrieve(clients[index], "share.bin")

        threads = [threading.Thread(target=download, args=(index,)) for index in range(2)]
        for thread in threads:
            thread.start()
        start.wait()
        started = time.monotonic()
        for thread in threads:
            thread.join(60)
        elapsed = time.monotonic() - started
        self.assertEqual(received, [self.payload, self.payload])
        self.assertLessEqual(2 * len(self.payload), self.total * (elapsed + self.slack))

        started = time.monotonic()
        store(clients[1], "up.bin", self.payload)
        self.assertLessEqual(len(self.payload), self.total * (time.monotonic() - started + self.slack))
        self.assertEqual(self.new_log_lines()[-1][1], "127.0.0.1 393216 /up.bin b _ i r alice ftp 0 * c\n")
        os.unlink(self.path("up.bin"))


class FileSizeLimit(LoggedServer):
    """A server started under a file size limit of 1 MiB (RLIMIT_FSIZE)."""

    @classmethod
    def populate(cls, root):
        cls.server_env = cls.log_env(root)

    @classmethod
    def setUpClass(cls):
        limits = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, limits[1]))
        try:
            super().setUpClass()
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, limits)

    def test_an_upload_past_the_limit_fails_without_killing_the_host(self):
        control = Control()
        control.login()
        data = connect_data(control.passive())
        self.assertTrue(control.command("STOR big-up.bin").startswith("150 "))
        try:
            data.sendall(os.urandom(2 << 20))
        except OSError:
            pass  # the server reset the data connection on the failed write
        self.assertEqual(control.reply(), "552 Exceeded storage allocation.\r\n")
        self.assertEqual(control.command("NOOP"), "200 NOOP ok.\r\n")
        [(_, line)] = self.new_log_lines()
        self.assertRegex(line, r"^127\.0\.0\.1 \d+ /big-up\.bin a _ i a anonymous ftp 0 \* i\n$")


if __name__ == "__main__":
    unittest.main()
