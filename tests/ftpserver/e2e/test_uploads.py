"""Uploads never lose, mix or expose data, and never fill the file system:
raw clients against a server whose root is a small tmpfs."""

import os
import re
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import Control, ServerTestCase, connect_data, ftp_client, store, read_file, write_file  # noqa: E402

MIB = 1 << 20
NO_SPACE = "452 Insufficient storage space.\r\n"
TOO_BIG = "552 Exceeded storage allocation.\r\n"
DONE = "226 Transfer complete.\r\n"


class Upload:
    """One upload on a control connection of its own, its data sent in steps."""

    def __init__(self, name, command="STOR", rest=None, directory=None):
        self.control = Control()
        self.control.login()
        if directory is not None:
            assert self.control.command("CWD " + directory).startswith("250 ")
        self.data = connect_data(self.control.passive())
        if rest is not None:
            assert self.control.command("REST %d" % rest).startswith("350 ")
        self.started = self.control.command(("%s %s" % (command, name)).rstrip())

    def send(self, data):
        try:
            self.data.sendall(data)
        except OSError:  # a refused upload resets its data connection
            pass

    def end(self):
        """Closes the data connection: the upload is complete; the reply."""
        self.data.close()
        return self.control.reply()

    def cut(self):
        """Resets the data connection, as a crashed client or a cut network does."""
        self.data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        self.data.close()
        return self.control.reply()


def upload(name, data, command="STOR"):
    """A whole upload: (150 line, last reply)."""
    one = Upload(name, command)
    if not one.started.startswith("150 "):
        return one.started, None
    one.send(data)
    return one.started, one.end()


def wait_until(condition):
    deadline = time.monotonic() + 10
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


class UploadTestCase(ServerTestCase):
    def tearDown(self):
        super().tearDown()
        for name in os.listdir(self.root):
            path = self.path(name)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)

    def names(self):
        return sorted(os.listdir(self.root))

    def free_bytes(self):
        figures = os.statvfs(self.root)
        return figures.f_bavail * figures.f_frsize


class AtomicUploads(UploadTestCase):
    tmpfs_size = 64 * MIB

    def test_a_cut_overwrite_leaves_the_old_file_whole(self):
        old = os.urandom(MIB)
        write_file(self.path("cut.bin"), old)
        cut = Upload("cut.bin")
        self.assertEqual(cut.started, "150 Ok to send data.\r\n")
        cut.send(os.urandom(100 << 10))
        wait_until(lambda: cut.control.command("STAT") == "213 Status: %d bytes transferred.\r\n" % (100 << 10))
        self.assertEqual(cut.cut(), "426 Data connection failed; transfer aborted.\r\n")
        self.assertEqual(read_file(self.path("cut.bin")), old)
        self.assertEqual(self.names(), ["cut.bin"])

    def test_nothing_shows_while_uploading_and_a_reader_keeps_the_old_file(self):
        old, new = os.urandom(4 * MIB), os.urandom(4 * MIB)
        write_file(self.path("doc.bin"), old)
        reader = Control()
        reader.login()
        reader_data = connect_data(reader.passive())
        self.assertTrue(reader.command("RETR doc.bin").startswith("150 "))
        head = reader_data.recv(65536)
        overwrite, fresh = Upload("doc.bin"), Upload("fresh.bin")
        overwrite.send(new[:2 * MIB])
        fresh.send(new[:2 * MIB])
        for one in (overwrite, fresh):
            wait_until(lambda: one.control.command("STAT") == "213 Status: %d bytes transferred.\r\n" % (2 * MIB))
        # What a client's listing and a program watching the directory see meanwhile.
        client = ftp_client()
        self.assertEqual(client.nlst(), ["doc.bin"])
        client.quit()
        self.assertEqual(self.names(), ["doc.bin"])
        self.assertEqual(read_file(self.path("doc.bin")), old)
        overwrite.send(new[2 * MIB:])
        fresh.send(new[2 * MIB:])
        self.assertEqual(overwrite.end(), DONE)
        self.assertEqual(fresh.end(), DONE)
        self.assertEqual(read_file(self.path("doc.bin")), new)
        self.assertEqual(read_file(self.path("fresh.bin")), new)
        self.assertEqual(self.names(), ["doc.bin", "fresh.bin"])
        self.assertEqual(head + reader_data.makefile("rb").read(), old)
        self.assertEqual(reader.reply(), DONE)

    def test_two_writers_of_one_name_each_stay_whole(self):
        first_data, second_data = os.urandom(3 * MIB), os.urandom(2 * MIB)
        first, second = Upload("both.bin"), Upload("both.bin")
        for start in range(0, 3 * MIB, MIB // 2):
            first.send(first_data[start:start + MIB // 2])
            second.send(second_data[start:start + MIB // 2])
        self.assertEqual(first.end(), DONE)
        self.assertEqual(read_file(self.path("both.bin")), first_data)
        self.assertEqual(second.end(), DONE)
        self.assertEqual(read_file(self.path("both.bin")), second_data)
        self.assertEqual(self.names(), ["both.bin"])

    def test_stou_never_replaces_even_when_clients_race(self):
        os.mkdir(self.path("in"))
        contents = [os.urandom(256 << 10) for _ in range(8)]
        stored = {}
        start = threading.Barrier(len(contents))

        def run(data):
            start.wait()
            one = Upload("report.txt", "STOU", directory="in")
            name = re.fullmatch(r"150 FILE: (report\.txt\.[0-9a-f]{8})\r\n", one.started).group(1)
            one.send(data)
            stored[name] = data if one.end() == DONE else None

        threads = [threading.Thread(target=run, args=(data,)) for data in contents]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        self.assertEqual(sorted(os.listdir(self.path("in"))), sorted(stored))
        self.assertEqual({read_file(self.path("in", name)) for name in stored}, set(contents))
        # The name is the server's choice; a path is not a name.
        self.assertRegex(upload("", b"x", "STOU")[0], r"^150 FILE: upload\.[0-9a-f]{8}\r\n$")
        self.assertEqual(upload("in/x", b"x", "STOU")[0], "553 Could not create file.\r\n")

    def test_resuming_after_a_cut_keeps_what_arrived(self):
        data = os.urandom(4 * MIB)
        write_file(self.path("log.bin"), data[:10])
        cut = Upload("log.bin", "APPE")
        cut.send(data[10:2 * MIB])
        wait_until(lambda: os.path.getsize(self.path("log.bin")) > 10)
        self.assertTrue(cut.cut().startswith("426 "))
        arrived = os.path.getsize(self.path("log.bin"))
        self.assertEqual(read_file(self.path("log.bin")), data[:arrived])
        cut = Upload("log.bin", rest=arrived)
        cut.send(data[arrived:3 * MIB])
        wait_until(lambda: os.path.getsize(self.path("log.bin")) > arrived)
        self.assertTrue(cut.cut().startswith("426 "))
        arrived = os.path.getsize(self.path("log.bin"))
        self.assertEqual(read_file(self.path("log.bin")), data[:arrived])
        client = ftp_client()
        self.assertEqual(client.size("log.bin"), arrived)
        store(client, "log.bin", data[arrived:], rest=arrived)
        client.quit()
        self.assertEqual(read_file(self.path("log.bin")), data)


class Limits(UploadTestCase):
    """16 MiB with 4 MiB kept free, and files of 8 MiB at most."""
    tmpfs_size = 16 * MIB
    server_env = {"OSPREL_FTP_MIN_FREE": "4M", "OSPREL_FTP_MAX_FILE_SIZE": "8M"}

    def test_the_size_cap_and_the_reserve_refuse_and_leave_nothing(self):
        control = Control()
        control.login()
        self.assertEqual(control.command("ALLO %d" % (8 * MIB + 1)), TOO_BIG)
        self.assertEqual(upload("big.bin", os.urandom(9 * MIB)), ("150 Ok to send data.\r\n", TOO_BIG))
        exact = os.urandom(8 * MIB)
        self.assertEqual(upload("exact.bin", exact)[1], DONE)
        self.assertEqual(upload("exact.bin", b"+", "APPE"), (TOO_BIG, None))
        self.assertEqual(read_file(self.path("exact.bin")), exact)
        room = self.free_bytes() - 4 * MIB
        self.assertEqual(control.command("ALLO %d" % (room + 4096)), NO_SPACE)
        self.assertEqual(control.command("ALLO %d R 512" % room), "202 ALLO command ignored.\r\n")
        # Crossing the reserve: stopped, and nothing kept.
        self.assertEqual(upload("second.bin", os.urandom(6 * MIB))[1], NO_SPACE)
        self.assertEqual(self.free_bytes() - 4 * MIB, room)
        # At it: refused before it starts.
        write_file(self.path("host.log"), b"h" * room)
        self.assertEqual(upload("third.bin", b"x"), (NO_SPACE, None))
        self.assertEqual(self.names(), ["exact.bin", "host.log"])

    def test_a_refused_resume_leaves_the_file_as_it_was(self):
        big, small = os.urandom(9 * MIB), os.urandom(MIB)
        write_file(self.path("big.bin"), big)
        write_file(self.path("small.bin"), small)
        # Past the cap, or at it where not a byte more may come.
        self.assertEqual(Upload("big.bin", rest=8 * MIB + 1).started, TOO_BIG)
        self.assertEqual(Upload("small.bin", rest=8 * MIB).started, TOO_BIG)
        self.assertEqual(Upload("big.bin", "APPE").started, TOO_BIG)
        write_file(self.path("host.log"), b"h" * (self.free_bytes() - 4 * MIB))
        self.assertEqual(Upload("small.bin", rest=1000).started, NO_SPACE)
        self.assertEqual(Upload("small.bin", "APPE").started, NO_SPACE)
        self.assertEqual(read_file(self.path("big.bin")), big)
        self.assertEqual(read_file(self.path("small.bin")), small)


class FullFileSystem(UploadTestCase):
    tmpfs_size = 8 * MIB
    server_env = {"OSPREL_FTP_MIN_FREE": "0"}

    def test_a_full_file_system_answers_452_and_keeps_the_old_file(self):
        write_file(self.path("kept.bin"), b"old")
        free = self.free_bytes()
        # With no reserve ALLO weighs the size against the free space, to the byte.
        control = Control()
        control.login()
        self.assertEqual(control.command("ALLO %d" % (free + 1)), NO_SPACE)
        self.assertEqual(control.command("ALLO %d" % free), "202 ALLO command ignored.\r\n")
        self.assertEqual(upload("kept.bin", os.urandom(12 * MIB))[1], NO_SPACE)
        self.assertEqual(read_file(self.path("kept.bin")), b"old")
        self.assertEqual(self.names(), ["kept.bin"])
        self.assertEqual(self.free_bytes(), free)
        # Full before it starts: a resume is refused before it cuts the file.
        write_file(self.path("filler"), b"f" * free)
        self.assertEqual(Upload("kept.bin", rest=1).started, NO_SPACE)
        self.assertEqual(read_file(self.path("kept.bin")), b"old")


class SyncBeforeTheReply(UploadTestCase):
    """The server under strace: the calls that put an upload on stable
    storage, in the order the session thread made them."""
    sync = True

    @classmethod
    def setUpClass(cls):
        cls.trace = os.path.join(tempfile.mkdtemp(prefix="osprel-trace-"), "trace")
        cls.server_env = {"OSPREL_FTP_SYNC_UPLOADS": "1" if cls.sync else "0"}
        cls.server_wrapper = ["strace", "-f", "-qq", "-s", "48", "-o", cls.trace,
                              "-e", "trace=fsync,fdatasync,linkat,renameat,renameat2,sendto"]
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(os.path.dirname(cls.trace))

    def calls_before_the_226(self, name):
        """The traced calls of an upload of name, from its 150 to its 226."""
        start = os.path.getsize(self.trace)
        client = ftp_client()
        store(client, name, b"x" * 100000)
        client.quit()
        reply = re.compile(r'^(\d+) +sendto\(\d+, "(150|226) ')

        def traced():
            with open(self.trace) as trace:
                trace.seek(start)
                return trace.read().splitlines()
        wait_until(lambda: len([line for line in traced() if reply.match(line)]) >= 2)
        calls, thread = [], None
        for line in traced():
            found = reply.match(line)
            if found and found.group(2) == "150":
                thread = found.group(1)
            elif found and found.group(1) == thread:
                return " ".join(calls)
            elif thread and line.startswith(thread + " ") and "resumed>" not in line:
                calls.append(line.split()[1].split("(")[0])
        raise AssertionError("no 226 in the trace")

    def test_the_file_and_its_directory_are_synced_before_the_226(self):
        self.assertEqual(self.calls_before_the_226("new.bin"), "fsync linkat fsync")
        # Replacing: linked under a hidden name, then renamed over the old file.
        self.assertEqual(self.calls_before_the_226("new.bin"), "fsync linkat linkat renameat fsync")


class NoSyncWhenTurnedOff(SyncBeforeTheReply):
    sync = False

    def test_the_file_and_its_directory_are_synced_before_the_226(self):
        self.assertEqual(self.calls_before_the_226("new.bin"), "linkat")


if __name__ == "__main__":
    unittest.main(verbosity=2)
