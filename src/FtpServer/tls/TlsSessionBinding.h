// Binds protected data connections to their control connection, so that only
// the client that owns a control connection can open its data connections.
//
// Every TLS connection of one FTP session (the control connection and each
// data connection) carries the session's random 32-byte token as its TLS
// session ID context.  A data connection is admitted only when its handshake
// resumed a TLS session made under that token, which takes that session's
// secret: a thief who reaches the passive port first holds no such session.
//
// Only the control connection makes sessions worth resuming:
// - TLS 1.2 session IDs are kept per FTP session (one at a time), never in
//   a cache shared with other clients, so no client can look up or crowd out
//   another's session;
// - TLS 1.2 tickets issued on a data connection that did a full handshake
//   get their context replaced before they are sealed, so a thief cannot
//   come back with the ticket of its own refused connection;
// - data connections issue no TLS 1.3 tickets at all.
// Tickets of TLS 1.3 (PSK) and 1.2 carry the token sealed under the
// context's ticket key; the library will not resume one under another token.
#pragma once

#include <memory>

struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;

namespace osprel {

constexpr int kTlsTokenLength = 32;

class TlsSessionBinding {
public:
    // Draws a fresh token.  Returns null when memory or the random
    // generator fails; nothing here throws.
    static std::unique_ptr<TlsSessionBinding> create();

    ~TlsSessionBinding();
    TlsSessionBinding(const TlsSessionBinding &) = delete;
    TlsSessionBinding &operator=(const TlsSessionBinding &) = delete;

    // Marks ssl, before its handshake, as this session's control connection
    // or one of its data connections; detach() before freeing ssl.
    bool attach(ssl_st *ssl, bool control);
    void detach(ssl_st *ssl);

    // After a data connection's handshake: whether it resumed a session of
    // this control connection.
    bool resumedHere(const ssl_st *data) const;

private:
    TlsSessionBinding() = default;
    friend struct TlsBindingCallbacks;

    unsigned char token_[kTlsTokenLength] = {};
    ssl_st *control_ = nullptr;
    ssl_session_st *controlSession_ = nullptr;  // TLS 1.2 session ID, owned
};

// Sets context's session cache and ticket callbacks for the binding; once,
// before any connection is made.
void installSessionBinding(ssl_ctx_st *context);

}  // namespace osprel
