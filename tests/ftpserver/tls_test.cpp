// FTP over TLS: loading the certificate and key, the stream's deadlines and
// ends, and the binding of data connections to their control connection,
// against an OpenSSL client over loopback.
#include <arpa/inet.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tls/TlsContext.h"
#include "tls/TlsSessionBinding.h"
#include "tls/TlsStream.h"

using namespace osprel;
using namespace std::chrono_literals;

namespace {

std::string g_dir;

std::string inDir(const char *name) { return g_dir + "/" + name; }

void writeText(const std::string &path, const std::string &text, mode_t mode = 0600) {
    FILE *file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs(text.c_str(), file);
    fclose(file);
    chmod(path.c_str(), mode);
}

// A self-signed certificate for localhost and its key, and a second key.
void makeCredentials() {
    EVP_PKEY *key = EVP_EC_gen("P-256");
    EVP_PKEY *otherKey = EVP_EC_gen("P-256");
    X509 *certificate = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME *name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("localhost"), -1,
                               -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());
    const std::pair<const char *, EVP_PKEY *> keys[] = {{"key.pem", key}, {"other-key.pem", otherKey}};
    for (auto [file, each] : keys) {
        FILE *out = fopen(inDir(file).c_str(), "w");
        PEM_write_PrivateKey(out, each, nullptr, nullptr, 0, nullptr, nullptr);
        fclose(out);
        chmod(inDir(file).c_str(), 0600);
        EVP_PKEY_free(each);
    }
    FILE *out = fopen(inDir("cert.pem").c_str(), "w");
    PEM_write_X509(out, certificate);
    fclose(out);
    X509_free(certificate);
}

TlsSettings settingsFor(const std::string &certificate, const std::string &key) {
    TlsSettings settings;
    settings.mode = TlsMode::kAllowed;
    settings.certificatePath = certificate;
    settings.keyPath = key;
    return settings;
}

std::string loadError(const std::string &certificate, const std::string &key) {
    std::string error;
    EXPECT_EQ(TlsContext::load(settingsFor(certificate, key), &error), nullptr);
    return error;
}

// A connected loopback TCP pair: {server end, client end}.
std::pair<int, int> connectedPair() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), length), 0);
    int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    return {server, client};
}

// What a blocking OpenSSL client saw: everything up to the end, how it
// ended, and the session it was left with.
struct ClientSaw {
    bool connected = false;
    std::string received;
    bool closeNotify = false;
    SSL_SESSION *session = nullptr;
    ~ClientSaw() { SSL_SESSION_free(session); }
};

struct Client {
    int version;
    bool tickets;

    std::thread start(int fd, SSL_SESSION *resume, ClientSaw *saw) const {
        return std::thread([this, fd, resume, saw] {
            SSL_CTX *context = SSL_CTX_new(TLS_client_method());
            SSL_CTX_set_min_proto_version(context, version);
            SSL_CTX_set_max_proto_version(context, version);
            if (!tickets) SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
            SSL *ssl = SSL_new(context);
            SSL_set_fd(ssl, fd);
            if (resume != nullptr) SSL_set_session(ssl, resume);
            saw->connected = SSL_connect(ssl) == 1;
            char buffer[4096];
            int n;
            while (saw->connected && (n = SSL_read(ssl, buffer, sizeof buffer)) > 0) saw->received.append(buffer, n);
            saw->closeNotify = saw->connected && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
            saw->session = SSL_get1_session(ssl);
            // Only a session ended by close_notify stays resumable.
            SSL_shutdown(ssl);
            SSL_free(ssl);
            SSL_CTX_free(context);
            close(fd);
            ERR_clear_error();
        });
    }
};

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        signal(SIGPIPE, SIG_IGN);  // the test's OpenSSL client writes with write()
        char pattern[] = "/tmp/osprel-tls-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        g_dir = pattern;
        makeCredentials();
        std::string error;
        context_ = TlsContext::load(settingsFor(inDir("cert.pem"), inDir("key.pem")), &error).release();
        ASSERT_NE(context_, nullptr) << error;
    }
    static void TearDownTestSuite() {
        delete context_;
        std::string command = "rm -rf " + g_dir;
        EXPECT_EQ(system(command.c_str()), 0);
    }

    // One connection of binding's FTP session, served to the end: the
    // server sends text, then close_notify.  Returns whether the server
    // would admit it as a data connection.
    static bool serve(const Client &client, TlsSessionBinding &binding, TlsStream::Role role, SSL_SESSION *resume,
                      ClientSaw *saw, const std::string &text = "hello") {
        auto [server, peer] = connectedPair();
        std::thread thread = client.start(peer, resume, saw);
        std::unique_ptr<TlsStream> stream = TlsStream::open(*context_, server, binding, role);
        auto deadline = Clock::now() + 10s;
        bool handshook = stream != nullptr && stream->handshake(deadline) == TlsResult::kOk;
        bool admitted = handshook && binding.resumedHere(stream->handle());
        if (handshook) {
            EXPECT_EQ(stream->writeAll(text.data(), text.size(), deadline), TlsResult::kOk);
            EXPECT_EQ(stream->close(deadline), TlsResult::kOk);
        }
        stream.reset();
        close(server);
        thread.join();
        EXPECT_TRUE(saw->connected);
        return admitted;
    }

    static TlsContext *context_;
};

TlsContext *Tls::context_ = nullptr;

TEST_F(Tls, EachBadFileHasItsOwnLine) {
    std::string cert = inDir("cert.pem");
    std::string key = inDir("key.pem");
    writeText(inDir("text.pem"), "not a certificate\n");
    writeText(inDir("open-key.pem"), "", 0644);
    ASSERT_EQ(system(("cp -p " + key + " " + inDir("open-key.pem") + " && chmod 0604 " + inDir("open-key.pem")).c_str()), 0);

    EXPECT_EQ(loadError(inDir("none.pem"), key),
              "cannot load the TLS certificate chain " + inDir("none.pem") + ": No such file or directory");
    EXPECT_EQ(loadError(inDir("text.pem"), key),
              "cannot load the TLS certificate chain " + inDir("text.pem") + ": no PEM certificate in it");
    EXPECT_EQ(loadError(cert, inDir("none.pem")),
              "cannot load the TLS private key " + inDir("none.pem") + ": No such file or directory");
    EXPECT_EQ(loadError(cert, inDir("text.pem")),
              "cannot load the TLS private key " + inDir("text.pem") + ": no unencrypted PEM private key in it");
    EXPECT_EQ(loadError(cert, inDir("other-key.pem")),
              "the TLS private key " + inDir("other-key.pem") + " does not match the certificate " + cert);
    EXPECT_EQ(loadError(cert, inDir("open-key.pem")),
              "the TLS private key " + inDir("open-key.pem") + " is open to other users (mode 0604): chmod o-rwx it");
    EXPECT_EQ(loadError(cert, g_dir), "cannot load the TLS private key " + g_dir + ": not a regular file");
    // Readable by the key's group (Debian's ssl-cert group) is fine.
    chmod(key.c_str(), 0640);
    std::string error;
    EXPECT_NE(TlsContext::load(settingsFor(cert, key), &error), nullptr) << error;
    chmod(key.c_str(), 0600);
}

TEST_F(Tls, SilentPeerHandshakeTimesOut) {
    auto [server, peer] = connectedPair();
    auto binding = TlsSessionBinding::create();
    auto stream = TlsStream::open(*context_, server, *binding, TlsStream::Role::kControl);
    auto started = Clock::now();
    EXPECT_EQ(stream->handshake(started + 300ms), TlsResult::kTimedOut);
    EXPECT_GE(Clock::now() - started, 300ms);
    EXPECT_LT(Clock::now() - started, 3s);
    // A waiter can stop the wait at once, as ABOR will.
    auto stop = [](int, short, Clock::time_point) { return TlsWait::kStopped; };
    EXPECT_EQ(stream->handshake(started + 10s, stop), TlsResult::kStopped);
    stream.reset();
    close(server);
    close(peer);
}

TEST_F(Tls, EndWithoutCloseNotifyIsCutAndAbortResets) {
    auto [server, peer] = connectedPair();
    auto binding = TlsSessionBinding::create();
    auto stream = TlsStream::open(*context_, server, *binding, TlsStream::Role::kData);
    std::thread client([fd = peer] {
        SSL_CTX *context = SSL_CTX_new(TLS_client_method());
        SSL *ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) == 1) SSL_write(ssl, "part", 4);
        SSL_free(ssl);
        SSL_CTX_free(context);
        shutdown(fd, SHUT_WR);  // no close_notify: like a client cut short
    });
    auto deadline = Clock::now() + 10s;
    ASSERT_EQ(stream->handshake(deadline), TlsResult::kOk);
    char buffer[16];
    size_t got = 0;
    EXPECT_EQ(stream->read(buffer, sizeof buffer, &got, deadline), TlsResult::kOk);
    EXPECT_EQ(std::string(buffer, got), "part");
    EXPECT_EQ(stream->read(buffer, sizeof buffer, &got, deadline), TlsResult::kCut);
    client.join();

    stream->abort();
    stream.reset();
    close(server);
    ssize_t n;
    while ((n = recv(peer, buffer, sizeof buffer, 0)) > 0) {
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(errno, ECONNRESET);
    close(peer);
}

// TLS 1.2 with tickets, TLS 1.2 with session IDs only, TLS 1.3.
class TlsBinding : public Tls, public ::testing::WithParamInterface<Client> {};

TEST_P(TlsBinding, DataConnectionResumingItsControlSessionIsAdmitted) {
    auto binding = TlsSessionBinding::create();
    ClientSaw control;
    EXPECT_FALSE(serve(GetParam(), *binding, TlsStream::Role::kControl, nullptr, &control, "220 ready\r\n"));
    EXPECT_EQ(control.received, "220 ready\r\n");
    EXPECT_TRUE(control.closeNotify);

    std::string payload(3 << 20, 'x');
    for (size_t i = 0; i < payload.size(); i += 4099) payload[i] = static_cast<char>(i);
    for (int transfer = 0; transfer < 2; ++transfer) {
        ClientSaw data;
        EXPECT_TRUE(serve(GetParam(), *binding, TlsStream::Role::kData, control.session, &data, payload));
        EXPECT_TRUE(data.received == payload);
        EXPECT_TRUE(data.closeNotify);
    }
}

TEST_P(TlsBinding, FreshOrForeignSessionsAreRefused) {
    auto binding = TlsSessionBinding::create();
    auto other = TlsSessionBinding::create();
    ClientSaw control, otherControl;
    serve(GetParam(), *binding, TlsStream::Role::kControl, nullptr, &control);
    serve(GetParam(), *other, TlsStream::Role::kControl, nullptr, &otherControl);

    ClientSaw fresh, foreign, again;
    EXPECT_FALSE(serve(GetParam(), *binding, TlsStream::Role::kData, nullptr, &fresh));
    // Another client of the same server resuming its own control session.
    EXPECT_FALSE(serve(GetParam(), *binding, TlsStream::Role::kData, otherControl.session, &foreign));
    // A thief coming back with the session of its own refused connection.
    EXPECT_FALSE(serve(GetParam(), *binding, TlsStream::Role::kData, fresh.session, &again));
    ClientSaw owner;
    EXPECT_TRUE(serve(GetParam(), *binding, TlsStream::Role::kData, control.session, &owner));
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsBinding,
                         ::testing::Values(Client{TLS1_2_VERSION, true}, Client{TLS1_2_VERSION, false},
                                           Client{TLS1_3_VERSION, true}),
                         [](const auto &info) {
                             if (info.param.version == TLS1_3_VERSION) return std::string("Tls13");
                             return std::string(info.param.tickets ? "Tls12Tickets" : "Tls12SessionIds");
                         });

}  // namespace
