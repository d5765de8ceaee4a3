"""Real clients: curl (EPSV, PASV, EPRT and PORT, path walking with CWD)
and lftp (FEAT, OPTS UTF8 ON, MLSD)."""

import os
import subprocess
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import (ServerTestCase, read_file, write_file, digest, file_digest,  # noqa: E402
                        CONTROL_PORT)

URL = "ftp://127.0.0.1:%d/" % CONTROL_PORT
OLD = 946684800


def run(command, stdin=None):
    result = subprocess.run(command, input=stdin, capture_output=True, timeout=120)
    return result


class Curl(ServerTestCase):
    @classmethod
    def populate(cls, root):
        cls.payload = os.urandom(2 << 20)
        write_file(os.path.join(root, "payload.bin"), cls.payload, OLD)
        os.makedirs(os.path.join(root, "deep", "er"))
        write_file(os.path.join(root, "deep", "er", "file.txt"), b"deep file\n", OLD)
        write_file(os.path.join(root, "naïve file €.txt"), "unicode ✓\n".encode(), OLD)

    def curl(self, *arguments, stdin=None):
        result = run(["curl", "--silent", "--show-error", "--max-time", "60"] + list(arguments), stdin)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result.stdout

    def test_listing(self):
        # curl turns the listing's CRLF into LF.
        listing = self.curl(URL + "deep/er/")
        self.assertEqual(listing, b"-rw-r--r--    1 0        0                  10 Jan  1  2000 file.txt\n")
        self.assertEqual(self.curl("--list-only", URL + "deep/"), b"er\n")

    def test_download_every_way(self):
        for options in ([], ["--disable-epsv"], ["--ftp-port", "-"], ["--ftp-port", "-", "--disable-eprt"],
                        ["--ftp-method", "nocwd"], ["--ftp-method", "singlecwd"]):
            self.assertEqual(digest(self.curl(*options, URL + "payload.bin")), digest(self.payload), options)
            self.assertEqual(self.curl(*options, URL + "deep/er/file.txt"), b"deep file\n", options)

    def test_utf8_name_with_spaces(self):
        quoted = urllib.parse.quote("naïve file €.txt")
        self.assertEqual(self.curl(URL + quoted), "unicode ✓\n".encode())

    def test_upload_resume_and_append(self):
        source = os.path.join(self.base, "source.bin")
        write_file(source, self.payload)
        self.curl("-T", source, URL + "uploaded.bin")
        self.assertEqual(file_digest(self.path("uploaded.bin")), digest(self.payload))

        # Resume an upload that stopped at 700000 bytes.
        write_file(self.path("half.bin"), self.payload[:700000])
        self.curl("-C", "-", "-T", source, URL + "half.bin")
        self.assertEqual(file_digest(self.path("half.bin")), digest(self.payload))

        # Resume a download.
        target = os.path.join(self.base, "target.bin")
        write_file(target, self.payload[:1000001])
        self.curl("-C", "-", "-o", target, URL + "payload.bin")
        self.assertEqual(file_digest(target), digest(self.payload))

        self.curl("--append", "-T", "-", URL + "log.txt", stdin=b"first\n")
        self.curl("--append", "-T", "-", URL + "log.txt", stdin=b"second\n")
        self.assertEqual(read_file(self.path("log.txt")), b"first\nsecond\n")

    def test_create_directories_rename_and_delete(self):
        self.curl("--ftp-create-dirs", "-T", "-", URL + "made/by/curl.txt", stdin=b"made")
        self.assertEqual(read_file(self.path("made", "by", "curl.txt")), b"made")
        self.curl("-Q", "RNFR made/by/curl.txt", "-Q", "RNTO made/renamed.txt", URL)
        self.assertEqual(read_file(self.path("made", "renamed.txt")), b"made")
        self.curl("-Q", "DELE made/renamed.txt", "-Q", "RMD made/by", "-Q", "RMD made", URL)
        self.assertFalse(os.path.exists(self.path("made")))

    def test_missing_file_is_an_error(self):
        result = run(["curl", "--silent", URL + "missing.bin"])
        self.assertEqual(result.returncode, 78)  # "remote file not found"


class CurlCredentials(ServerTestCase):
    server_env = {"OSPREL_FTP_USER": "alice", "OSPREL_FTP_PASSWORD": "wonder land"}

    @classmethod
    def populate(cls, root):
        write_file(os.path.join(root, "private.txt"), b"private\n")

    def test_login(self):
        result = run(["curl", "--silent", "--user", "alice:wonder land", URL + "private.txt"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, b"private\n")
        result = run(["curl", "--silent", URL + "private.txt"])
        self.assertEqual(result.returncode, 67)  # "login denied"
        self.assertEqual(result.stdout, b"")


class Lftp(ServerTestCase):
    @classmethod
    def populate(cls, root):
        cls.payload = os.urandom(1 << 20)
        write_file(os.path.join(root, "payload.bin"), cls.payload, OLD)
        os.mkdir(os.path.join(root, "tree"))
        write_file(os.path.join(root, "tree", "one.txt"), b"one\n", OLD)
        write_file(os.path.join(root, "tree", "two words.txt"), b"two\n", OLD)

    def lftp(self, script, passive=True, dialogue=None):
        """Runs an lftp script; `dialogue` receives the protocol exchange."""
        settings = ("set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 20; "
                    "set ftp:passive-mode %s; set xfer:clobber yes; " % ("on" if passive else "off"))
        command = ["lftp"] + (["-d"] if dialogue is not None else [])
        result = run(command + ["-c", settings + "open -p %d 127.0.0.1; " % CONTROL_PORT + script])
        self.assertEqual(result.returncode, 0, result.stderr.decode() + result.stdout.decode())
        if dialogue is not None:
            dialogue.append(result.stderr.decode(errors="replace"))
        return result.stdout.decode()

    def test_listings(self):
        # lftp lists with MLSD because FEAT offers MLST, after OPTS UTF8 ON.
        dialogue = []
        self.assertEqual(self.lftp("cls -1 tree", dialogue=dialogue), "tree/one.txt\ntree/two words.txt\n")
        self.assertIn("---> FEAT", dialogue[0])
        self.assertIn("---> OPTS UTF8 ON", dialogue[0])
        self.assertIn("<--- 200 Always in UTF8 mode.", dialogue[0])
        self.assertIn("---> MLSD", dialogue[0])
        self.assertEqual(self.lftp("cls -s --block-size=1 tree/one.txt").split(), ["4", "tree/one.txt"])
        self.assertEqual(self.lftp("ls tree"),
                         "-rw-r--r--    1 0        0                   4 Jan  1  2000 one.txt\n"
                         "-rw-r--r--    1 0        0                   4 Jan  1  2000 two words.txt\n")

    def test_get_put_passive_and_active(self):
        for passive in (True, False):
            local = os.path.join(self.base, "got-%s.bin" % passive)
            self.lftp("get payload.bin -o %s" % local, passive)
            self.assertEqual(file_digest(local), digest(self.payload))
            self.lftp("put %s -o put-%s.bin" % (local, passive), passive)
            self.assertEqual(file_digest(self.path("put-%s.bin" % passive)), digest(self.payload))

    def test_resumed_put_and_get(self):
        local = os.path.join(self.base, "whole.bin")
        write_file(local, self.payload)
        write_file(self.path("resumed.bin"), self.payload[:300000])
        self.lftp("put -c %s -o resumed.bin" % local)
        self.assertEqual(file_digest(self.path("resumed.bin")), digest(self.payload))
        partial = os.path.join(self.base, "partial.bin")
        write_file(partial, self.payload[:500000])
        self.lftp("get -c payload.bin -o %s" % partial)
        self.assertEqual(file_digest(partial), digest(self.payload))

    def test_mirror_mkdir_mv_rm(self):
        mirrored = os.path.join(self.base, "mirrored")
        self.lftp("mirror tree %s" % mirrored)
        self.assertEqual(sorted(os.listdir(mirrored)), ["one.txt", "two words.txt"])
        self.assertEqual(read_file(os.path.join(mirrored, "two words.txt")), b"two\n")
        self.lftp('mkdir "new dir"; mv tree/one.txt "new dir/uno.txt"; rm "tree/two words.txt"; rmdir tree')
        self.assertEqual(read_file(self.path("new dir", "uno.txt")), b"one\n")
        self.assertFalse(os.path.exists(self.path("tree")))
        self.lftp('mirror -R %s "up tree"' % mirrored)
        self.assertEqual(sorted(os.listdir(self.path("up tree"))), ["one.txt", "two words.txt"])
        # Both mirrors keep the source's times (the upload through MFMT).
        for name in ("one.txt", "two words.txt"):
            self.assertEqual(os.stat(self.path("up tree", name)).st_mtime, OLD, name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
