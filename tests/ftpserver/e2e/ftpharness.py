"""Runs osprel_host (ServerMain with the monitor's command line) in this
process's private network namespace, and talks to it.

The host program comes from OSPREL_HOST.  Each server's standard output must
stay empty for its whole life, and its standard error must carry no
sanitizer report."""

import ctypes
import ftplib
import hashlib
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

HOST_PROGRAM = os.environ.get("OSPREL_HOST", "")
CONTROL_PORT = 3456
FIRST_PASSIVE_PORT = 34567
PASSIVE_PORTS = range(FIRST_PASSIVE_PORT, FIRST_PASSIVE_PORT + 64)
ADDRESS = "127.0.0.1"
SANITIZER_MARKS = ("Sanitizer", "runtime error", "LeakSanitizer")

# Connections a test opened, closed after it whatever happened.
_opened = []

def emulator_of(program):
    """The emulator binfmt_misc runs `program` under (qemu-user), or None
    when the kernel runs it itself."""
    misc = "/proc/sys/fs/binfmt_misc"
    try:
        with open(os.path.join(misc, "status")) as status:
            if status.read().split() != ["enabled"]:
                return None
        with open(program, "rb") as handle:
            header = handle.read(128)
        handlers = os.listdir(misc)
    except OSError:
        return None
    for name in handlers:
        try:
            with open(os.path.join(misc, name)) as handler:
                lines = handler.read().split("\n")
        except OSError:
            continue
        fields = dict(line.split(" ", 1) for line in lines[1:] if " " in line)
        if lines[0] != "enabled" or "magic" not in fields:
            continue
        magic = bytes.fromhex(fields["magic"])
        mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)))
        start = int(fields.get("offset", "0"))
        window = header[start:start + len(magic)]
        if len(window) == len(magic) and all(h & m == g & m for h, g, m in zip(window, magic, mask)):
            return fields["interpreter"]
    return None


def kernel_landlock_abi():
    libc = ctypes.CDLL(None, use_errno=True)
    abi = libc.syscall(444, None, ctypes.c_size_t(0), ctypes.c_uint(1))  # landlock_create_ruleset: the version
    return max(abi, 0)


def server_follows_links():
    """Whether the server follows symbolic links that stay inside its root:
    only where openat2 works for it (not under qemu-user, nor on kernels
    before 5.6, where it walks paths and follows no link)."""
    return subprocess.run([HOST_PROGRAM, "--has-openat2"]).returncode == 0


class Server:
    """One osprel_host process serving `root`."""

    def __init__(self, root, env=None, args=None, wrapper=None):
        self.root = root
        self.env = env or {}
        self.args = args or ["monitor.elf", "-c", str(CONTROL_PORT), "-d", str(FIRST_PASSIVE_PORT)]
        self.wrapper = wrapper  # a command the host program runs under (strace ...), or None
        self.process = None

    def start(self):
        """Serves `root`, writable by everyone unless env says otherwise; an
        env value of None unsets the variable."""
        environment = {k: v for k, v in os.environ.items() if not k.startswith("OSPREL_FTP_")}
        environment.update({"OSPREL_FTP_ROOT": self.root, "OSPREL_FTP_READONLY": "0"})
        environment.update(self.env)
        environment = {k: v for k, v in environment.items() if v is not None}
        self.out = tempfile.TemporaryFile()
        self.err = tempfile.TemporaryFile()
        # argv[0] is the monitor's "monitor.elf", not the program's path.
        command = self.wrapper + [HOST_PROGRAM] + self.args[1:] if self.wrapper else self.args
        self.process = subprocess.Popen(command, executable=None if self.wrapper else HOST_PROGRAM,
                                        stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err, env=environment)
        deadline = time.monotonic() + 30
        while "osprel: serving" not in self.stderr():
            if self.process.poll() is not None:
                raise AssertionError("server exited with %s: %s" % (self.process.returncode, self.stderr()))
            if time.monotonic() > deadline:
                raise AssertionError("server did not start: " + self.stderr())
            time.sleep(0.02)

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode(errors="replace")

    def confinement(self):
        """The words that end the start-up line here: natively what this
        kernel offers; under qemu-user whatever the emulator let the server
        have, as the line says."""
        if HOST_PROGRAM and emulator_of(HOST_PROGRAM):
            return re.search(r"osprel: serving .*?(, (?:not )?confined[^\n]*)?\n", self.stderr()).group(1) or ""
        abi = kernel_landlock_abi()
        if abi == 0:
            return ", not confined: the kernel offers no Landlock (seccomp only)"
        return ", confined (Landlock %d, seccomp)" % abi

    def stdout(self):
        self.out.seek(0)
        return self.out.read()

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        """Stops the server; returns what went wrong during its life."""
        problems = []
        if self.alive():
            # A tracer that dies leaves its program running: the program first.
            if self.wrapper:
                with open("/proc/%d/task/%d/children" % (self.process.pid, self.process.pid)) as children:
                    for child in children.read().split():
                        os.kill(int(child), 9)
            self.process.kill()
            self.process.wait()
        else:
            problems.append("server died with status %s" % self.process.returncode)
        if self.stdout():
            problems.append("server wrote on standard output: %r" % self.stdout()[:200])
        if any(mark in self.stderr() for mark in SANITIZER_MARKS):
            problems.append("sanitizer report:\n" + self.stderr())
        return problems


def mount_tmpfs(directory, size):
    """Mounts a tmpfs of `size` bytes on directory, only ever in a mount
    namespace of the test's own (tests/support/in_netns.sh makes one for the
    program it runs), never in the one of whoever started the test."""
    if os.readlink("/proc/self/ns/mnt") == os.readlink("/proc/%d/ns/mnt" % os.getppid()):
        raise AssertionError("no private mount namespace for a tmpfs: run under tests/support/in_netns.sh")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % size, "osprel-e2e", directory], check=True)


def refusal(root, env):
    """Runs the server with env until it refuses to start: (exit status,
    standard error).  Its standard output must stay empty."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith("OSPREL_FTP_")}
    environment.update(env, OSPREL_FTP_ROOT=root)
    result = subprocess.run(["monitor.elf", "-c", str(CONTROL_PORT), "-d", str(FIRST_PASSIVE_PORT)],
                            executable=HOST_PROGRAM, env=environment, capture_output=True, timeout=30)
    assert result.stdout == b"", result.stdout
    return result.returncode, result.stderr.decode()


class Control:
    """A raw control connection: exact bytes out, exact replies in."""

    def __init__(self, source=None, timeout=15, host=ADDRESS):
        self.sock = socket.create_connection((host, CONTROL_PORT), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.file = self.sock.makefile("rb")
        _opened.append(self)

    def close(self):
        self.file.close()
        self.sock.close()

    def send(self, data):
        if isinstance(data, str):
            data = data.encode()
        self.sock.sendall(data)

    def reply(self):
        """One whole reply, multi-line or not, as the bytes sent (decoded)."""
        first = self.file.readline()
        if not first:
            raise EOFError("control connection closed")
        text = first
        if len(first) >= 4 and first[3:4] == b"-":
            end = first[:3] + b" "
            while True:
                line = self.file.readline()
                if not line:
                    raise EOFError("control connection closed inside a reply")
                text += line
                if line.startswith(end):
                    break
        return text.decode("utf-8", errors="surrogateescape")

    def command(self, line):
        self.send(line + "\r\n" if isinstance(line, str) else line + b"\r\n")
        return self.reply()

    def login(self, user="anonymous", password="guest"):
        assert self.reply().startswith("220 ")
        assert self.command("USER " + user).startswith("331 ")
        reply = self.command("PASS " + password)
        assert reply == "230 Login successful.\r\n", reply

    def closed_by_server(self):
        """True when the server closed the connection (EOF, nothing more)."""
        try:
            return self.file.read() == b""
        except ConnectionResetError:
            return True

    def auth_tls(self, context, sent=False):
        """AUTH TLS (unless already sent), then the rest of the connection over TLS."""
        reply = self.reply() if sent else self.command("AUTH TLS")
        assert reply.startswith("234 "), reply
        self.file.close()
        self.sock = context.wrap_socket(self.sock, server_hostname="localhost")
        self.file = self.sock.makefile("rb")

    def passive(self):
        """PASV; returns the port."""
        reply = self.command("PASV")
        assert reply.startswith("227 "), reply
        numbers = reply[reply.index("(") + 1:reply.index(")")].split(",")
        return int(numbers[4]) * 256 + int(numbers[5])


def connect_data(port, source=None, host=ADDRESS):
    """A data connection to a passive port, from `source` if given."""
    sock = socket.create_connection((host, port), timeout=15, source_address=(source, 0) if source else None)
    _opened.append(sock)
    return sock


def make_certificate(directory, name="server", key_mode=0o600):
    """A self-signed certificate for localhost and 127.0.0.1 made with the
    openssl tool: (certificate path, key path)."""
    cert, key = os.path.join(directory, name + "-cert.pem"), os.path.join(directory, name + "-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True)
    os.chmod(key, key_mode)
    return cert, key


def tls_context(cafile=None):
    """A client context trusting cafile (or, without one, any certificate)."""
    context = ssl.create_default_context(cafile=cafile)
    if cafile is None:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    return context


class ResumingFTP_TLS(ftplib.FTP_TLS):
    """FTP_TLS whose data connections resume the control connection's TLS
    session, as servers that bind data connections to it require (plain
    FTP_TLS starts a fresh session on each)."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=self.sock.session)
        return conn, size


def connect_tls_data(port, context, session=None, source=None, host=ADDRESS):
    """A protected data connection to a passive port, resuming session if
    given; an end without close_notify raises, as a cut should."""
    sock = connect_data(port, source, host)
    wrapped = context.wrap_socket(sock, server_hostname="localhost", session=session, suppress_ragged_eofs=False)
    _opened.append(wrapped)
    return wrapped


def ftp_client(user="anonymous", password="guest", login=True, host=ADDRESS):
    client = ftplib.FTP(timeout=20)
    _opened.append(client)
    client.connect(host, CONTROL_PORT)
    if login:
        client.login(user, password)
    return client


def retrieve(client, name, rest=None):
    chunks = []
    client.retrbinary("RETR " + name, chunks.append, rest=rest)
    return b"".join(chunks)


def store(client, name, data, command="STOR", rest=None):
    import io
    client.storbinary("%s %s" % (command, name), io.BytesIO(data), rest=rest)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def file_digest(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def read_file(path):
    with open(path, "rb") as handle:
        return handle.read()


def write_file(path, data, mtime=None, mode=0o644):
    with open(path, "wb") as handle:
        handle.write(data)
    os.chmod(path, mode)
    if mtime is not None:
        os.utime(path, (mtime, mtime))


class ServerTestCase(unittest.TestCase):
    """A server per test class, over a fresh root that populate() fills."""

    server_env = {}
    server_wrapper = None
    tmpfs_size = None  # bytes: the root is a tmpfs of that size

    @classmethod
    def populate(cls, root):
        pass

    @classmethod
    def setUpClass(cls):
        if not HOST_PROGRAM:
            raise unittest.SkipTest("OSPREL_HOST is not set")
        cls.base = tempfile.mkdtemp(prefix="osprel-e2e-")
        cls.root = os.path.join(cls.base, "root")
        os.mkdir(cls.root)
        if cls.tmpfs_size:
            mount_tmpfs(cls.root, cls.tmpfs_size)
        cls.populate(cls.root)
        cls.server = Server(cls.root, cls.server_env, wrapper=cls.server_wrapper)
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        problems = cls.server.stop()
        if cls.tmpfs_size:
            subprocess.run(["umount", cls.root], check=True)
        shutil.rmtree(cls.base, ignore_errors=True)
        if problems:
            raise AssertionError("; ".join(problems))

    def setUp(self):
        self.assertTrue(self.server.alive(), "server died: " + self.server.stderr())

    def tearDown(self):
        while _opened:
            _opened.pop().close()

    def path(self, *parts):
        return os.path.join(self.root, *parts)
