"""Accounts: a file of operators with hashed passwords, each with its own
home and rights; the file read again when it changes; the hashed password
of the single login; the settings refused at start."""

import ftplib
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import (Control, ServerTestCase, ftp_client, refusal, retrieve, store, read_file,  # noqa: E402
                        write_file, HOST_PROGRAM)

DENIED = "550 Permission denied.\r\n"


def password_hash(password, scheme="yescrypt"):
    """A crypt(3) hash as an operator makes one: mkpasswd (Debian's whois
    package), or openssl passwd for SHA-512 crypt."""
    command = ["openssl", "passwd", "-6", password] if scheme == "openssl-6" else ["mkpasswd", "-m", scheme, password]
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()


def write_accounts(path, lines, mode=0o600):
    """Replaces the file in one rename, as an operator's editor or script should."""
    write_file(path + ".new", ("\n".join(lines) + "\n").encode(), mode=mode)
    os.rename(path + ".new", path)


def logged_in(user, password):
    control = Control()
    control.login(user, password)
    return control


class ThreeAccounts(ServerTestCase):
    """alice may do everything, bob reads the logs only, drop fills a drop
    box it cannot look into; editor may change what exists but add nothing."""

    @classmethod
    def populate(cls, root):
        os.makedirs(os.path.join(root, "logs"))
        os.makedirs(os.path.join(root, "incoming"))
        write_file(os.path.join(root, "firmware.bin"), b"firmware")
        write_file(os.path.join(root, "logs", "today.log"), b"log lines")
        write_file(os.path.join(root, "incoming", "earlier.txt"), b"from earlier")
        cls.users = os.path.join(os.path.dirname(root), "users")
        write_accounts(cls.users, [
            "# name:hash:home:rights",
            "alice:%s:/:rwd" % password_hash("alice pass"),
            "bob:%s:logs:r" % password_hash("bob pass", "bcrypt"),
            "drop:%s:/incoming/:w" % password_hash("drop pass", "sha256crypt"),
            "editor:%s::rd" % password_hash("editor pass", "openssl-6"),
            "ghost:%s:gone:r" % password_hash("ghost pass", "sha512crypt"),
        ])
        cls.server_env = {"OSPREL_FTP_USERS_FILE": cls.users, "OSPREL_FTP_READONLY": None}

    def test_full_rights(self):
        self.assertIn(", passive ports 34567-34630, accounts from %s%s\n" % (self.users, self.server.confinement()),
                      self.server.stderr())
        client = ftp_client("alice", "alice pass")
        store(client, "new.txt", b"by alice")
        store(client, "new.txt", b"again")
        self.assertEqual(retrieve(client, "logs/today.log"), b"log lines")
        client.rename("new.txt", "moved.txt")
        client.mkd("made")
        client.rmd("made")
        client.delete("moved.txt")
        self.assertEqual(client.sendcmd("STAT").splitlines()[2], " Logged in as alice")
        client.quit()
        self.assertEqual(sorted(os.listdir(self.root)), ["firmware.bin", "incoming", "logs"])

    def test_read_only_in_a_home_of_its_own(self):
        client = ftp_client("bob", "bob pass")
        self.assertEqual(client.nlst(), ["today.log"])
        self.assertEqual(retrieve(client, "today.log"), b"log lines")
        client.cwd("..")
        self.assertEqual(client.pwd(), "/")
        for name in ("../firmware.bin", "/firmware.bin"):
            with self.assertRaises(ftplib.error_perm) as refused:
                retrieve(client, name)
            self.assertEqual(str(refused.exception), "550 Failed to open file.")
        control = logged_in("bob", "bob pass")
        for command in ("STOR new", "APPE today.log", "DELE today.log", "MKD new", "RNFR today.log",
                        "MFMT 20200101000000 today.log"):
            self.assertEqual(control.command(command), DENIED, command)
        self.assertEqual(control.command("MLST today.log"),
                         "250-Listing /today.log\r\n type=file;size=9;modify=%s;perm=r; /today.log\r\n250 End\r\n"
                         % time.strftime("%Y%m%d%H%M%S", time.gmtime(os.stat(self.path("logs", "today.log")).st_mtime)))
        self.assertEqual(sorted(os.listdir(self.path("logs"))), ["today.log"])

    def test_a_drop_box_takes_new_names_only_and_shows_nothing(self):
        client = ftp_client("drop", "drop pass")
        store(client, "report.txt", b"dropped")
        client.mkd("batch")
        store(client, "batch/one.txt", b"one")
        for name in ("report.txt", "earlier.txt"):
            with self.assertRaises(ftplib.error_perm) as refused:
                store(client, name, b"overwritten")
            self.assertEqual(str(refused.exception), "550 Permission denied.")
        client.quit()
        control = logged_in("drop", "drop pass")
        for command in ("LIST", "NLST", "MLSD", "RETR report.txt", "SIZE report.txt", "MDTM report.txt",
                        "MLST report.txt", "STAT .", "APPE report.txt", "DELE report.txt", "RMD batch",
                        "RNFR report.txt", "MFMT 20200101000000 report.txt"):
            self.assertEqual(control.command(command), DENIED, command)
        self.assertEqual(read_file(self.path("incoming", "report.txt")), b"dropped")
        self.assertEqual(read_file(self.path("incoming", "earlier.txt")), b"from earlier")
        self.assertEqual(read_file(self.path("incoming", "batch", "one.txt")), b"one")

    def test_changing_what_exists_without_adding(self):
        client = ftp_client("editor", "editor pass")
        store(client, "firmware.bin", b"firmware 2")
        with self.assertRaises(ftplib.error_perm) as refused:
            store(client, "brand-new.bin", b"x")
        self.assertEqual(str(refused.exception), "550 Permission denied.")
        with self.assertRaises(ftplib.error_perm) as refused:
            client.mkd("dir")
        self.assertEqual(str(refused.exception), "550 Permission denied.")
        client.quit()
        self.assertEqual(read_file(self.path("firmware.bin")), b"firmware 2")
        self.assertFalse(os.path.exists(self.path("brand-new.bin")))

    def test_logins_that_fail(self):
        for user, password in (("alice", "bob pass"), ("bob", "alice pass"), ("nobody", "alice pass"),
                               ("anonymous", "guest"), ("ftp", "guest"), ("Alice", "alice pass")):
            control = Control()
            control.reply()
            control.command("USER " + user)
            started = time.monotonic()
            self.assertEqual(control.command("PASS " + password), "530 Login incorrect.\r\n", user)
            self.assertGreaterEqual(time.monotonic() - started, 0.9, user)
            control.close()
        control = Control()
        control.reply()
        control.command("USER ghost")
        self.assertEqual(control.command("PASS ghost pass"), "530 Cannot open your home directory.\r\n")
        self.assertIn("osprel: the home /gone of ghost cannot be opened: No such file or directory\n",
                      self.server.stderr())


class ReadOnlyAccounts(ServerTestCase):
    @classmethod
    def populate(cls, root):
        users = os.path.join(os.path.dirname(root), "users")
        write_accounts(users, ["alice:%s:/:rwd" % password_hash("pass")])
        cls.server_env = {"OSPREL_FTP_USERS_FILE": users, "OSPREL_FTP_READONLY": "1"}

    def test_readonly_takes_every_change_from_every_account(self):
        control = logged_in("alice", "pass")
        for command in ("STOR new", "MKD new", "DELE x"):
            self.assertEqual(control.command(command), DENIED, command)
        self.assertIn(" Read-only\r\n", control.command("STAT"))


class Renewal(ServerTestCase):
    @classmethod
    def populate(cls, root):
        os.mkdir(os.path.join(root, "pub"))
        cls.users = os.path.join(os.path.dirname(root), "users")
        cls.alice = "alice:%s:/:rwd" % password_hash("alice pass")
        write_accounts(cls.users, [cls.alice, "anonymous::pub:r"])
        cls.server_env = {"OSPREL_FTP_USERS_FILE": cls.users}

    def test_a_changed_file_is_read_at_the_next_login_and_a_broken_one_kept_out(self):
        old_session = logged_in("alice", "alice pass")
        anonymous = logged_in("ftp", "any@example.org")
        self.assertEqual(anonymous.command("STAT").splitlines()[2], " Logged in as anonymous")
        self.assertEqual(anonymous.command("MKD x"), DENIED)
        write_accounts(self.users, ["carol:%s:pub:rw" % password_hash("carol pass")])
        time.sleep(1.1)  # the file is looked at once a second at most
        logged_in("carol", "carol pass").command("QUIT")
        self.assertIn("osprel: reloaded the accounts from %s\n" % self.users, self.server.stderr())
        for user, password in (("alice", "alice pass"), ("anonymous", "guest")):
            control = Control()
            control.reply()
            control.command("USER " + user)
            self.assertEqual(control.command("PASS " + password), "530 Login incorrect.\r\n", user)
        # A session already logged in keeps its rights until it ends.
        self.assertEqual(old_session.command("MKD by-old-session"), '257 "/by-old-session" created\r\n')

        write_accounts(self.users, ["carol:%s:pub:rw" % password_hash("carol pass"), "broken line"])
        time.sleep(1.1)
        logged_in("carol", "carol pass").command("QUIT")
        time.sleep(1.1)
        logged_in("carol", "carol pass").command("QUIT")
        kept = "osprel: %s line 2: not name:hash:home:rights; the accounts loaded before stay in use\n" % self.users
        self.assertEqual(self.server.stderr().count(kept), 1)


class HashedSingleLogin(ServerTestCase):
    @classmethod
    def populate(cls, root):
        cls.server_env = {"OSPREL_FTP_USER": "alice", "OSPREL_FTP_PASSWORD_HASH": password_hash("s3cret", "openssl-6"),
                          "OSPREL_FTP_READONLY": None}

    def test_the_hash_stands_for_the_password(self):
        client = ftp_client("alice", "s3cret")
        store(client, "by-alice", b"written")
        client.quit()
        for user, password in (("alice", "s3cret "), ("bob", "s3cret"), ("anonymous", "x")):
            control = Control()
            control.reply()
            control.command("USER " + user)
            self.assertEqual(control.command("PASS " + password), "530 Login incorrect.\r\n", user)


class StartRefusals(unittest.TestCase):
    def test_files_and_settings_that_stop_the_start(self):
        if not HOST_PROGRAM:
            raise unittest.SkipTest("OSPREL_HOST is not set")
        base = self.enterContext(tempfile.TemporaryDirectory(prefix="osprel-e2e-"))
        users = os.path.join(base, "users")
        good = "alice:%s:/:r" % password_hash("pass")
        write_accounts(users, [good], mode=0o644)
        self.assertEqual(refusal(base, {"OSPREL_FTP_USERS_FILE": users}),
                         (1, "osprel: the accounts file %s is open to others (mode 0644): chmod 600 or 640 it\n"
                          % users))
        write_accounts(users, [good, "bob:$1$i.VBmZkF$snCz0efnHuiDBhftuQCNW0:/:r"], mode=0o640)
        self.assertEqual(refusal(base, {"OSPREL_FTP_USERS_FILE": users}),
                         (1, "osprel: %s line 2: $1$ hashes are refused: use yescrypt ($y$), bcrypt ($2b$), "
                          "SHA-512 ($6$) or SHA-256 ($5$) crypt\n" % users))
        self.assertEqual(refusal(base, {"OSPREL_FTP_USERS_FILE": users, "OSPREL_FTP_USER": "alice",
                                        "OSPREL_FTP_PASSWORD": "x"}),
                         (2, "osprel: OSPREL_FTP_USERS_FILE and OSPREL_FTP_USER exclude each other: put that login "
                          "in the accounts file\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
