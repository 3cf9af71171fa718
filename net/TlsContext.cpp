#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/WinsockErrors.h"

namespace pv {

std::string TlsLibraryError() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0)
        return "";
    const char *reason = ERR_reason_error_string(e);
    if (reason)
        return reason;
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

TTlsContext::TTlsContext(bool Verify, const std::string &CAFile)
    : FVerify(Verify), FCAFile(CAFile) {
    // The library's own clean-up at exit could run before a context held by
    // a static object is freed.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
    ERR_clear_error();
    FCtx = SSL_CTX_new(TLS_client_method());
    if (!FCtx)
        throw ESocketException("TLS cannot be set up: " + TlsLibraryError());
    SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
    // Renegotiation would let a write wait for a read; no mail server needs it.
    SSL_CTX_set_options(FCtx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(FCtx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(FCtx, Verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    const int loaded = CAFile.empty()
                           ? SSL_CTX_set_default_verify_paths(FCtx)
                           : SSL_CTX_load_verify_locations(FCtx, CAFile.c_str(), nullptr);
    if (loaded != 1) {
        const std::string why = TlsLibraryError();
        SSL_CTX_free(FCtx);
        FCtx = nullptr;
        throw ESocketException(CAFile.empty() ? "Cannot load the system's trust store: " + why
                                              : "Cannot load the CA file '" + CAFile + "': " + why);
    }
}

TTlsContext::~TTlsContext() {
    SSL_CTX_free(FCtx);
}

std::shared_ptr<TTlsContext> TTlsContext::Default() {
    static const std::shared_ptr<TTlsContext> context = std::make_shared<TTlsContext>();
    return context;
}

} // namespace pv
