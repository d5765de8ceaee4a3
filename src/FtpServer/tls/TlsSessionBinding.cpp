#include "tls/TlsSessionBinding.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <new>

namespace osprel {

namespace {

// The context given to sessions made by a full handshake on a data
// connection: never a token, so nothing can resume them where it counts.
const unsigned char kUnbound[] = {'-'};

constexpr long kSessionLifetimeSeconds = 24 * 60 * 60;

int bindingIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

TlsSessionBinding *bindingOf(const SSL *ssl) {
    return static_cast<TlsSessionBinding *>(SSL_get_ex_data(ssl, bindingIndex()));
}

}  // namespace

// The library's callbacks, run on the thread doing the handshake, which is
// the one FTP session's thread: no locks needed.
struct TlsBindingCallbacks {
    static bool isControl(SSL *ssl) {
        TlsSessionBinding *binding = bindingOf(ssl);
        return binding != nullptr && binding->control_ == ssl;
    }

    // TLS 1.2 session IDs of the control connection only; TLS 1.3 sessions
    // travel in tickets and need no server memory.
    static int remember(SSL *ssl, SSL_SESSION *session) {
        if (!isControl(ssl) || SSL_version(ssl) == TLS1_3_VERSION) return 0;
        TlsSessionBinding *binding = bindingOf(ssl);
        SSL_SESSION_free(binding->controlSession_);
        binding->controlSession_ = session;
        return 1;
    }

    static SSL_SESSION *lookUp(SSL *ssl, const unsigned char *id, int length, int *copy) {
        *copy = 1;
        TlsSessionBinding *binding = bindingOf(ssl);
        SSL_SESSION *kept = binding != nullptr ? binding->controlSession_ : nullptr;
        if (kept == nullptr) return nullptr;
        unsigned int keptLength = 0;
        const unsigned char *keptId = SSL_SESSION_get_id(kept, &keptLength);
        bool same = keptLength == static_cast<unsigned>(length) && CRYPTO_memcmp(keptId, id, keptLength) == 0;
        return same ? kept : nullptr;
    }

    static int beforeTicket(SSL *ssl, void *) {
        if (!isControl(ssl) && SSL_session_reused(ssl) != 1)
            SSL_SESSION_set1_id_context(SSL_get_session(ssl), kUnbound, sizeof kUnbound);
        return 1;
    }
};

std::unique_ptr<TlsSessionBinding> TlsSessionBinding::create() {
    std::unique_ptr<TlsSessionBinding> binding(new (std::nothrow) TlsSessionBinding);
    if (binding == nullptr || RAND_bytes(binding->token_, kTlsTokenLength) != 1) return nullptr;
    return binding;
}

TlsSessionBinding::~TlsSessionBinding() { SSL_SESSION_free(controlSession_); }

bool TlsSessionBinding::attach(SSL *ssl, bool control) {
    if (SSL_set_session_id_context(ssl, token_, kTlsTokenLength) != 1 ||
        SSL_set_ex_data(ssl, bindingIndex(), this) != 1)
        return false;
    if (control) {
        control_ = ssl;
    } else {
        SSL_set_num_tickets(ssl, 0);
    }
    return true;
}

void TlsSessionBinding::detach(SSL *ssl) {
    SSL_set_ex_data(ssl, bindingIndex(), nullptr);
    if (control_ == ssl) control_ = nullptr;
}

bool TlsSessionBinding::resumedHere(const SSL *data) const {
    if (bindingOf(data) != this || data == control_ || SSL_session_reused(data) != 1) return false;
    unsigned int length = 0;
    const unsigned char *context = SSL_SESSION_get0_id_context(SSL_get0_session(data), &length);
    return length == kTlsTokenLength && CRYPTO_memcmp(context, token_, kTlsTokenLength) == 0;
}

void installSessionBinding(SSL_CTX *context) {
    // Data connections resume the control connection's session for as long
    // as the FTP session lasts, which can be hours of transfers; a session
    // stays useless to anyone outside its own FTP session anyway.
    SSL_CTX_set_timeout(context, kSessionLifetimeSeconds);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER | SSL_SESS_CACHE_NO_INTERNAL);
    SSL_CTX_sess_set_new_cb(context, TlsBindingCallbacks::remember);
    SSL_CTX_sess_set_get_cb(context, TlsBindingCallbacks::lookUp);
    SSL_CTX_set_session_ticket_cb(context, TlsBindingCallbacks::beforeTicket, nullptr, nullptr);
}

}  // namespace osprel
