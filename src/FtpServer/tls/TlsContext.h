// The server's TLS context: its certificate chain and private key, TLS 1.2
// and 1.3 only with the library's defaults otherwise, and the session rules
// that bind data connections to their control connection (see
// TlsSessionBinding.h).  Shared by every session thread once loaded.
#pragma once

#include <memory>
#include <string>

#include "base/Renewal.h"
#include "config/TlsSettings.h"

struct ssl_ctx_st;

namespace osprel {

class TlsContext {
public:
    // Loads settings' certificate chain and key.  Returns null with one line
    // in *error when a file cannot be read or parsed, when the key does not
    // match the certificate, or when other users may read or write the key
    // file.  The key's bytes are wiped from memory once parsed and never
    // appear in a message.
    static std::unique_ptr<TlsContext> load(const TlsSettings &settings, std::string *error);

    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    ssl_ctx_st *handle() const { return context_; }
    bool requireResumption() const { return requireResumption_; }

private:
    TlsContext(ssl_ctx_st *context, bool requireResumption)
        : context_(context), requireResumption_(requireResumption) {}

    ssl_ctx_st *context_;
    bool requireResumption_;
};

// The context for sessions yet to start, loaded as TlsContext::load does
// (null with one line in *error), and again when the certificate or key
// file changes (Renewal.h).
std::unique_ptr<Renewable<TlsContext>> loadRenewedTlsContext(const TlsSettings &settings, std::string *error);

}  // namespace osprel
