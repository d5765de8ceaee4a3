#include "tls/TlsContext.h"

#include <errno.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include "base/PrivateFile.h"
#include "tls/TlsSessionBinding.h"

namespace osprel {

namespace {

std::string openSslReason(const char *fallback) {
    const char *reason = ERR_reason_error_string(ERR_peek_last_error());
    ERR_clear_error();
    return reason != nullptr ? reason : fallback;
}

// Never asks for a pass phrase: a server inside a host cannot prompt.
int refusePassphrase(char *, int, int, void *) { return -1; }

// True when the only error queued says the PEM text simply ended.
bool onlyEndOfPem() {
    unsigned long last = ERR_peek_last_error();
    if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) ERR_clear_error();
    return ERR_peek_error() == 0;
}

// The server's certificate first, then the rest of its chain.
bool useChain(SSL_CTX *context, BIO *bio, std::string *reason) {
    X509 *leaf = PEM_read_bio_X509_AUX(bio, nullptr, refusePassphrase, nullptr);
    if (leaf == nullptr) {
        ERR_clear_error();
        *reason = "no PEM certificate in it";
        return false;
    }
    bool used = SSL_CTX_use_certificate(context, leaf) == 1;
    X509_free(leaf);
    while (used) {
        X509 *next = PEM_read_bio_X509(bio, nullptr, refusePassphrase, nullptr);
        if (next == nullptr) break;
        if (SSL_CTX_add0_chain_cert(context, next) != 1) {
            X509_free(next);
            used = false;
        }
    }
    if (!used || !onlyEndOfPem()) {
        *reason = openSslReason("unusable");
        return false;
    }
    return true;
}

bool loadChain(SSL_CTX *context, const std::string &path, std::string *error) {
    PrivateFile file;
    std::string reason;
    bool loaded = readPrivateFile(path, &file, &reason);
    if (loaded) {
        BIO *bio = BIO_new_mem_buf(file.bytes.data(), static_cast<int>(file.bytes.size()));
        loaded = bio != nullptr && useChain(context, bio, &reason);
        BIO_free(bio);
    }
    if (!loaded) {
        *error = "cannot load the TLS certificate chain " + path + ": " + reason;
        errno = file.cause != 0 ? file.cause : EINVAL;
    }
    return loaded;
}

bool loadKey(SSL_CTX *context, const TlsSettings &settings, std::string *error) {
    const std::string &path = settings.keyPath;
    PrivateFile file;
    std::string reason;
    if (!readPrivateFile(path, &file, &reason)) {
        *error = "cannot load the TLS private key " + path + ": " + reason;
        errno = file.cause;
        return false;
    }
    if ((file.mode & (S_IROTH | S_IWOTH)) != 0) {
        *error = "the TLS private key " + path + " is open to other users (mode " + modeText(file.mode) +
                 "): chmod o-rwx it";
        errno = EPERM;
        return false;
    }
    BIO *bio = BIO_new_mem_buf(file.bytes.data(), static_cast<int>(file.bytes.size()));
    EVP_PKEY *key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, refusePassphrase, nullptr) : nullptr;
    BIO_free(bio);
    ERR_clear_error();
    if (key == nullptr) {
        *error = "cannot load the TLS private key " + path + ": no unencrypted PEM private key in it";
        errno = EINVAL;
        return false;
    }
    bool matches = X509_check_private_key(SSL_CTX_get0_certificate(context), key) == 1;
    bool used = matches && SSL_CTX_use_PrivateKey(context, key) == 1;
    EVP_PKEY_free(key);
    if (!matches) {
        ERR_clear_error();
        *error = "the TLS private key " + path + " does not match the certificate " + settings.certificatePath;
    } else if (!used) {
        *error = "cannot use the TLS private key " + path + ": " + openSslReason("refused");
    }
    if (!used) errno = EINVAL;
    return used;
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::load(const TlsSettings &settings, std::string *error) {
    // The host's exit must not tear the library down under sessions still
    // running (unless the host set the library up itself before).
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    ERR_clear_error();
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        *error = "cannot create a TLS context: " + openSslReason("out of memory");
        errno = ENOMEM;
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A client asking to renegotiate could make the server redo the costly
    // half of a handshake at will.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    installSessionBinding(context);
    if (!loadChain(context, settings.certificatePath, error) || !loadKey(context, settings, error)) {
        int cause = errno;  // set by the loader for ServerMain's caller
        SSL_CTX_free(context);
        errno = cause;
        return nullptr;
    }
    return std::unique_ptr<TlsContext>(new TlsContext(context, settings.requireResumption));
}

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

std::unique_ptr<Renewable<TlsContext>> loadRenewedTlsContext(const TlsSettings &settings, std::string *error) {
    auto renewed = std::make_unique<Renewable<TlsContext>>(
        std::vector<std::string>{settings.certificatePath, settings.keyPath}, "TLS certificate and key",
        [settings](std::string *why) -> std::shared_ptr<const TlsContext> { return TlsContext::load(settings, why); });
    return renewed->loadFirst(error) ? std::move(renewed) : nullptr;
}

}  // namespace osprel
