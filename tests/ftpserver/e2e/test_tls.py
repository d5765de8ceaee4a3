"""FTP over TLS: real clients (curl, lftp, Python's ftplib), protected data
connections bound to their control connection, the settings the server
refuses to start with, and the plain-FTP guarantees kept under TLS."""

import ftplib
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import (Control, ServerTestCase, ResumingFTP_TLS, connect_data, connect_tls_data,  # noqa: E402
                        make_certificate, refusal, tls_context, digest, file_digest, write_file,
                        retrieve, store, CONTROL_PORT, HOST_PROGRAM)

URL = "ftp://localhost:%d/" % CONTROL_PORT
OLD = 946684800


def drain(sock):
    """Everything sock receives before it ends, whether cleanly or not."""
    received = b""
    try:
        while True:
            piece = sock.recv(65536)
            if not piece:
                return received
            received += piece
    except OSError:
        return received


class Tls(ServerTestCase):
    """A server with a self-signed certificate for localhost."""

    tls_env = {"OSPREL_FTP_TLS": "required"}

    @classmethod
    def populate(cls, root):
        cls.cert, cls.key = make_certificate(os.path.dirname(root))
        cls.server_env = dict(cls.tls_env, OSPREL_FTP_TLS_CERT=cls.cert, OSPREL_FTP_TLS_KEY=cls.key)
        # One client context: a session resumes only in the context it came from.
        cls.context = tls_context(cls.cert)
        cls.payload = os.urandom(1 << 20)
        write_file(os.path.join(root, "payload.bin"), cls.payload, OLD)
        write_file(os.path.join(root, "data.txt"), b"for the client only", OLD)
        with open(os.path.join(root, "huge.bin"), "wb") as handle:
            handle.truncate(1 << 30)

    def secure_control(self, login=True):
        """A control connection over TLS, logged in with data protected."""
        control = Control()
        control.reply()
        control.auth_tls(self.context)
        if login:
            for line, reply in (("PBSZ 0", "200 PBSZ=0\r\n"), ("PROT P", "200 PROT now Private.\r\n"),
                                ("USER anonymous", "331 Please specify the password.\r\n"),
                                ("PASS x", "230 Login successful.\r\n")):
                self.assertEqual(control.command(line), reply, line)
        return control

    def protected_data(self, control):
        """PASV, and the owner's data connection resuming the control session."""
        port = control.passive()
        return lambda: connect_tls_data(port, self.context, control.sock.session)


class RequiredTls(Tls):
    def run_client(self, command):
        result = subprocess.run(command, capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        return result.stdout

    def test_curl_lftp_and_resuming_ftplib(self):
        curl = ["curl", "--silent", "--show-error", "--ssl-reqd", "--cacert", self.cert]
        self.assertEqual(self.run_client(curl + [URL + "data.txt"]), b"for the client only")
        self.assertEqual(digest(self.run_client(curl + [URL + "payload.bin"])), digest(self.payload))
        source = os.path.join(self.base, "source.bin")
        write_file(source, self.payload)
        self.run_client(curl + ["-T", source, URL + "by-curl.bin"])
        lftp = ("set ftp:ssl-force true; set ftp:ssl-protect-data true; set ftp:ssl-allow-anonymous true; "
                "set ssl:ca-file %s; set cmd:fail-exit yes; open -p %d localhost; " % (self.cert, CONTROL_PORT))
        got = os.path.join(self.base, "by-lftp.bin")
        listing = self.run_client(["lftp", "-c", lftp + "cls -1 p*; get payload.bin -o %s; put %s -o by-lftp.bin"
                                   % (got, source)])
        self.assertEqual(listing, b"payload.bin\n")
        client = ResumingFTP_TLS(context=self.context, timeout=20)
        client.connect("localhost", CONTROL_PORT)
        client.login()
        client.prot_p()
        self.assertEqual(retrieve(client, "payload.bin"), self.payload)
        store(client, "by-ftplib.bin", self.payload)
        client.quit()
        for name in ("by-curl.bin", "by-lftp.bin", "by-ftplib.bin"):
            self.assertEqual(file_digest(self.path(name)), digest(self.payload), name)
        self.assertEqual(file_digest(got), digest(self.payload))

    def test_non_resuming_client_is_refused(self):
        client = ftplib.FTP_TLS(context=self.context, timeout=20)
        client.connect("localhost", CONTROL_PORT)
        client.login()
        client.prot_p()
        with self.assertRaises(OSError):
            retrieve(client, "data.txt")
        with self.assertRaises(ftplib.error_perm) as refused:
            client.getresp()
        self.assertEqual(str(refused.exception),
                         "522 Data connection must resume the control connection's TLS session.")

    def test_replies_on_the_way_to_protected_data(self):
        control = Control()
        control.reply()
        in_clear = {"USER anonymous": "530 Log in over TLS: send AUTH TLS first.\r\n",
                    "PASS x": "530 Log in over TLS: send AUTH TLS first.\r\n",
                    "PBSZ 0": "503 PBSZ needs AUTH TLS first.\r\n",
                    "PROT P": "503 PROT needs PBSZ first.\r\n",
                    "AUTH SSL": "504 Only AUTH TLS is supported.\r\n",
                    "FEAT": "211-Features:\r\n AUTH TLS\r\n EPRT\r\n EPSV\r\n MDTM\r\n MFMT\r\n"
                            " MLST type*;size*;modify*;perm*;\r\n PASV\r\n PBSZ\r\n PROT\r\n REST STREAM\r\n"
                            " SIZE\r\n TVFS\r\n UTF8\r\n211 End\r\n"}
        for line, reply in in_clear.items():
            self.assertEqual(control.command(line), reply, line)
        # Lines sent in clear behind AUTH TLS are dropped, never run.
        control.send("AUTH TLS\r\nUSER anonymous\r\nPASS x\r\n")
        control.auth_tls(self.context, sent=True)
        over_tls = [("PWD", "530 Please login with USER and PASS.\r\n"),
                    ("AUTH TLS", "503 Already using TLS.\r\n"),
                    ("PBSZ x", "501 PBSZ needs a number.\r\n"),
                    ("PBSZ 0", "200 PBSZ=0\r\n"),
                    ("PROT C", "534 Data connections must be protected.\r\n"),
                    ("PROT S", "536 Only PROT P and PROT C are supported.\r\n"),
                    ("PROT Q", "504 PROT needs C or P.\r\n"),
                    ("USER anonymous", "331 Please specify the password.\r\n"),
                    ("PASS x", "230 Login successful.\r\n"),
                    ("LIST", "521 Data connections must be protected: send PROT P.\r\n"),
                    ("PROT P", "200 PROT now Private.\r\n"),
                    ("STAT", "211-FTP server status:\r\n Connected to 127.0.0.1\r\n Logged in as anonymous\r\n"
                             " TYPE: ASCII\r\n Session timeout in seconds is 300\r\n"
                             " Control connection over TLSv1.3, data connections protected\r\n"
                             "211 End of status\r\n")]
        for line, reply in over_tls:
            self.assertEqual(control.command(line), reply, line)

    def test_thieves_on_the_clients_host_get_nothing_and_the_owner_is_served(self):
        control = self.secure_control()
        port = control.passive()
        stalling = connect_data(port)
        self.assertEqual(control.command("RETR data.txt"),
                         "150 Opening ASCII mode data connection for data.txt (19 bytes).\r\n")
        # A thief with a TLS session of its own: its handshake completes, then it is reset.
        thief = connect_tls_data(port, self.context)
        self.assertEqual(drain(thief), b"")
        data = connect_tls_data(port, self.context, control.sock.session)
        self.assertEqual(drain(data), b"for the client only")
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")
        self.assertEqual(drain(stalling), b"")

    def test_abor_rest_and_cut_upload_over_tls(self):
        control = self.secure_control()
        connect = self.protected_data(control)
        self.assertTrue(control.command("RETR huge.bin").startswith("150 "))
        data = connect()
        data.recv(1000)
        control.send("ABOR\r\n")
        self.assertEqual(control.reply(), "426 Connection closed; transfer aborted.\r\n")
        self.assertEqual(control.reply(), "226 Abort successful.\r\n")
        with self.assertRaises(OSError):  # a reset, never a clean end
            while data.recv(1 << 20):
                pass

        connect = self.protected_data(control)
        self.assertEqual(control.command("REST 5"), "350 Restart position accepted (5).\r\n")
        self.assertTrue(control.command("RETR data.txt").startswith("150 "))
        self.assertEqual(drain(connect()), b"for the client only"[5:])
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")

        # An upload that ends without close_notify may have been cut short.
        connect = self.protected_data(control)
        self.assertEqual(control.command("STOR cut.bin"), "150 Ok to send data.\r\n")
        data = connect()
        data.sendall(b"x" * 100000)
        data.close()
        self.assertEqual(control.reply(), "426 Data connection failed; transfer aborted.\r\n")
        self.assertEqual(control.command("NOOP"), "200 NOOP ok.\r\n")


class AllowedWithoutResumption(Tls):
    tls_env = {"OSPREL_FTP_TLS_RESUME": "0"}

    def test_plain_ftp_clear_data_and_non_resuming_clients_all_work(self):
        self.assertIn(", TLS allowed (data connections need not resume its session)%s\n" % self.server.confinement(),
                      self.server.stderr())
        client = ftplib.FTP_TLS(context=self.context, timeout=20)
        client.connect("localhost", CONTROL_PORT)
        client.login()
        client.prot_p()
        self.assertEqual(retrieve(client, "payload.bin"), self.payload)
        client.prot_c()
        self.assertEqual(retrieve(client, "data.txt"), b"for the client only")
        client.quit()
        plain = ftplib.FTP(timeout=20)
        plain.connect("127.0.0.1", CONTROL_PORT)
        plain.login()
        self.assertEqual(retrieve(plain, "data.txt"), b"for the client only")
        plain.quit()


class TlsTimeOuts(Tls):
    tls_env = {"OSPREL_FTP_LOGIN_TIMEOUT": "1", "OSPREL_FTP_PASSIVE_TIMEOUT": "1"}

    def test_a_silent_handshake_is_dropped_at_the_login_deadline_and_holds_up_no_one(self):
        silent = Control()
        silent.reply()
        started = time.monotonic()
        self.assertEqual(silent.command("AUTH TLS"), "234 Proceed with negotiation.\r\n")
        other = self.secure_control(login=False)
        self.assertEqual(other.command("NOOP"), "200 NOOP ok.\r\n")
        self.assertTrue(silent.closed_by_server())
        self.assertLess(time.monotonic() - started, 5)

    def test_the_handshake_does_not_put_off_the_login_deadline(self):
        control = Control()
        control.reply()
        time.sleep(0.7)
        control.auth_tls(self.context)
        shaken = time.monotonic()
        self.assertEqual(control.reply(), "421 Login time-out: no login within 1 s.\r\n")
        self.assertLess(time.monotonic() - shaken, 0.8)

    def test_a_data_handshake_never_made_ends_in_425(self):
        control = self.secure_control()
        port = control.passive()
        stalling = connect_data(port)
        self.assertTrue(control.command("LIST").startswith("150 "))
        self.assertEqual(control.reply(), "425 Failed to establish connection.\r\n")
        self.assertEqual(drain(stalling), b"")


class RenewedCertificate(Tls):
    def secure_session(self, context):
        control = Control()
        control.reply()
        control.auth_tls(context)
        for line in ("PBSZ 0", "PROT P", "USER anonymous", "PASS x"):
            control.command(line)
        return control

    def download(self, control, context):
        port = control.passive()
        self.assertTrue(control.command("RETR data.txt").startswith("150 "))
        data = connect_tls_data(port, context, control.sock.session)
        self.assertEqual(drain(data), b"for the client only")
        self.assertEqual(control.reply(), "226 Transfer complete.\r\n")

    def test_new_clients_get_the_new_pair_and_sessions_in_progress_keep_theirs(self):
        old_session = self.secure_session(self.context)
        cert, key = make_certificate(self.base, "renewed")
        os.replace(key, self.key)
        os.replace(cert, self.cert)
        renewed = tls_context(self.cert)
        time.sleep(1.1)  # the files are looked at once a second at most
        new_session = self.secure_session(renewed)
        self.download(new_session, renewed)
        self.assertIn("osprel: reloaded the TLS certificate and key from %s and %s\n" % (self.cert, self.key),
                      self.server.stderr())
        # Its data connections still resume the session of the old pair.
        self.download(old_session, self.context)

        # A key that does not match keeps the renewed pair in use, said once.
        _, other_key = make_certificate(self.base, "other")
        os.replace(other_key, self.key)
        for _ in range(2):
            time.sleep(1.1)
            self.download(self.secure_session(renewed), renewed)
        kept = ("osprel: the TLS private key %s does not match the certificate %s; the TLS certificate and key "
                "loaded before stay in use\n" % (self.key, self.cert))
        self.assertEqual(self.server.stderr().count(kept), 1)


class StartRefusals(unittest.TestCase):
    def test_files_that_cannot_serve_stop_the_start_with_one_line(self):
        if not HOST_PROGRAM:
            raise unittest.SkipTest("OSPREL_HOST is not set")
        base = self.enterContext(tempfile.TemporaryDirectory(prefix="osprel-e2e-"))
        cert, key = make_certificate(base)
        _, other_key = make_certificate(base, "other")
        _, open_key = make_certificate(base, "open", key_mode=0o644)
        missing = os.path.join(base, "missing.pem")
        refusals = [
            ({"OSPREL_FTP_TLS_CERT": missing, "OSPREL_FTP_TLS_KEY": key},
             "cannot load the TLS certificate chain %s: No such file or directory" % missing),
            ({"OSPREL_FTP_TLS_CERT": cert, "OSPREL_FTP_TLS_KEY": missing},
             "cannot load the TLS private key %s: No such file or directory" % missing),
            ({"OSPREL_FTP_TLS_CERT": key, "OSPREL_FTP_TLS_KEY": key},
             "cannot load the TLS certificate chain %s: no PEM certificate in it" % key),
            ({"OSPREL_FTP_TLS_CERT": cert, "OSPREL_FTP_TLS_KEY": other_key},
             "the TLS private key %s does not match the certificate %s" % (other_key, cert)),
            ({"OSPREL_FTP_TLS_CERT": cert, "OSPREL_FTP_TLS_KEY": open_key},
             "the TLS private key %s is open to other users (mode 0644): chmod o-rwx it" % open_key),
        ]
        for env, line in refusals:
            self.assertEqual(refusal(base, env), (1, "osprel: %s\n" % line))
        self.assertEqual(refusal(base, {"OSPREL_FTP_TLS": "yes"}),
                         (2, 'osprel: OSPREL_FTP_TLS must be off, allowed or required, not "yes"\n'))


if __name__ == "__main__":
    unittest.main(verbosity=2)
