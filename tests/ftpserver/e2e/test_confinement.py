"""The server's threads confine themselves: a session thread cannot open or
create files outside the root, bind another port, signal another process,
fork or run a program, while a thread of the host does all of that, calls
setuid during the session, and keeps its time zone.  The attempts come from
confine_probe.c, preloaded into the server's process (OSPREL_CONFINE_PROBE)."""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftpharness import (HOST_PROGRAM, ServerTestCase, emulator_of, ftp_client, kernel_landlock_abi,  # noqa: E402
                        write_file)

PROBE = os.environ.get("OSPREL_CONFINE_PROBE", "")


class Confined(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        if not PROBE:
            raise unittest.SkipTest("OSPREL_CONFINE_PROBE is not set")
        emulator = HOST_PROGRAM and emulator_of(HOST_PROGRAM)
        if emulator:
            raise unittest.SkipTest("the server runs under %s (binfmt_misc), which gives its threads no seccomp "
                                    "filter or Landlock" % emulator)
        super().setUpClass()

    @classmethod
    def populate(cls, root):
        base = os.path.dirname(root)
        cls.outside = os.path.join(base, "outside")
        os.mkdir(cls.outside)
        write_file(os.path.join(cls.outside, "secret"), b"the host's")
        write_file(os.path.join(root, "listed"), b"x")
        cls.results_path = os.path.join(base, "probe-results")
        asan = os.environ.get("ASAN_OPTIONS", "")
        # The preloaded probe comes before the sanitizer's runtime.
        cls.server_env = {"LD_PRELOAD": PROBE, "OSPREL_PROBE_RESULTS": cls.results_path,
                          "OSPREL_PROBE_OUTSIDE": cls.outside, "OSPREL_PROBE_PORT": "3999", "TZ": "Europe/Berlin",
                          "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}

    def results(self):
        with open(self.results_path, encoding="ascii") as results:
            return results.read()

    def test_a_session_thread_reaches_nothing_of_the_hosts_while_the_host_does(self):
        abi = kernel_landlock_abi()
        self.assertIn(", confined (Landlock %d, seccomp)\n" % abi, self.server.stderr())
        client = ftp_client()
        # The first local time a session shows: read in a confined thread.
        client.retrlines("LIST", lambda line: None)
        os.kill(self.server.process.pid, signal.SIGUSR1)
        # The session tries at its next read of the control connection, once
        # the host's thread is done.
        deadline = time.monotonic() + 10
        while "session exec a program" not in self.results() and time.monotonic() < deadline:
            if "host time zone" in self.results():
                client.voidcmd("NOOP")
            time.sleep(0.02)
        refused = "EACCES" if abi >= 1 else "ok"
        self.assertEqual(self.results(),
                         "host open a file outside the root: ok\n"
                         "host create a file outside the root: ok\n"
                         "host bind another port: ok\n"
                         "host signal another process: ok\n"
                         "host fork: ok\n"
                         "host exec a program: ok\n"
                         "host setuid during a session: ok\n"
                         "host time zone: +0100\n"
                         "session open a file outside the root: %s\n"
                         "session create a file outside the root: %s\n"
                         "session bind another port: %s\n"
                         "session signal another process: %s\n"
                         "session fork: EPERM\n"
                         "session exec a program: EPERM\n"
                         % (refused, refused, "EACCES" if abi >= 4 else "ok", "EPERM" if abi >= 6 else "ok"))
        self.assertEqual(sorted(os.listdir(self.outside)), ["made-by-host", "secret"])
        client.quit()


if __name__ == "__main__":
    unittest.main()
