"""The protocol as Python's ftplib and a raw control connection see it."""

import ftplib
import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import (Control, connect_data, ServerTestCase, ftp_client, retrieve, store, digest, file_digest,  # noqa: E402
                        write_file, read_file, PASSIVE_PORTS)

OLD = 946684800  # 2000-01-01 00:00:00 UTC
PAST_2038 = 2214450367  # 2040-03-04 05:06:07 UTC: past a 32-bit time_t
GIB = 1 << 30


class Replies(ServerTestCase):
    @classmethod
    def populate(cls, root):
        write_file(os.path.join(root, "a.txt"), b"hello", OLD)

    def test_greeting_login_and_quit(self):
        control = Control()
        self.assertEqual(control.reply(), "220 osprel FTP server ready.\r\n")
        self.assertEqual(control.command("USER anonymous"), "331 Please specify the password.\r\n")
        self.assertEqual(control.command("PASS"), "230 Login successful.\r\n")
        self.assertEqual(control.command("PASS again"), "230 Already logged in.\r\n")
        self.assertEqual(control.command("USER other"), "530 Already logged in.\r\n")
        self.assertEqual(control.command("QUIT"), "221 Goodbye.\r\n")
        self.assertTrue(control.closed_by_server())

    def test_pass_before_user(self):
        control = Control()
        control.reply()
        self.assertEqual(control.command("PASS x"), "503 Login with USER first.\r\n")

    def test_fixed_replies(self):
        control = Control()
        control.login()
        expected = {
            "SYST": "215 UNIX Type: L8\r\n",
            "NOOP": "200 NOOP ok.\r\n",
            "noop": "200 NOOP ok.\r\n",
            "FEAT": "211-Features:\r\n EPRT\r\n EPSV\r\n MDTM\r\n MFMT\r\n MLST type*;size*;modify*;perm*;\r\n PASV\r\n"
                    " REST STREAM\r\n SIZE\r\n TVFS\r\n UTF8\r\n211 End\r\n",
            "OPTS UTF8 ON": "200 Always in UTF8 mode.\r\n",
            "OPTS UTF8 OFF": "504 UTF8 cannot be turned off.\r\n",
            "OPTS FOO": "501 Option not understood.\r\n",
            "CLNT curl 7.88": "200 Noted.\r\n",
            "TYPE I": "200 Switching to Binary mode.\r\n",
            "TYPE L 8": "200 Switching to Binary mode.\r\n",
            "TYPE A": "200 Switching to ASCII mode.\r\n",
            "TYPE A N": "200 Switching to ASCII mode.\r\n",
            "TYPE E": "504 Unsupported type.\r\n",
            "TYPE": "501 Syntax error in parameters or arguments.\r\n",
            "MODE S": "200 Mode set to S.\r\n",
            "MODE B": "504 Only stream mode is supported.\r\n",
            "STRU F": "200 Structure set to F.\r\n",
            "STRU R": "504 Only file structure is supported.\r\n",
            "ALLO 1000": "202 ALLO command ignored.\r\n",
            "REST 100": "350 Restart position accepted (100).\r\n",
            "REST -1": "501 REST needs a byte offset.\r\n",
            "REST 99999999999999999999": "501 REST needs a byte offset.\r\n",
            "REST 0": "350 Restart position accepted (0).\r\n",
            "ABOR": "225 No transfer to abort.\r\n",
            "AUTH TLS": "502 AUTH not supported.\r\n",
            "SIZE a.txt": "213 5\r\n",
            "SIZE .": "550 Could not get file size.\r\n",
            "SIZE missing": "550 Could not get file size.\r\n",
            "MDTM a.txt": "213 20000101000000\r\n",
            "MDTM missing": "550 Could not get file modification time.\r\n",
            "RNTO x": "503 RNFR required first.\r\n",
            "SITE CHMOD 777 a.txt": "500 Unknown command.\r\n",
            "EPSV 3": "522 Network protocol not supported, use (1)\r\n",
            "EPRT |3|127.0.0.1|5000|": "522 Network protocol not supported, use (1,2)\r\n",
            "PORT 1,2,3": "501 Syntax error in PORT argument.\r\n",
            "EPRT |1|127.0.0.1|": "501 Syntax error in EPRT argument.\r\n",
            "RETR": "501 Syntax error in parameters or arguments.\r\n",
            "RETR a.txt": "425 Use PORT or PASV first.\r\n",
            "LIST": "425 Use PORT or PASV first.\r\n",
            "STOR new.txt": "425 Use PORT or PASV first.\r\n",
        }
        for command, reply in expected.items():
            self.assertEqual(control.command(command), reply, command)
        self.assertFalse(os.path.exists(self.path("new.txt")))

    def test_opts_mlst_changes_the_facts(self):
        control = Control()
        control.login()
        self.assertEqual(control.command("OPTS MLST size;modify;"), "200 MLST OPTS size;modify;\r\n")
        self.assertIn(" MLST type;size*;modify*;perm;\r\n", control.command("FEAT"))
        self.assertEqual(control.command("MLST a.txt"),
                         "250-Listing /a.txt\r\n size=5;modify=20000101000000; /a.txt\r\n250 End\r\n")

    def test_help_and_status(self):
        control = Control()
        control.login()
        self.assertEqual(control.command("HELP"),
                         "214-The following commands are recognized.\r\n"
                         " USER PASS QUIT NOOP SYST FEAT AUTH OPTS\r\n"
                         " CLNT TYPE MODE STRU ALLO REST ABOR STAT\r\n"
                         " HELP PASV EPSV PORT EPRT PWD XPWD CWD\r\n"
                         " XCWD CDUP XCUP SIZE MDTM MFMT MLST LIST\r\n"
                         " NLST MLSD RETR STOR APPE STOU DELE MKD\r\n"
                         " XMKD RMD XRMD RNFR RNTO\r\n"
                         "214 Help OK.\r\n")
        control.command("TYPE I")
        self.assertEqual(control.command("STAT"),
                         "211-FTP server status:\r\n Connected to 127.0.0.1\r\n Logged in as anonymous\r\n"
                         " TYPE: BINARY\r\n Session timeout in seconds is 300\r\n211 End of status\r\n")
        self.assertEqual(control.command("STAT a.txt"),
                         "213-Status follows:\r\n"
                         "-rw-r--r--    1 0        0                   5 Jan  1  2000 a.txt\r\n"
                         "213 End of status\r\n")

    def test_pasv_and_epsv_give_ports_of_the_range(self):
        control = Control()
        control.login()
        seen = set()
        for _ in range(80):
            reply = control.command("PASV")
            self.assertRegex(reply, r"^227 Entering Passive Mode \(127,0,0,1,\d+,\d+\)\.\r\n$")
            numbers = reply[reply.index("(") + 1:reply.index(")")].split(",")
            port = int(numbers[4]) * 256 + int(numbers[5])
            self.assertIn(port, PASSIVE_PORTS)
            seen.add(port)
            reply = control.command("EPSV")
            self.assertRegex(reply, r"^229 Entering Extended Passive Mode \(\|\|\|\d+\|\)\r\n$")
            self.assertIn(int(reply.split("|")[3]), PASSIVE_PORTS)
        self.assertGreater(len(seen), 1)
        self.assertEqual(control.command("EPSV 1")[:4], "229 ")
        self.assertEqual(control.command("EPSV ALL"), "200 EPSV ALL ok.\r\n")
        self.assertEqual(control.command("PASV"), "503 Only EPSV after EPSV ALL.\r\n")
        self.assertEqual(control.command("PORT 127,0,0,1,200,1"), "503 Only EPSV after EPSV ALL.\r\n")


class Listings(ServerTestCase):
    @classmethod
    def populate(cls, root):
        write_file(os.path.join(root, "a.txt"), b"hello", OLD)
        write_file(os.path.join(root, "b b.bin"), b"x" * 1234, OLD + 86400 * 40, 0o600)
        os.mkdir(os.path.join(root, "sub"))
        os.symlink("a.txt", os.path.join(root, "link"))
        os.lchown(os.path.join(root, "link"), 0, 0)
        os.utime(os.path.join(root, "link"), (OLD, OLD), follow_symlinks=False)
        os.utime(os.path.join(root, "sub"), (OLD, OLD))
        os.chmod(os.path.join(root, "sub"), 0o755)

    def listing(self, command, active=False):
        client = ftp_client()
        client.set_pasv(not active)
        lines = []
        client.retrlines(command, lines.append)
        client.quit()
        return lines

    def test_list_in_ls_form_sorted_without_total(self):
        directory_size = os.stat(self.path("sub")).st_size  # 4096 on ext4, less on tmpfs
        expected = [
            "-rw-r--r--    1 0        0                   5 Jan  1  2000 a.txt",
            "-rw-------    1 0        0                1234 Feb 10  2000 b b.bin",
            "lrwxrwxrwx    1 0        0                   5 Jan  1  2000 link -> a.txt",
            "drwxr-xr-x    2 0        0        %12d Jan  1  2000 sub" % directory_size,
        ]
        self.assertEqual(self.listing("LIST"), expected)
        self.assertEqual(self.listing("LIST -la"), expected)
        self.assertEqual(self.listing("LIST -a -l /"), expected)
        self.assertEqual(self.listing("LIST", active=True), expected)
        self.assertEqual(self.listing("LIST b b.bin"),
                         ["-rw-------    1 0        0                1234 Feb 10  2000 b b.bin"])
        self.assertEqual(self.listing("LIST sub"), [])

    def test_recent_files_show_the_time(self):
        recent = int(time.time()) - 3600
        write_file(self.path("sub", "new"), b"", recent)
        stamp = time.strftime("%b %e %H:%M", time.gmtime(recent))
        self.assertEqual(self.listing("LIST sub"), ["-rw-r--r--    1 0        0                   0 %s new" % stamp])
        os.unlink(self.path("sub", "new"))
        os.utime(self.path("sub"), (OLD, OLD))

    def test_nlst_names(self):
        self.assertEqual(self.listing("NLST"), ["a.txt", "b b.bin", "link", "sub"])
        self.assertEqual(self.listing("NLST a.txt"), ["a.txt"])

    def test_nlst_wildcards_in_the_last_component(self):
        write_file(self.path("sub", "c.txt"), b"")
        self.addCleanup(os.utime, self.path("sub"), (OLD, OLD))
        self.addCleanup(os.unlink, self.path("sub", "c.txt"))
        self.assertEqual(self.listing("NLST *.txt"), ["a.txt"])
        self.assertEqual(self.listing("NLST [ab]*"), ["a.txt", "b b.bin"])
        self.assertEqual(self.listing("NLST /sub/?.txt"), ["/sub/c.txt"])
        self.assertEqual(self.listing("NLST -l sub/*"), ["sub/c.txt"])
        self.assertEqual(self.listing("NLST none*"), [])
        client = ftp_client()
        for outside in ("*/c.txt", "s*/c.txt"):
            with self.assertRaises(ftplib.error_perm, msg=outside):
                client.nlst(outside)
        client.quit()

    def test_mlsd_and_mlst_facts(self):
        self.assertEqual(self.listing("MLSD"), [
            "type=file;size=5;modify=20000101000000;perm=adfrw; a.txt",
            "type=file;size=1234;modify=20000210000000;perm=adfrw; b b.bin",
            "type=OS.unix=symlink;size=5;modify=20000101000000;perm=adfrw; link",
            "type=dir;modify=20000101000000;perm=cdeflmp; sub",
        ])
        client = ftp_client()
        self.assertEqual(list(client.mlsd("/")), [
            ("a.txt", {"type": "file", "size": "5", "modify": "20000101000000", "perm": "adfrw"}),
            ("b b.bin", {"type": "file", "size": "1234", "modify": "20000210000000", "perm": "adfrw"}),
            ("link", {"type": "OS.unix=symlink", "size": "5", "modify": "20000101000000", "perm": "adfrw"}),
            ("sub", {"type": "dir", "modify": "20000101000000", "perm": "cdeflmp"}),
        ])
        with self.assertRaises(ftplib.error_perm) as refused:
            list(client.mlsd("a.txt"))
        self.assertEqual(str(refused.exception), "501 Could not list that directory.")
        client.quit()
        control = Control()
        control.login()
        self.assertEqual(control.command("MLST b b.bin"),
                         "250-Listing /b b.bin\r\n"
                         " type=file;size=1234;modify=20000210000000;perm=adfrw; /b b.bin\r\n250 End\r\n")
        self.assertEqual(control.command("MLST sub"),
                         "250-Listing /sub\r\n type=dir;modify=20000101000000;perm=cdeflmp; /sub\r\n250 End\r\n")
        self.assertEqual(control.command("MLST nothing"), "550 Could not list.\r\n")

    def test_listing_replies(self):
        control = Control()
        control.login()
        control.passive()
        self.assertEqual(control.command("LIST missing"), "550 Could not list that directory.\r\n")
        self.assertEqual(control.command("MLSD missing"), "550 Could not list that directory.\r\n")
        port = control.passive()
        data = connect_data(port)
        self.assertEqual(control.command("NLST"), "150 Here comes the directory listing.\r\n")
        self.assertEqual(control.reply(), "226 Directory send OK.\r\n")
        self.assertEqual(data.makefile("rb").read(), b"a.txt\r\nb b.bin\r\nlink\r\nsub\r\n")
        data.close()


class Directories(ServerTestCase):
    def test_pwd_cwd_cdup(self):
        os.makedirs(self.path("one", 'say "hi"'))
        control = Control()
        control.login()
        self.assertEqual(control.command("PWD"), '257 "/" is the current directory\r\n')
        self.assertEqual(control.command("CWD one"), "250 Directory successfully changed.\r\n")
        self.assertEqual(control.command('CWD say "hi"'), "250 Directory successfully changed.\r\n")
        self.assertEqual(control.command("XPWD"), '257 "/one/say ""hi""" is the current directory\r\n')
        self.assertEqual(control.command("CDUP"), "200 Directory successfully changed.\r\n")
        self.assertEqual(control.command("PWD"), '257 "/one" is the current directory\r\n')
        self.assertEqual(control.command("CWD missing"), "550 Failed to change directory.\r\n")
        self.assertEqual(control.command("CWD /"), "250 Directory successfully changed.\r\n")
        self.assertEqual(control.command("XCUP"), "200 Directory successfully changed.\r\n")
        self.assertEqual(control.command("PWD"), '257 "/" is the current directory\r\n')

    def test_mkd_rmd_dele_rename(self):
        control = Control()
        control.login()
        self.assertEqual(control.command("MKD made"), '257 "/made" created\r\n')
        self.assertTrue(os.path.isdir(self.path("made")))
        self.assertEqual(control.command("MKD made"), "550 Create directory operation failed.\r\n")
        self.assertEqual(control.command("XMKD made/inner"), '257 "/made/inner" created\r\n')
        self.assertEqual(control.command("RMD made"), "550 Remove directory operation failed.\r\n")
        self.assertEqual(control.command("XRMD made/inner"), "250 Remove directory operation successful.\r\n")
        write_file(self.path("made", "f"), b"data")
        self.assertEqual(control.command("DELE made"), "550 Delete operation failed.\r\n")
        self.assertEqual(control.command("RNFR made/f"), "350 Ready for RNTO.\r\n")
        self.assertEqual(control.command("RNTO g"), "250 Rename successful.\r\n")
        self.assertEqual(read_file(self.path("g")), b"data")
        self.assertEqual(control.command("RNFR g"), "350 Ready for RNTO.\r\n")
        self.assertEqual(control.command("NOOP"), "200 NOOP ok.\r\n")
        self.assertEqual(control.command("RNTO h"), "503 RNFR required first.\r\n")
        self.assertEqual(control.command("RNFR missing"), "550 RNFR command failed.\r\n")
        self.assertEqual(control.command("RNFR g"), "350 Ready for RNTO.\r\n")
        self.assertEqual(control.command("RNTO nodir/h"), "550 Rename failed.\r\n")
        self.assertEqual(control.command("DELE g"), "250 Delete operation successful.\r\n")
        self.assertEqual(control.command("DELE g"), "550 Delete operation failed.\r\n")
        self.assertEqual(control.command("RMD made"), "250 Remove directory operation successful.\r\n")
        self.assertEqual(control.command("RMD /"), "550 Remove directory operation failed.\r\n")
        self.assertEqual(os.listdir(self.root), [])

    def test_mfmt_sets_the_modification_time(self):
        write_file(self.path("f"), b"")
        self.addCleanup(os.unlink, self.path("f"))
        control = Control()
        control.login()
        self.assertEqual(control.command("MFMT 20200102030405 f"), "213 Modify=20200102030405; f\r\n")
        self.assertEqual(control.command("MDTM f"), "213 20200102030405\r\n")
        self.assertEqual(control.command("MFMT 20200102030405.123 f"), "213 Modify=20200102030405; f\r\n")
        self.assertEqual(control.command("MFMT 20400304050607 f"), "213 Modify=20400304050607; f\r\n")
        self.assertEqual(os.stat(self.path("f")).st_mtime, PAST_2038)
        self.assertEqual(control.command("MDTM f"), "213 20400304050607\r\n")
        for bad in ("MFMT 20200231000000 f", "MFMT 2020 f", "MFMT 20200102030405", "MFMT x20200102030405 f"):
            self.assertEqual(control.command(bad), "501 MFMT needs a time (YYYYMMDDHHMMSS) and a path.\r\n", bad)
        self.assertEqual(control.command("MFMT 20200102030405 missing"),
                         "550 Could not set the modification time.\r\n")

    def test_utf8_names_with_spaces(self):
        client = ftp_client()
        client.sendcmd("OPTS UTF8 ON")
        folder = "dossier d'été ✓"
        name = "naïve file €  two spaces .txt"
        self.assertEqual(client.mkd(folder), "/" + folder)
        client.cwd(folder)
        store(client, name, "contenu €".encode())
        self.assertEqual(client.nlst(), [name])
        self.assertEqual(retrieve(client, name), "contenu €".encode())
        self.assertEqual(client.size(name), len("contenu €".encode()))
        self.assertEqual(client.pwd(), "/" + folder)
        client.quit()
        self.assertEqual(read_file(self.path(folder, name)), "contenu €".encode())


class Transfers(ServerTestCase):
    @classmethod
    def populate(cls, root):
        cls.payload = os.urandom(3 << 20)
        write_file(os.path.join(root, "payload.bin"), cls.payload)
        # More than any socket buffers hold, so its download takes a while.
        cls.pattern = bytes(range(256)) * (256 << 10)
        write_file(os.path.join(root, "pattern.bin"), cls.pattern)
        # Sparse: 5 GiB of hole, then a tail; dated past 2038.
        with open(os.path.join(root, "huge.bin"), "wb") as handle:
            handle.truncate(5 * GIB)
            handle.seek(5 * GIB)
            handle.write(b"the end of a 5 GiB file")
        os.utime(os.path.join(root, "huge.bin"), (PAST_2038, PAST_2038))

    def test_download_and_upload_passive_and_active(self):
        for passive in (True, False):
            client = ftp_client()
            client.set_pasv(passive)
            self.assertEqual(digest(retrieve(client, "payload.bin")), digest(self.payload))
            name = "up-%s.bin" % ("passive" if passive else "active")
            store(client, name, self.payload)
            client.quit()
            self.assertEqual(file_digest(self.path(name)), digest(self.payload))

    def test_exact_transfer_replies(self):
        control = Control()
        control.login()
        control.command("TYPE I")
        port = control.passive()
        data = connect_data(port)
        self.assertEqual(control.command("RETR payload.bin"),
                         "150 Opening BINARY mode data connection for payload.bin (3145728 bytes).\r\n")
        received = data.makefile("rb").read()
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        self.assertEqual(received, self.payload)
        port = control.passive()
        data = connect_data(port)
        self.assertEqual(control.command("STOR exact.bin"), "150 Ok to send data.\r\n")
        data.sendall(b"exact")
        data.close()
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        self.assertEqual(read_file(self.path("exact.bin")), b"exact")
        self.assertEqual(control.command("RETR missing"), "550 Failed to open file.\r\n")
        self.assertEqual(control.command("RETR /"), "550 Failed to open file.\r\n")
        self.assertEqual(control.command("STOR /"), "553 Could not create file.\r\n")
        self.assertEqual(control.command("STOR nodir/x"), "550 Could not create file.\r\n")
        self.assertEqual(control.command("APPE nodir/x"), "550 Could not create file.\r\n")

    def test_resume_download_and_upload(self):
        client = ftp_client()
        self.assertEqual(retrieve(client, "payload.bin", rest=1000000), self.payload[1000000:])
        write_file(self.path("partial.bin"), self.payload[:1234567])
        store(client, "partial.bin", self.payload[1234567:], rest=1234567)
        self.assertEqual(file_digest(self.path("partial.bin")), digest(self.payload))
        # A restart offset inside a longer file replaces all after it.
        store(client, "partial.bin", b"tail", rest=10)
        self.assertEqual(read_file(self.path("partial.bin")), self.payload[:10] + b"tail")
        # The offset is for the very next command only.
        self.assertEqual(client.sendcmd("REST 1000"), "350 Restart position accepted (1000).")
        self.assertEqual(client.sendcmd("NOOP"), "200 NOOP ok.")
        self.assertEqual(retrieve(client, "payload.bin"), self.payload)
        client.quit()

    def test_control_connection_gone_mid_download_resets_the_data_connection(self):
        control, data = self.stalled_download("huge.bin")
        data.recv(65536)
        control.sock.shutdown(socket.SHUT_WR)
        # Not an orderly end of file a client would take for the whole file.
        with self.assertRaises(ConnectionResetError):
            while data.recv(1 << 20):
                pass

    def test_append(self):
        client = ftp_client()
        store(client, "log.txt", b"one\n", command="APPE")
        store(client, "log.txt", b"two\n", command="APPE")
        client.quit()
        self.assertEqual(read_file(self.path("log.txt")), b"one\ntwo\n")

    def test_sparse_file_over_4_gib(self):
        client = ftp_client()
        client.voidcmd("TYPE I")
        size = 5 * GIB + len(b"the end of a 5 GiB file")
        self.assertEqual(client.sendcmd("SIZE huge.bin"), "213 %d" % size)
        self.assertEqual(client.sendcmd("MDTM huge.bin"), "213 20400304050607")
        lines = []
        client.retrlines("LIST huge.bin", lines.append)
        self.assertEqual(lines, ["-rw-r--r--    1 0        0        %12d Mar  4  2040 huge.bin" % size])
        lines = []
        client.retrlines("MLSD", lines.append)
        self.assertIn("type=file;size=%d;modify=20400304050607;perm=adfrw; huge.bin" % size, lines)
        self.assertEqual(retrieve(client, "huge.bin", rest=5 * GIB), b"the end of a 5 GiB file")
        self.assertEqual(retrieve(client, "huge.bin", rest=5 * GIB - 4), b"\0\0\0\0the end of a 5 GiB file")
        # Uploads past 4 GiB too.
        store(client, "huge-up.bin", b"far away", rest=4 * GIB + 7)
        self.assertEqual(client.sendcmd("SIZE huge-up.bin"), "213 %d" % (4 * GIB + 15))
        self.assertEqual(retrieve(client, "huge-up.bin", rest=4 * GIB + 5), b"\0\0far away")
        client.quit()
        os.unlink(self.path("huge-up.bin"))

    def test_abor_during_a_transfer(self):
        # The client does not read the data connection, so the download of
        # the 5 GiB file is still running when ABOR comes, in either form.
        for abort in (b"ABOR\r\n", b"\xff\xf4\xff\xf2ABOR\r\n"):
            control, data = self.stalled_download("huge.bin")
            time.sleep(0.2)
            control.sock.sendall(abort[:-1])
            control.sock.send(abort[-1:], socket.MSG_OOB)
            self.assertEqual(control.reply(), "426 Connection closed; transfer aborted.\r\n")
            self.assertEqual(control.reply(), "226 Abort successful.\r\n")
            self.assertEqual(control.command("NOOP"), "200 NOOP ok.\r\n")
            data.close()
            control.close()

    def test_ftplib_abort(self):
        client = ftp_client()
        connection = client.transfercmd("RETR huge.bin")
        connection.recv(1024)
        self.assertEqual(client.abort(), "426 Connection closed; transfer aborted.")
        self.assertEqual(client.getresp(), "226 Abort successful.")
        connection.close()
        self.assertEqual(retrieve(client, "payload.bin"), self.payload)
        client.quit()

    def stalled_download(self, name):
        """A download the client does not read yet: bigger than the socket
        buffers, it is still running."""
        control = Control()
        control.login()
        port = control.passive()
        data = connect_data(port)
        self.assertTrue(control.command("RETR " + name).startswith("150 "))
        return control, data

    def test_commands_during_a_transfer_wait_their_turn(self):
        control, data = self.stalled_download("pattern.bin")
        # STAT answers at once; PWD and SYST wait for the transfer's end.
        self.assertRegex(control.command("STAT"), r"^213 Status: \d+ bytes transferred\.\r\n$")
        control.send("PWD\r\nSYST\r\n")
        received = data.makefile("rb").read()
        self.assertEqual(received, self.pattern)
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        self.assertEqual(control.reply(), '257 "/" is the current directory\r\n')
        self.assertEqual(control.reply(), "215 UNIX Type: L8\r\n")

    def test_abor_after_waiting_commands(self):
        control, data = self.stalled_download("huge.bin")
        control.send("PWD\r\n" + "x" * 5000 + "\r\nABOR\r\n")
        self.assertEqual(control.reply(), "426 Connection closed; transfer aborted.\r\n")
        self.assertEqual(control.reply(), "226 Abort successful.\r\n")
        self.assertEqual(control.reply(), '257 "/" is the current directory\r\n')
        self.assertEqual(control.reply(), "500 Command line too long.\r\n")
        self.assertEqual(control.command("NOOP"), "200 NOOP ok.\r\n")

    def test_client_vanishing_mid_transfer_leaves_the_server_serving(self):
        for command in ("RETR huge.bin", "STOR vanishing.bin"):
            control = Control()
            control.login()
            port = control.passive()
            data = connect_data(port)
            self.assertTrue(control.command(command).startswith("150 "))
            if command.startswith("STOR"):
                data.sendall(b"x" * 100000)
            else:
                data.recv(65536)
            # Reset, not a graceful close: the server's next send meets EPIPE.
            data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            data.close()
            control.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            control.close()
        time.sleep(0.3)
        self.assertTrue(self.server.alive(), self.server.stderr())
        client = ftp_client()
        self.assertEqual(retrieve(client, "payload.bin"), self.payload)
        client.quit()

    def test_failed_data_connection(self):
        control = Control()
        control.login()
        # Active to a port nobody listens on.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        free_port = listener.getsockname()[1]
        listener.close()
        self.assertEqual(control.command("PORT 127,0,0,1,%d,%d" % (free_port >> 8, free_port & 255)),
                         "200 PORT command successful.\r\n")
        self.assertTrue(control.command("RETR payload.bin").startswith("150 "))
        self.assertEqual(control.reply(), "425 Failed to establish connection.\r\n")
        self.assertEqual(control.command("RETR payload.bin"), "425 Use PORT or PASV first.\r\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
