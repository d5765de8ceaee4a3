"""Security: paths kept inside the root, no bounce, no stolen data
connection, bounded lines, login rules, read-only mode and the limits."""

import errno
import ftplib
import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import (Control, connect_data, ServerTestCase, ftp_client, retrieve, store, read_file,  # noqa: E402
                        write_file, server_follows_links, PASSIVE_PORTS, FIRST_PASSIVE_PORT)


class PathEscapes(ServerTestCase):
    """<base>/outside/secret must stay out of reach of <base>/root."""

    @classmethod
    def populate(cls, root):
        outside = os.path.join(os.path.dirname(root), "outside")
        os.mkdir(outside)
        write_file(os.path.join(outside, "secret"), b"secret")
        write_file(os.path.join(root, "inside.txt"), b"inside")
        os.mkdir(os.path.join(root, "dir"))
        os.symlink(os.path.join(outside, "secret"), os.path.join(root, "escape-abs"))
        os.symlink("../outside/secret", os.path.join(root, "escape-rel"))
        os.symlink("../outside", os.path.join(root, "escape-dir"))
        os.symlink("/", os.path.join(root, "slash"))
        os.symlink("inside.txt", os.path.join(root, "fine"))

    def outside(self, *parts):
        return os.path.join(self.base, "outside", *parts)

    def test_downloads_cannot_leave_the_root(self):
        client = ftp_client()
        for name in ("../outside/secret", "/../outside/secret", "dir/../../outside/secret",
                     self.outside("secret"), "escape-abs", "escape-rel", "escape-dir/secret",
                     "slash" + self.outside("secret"), "..\\outside\\secret", "....//outside/secret"):
            with self.assertRaises(ftplib.error_perm, msg=name) as refused:
                retrieve(client, name)
            self.assertEqual(str(refused.exception), "550 Failed to open file.", name)
        # A link that stays inside is followed, where the server follows links.
        if server_follows_links():
            self.assertEqual(retrieve(client, "fine"), b"inside")
        else:
            self.assertRaises(ftplib.error_perm, retrieve, client, "fine")
        self.assertEqual(retrieve(client, "dir/../../../inside.txt"), b"inside")
        client.quit()

    def test_directories_cannot_leave_the_root(self):
        control = Control()
        control.login()
        self.assertEqual(control.command("CWD .."), "250 Directory successfully changed.\r\n")
        self.assertEqual(control.command("PWD"), '257 "/" is the current directory\r\n')
        self.assertEqual(control.command("CWD ../../.."), "250 Directory successfully changed.\r\n")
        self.assertEqual(control.command("SIZE inside.txt"), "213 6\r\n")
        self.assertEqual(control.command("CWD escape-dir"), "550 Failed to change directory.\r\n")
        self.assertEqual(control.command("SIZE ../outside/secret"), "550 Could not get file size.\r\n")
        self.assertEqual(control.command("SIZE escape-dir/secret"), "550 Could not get file size.\r\n")
        self.assertEqual(control.command("MLST escape-dir/secret"), "550 Could not list.\r\n")
        self.assertEqual(control.command("STAT escape-dir"), "550 Could not list.\r\n")
        client = ftp_client()
        with self.assertRaises(ftplib.error_perm):
            client.nlst("escape-dir")
        with self.assertRaises(ftplib.error_perm):
            client.nlst("../outside")
        client.quit()

    def test_changes_cannot_leave_the_root(self):
        client = ftp_client()
        store(client, "../planted", b"x")  # lands in the root as /planted
        self.assertEqual(read_file(self.path("planted")), b"x")
        for name in ("../outside/planted", "escape-dir/planted", "slash/tmp/planted", self.outside("planted")):
            with self.assertRaises(ftplib.error_perm, msg=name):
                store(client, name, b"x")
        # Storing onto a link replaces nothing outside.
        with self.assertRaises(ftplib.error_perm):
            store(client, "escape-abs", b"overwritten")
        self.assertEqual(read_file(self.outside("secret")), b"secret")
        with self.assertRaises(ftplib.error_perm):
            client.delete("escape-dir/secret")
        with self.assertRaises(ftplib.error_perm):
            client.rename("escape-dir/secret", "stolen")
        with self.assertRaises(ftplib.error_perm):
            client.mkd("escape-dir/made")
        self.assertEqual(client.mkd("../../made"), "/made")
        self.assertTrue(os.path.isdir(self.path("made")))
        client.rename("planted", "../moved")
        self.assertTrue(os.path.exists(self.path("moved")))
        # Deleting a link removes the link, not what it points at.
        client.delete("escape-rel")
        self.assertFalse(os.path.lexists(self.path("escape-rel")))
        client.quit()
        self.assertEqual(os.listdir(self.outside()), ["secret"])
        self.assertEqual(read_file(self.outside("secret")), b"secret")

    def test_special_files_are_not_opened(self):
        os.mkfifo(self.path("fifo"))
        client = ftp_client()
        with self.assertRaises(ftplib.error_perm) as refused:
            retrieve(client, "fifo")
        self.assertEqual(str(refused.exception), "550 Failed to open file.")
        with self.assertRaises(ftplib.error_perm) as refused:
            store(client, "fifo", b"x")
        self.assertEqual(str(refused.exception), "553 Could not create file.")
        self.assertEqual(client.sendcmd("NOOP"), "200 NOOP ok.")
        client.quit()
        os.unlink(self.path("fifo"))


class DataConnectionTheft(ServerTestCase):
    @classmethod
    def populate(cls, root):
        write_file(os.path.join(root, "data.txt"), b"for the client only")

    def test_port_and_eprt_only_to_the_client_and_never_below_1024(self):
        control = Control()
        control.login()
        other_host = "504 Data connections go only to the client's own address.\r\n"
        low_port = "504 Data connections to ports below 1024 are refused.\r\n"
        self.assertEqual(control.command("PORT 127,0,0,2,39,16"), other_host)
        self.assertEqual(control.command("PORT 192,168,1,10,39,16"), other_host)
        self.assertEqual(control.command("PORT 10,0,0,1,39,16"), other_host)
        self.assertEqual(control.command("PORT 127,0,0,1,0,21"), low_port)
        self.assertEqual(control.command("PORT 127,0,0,1,3,255"), low_port)
        self.assertEqual(control.command("EPRT |1|127.0.0.2|10000|"), other_host)
        self.assertEqual(control.command("EPRT |2|::1|10000|"), other_host)
        self.assertEqual(control.command("EPRT |1|127.0.0.1|25|"), low_port)
        # Refused targets leave nothing set up.
        self.assertEqual(control.command("RETR data.txt"), "425 Use PORT or PASV first.\r\n")
        self.assertEqual(control.command("PORT 127,0,0,1,4,0"), "200 PORT command successful.\r\n")
        self.assertEqual(control.command("EPRT |1|127.0.0.1|1024|"), "200 PORT command successful.\r\n")

    def test_foreign_passive_connection_is_dropped_and_the_client_still_served(self):
        control = Control()
        control.login()
        port = control.passive()
        # A thief on another address gets there first and is dropped.
        thief = connect_data(port, "127.0.0.2")
        time.sleep(0.2)
        self.assertEqual(thief.recv(100), b"")
        data = connect_data(port)
        self.assertEqual(control.command("RETR data.txt")[:4], "150 ")
        self.assertEqual(data.makefile("rb").read(), b"for the client only")
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")

    def test_foreign_connection_during_the_transfer_command(self):
        control = Control()
        control.login()
        port = control.passive()
        self.assertEqual(control.command("RETR data.txt")[:4], "150 ")
        thief = connect_data(port, "127.0.0.3")
        self.assertEqual(thief.recv(100), b"")
        data = connect_data(port)
        self.assertEqual(data.makefile("rb").read(), b"for the client only")
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")


class CommandLines(ServerTestCase):
    def test_overlong_lines_are_refused_and_the_session_goes_on(self):
        control = Control()
        control.login()
        exact = "NOOP " + "x" * (4096 - 5)
        self.assertEqual(control.command(exact), "200 NOOP ok.\r\n")
        self.assertEqual(control.command(exact + "y"), "500 Command line too long.\r\n")
        # A megabyte-long line, sent in pieces.
        control.send("CWD ")
        for _ in range(64):
            control.send("z" * 16384)
        self.assertEqual(control.command(""), "500 Command line too long.\r\n")
        self.assertEqual(control.command("PWD"), '257 "/" is the current directory\r\n')

    def test_garbage_commands(self):
        control = Control()
        control.reply()
        for garbage in (b"", b"\x00\x01\x02", b"\xff\xfe\xfd", b"GET / HTTP/1.1", b"NOOPNOOP", b"N\x00OP",
                        b"\x80\x81\x82\x83", b"12345", b" USER x", b"\r"):
            self.assertEqual(control.command(garbage), "500 Unknown command.\r\n", garbage)
        self.assertEqual(control.command("NOOP"), "200 NOOP ok.\r\n")

    def test_pipelined_commands_are_answered_in_order(self):
        control = Control()
        control.reply()
        control.send("USER a\r\nPASS b\r\nPWD\r\nSYST\r\nQUIT\r\n")
        self.assertEqual([control.reply() for _ in range(5)],
                         ["331 Please specify the password.\r\n", "230 Login successful.\r\n",
                          '257 "/" is the current directory\r\n', "215 UNIX Type: L8\r\n", "221 Goodbye.\r\n"])


class BeforeLogin(ServerTestCase):
    def test_only_login_and_harmless_commands_before_login(self):
        control = Control()
        control.reply()
        for command in ("NOOP", "SYST", "FEAT", "AUTH TLS"):
            self.assertNotEqual(control.command(command)[:3], "530", command)
        for command in ("PWD", "CWD /", "LIST", "NLST", "MLSD", "MLST", "RETR x", "STOR x", "APPE x", "DELE x",
                        "MKD x", "RMD x", "RNFR x", "RNTO x", "PASV", "EPSV", "PORT 127,0,0,1,4,0",
                        "EPRT |1|127.0.0.1|1024|", "SIZE x", "MDTM x", "TYPE I", "MODE S", "STRU F", "REST 1",
                        "ABOR", "STAT", "HELP", "OPTS UTF8 ON", "CLNT x", "ALLO 1", "CDUP", "XPWD"):
            self.assertEqual(control.command(command), "530 Please login with USER and PASS.\r\n", command)
        self.assertEqual(control.command("QUIT"), "221 Goodbye.\r\n")


class Defaults(ServerTestCase):
    """Nothing configured but the data directory: anonymous, read-only."""

    @classmethod
    def populate(cls, root):
        cls.served = os.path.join(os.path.dirname(root), "data", "osprel", "ftp")
        cls.server_env = {"OSPREL_FTP_ROOT": None, "OSPREL_FTP_READONLY": None,
                          "XDG_DATA_HOME": os.path.join(os.path.dirname(root), "data")}

    def test_anonymous_read_only_in_a_directory_of_its_own(self):
        self.assertIn("osprel: serving %s on 127.0.0.1 port 3456, passive ports 34567-34630, "
                      "read-only for anonymous users%s\n" % (self.served, self.server.confinement()),
                      self.server.stderr())
        self.assertEqual(os.listdir(self.served), [])
        control = Control()
        control.login("anonymous", "any")
        self.assertEqual(control.command("MKD new"), "550 Permission denied.\r\n")
        self.assertEqual(control.command("STOR new"), "550 Permission denied.\r\n")
        self.assertIn(" Read-only\r\n", control.command("STAT"))


class Credentials(ServerTestCase):
    # Write access by default goes to the configured login.
    server_env = {"OSPREL_FTP_USER": "alice", "OSPREL_FTP_PASSWORD": "s3cret pass", "OSPREL_FTP_READONLY": None}

    def test_only_the_configured_login(self):
        client = ftp_client("alice", "s3cret pass")
        self.assertEqual(client.pwd(), "/")
        store(client, "by-alice", b"written")
        client.quit()
        self.assertEqual(read_file(self.path("by-alice")), b"written")
        for user, password in (("anonymous", "x"), ("alice", "s3cret"), ("alice", "s3cret pass "),
                               ("Alice", "s3cret pass"), ("alice", "")):
            control = Control()
            control.reply()
            control.command("USER " + user)
            self.assertEqual(control.command("PASS " + password), "530 Login incorrect.\r\n")
            self.assertEqual(control.command("PWD"), "530 Please login with USER and PASS.\r\n")
            control.close()

    def test_failed_logins_are_delayed_and_the_third_closes(self):
        control = Control()
        control.reply()
        started = time.monotonic()
        for attempt in range(3):
            control.command("USER alice")
            before = time.monotonic()
            self.assertEqual(control.command("PASS wrong"), "530 Login incorrect.\r\n")
            self.assertGreaterEqual(time.monotonic() - before, 0.9)
        self.assertTrue(control.closed_by_server())
        self.assertLess(time.monotonic() - started, 10)
        # Others are not held up meanwhile, and a new session may log in.
        client = ftp_client("alice", "s3cret pass")
        client.quit()

    def test_guessing_is_limited_per_address_across_sessions(self):
        source = "127.0.0.30"
        locked = "421 Too many failed logins from your address, try later.\r\n"
        replies = []

        def guess():
            control = Control(source=source)
            control.reply()
            control.command("USER alice")
            replies.append(control.command("PASS guess"))

        guessers = [threading.Thread(target=guess) for _ in range(12)]
        for guesser in guessers:
            guesser.start()
        for guesser in guessers:
            guesser.join(30)
        self.assertEqual(sorted(replies), [locked] * 2 + ["530 Login incorrect.\r\n"] * 10)
        # Locked out, the right password too; other addresses are not.
        control = Control(source=source)
        control.reply()
        control.command("USER alice")
        self.assertEqual(control.command("PASS s3cret pass"), locked)
        ftp_client("alice", "s3cret pass").quit()

    def test_a_delayed_failure_holds_up_no_other_session(self):
        slow = Control()
        slow.reply()
        slow.command("USER alice")
        slow.send("PASS wrong\r\n")
        started = time.monotonic()
        client = ftp_client("alice", "s3cret pass")
        client.quit()
        self.assertLess(time.monotonic() - started, 0.8)
        self.assertEqual(slow.reply(), "530 Login incorrect.\r\n")


class ReadOnly(ServerTestCase):
    server_env = {"OSPREL_FTP_READONLY": "1"}

    @classmethod
    def populate(cls, root):
        write_file(os.path.join(root, "keep.txt"), b"keep", 946684800)
        os.mkdir(os.path.join(root, "dir"))

    def test_every_change_is_refused(self):
        control = Control()
        control.login()
        port = control.passive()
        # A refused STOR also uses up the REST before it.
        self.assertEqual(control.command("REST 2"), "350 Restart position accepted (2).\r\n")
        for command in ("STOR new", "APPE keep.txt", "DELE keep.txt", "MKD new", "XMKD new", "RMD dir",
                        "XRMD dir", "RNFR keep.txt", "RNTO x", "MFMT 20200101000000 keep.txt"):
            self.assertEqual(control.command(command), "550 Permission denied.\r\n", command)
        self.assertEqual(sorted(os.listdir(self.root)), ["dir", "keep.txt"])
        self.assertEqual(read_file(self.path("keep.txt")), b"keep")
        data = connect_data(port)
        self.assertEqual(control.command("RETR keep.txt")[:4], "150 ")
        self.assertEqual(data.makefile("rb").read(), b"keep")
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        self.assertEqual(control.command("MLST keep.txt"),
                         "250-Listing /keep.txt\r\n type=file;size=4;modify=20000101000000;perm=r; /keep.txt\r\n"
                         "250 End\r\n")
        self.assertIn(" Read-only\r\n", control.command("STAT"))


class Limits(ServerTestCase):
    def test_at_most_16_sessions_per_address_and_64_in_all(self):
        sessions = []
        for index in range(64):
            control = Control(source="127.0.0.%d" % (10 + index // 16))
            self.assertEqual(control.reply(), "220 osprel FTP server ready.\r\n")
            sessions.append(control)
        refused = Control(source="127.0.0.20")
        self.assertEqual(refused.file.read(), b"421 Too many sessions, try later.\r\n")
        # A session's slot is free once its client has closed after QUIT.
        leaving = sessions.pop()
        leaving.command("QUIT")
        leaving.close()
        time.sleep(0.2)
        refused = Control(source="127.0.0.10")
        self.assertEqual(refused.file.read(), b"421 Too many sessions from your address, try later.\r\n")
        control = Control(source="127.0.0.13")
        self.assertEqual(control.reply(), "220 osprel FTP server ready.\r\n")
        sessions.append(control)
        for control in sessions:
            control.close()

    def test_full_passive_range_answers_425(self):
        holders = []
        try:
            deadline = time.monotonic() + 10
            for port in list(PASSIVE_PORTS)[:-1]:
                holders.append(listen_when_free(port, deadline))
            first = Control()
            first.login()
            self.assertEqual(first.passive(), FIRST_PASSIVE_PORT + 63)
            second = Control()
            second.login()
            self.assertEqual(second.command("PASV"), "425 No passive port free, try later.\r\n")
            self.assertEqual(second.command("EPSV"), "425 No passive port free, try later.\r\n")
            first.close()
            time.sleep(0.2)
            self.assertEqual(second.passive(), FIRST_PASSIVE_PORT + 63)
        finally:
            for holder in holders:
                holder.close()


def listen_when_free(port, deadline):
    """Listens on a passive port once the server has let go of it: the
    sessions of earlier tests end asynchronously (slowly under sanitizers),
    and their ports may linger in TIME_WAIT."""
    while True:
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            holder.bind(("127.0.0.1", port))
            holder.listen(1)
            return holder
        except OSError as error:
            holder.close()
            if error.errno != errno.EADDRINUSE or time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class TimeOuts(ServerTestCase):
    server_env = {"OSPREL_FTP_IDLE_TIMEOUT": "2", "OSPREL_FTP_PASSIVE_TIMEOUT": "1", "OSPREL_FTP_LOGIN_TIMEOUT": "1"}

    @classmethod
    def populate(cls, root):
        with open(os.path.join(root, "big.bin"), "wb") as handle:
            handle.truncate(1 << 30)

    def test_idle_session_is_closed(self):
        control = Control()
        control.login()
        started = time.monotonic()
        self.assertEqual(control.reply(), "421 Timeout.\r\n")
        self.assertTrue(control.closed_by_server())
        self.assertGreaterEqual(time.monotonic() - started, 1.5)

    def test_lines_before_login_do_not_put_off_the_login_deadline(self):
        control = Control()
        control.reply()
        for _ in range(3):
            self.assertEqual(control.command("NOOP"), "200 NOOP ok.\r\n")
            time.sleep(0.4)
        self.assertEqual(control.reply(), "421 Login time-out: no login within 1 s.\r\n")
        self.assertTrue(control.closed_by_server())

    def test_stalled_data_connection_times_out_and_the_session_goes_on(self):
        control = Control()
        control.login()
        port = control.passive()
        data = connect_data(port)
        started = time.monotonic()
        self.assertEqual(control.command("RETR big.bin")[:4], "150 ")
        # The client never reads: after the idle time without progress the
        # transfer gives up, and the idle time starts again from there.
        self.assertEqual(control.reply(), "426 Data connection timed out; transfer aborted.\r\n")
        self.assertGreaterEqual(time.monotonic() - started, 1.5)
        self.assertEqual(control.command("NOOP"), "200 NOOP ok.\r\n")
        data.close()

    def test_unused_passive_listener_is_closed(self):
        control = Control()
        control.login()
        port = control.passive()
        time.sleep(1.5)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5)
        self.assertEqual(control.command("LIST"), "425 Use PORT or PASV first.\r\n")

    def test_passive_connection_never_made_during_the_transfer_command(self):
        control = Control()
        control.login()
        control.passive()
        self.assertEqual(control.command("LIST")[:4], "150 ")
        self.assertEqual(control.reply(), "425 Failed to establish connection.\r\n")


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


# Under CI the namespace must have IPv6 loopback: no silent skip there.
@unittest.skipUnless(ipv6_loopback() or os.environ.get("CI") == "true", "no IPv6 loopback here")
class Ipv6(ServerTestCase):
    server_env = {"OSPREL_FTP_BIND": "::1"}

    @classmethod
    def populate(cls, root):
        write_file(os.path.join(root, "six.txt"), b"over IPv6")

    def test_extended_commands_over_ipv6(self):
        control = Control(host="::1")
        control.login()
        self.assertEqual(control.command("PASV"), "425 PASV needs IPv4; use EPSV.\r\n")
        self.assertEqual(control.command("EPSV 1"), "522 Network protocol not supported, use (2)\r\n")
        self.assertEqual(control.command("EPRT |1|127.0.0.1|5000|"),
                         "504 Data connections go only to the client's own address.\r\n")
        reply = control.command("EPSV 2")
        port = int(reply.split("|")[3])
        data = connect_data(port, host="::1")
        self.assertEqual(control.command("RETR six.txt")[:4], "150 ")
        self.assertEqual(data.makefile("rb").read(), b"over IPv6")
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        # ftplib uses EPSV and EPRT on IPv6 by itself.
        for passive in (True, False):
            client = ftp_client(host="::1")
            client.set_pasv(passive)
            self.assertEqual(retrieve(client, "six.txt"), b"over IPv6")
            client.quit()


if __name__ == "__main__":
    unittest.main(verbosity=2)
