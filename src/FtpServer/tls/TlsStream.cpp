#include "tls/TlsStream.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <new>

#include "tls/TlsContext.h"
#include "tls/TlsSessionBinding.h"

namespace osprel {

namespace {

// Records are at most 16 KiB; a file is read in chunks of several, so each
// read from the file feeds many records.
constexpr size_t kFileChunk = size_t{256} << 10;

// The library's own socket BIO writes with write(), which raises SIGPIPE on
// a connection the peer has reset; this one sends with MSG_NOSIGNAL.
int socketOf(BIO *bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int bioWrite(BIO *bio, const char *data, int size) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        ssize_t n = send(socketOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
        return -1;
    }
}

int bioRead(BIO *bio, char *buffer, int size) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        ssize_t n = recv(socketOf(bio), buffer, static_cast<size_t>(size), MSG_DONTWAIT);
        if (n == 0 && size > 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
        return -1;
    }
}

// The library tells an end without close_notify from other failures by
// asking whether the last read met the end of the stream.
long bioControl(BIO *bio, int command, long, void *) {
    if (command == BIO_CTRL_FLUSH) return 1;
    if (command == BIO_CTRL_EOF) return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
    return 0;
}

int bioCreate(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD *makeSocketMethod() {
    BIO_METHOD *method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "osprel socket");
    if (method == nullptr) return nullptr;
    BIO_meth_set_write(method, bioWrite);
    BIO_meth_set_read(method, bioRead);
    BIO_meth_set_ctrl(method, bioControl);
    BIO_meth_set_create(method, bioCreate);
    return method;
}

BIO *newSocketBio(int fd) {
    static BIO_METHOD *const method = makeSocketMethod();
    BIO *bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio != nullptr) BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    return bio;
}

}  // namespace

TlsWait waitForSocket(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, millisecondsUntil(deadline));
        if (ready > 0) return TlsWait::kReady;
        if (ready < 0 && errno != EINTR) return TlsWait::kStopped;
        if (ready == 0 && Clock::now() >= deadline) return TlsWait::kTimedOut;
    }
}

std::unique_ptr<TlsStream> TlsStream::open(const TlsContext &context, int fd, TlsSessionBinding &binding,
                                           Role role) {
    SSL *ssl = SSL_new(context.handle());
    BIO *bio = ssl != nullptr ? newSocketBio(fd) : nullptr;
    if (bio == nullptr || !binding.attach(ssl, role == Role::kControl)) {
        if (ssl != nullptr) binding.detach(ssl);
        BIO_free(bio);
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_bio(ssl, bio, bio);
    SSL_set_accept_state(ssl);
    if (role == Role::kControl) {
        // An idle control connection gives its record buffers back.
        SSL_set_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
    } else {
        // Uploads: take in as many records as have arrived per receive.
        SSL_set_read_ahead(ssl, 1);
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::unique_ptr<TlsStream> stream(new (std::nothrow) TlsStream(ssl, fd, binding));
    if (stream == nullptr) {
        binding.detach(ssl);
        SSL_free(ssl);
    }
    return stream;
}

TlsStream::TlsStream(SSL *ssl, int fd, TlsSessionBinding &binding) : ssl_(ssl), fd_(fd), binding_(binding) {}

TlsStream::~TlsStream() {
    binding_.detach(ssl_);
    SSL_free(ssl_);
}

TlsResult TlsStream::resultOf(int returned) {
    int error = SSL_get_error(ssl_, returned);
    unsigned long reason = ERR_GET_REASON(ERR_peek_error());
    ERR_clear_error();
    switch (error) {
    case SSL_ERROR_WANT_READ:
        wanted_ = POLLIN;
        return TlsResult::kWouldBlock;
    case SSL_ERROR_WANT_WRITE:
        wanted_ = POLLOUT;
        return TlsResult::kWouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        return TlsResult::kClosed;
    default:
        failed_ = true;
        return reason == SSL_R_UNEXPECTED_EOF_WHILE_READING ? TlsResult::kCut : TlsResult::kFailed;
    }
}

template <typename Step>
TlsResult TlsStream::until(Step step, Clock::time_point deadline, const TlsWaiter &wait) {
    for (;;) {
        TlsResult result = step();
        if (result != TlsResult::kWouldBlock) return result;
        switch (wait(fd_, wanted_, deadline)) {
        case TlsWait::kReady:
            break;
        case TlsWait::kTimedOut:
            return TlsResult::kTimedOut;
        case TlsWait::kStopped:
            return TlsResult::kStopped;
        }
    }
}

TlsResult TlsStream::tryHandshake() {
    if (failed_) return TlsResult::kFailed;
    ERR_clear_error();
    int returned = SSL_do_handshake(ssl_);
    return returned == 1 ? TlsResult::kOk : resultOf(returned);
}

TlsResult TlsStream::handshake(Clock::time_point deadline, const TlsWaiter &wait) {
    return until([this] { return tryHandshake(); }, deadline, wait);
}

TlsResult TlsStream::tryRead(void *buffer, size_t size, size_t *got) {
    *got = 0;
    if (failed_) return TlsResult::kFailed;
    ERR_clear_error();
    int returned = SSL_read_ex(ssl_, buffer, size, got);
    return returned == 1 ? TlsResult::kOk : resultOf(returned);
}

TlsResult TlsStream::read(void *buffer, size_t size, size_t *got, Clock::time_point deadline,
                          const TlsWaiter &wait) {
    return until([&] { return tryRead(buffer, size, got); }, deadline, wait);
}

TlsResult TlsStream::writeAll(const void *data, size_t size, Clock::time_point deadline, const TlsWaiter &wait) {
    // After kWouldBlock the library must be called again with the same
    // bytes; it keeps track of how far it got.
    return until(
        [&] {
            if (failed_) return TlsResult::kFailed;
            if (size == 0) return TlsResult::kOk;
            size_t written = 0;
            ERR_clear_error();
            int returned = SSL_write_ex(ssl_, data, size, &written);
            return returned == 1 ? TlsResult::kOk : resultOf(returned);
        },
        deadline, wait);
}

TlsResult TlsStream::sendFile(int fileFd, off_t *offset, size_t count, size_t *sent, Clock::time_point deadline,
                              const TlsWaiter &wait) {
    *sent = 0;
    if (fileBuffer_ == nullptr) fileBuffer_.reset(new (std::nothrow) char[kFileChunk]);
    if (fileBuffer_ == nullptr) return TlsResult::kFailed;
    ssize_t n;
    do {
        n = pread(fileFd, fileBuffer_.get(), std::min(count, kFileChunk), *offset);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return TlsResult::kFailed;
    TlsResult result = writeAll(fileBuffer_.get(), static_cast<size_t>(n), deadline, wait);
    if (result == TlsResult::kOk) {
        *offset += n;
        *sent = static_cast<size_t>(n);
    }
    return result;
}

TlsResult TlsStream::close(Clock::time_point deadline, const TlsWaiter &wait) {
    return until(
        [this] {
            if (failed_) return TlsResult::kFailed;
            ERR_clear_error();
            int returned = SSL_shutdown(ssl_);
            return returned >= 0 ? TlsResult::kOk : resultOf(returned);
        },
        deadline, wait);
}

void TlsStream::abort() {
    SSL_set_quiet_shutdown(ssl_, 1);
    failed_ = true;
    linger reset{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

bool TlsStream::hasPending() const { return SSL_pending(ssl_) > 0; }

}  // namespace osprel
