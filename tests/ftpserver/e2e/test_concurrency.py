"""Many sessions at once: checksummed data, and no session held up by a
slow or vanished one."""

import hashlib
import os
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import (Control, ServerTestCase, connect_data, ftp_client, retrieve, store,  # noqa: E402
                        digest, file_digest, write_file, CONTROL_PORT)

SESSIONS = 16


class Concurrency(ServerTestCase):
    @classmethod
    def populate(cls, root):
        cls.files = {}
        for index in range(SESSIONS):
            data = os.urandom((256 << 10) + index * 4099)
            cls.files["file-%02d.bin" % index] = data
            write_file(os.path.join(root, "file-%02d.bin" % index), data)

    def run_together(self, work, count=SESSIONS):
        """Runs work(index) on `count` threads at once; returns the failures."""
        failures = []
        start = threading.Barrier(count)

        def runner(index):
            try:
                start.wait()
                work(index)
            except Exception as error:  # reported below, with the index
                failures.append("%d: %r" % (index, error))

        threads = [threading.Thread(target=runner, args=(index,)) for index in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        return failures

    def test_16_sessions_download_and_upload_at_once(self):
        def work(index):
            client = ftp_client()
            client.set_pasv(index % 2 == 0)  # half of them active
            for name, data in sorted(self.files.items()):
                if int(name[5:7]) % 4 == index % 4:
                    assert digest(retrieve(client, name)) == digest(data), name
            mine = self.files["file-%02d.bin" % index][::-1]
            store(client, "up-%02d.bin" % index, mine)
            assert digest(retrieve(client, "up-%02d.bin" % index)) == digest(mine)
            client.quit()

        self.assertEqual(self.run_together(work), [])
        for index in range(SESSIONS):
            self.assertEqual(file_digest(self.path("up-%02d.bin" % index)),
                             digest(self.files["file-%02d.bin" % index][::-1]))

    def test_16_curl_downloads_at_once(self):
        results = {}

        def work(index):
            name = "file-%02d.bin" % index
            result = subprocess.run(["curl", "--silent", "--max-time", "60",
                                     "ftp://127.0.0.1:%d/%s" % (CONTROL_PORT, name)], capture_output=True)
            results[index] = (result.returncode, hashlib.sha256(result.stdout).hexdigest())

        self.assertEqual(self.run_together(work), [])
        for index in range(SESSIONS):
            self.assertEqual(results[index], (0, digest(self.files["file-%02d.bin" % index])))

    def test_a_stalled_client_holds_up_nobody(self):
        # One client starts a big download and stops reading; another
        # connected and went silent; a third vanished mid-upload.
        big = self.path("big.bin")
        with open(big, "wb") as handle:
            handle.truncate(1 << 30)
        stalled = Control()
        stalled.login()
        port = stalled.passive()
        stalled_data = connect_data(port)
        stalled_data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.assertEqual(stalled.command("RETR big.bin")[:4], "150 ")
        silent = Control()
        silent.reply()
        vanished = Control()
        vanished.login()
        port = vanished.passive()
        vanished_data = connect_data(port)
        vanished.command("STOR vanished.bin")
        vanished_data.sendall(b"v" * 50000)
        vanished.sock.close()
        vanished_data.close()

        started = time.monotonic()

        def work(index):
            client = ftp_client()
            name = "file-%02d.bin" % index
            assert digest(retrieve(client, name)) == digest(self.files[name])
            client.quit()

        self.assertEqual(self.run_together(work, 8), [])
        self.assertLess(time.monotonic() - started, 30)
        # The stalled one is still there and can still abort.
        stalled.sock.sendall(b"ABOR\r\n")
        self.assertEqual(stalled.reply(), "426 Connection closed; transfer aborted.\r\n")
        self.assertEqual(stalled.reply(), "226 Abort successful.\r\n")
        os.unlink(big)


class ListingsToClientsThatDoNotRead(ServerTestCase):
    NAMES = 20000
    # ASan's quarantine would keep every freed line resident.
    server_env = {"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=0",
                                                         "thread_local_quarantine_size_kb=0"]))}

    @classmethod
    def populate(cls, root):
        os.mkdir(os.path.join(root, "big"))
        for index in range(cls.NAMES):
            open(os.path.join(root, "big", "%05d-%s" % (index, "n" * 200)), "w").close()

    def tsan_allowance_kib(self):
        """TSan's shadow and traces per thread, which cannot be turned off."""
        with open("/proc/%d/maps" % self.server.process.pid) as maps:
            return 32 << 10 if "libtsan" in maps.read() else 0

    def resident_kib(self):
        with open("/proc/%d/status" % self.server.process.pid) as status:
            return int(next(line for line in status if line.startswith("VmRSS:")).split()[1])

    def sessions_kib(self, listing):
        """What 8 sessions more add to the server's resident memory: sessions
        logged in only, or each listing the big directory to a client that
        does not read."""
        before = self.resident_kib()
        for index in range(8):
            control = Control()
            control.login()
            if not listing:
                continue
            if index % 4 == 3:
                control.send("STAT big\r\n")  # the listing goes over the control connection
                continue
            connect_data(control.passive())
            self.assertEqual(control.command("LIST big"), "150 Here comes the directory listing.\r\n")
        time.sleep(1)
        return self.resident_kib() - before

    def test_memory_stays_bounded_per_session(self):
        client = ftp_client()
        self.assertEqual(len(client.nlst("big")), self.NAMES)
        client.quit()
        # Under 1 MiB a session more than an idle session costs (its thread,
        # and under qemu-user the emulator's state for it), whatever the
        # directory's size.
        idle = self.sessions_kib(listing=False)
        self.assertLess(self.sessions_kib(listing=True) - idle, (8 << 10) + self.tsan_allowance_kib())


if __name__ == "__main__":
    unittest.main(verbosity=2)
