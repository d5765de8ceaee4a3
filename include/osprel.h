/*
 * osprel.h - the FTP server (libosprel.so.1).
 *
 * A small FTP server (RFC 959 with the extensions of RFC 2428 and RFC 3659)
 * that runs inside its host's process, started one of two ways:
 * - ServerMain(argc, argv), configured by a command line and the
 *   environment, serves on the calling thread until the server is stopped
 *   (FtpServerFind below finds it; the monitor, libtrevant, starts it so);
 * - a server the host holds (version 1.1): settings in code, in the
 *   environment's own vocabulary (FtpSettings*), a server created, run,
 *   stopped with a drain, and destroyed (FtpServer*), its events taken in the
 *   host's own poll loop and its counters read.
 *
 * Command line: "-c PORT" is the control port, "-d PORT" the first of 64
 * passive data ports (PORT .. PORT+63).  Both are required.  argv[0] is not
 * looked at.  Exactly argc entries are read and none of their texts is
 * written; the vector may live in read-only memory.
 *
 * Environment, read once when ServerMain starts (each variable is also a
 * setting in code, FtpSettingsSet, with the same meaning):
 *   OSPREL_FTP_ROOT             directory served.  Unset: never the current
 *                               directory, but $XDG_DATA_HOME/osprel/ftp, else
 *                               $HOME/.local/share/osprel/ftp, created (mode
 *                               0700) when missing and named in the start-up
 *                               line.  "/" is served only when this variable
 *                               names it ("/"), never reached through "..", a
 *                               link or the default.
 *   OSPREL_FTP_BIND             numeric IPv4 or IPv6 listen address (default 127.0.0.1)
 *   OSPREL_FTP_USER, OSPREL_FTP_PASSWORD_HASH (or OSPREL_FTP_PASSWORD)
 *                               both set: only that login is accepted, its
 *                               password given as a crypt(3) hash (see the
 *                               accounts file), or in clear; neither:
 *                               anonymous login (any user name, any password);
 *                               one without the other, or both password
 *                               variables, is refused as a bad setting
 *   OSPREL_FTP_USERS_FILE       the accounts file, below; refused together
 *                               with OSPREL_FTP_USER
 *   OSPREL_FTP_READONLY         unset: anonymous sessions are read-only, the
 *                               configured login may write; 1: everyone is
 *                               read-only; 0: everyone may write (opt-in).
 *                               With an accounts file its rights decide and
 *                               1 takes all but r from every account.
 *                               Refused changes answer 550.
 *   OSPREL_FTP_IDLE_TIMEOUT     seconds before an idle control connection, or a
 *                               data connection without progress, is closed (300)
 *   OSPREL_FTP_PASSIVE_TIMEOUT  seconds a passive port waits for its client (30)
 *   OSPREL_FTP_LOGIN_TIMEOUT    seconds from connecting to a completed login;
 *                               lines sent meanwhile do not put it off (30)
 *   OSPREL_FTP_MAX_PER_ADDRESS  sessions at once from one client address, of
 *                               the 64 in all (16); IPv6 counts per /64
 *   OSPREL_FTP_TLS_CERT, OSPREL_FTP_TLS_KEY
 *                               certificate chain (PEM, the server's own
 *                               first) and its unencrypted private key (PEM):
 *                               both or neither
 *   OSPREL_FTP_TLS              off (the default without a certificate): AUTH
 *                               answers 502 and nothing else changes; allowed
 *                               (the default with one): explicit FTP over TLS
 *                               (AUTH TLS, PBSZ, PROT) for clients that ask;
 *                               required: USER and PASS before AUTH TLS answer
 *                               530, transfers before PROT P answer 521 and
 *                               PROT C answers 534
 *   OSPREL_FTP_TLS_RESUME       1 (default): a protected data connection must
 *                               resume its control connection's TLS session;
 *                               0 admits any, for clients that cannot resume
 *   OSPREL_FTP_ATOMIC_UPLOADS   1 (default): uploads are atomic (see Uploads
 *                               below); 0: every upload but STOU's is written
 *                               in place
 *   OSPREL_FTP_SYNC_UPLOADS     1 (default): the 226 after an upload comes only
 *                               once the file and its directory are on stable
 *                               storage (fsync); 0 skips that: faster on a
 *                               disk, but a power cut after the 226 may lose
 *                               the file or leave it short
 *   OSPREL_FTP_MIN_FREE         kept free on the file system uploads go to, in
 *                               bytes and the same share of its inodes: a size
 *                               in bytes (K, M or G for KiB, MiB or GiB) or a
 *                               percentage of the file system ("5%"); 0: none.
 *                               Default: 5%, at most 1 GiB
 *   OSPREL_FTP_MAX_FILE_SIZE    the largest file an upload may make (K, M or G
 *                               as above); unset: no limit
 *   OSPREL_FTP_MAX_RATE         bytes per second each session may move, with
 *                               an optional K, M or G (powers of 1024), up to
 *                               1024G; unset or 0: no cap
 *   OSPREL_FTP_MAX_TOTAL_RATE   the same for all sessions together
 *   OSPREL_FTP_PASSIVE_ADDRESS  numeric IPv4 address that 227 replies name
 *                               instead of the control connection's local one
 *                               (behind NAT: the public address); EPSV replies
 *                               are unchanged, and data connections are still
 *                               taken only from the client's own address
 *   OSPREL_FTP_TRANSFER_LOG     absolute path of the transfer log (below);
 *                               unset: none
 *   OSPREL_FTP_CONFINE          1 (default): the server's threads confine
 *                               themselves with what the kernel offers
 *                               (Confinement, below); 0: they do not
 *
 * The accounts file: one account a line, '#' comments and blank lines:
 *     name:hash:home:rights
 *   name   1 to 64 visible ASCII characters (no blank, no ':'), each once;
 *          "ftp" is refused (it means anonymous)
 *   hash   crypt(3): yescrypt ($y$, `mkpasswd -m yescrypt`), bcrypt ($2b$),
 *          SHA-512 crypt ($6$, `openssl passwd -6`) or SHA-256 crypt ($5$);
 *          MD5 crypt, DES and other schemes (also bcrypt's $2a$ and $2y$)
 *          are refused.  The account named anonymous has none, and lets
 *          anonymous logins ("anonymous" or "ftp", any password) in with
 *          its home and rights; without it they are refused.
 *   home   a directory below the served root ("/" or empty: all of it; no
 *          ".."), which must exist at login: the session is confined to it
 *          as sessions are to the root
 *   rights any of r (LIST, NLST, MLSD, MLST, STAT of a path, RETR, SIZE,
 *          MDTM), w (STOR of a new name, MKD) and d (STOR over a file,
 *          APPE, DELE, RMD, RNFR/RNTO, MFMT); w alone makes a drop box.
 *          A command without its right answers "550 Permission denied."
 * A file its group or others may write, or others read (chmod 600 or 640),
 * or a line that does not parse makes ServerMain refuse to start (1), with
 * the line named.  When the file changes (inode, size, modification or
 * change time) it is read again at the next login, at most once a second;
 * a new version that fails to load leaves the accounts loaded before in
 * use, and says so on standard error.  Sessions logged in keep what they
 * got until they end.  Replace the file by renaming a new one into place,
 * so no login reads it half written.
 * Password checks run at most two at once in the whole server; a login
 * waits its turn within its login deadline (421 past it).  A name without
 * an account is checked against a hash of the first account's scheme and
 * cost, so give every account the same scheme and cost and timing tells
 * nothing about which names exist.  yescrypt takes 16 MiB for each check.
 *
 * FTP over TLS (RFC 4217), TLS 1.2 and 1.3 only, with OpenSSL's defaults.
 * The certificate and key are loaded when ServerMain starts: a file that
 * cannot be read or parsed, a key that does not match the certificate, or a
 * key file that other users may read or write (any of mode 006) makes it
 * refuse to start (1).  The key file's group may read it (Debian's ssl-cert
 * group); chmod 600 or 640.  The key is read once, wiped from memory once
 * parsed, and never appears in any message.  When either file changes, the
 * pair is loaded again for sessions that start later (looked at once a
 * second at most); a pair that fails to load leaves the one in use, with a
 * line on standard error.  A session keeps its pair, for its control and
 * data connections, until it ends.
 * A passive port accepts only its client's address, and under PROT P every
 * connection from it gets its TLS handshake side by side with the others:
 * the first that resumes the control connection's TLS session (a secret
 * that only the client holds) is the data connection; any other is reset
 * before any data moves, so a thief on the client's own host gets nothing
 * and holds up no one.  Without such a connection the transfer
 * answers 522 (or 425 when none completed a handshake).  A handshake waits
 * at most until the login deadline (control connection) or the passive
 * time-out (data), and does not put off the login deadline.  An upload that
 * ends without TLS close_notify answers 426: it may have been cut short.
 * A TLS error ends its own session only.
 *
 * Uploads.  A STOR (and STOU) writes into a file that nobody sees under the
 * target's name: an unnamed file in the target's directory (O_TMPFILE), or
 * where the file system lacks those a hidden name, ".osprel-upload-" and 16
 * hexadecimal digits, that no listing shows and no command reaches.  Only
 * once the whole upload has arrived does it become the target, linked under
 * its name or renamed over the file there in one step (the new file keeps
 * the old one's permissions and, where the server may set them, its owner
 * and group).  A cut, refused, timed-out or aborted upload leaves nothing
 * behind and an existing file as it was; of two uploads to one name each
 * stays whole and the last to complete wins; a download already running
 * goes on reading the old file, whole.  REST n + STOR and APPE continue a
 * file on purpose, so they write into it: a cut leaves what arrived, and
 * the client resumes from SIZE.  STOU [NAME] stores under a new name in
 * the current directory, NAME (default "upload"), a dot and 8 hexadecimal
 * digits, announced as "150 FILE: name", and never replaces a file.  An
 * upload that would cross the free-space reserve is refused before it
 * starts, or stopped when it gets there (looked at every 8 MiB at most),
 * with "452 Insufficient storage space.", as is one that meets a full file
 * system or quota; one past the size cap with "552 Exceeded storage
 * allocation."; the data is discarded as for a cut.  ALLO with a size
 * answers the same at once when the size would not fit, else 202.  Only
 * regular files are written or replaced (553 otherwise).  A server killed
 * during an upload, on a file system without O_TMPFILE, leaves its hidden
 * file behind.
 *
 * Failed logins (with OSPREL_FTP_USER, or an account's) are limited per
 * client address across all its sessions: each failure waits 1 s and the
 * third closes its session; after 10 failures from one address (IPv6: one /64) every login
 * from it, the right one too, is refused with 421 until 60 s have passed
 * since its last failure.  Logins being checked count against the 10, so
 * parallel sessions get no more guesses than one: about 10 a minute per
 * address instead of one a second per session.  Why so: a delay alone
 * scales with the number of sessions an attacker opens; a lock per address
 * does not, and an address with failures costs one small record (at most
 * 4096, the stalest forgotten first).
 *
 * Rate caps apply to downloads, uploads and listings, plain and over TLS.
 * A capped transfer moves pieces of about 50 ms at the cap and sleeps in
 * between (no busy waiting); meanwhile its session hears ABOR, STAT and new
 * commands at once, and time held back by a cap counts as progress, never
 * as a stalled data connection.  Within a transfer the bytes never run
 * ahead of the session's cap.  Sessions that want more than their share of
 * the total take turns piece by piece, so they share it evenly; after a
 * pause the total may let one piece go at once.
 *
 * The transfer log gets a line for every download (RETR), upload (STOR,
 * APPE) and deletion (DELE), complete or not, in the xferlog format, e.g.
 *   Sat Jan  1 00:00:00 2000 2 192.0.2.7 1048576 /pub/a.bin b _ o a anonymous ftp 0 * c
 * the time at the end (local time, English names whatever the locale), the
 * seconds taken (to the nearest, at least 1; 0 for a deletion), the client's
 * address, the bytes moved (a deletion: the file's size), the path as the
 * client sees it, a (TYPE A) or b, "_", o (download), i (upload) or d
 * (deletion), a (anonymous) or r (the configured login), the user name
 * given at login (anonymous sessions too: the name, never the password that
 * the tradition puts there, which may be a real one), "ftp 0 *", and c
 * (complete) or i (cut short, aborted or failed).  In the path and the user
 * name a blank, a control byte, DEL and the backslash are written as a
 * backslash and three octal digits (a blank as \040, a backslash as \134),
 * and an empty text as "-", so every line splits at its blanks into the same
 * 18 fields (the time takes 5).  The log is opened for appending when
 * ServerMain starts, created with mode 0600; one that cannot be opened, is
 * not a regular file or is a symbolic link refuses the start (1).  Each line
 * goes out in one write.  A log renamed or removed (rotated) is reopened by
 * its path at the next line; until that succeeds, lines go on into the file
 * already open.  A write that fails (a full disk) is reported once on
 * standard error, until one succeeds again; transfers go on.  Keep the log
 * outside the served directory, where clients could read it.
 *
 * Refused connections and sessions get a 421 that says why: too many
 * sessions in all or from the address, login time-out, too many failed
 * logins, the server shutting down, or an internal error.  A session that
 * fails inside (an exception, memory running out) ends alone with a 421;
 * the server and the host go on.  After a connection's last reply its
 * sending side is shut down and what the client still sends is read and
 * dropped, for 1 s and 64 KiB at most, before it is closed, so that the
 * reply reaches the client instead of a reset; refused connections linger
 * so in the server's own loop, which never waits for them.
 * Memory per session stays under about 1 MiB: listings are streamed.
 *
 * Confinement.  The server's own threads (the one that accepts clients and
 * every session thread it starts) confine themselves before they serve,
 * with what the running kernel offers; the thread that called ServerMain
 * or FtpServerRun and every other thread of the host are never confined.
 * Landlock (Linux 5.13 and later): a server thread reads and lists the
 * served root, and
 * changes it unless no login may ever write there (anonymous read-only, or
 * OSPREL_FTP_READONLY=1); reads files in the directories of the accounts
 * file and the TLS certificate and key (so a file renewed by rename is read
 * again); creates and writes files in the transfer log's directory; nothing
 * else of the file system.  From Linux 6.7 it binds only the control port,
 * the passive ports and ports the kernel picks; from 6.12 it cannot signal
 * other processes or reach abstract UNIX sockets outside itself.  A seccomp
 * filter (x86-64, i386, armhf, arm64) fails execve, execveat, fork, vfork,
 * clone without CLONE_THREAD or with a namespace flag, ptrace,
 * process_vm_readv/writev, mount, umount2, pivot_root, chroot, unshare,
 * setns, bpf, keyctl, add_key, request_key, io_uring, init_module,
 * finit_module, kexec_load, kexec_file_load and perf_event_open with EPERM,
 * clone3 with ENOSYS (glibc then uses clone), and every call through
 * another architecture's entry with ENOSYS; nothing is killed, and the
 * set*id calls stay allowed (glibc makes every thread repeat a host's
 * setuid).  The start-up line says what is on (", confined (Landlock 7,
 * seccomp)") or what is missing and why; a kernel or emulator (qemu-user)
 * that offers neither is no error.  What the kernel offers is tried at
 * start on a short-lived thread; a kernel that later refuses what it
 * offered then stops the server, which never serves unconfined instead.
 * Protects against: a server thread gone astray opening the host's files,
 * binding other ports, signalling or tracing other processes, or running
 * programs.  Not against: code already running in the process, since the
 * threads share the host's memory and open descriptors; outgoing
 * connections (active mode needs them); files in the directories named
 * above, which are reachable whole: keep the accounts file, the TLS files
 * and the transfer log in directories of their own.
 * For the host: each confined thread sets PR_SET_NO_NEW_PRIVS (needed for
 * an unprivileged filter and domain); it is per thread, the host's threads
 * keep theirs.  Before confining, the server makes the first uses that a
 * confined thread could not: the time zone (tzset), the C library's
 * messages, OpenSSL's configuration and random generator.  The host must
 * not turn on the thread-wide sync flags while the server runs:
 * SECCOMP_FILTER_FLAG_TSYNC fails (the server's threads carry a filter the
 * host's do not), LANDLOCK_RESTRICT_SELF_TSYNC would give the server's
 * threads the host's domain in place of their own.  Before Linux 5.19
 * (Landlock 1) renames between directories answer 550 while confined, and
 * everywhere renaming a symbolic link, FIFO or socket does (deleting one
 * does not).
 *
 * Output: nothing ever goes to standard output, which belongs to the host.
 * Standard error gets one line per event, each starting "osprel: ": where the
 * server listens, a refused start, a reload of the accounts or the TLS pair
 * (or why it was refused), a home that cannot be opened, transfer log
 * writes that fail, and failures of the server itself.
 *
 * Threads and signals: a server runs on threads of its own: one accepts
 * clients ("osprel-server" in ps -L), and each client session runs on a
 * thread of its own ("osprel-session"), at most 64 at once; the thread that
 * called ServerMain or FtpServerRun only waits for them, and all have ended
 * when the call returns.  They block every signal (no handler of the host
 * runs in them, confined as they are); the caller's own mask is never
 * changed.  A vanished client
 * never raises a signal in the host, nor does an upload or the transfer log
 * reaching the process's file size limit (RLIMIT_FSIZE): the upload fails
 * with 552 (and is discarded as any cut upload), the log's write is
 * reported.
 *
 * This header is valid C and C++.
 */
#ifndef OSPREL_H
#define OSPREL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OSPREL_EXPORT __attribute__((visibility("default")))
#else
#define OSPREL_EXPORT
#endif

/* Runs an FTP server configured by the command line ("-c PORT -d PORT") and
 * the OSPREL_FTP_* environment; blocks until the server is stopped
 * (FtpServerStop on the server FtpServerFind finds), then returns 0 once
 * every session has ended.  Returns non-zero at once on a bad command line or setting (2, errno EINVAL), or on
 * a root it cannot create, open or may not serve, an accounts file, TLS
 * certificate or key it cannot use, a transfer log it cannot open, or a port
 * it cannot listen on (1, errno the cause: e.g. EADDRINUSE for a port already
 * taken, EPERM for a root it may not serve or an accounts or key file open
 * to others, ENOENT for a missing file, EINVAL for one that is no
 * certificate or key, a key that does not match, or an accounts line that
 * does not parse), after one line on
 * standard error; later, 1 with errno the cause when the server's thread
 * cannot be started or confined (see FtpServerRun).  Never throws: should
 * something fail inside the server itself, it returns 1 after saying so. */
OSPREL_EXPORT int ServerMain(int argc, char **argv);

/*
 * The server a host holds (version 1.1).
 *
 * Settings in code: an FtpSettings holds OSPREL_FTP_* settings by name, as
 * texts, exactly as the environment gives them to ServerMain, plus two that
 * stand for ServerMain's command line:
 *   OSPREL_FTP_CONTROL_PORT     the control port; unset or 0: a port the
 *                               kernel picks (see FtpServerControlPort)
 *   OSPREL_FTP_PASSIVE_PORT     the first of 64 passive ports, PORT..PORT+63
 *                               (as -d); unset or 0: each passive listen on a
 *                               port the kernel picks
 * A setting the host does not set has ServerMain's default.  Nothing is read
 * from the environment unless FtpSettingsFromEnvironment asks for it, but
 * for the default root: with OSPREL_FTP_ROOT unset, FtpServerCreate reads
 * XDG_DATA_HOME and HOME (getenv) as ServerMain does.
 *
 * One FtpSettings may be used by one thread at a time; FtpServerCreate
 * copies it, so it may be changed or destroyed afterwards.
 */
typedef struct FtpSettings FtpSettings;
typedef struct FtpServer FtpServer;

/* The defaults, as ServerMain with no OSPREL_FTP_* variable set.  Null
 * only when memory runs out.  Free it with FtpSettingsDestroy. */
OSPREL_EXPORT FtpSettings *FtpSettingsCreate(void);

/* Sets the setting `name` (any OSPREL_FTP_* variable above) to `value` as
 * that variable takes it, or unsets it when value is null; an empty text
 * is unset too, as in the environment.  The texts are copied.  Returns 0, or
 * -1 (errno EINVAL) with the one-line reason ServerMain would print for
 * that value, without its "osprel: " prefix, in error (cut to errorSize
 * bytes with its terminating NUL; error may be null when errorSize is 0),
 * leaving the settings as they were: a value it cannot use, or an unknown
 * name ("unknown setting "NAME"").  Whether settings go together (a user
 * without a password, a certificate without a key) is checked by
 * FtpServerCreate, with ServerMain's message. */
OSPREL_EXPORT int FtpSettingsSet(FtpSettings *settings, const char *name, const char *value, char *error,
                                 size_t errorSize);

/* Every OSPREL_FTP_* variable that ServerMain reads takes the environment's
 * value, set or unset (the two ports stay as they are), for hosts that
 * start from the environment and override in code.  Returns 0, or -1
 * (errno EINVAL) with the reason ServerMain would print, leaving the
 * settings as they were.  Reads the environment with getenv: not while
 * another thread may call setenv. */
OSPREL_EXPORT int FtpSettingsFromEnvironment(FtpSettings *settings, char *error, size_t errorSize);

/* Frees the settings; null is ignored. */
OSPREL_EXPORT void FtpSettingsDestroy(FtpSettings *settings);

/* Does all that ServerMain does before it serves: checks the settings
 * together, opens the root (creating the default one), loads the accounts
 * file and the TLS certificate and key, opens the transfer log and listens
 * on the control port.  Prints nothing.  Returns the server, or null with
 * the reason in error (as FtpSettingsSet) and errno its cause (as for
 * ServerMain: EINVAL for settings, EADDRINUSE for a port taken, ...). */
OSPREL_EXPORT FtpServer *FtpServerCreate(const FtpSettings *settings, char *error, size_t errorSize);

/* The port the server listens on (the kernel's pick for port 0); -1 for a
 * null server.  From any thread. */
OSPREL_EXPORT int FtpServerControlPort(const FtpServer *server);

/* Serves until the server is stopped, blocking the calling thread, then
 * returns 0 once every session has ended (see Threads and signals).  Once
 * per server, from one thread; -1 (errno EINVAL) when it runs or ran
 * already, -1 with errno (EAGAIN) when its thread cannot be started, or
 * when the kernel refuses to confine it though it did at FtpServerCreate
 * (see Confinement; errno as the kernel gave it); either is said on
 * standard error. */
OSPREL_EXPORT int FtpServerRun(FtpServer *server);

/* Stops the server; from any thread, not from a signal handler.  Returns
 * at once: 0, or -1 (errno EINVAL) for a null server or a negative drain.
 * The control port stops listening at once, so new connections are
 * refused.  A session between commands (also one waiting for its password
 * check) gets "421 Server shutting down." and is closed.  A session in a
 * transfer may finish it for drainMilliseconds; a transfer still running
 * then is cut as a lost client would cut it (its data connection reset, an
 * atomic upload publishing nothing, the old file staying) and answered
 * "426 Server shutting down; transfer aborted.".  After its last reply
 * each session gets the 421 and is closed; 2 s after the cut, sessions
 * that still have not ended (a client that reads no replies) have their
 * connections shut down.  A later call may shorten the drain (0: cut now),
 * never lengthen it.  A stop before FtpServerRun makes it return at once;
 * after the run is over, or on a ServerMain server that has returned, it
 * does nothing. */
OSPREL_EXPORT int FtpServerStop(FtpServer *server, int drainMilliseconds);

/* Frees the server, after FtpServerRun has returned or if it never ran;
 * called while it runs, it stops it at once and waits for the run to be
 * over.  Afterwards nothing of the server remains: no thread, descriptor
 * (its event descriptor too) or memory, and a new server may listen on
 * the same ports at once.  Null, and a server found with FtpServerFind,
 * are ignored. */
OSPREL_EXPORT void FtpServerDestroy(FtpServer *server);

/* The server that ServerMain runs on controlPort in this process, or null
 * (the first started, should several listen on that port at different
 * addresses).  It belongs to ServerMain: the host may stop it, read its
 * counters and take its events, never run or destroy it.  After a stop,
 * ServerMain returns 0.  The pointer stays valid for the life of the
 * process, also after ServerMain has returned: its counters and the events
 * still waiting can be read then.  From any thread. */
OSPREL_EXPORT FtpServer *FtpServerFind(int controlPort);

/* Events: what happened in the sessions, for the host's own loop. */
#define OSPREL_EVENT_LOGIN 1        /* a login succeeded */
#define OSPREL_EVENT_LOGIN_FAILED 2 /* a login failed; user: the name tried */
#define OSPREL_EVENT_LOGOUT 3       /* every session's end, after a login or not */
#define OSPREL_EVENT_DOWNLOAD 4     /* a RETR, once its data connection was asked for */
#define OSPREL_EVENT_UPLOAD 5       /* a STOR, APPE or STOU, once its file was opened */
#define OSPREL_EVENT_DELETE 6
#define OSPREL_EVENT_RENAME 7       /* path: the old path, target: the new one */
#define OSPREL_EVENT_MKDIR 8
#define OSPREL_EVENT_RMDIR 9

/* One event.  Texts are never null ("" where they do not apply).
 *   type      OSPREL_EVENT_*
 *   complete  LOGOUT: 1 after QUIT, 0 for any other end (a time-out, a
 *             lost client, a stop); DOWNLOAD, UPLOAD: 1 when the transfer
 *             completed (its 226 follows), 0 when it was cut, aborted,
 *             failed or refused midway (an upload past the size cap, say);
 *             LOGIN, DELETE, RENAME, MKDIR, RMDIR: 1 (only what succeeded
 *             is told); LOGIN_FAILED: 0
 *   session   the session's number, from 1 in the order sessions start
 *   bytes     DOWNLOAD, UPLOAD: the bytes that moved; 0 for the others
 *   dropped   events lost just before this one (see FtpServerNextEvent)
 *   user      the name the client gave with USER, "" before any (LOGOUT:
 *             the name it logged in with, "" without a login)
 *   address   the client's numeric address ("192.0.2.7", "2001:db8::7")
 *   path      the file or directory as the client names it from its root
 *             (its account's home), starting with "/"
 *   target    RENAME: the new path */
typedef struct FtpServerEvent {
    int type;
    int complete;
    unsigned long long session;
    unsigned long long bytes;
    unsigned long long dropped;
    const char *user;
    const char *address;
    const char *path;
    const char *target;
} FtpServerEvent;

/* A descriptor that is readable while an event waits, for the host's poll
 * or select; the server owns it (FtpServerDestroy closes it): never read,
 * write or close it.  Events are kept from the first call on: a host that
 * never calls it pays nothing for events.  -1 with errno (EMFILE) when no
 * descriptor can be had; a later call tries again. */
OSPREL_EXPORT int FtpServerEventFd(FtpServer *server);

/* The oldest waiting event, or null when none waits; never blocks.  The
 * event and its texts stay valid until the next call or FtpServerDestroy.
 * One thread takes events.  A session never waits for the host: at most
 * 1024 events, or 1 MiB of their texts, wait; past that new events are
 * dropped, counted in the next event's dropped and in eventsDropped.  Each
 * session's events come in the order they happened, each before the reply
 * that ends its command (an upload's once its file is stored, a LOGIN's
 * before the 230); a session's LOGOUT comes last. */
OSPREL_EXPORT const FtpServerEvent *FtpServerNextEvent(FtpServer *server);

/* Counters since the server was created, all unsigned long long.  New
 * counters are only ever added at the end. */
typedef struct FtpServerStats {
    unsigned long long sessionsNow;       /* sessions running */
    unsigned long long sessionsTotal;     /* sessions started */
    unsigned long long sessionsRefused;   /* connections answered 421 at once */
    unsigned long long loginsOk;
    unsigned long long loginsFailed;
    unsigned long long downloadsComplete;
    unsigned long long downloadsCut;
    unsigned long long uploadsComplete;
    unsigned long long uploadsCut;
    unsigned long long bytesSent;         /* over data connections (listings too) */
    unsigned long long bytesReceived;     /* over data connections */
    unsigned long long eventsDropped;
} FtpServerStats;

/* Fills the first `size` bytes (at most sizeof(FtpServerStats)) of *stats
 * with the counters: pass sizeof *stats, so a program built against an
 * older header gets what it knows of.  Returns 0, or -1 (errno EINVAL) for
 * a null server or stats.  From any thread; each counter is read on its
 * own, so they may be a moment apart. */
OSPREL_EXPORT int FtpServerGetStats(const FtpServer *server, FtpServerStats *stats, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* OSPREL_H */
