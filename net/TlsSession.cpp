#include "net/TlsSession.h"

#include <cstring>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net/TlsContext.h"
#include "net/TlsErrors.h"
#include "net/WinsockCalls.h"
#include "net/WinsockErrors.h"

namespace pv {

namespace {

bool IsAddress(const std::string &host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// A server that answers in plain text (a TLS session opened on a port that
// waits for STARTTLS, say) gives the record layer these.
bool IsPlainTextAnswer(int reason) {
    switch (reason) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
    case SSL_R_HTTP_REQUEST:
        return true;
    default:
        return false;
    }
}

bool IsVersionRefusal(int reason) {
    switch (reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_VERSION_TOO_LOW:
        return true;
    default:
        return false;
    }
}

int CertificateError(long verifyResult) {
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return WSATLS_EXPIRED;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return WSATLS_NOT_YET_VALID;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return WSATLS_HOST_MISMATCH;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return WSATLS_UNTRUSTED;
    default:
        return WSATLS_CERT_REJECTED;
    }
}

} // namespace

TTlsSession::TTlsSession(const TTlsContext &Context, SOCKET Socket, const std::string &HostName)
    : FSocket(Socket), FHostName(HostName) {
    BIO_METHOD *method = Method();
    ERR_clear_error();
    FSsl = method ? SSL_new(Context.Handle()) : nullptr;
    BIO *bio = FSsl ? BIO_new(method) : nullptr;
    if (!bio) {
        const std::string why = TlsLibraryError();
        SSL_free(FSsl);
        throw ESocketException("TLS cannot be set up: " + (why.empty() ? "out of memory" : why));
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(FSsl, bio, bio);
    const bool address = IsAddress(HostName);
    bool named = true;
    if (Context.Verify()) {
        if (HostName.empty())
            named = false;
        else if (address)
            named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), HostName.c_str()) == 1;
        else {
            SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            named = SSL_set1_host(FSsl, HostName.c_str()) == 1;
        }
    }
    if (!named) {
        SSL_free(FSsl);
        ERR_clear_error();
        throw ESocketException("TLS cannot be set up: no host name to check the certificate "
                               "against");
    }
    if (!address && !HostName.empty())
        SSL_set_tlsext_host_name(FSsl, HostName.c_str());
    SSL_set_connect_state(FSsl);
}

TTlsSession::~TTlsSession() {
    SSL_free(FSsl);
}

// ---------------------------------------------------------------- the handle

bio_method_st *TTlsSession::Method() {
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pv socket");
        if (m) {
            BIO_meth_set_write(m, &TTlsSession::BioWrite);
            BIO_meth_set_read(m, &TTlsSession::BioRead);
            BIO_meth_set_ctrl(m, &TTlsSession::BioCtrl);
        }
        return m;
    }();
    return method;
}

int TTlsSession::BioWrite(bio_st *Bio, const char *Data, int Len) {
    auto *self = static_cast<TTlsSession *>(BIO_get_data(Bio));
    BIO_clear_retry_flags(Bio);
    if (Len <= 0)
        return 0;
    self->FOut.insert(self->FOut.end(), Data, Data + Len);
    return Len;
}

int TTlsSession::BioRead(bio_st *Bio, char *Data, int Len) {
    auto *self = static_cast<TTlsSession *>(BIO_get_data(Bio));
    BIO_clear_retry_flags(Bio);
    if (Len <= 0)
        return 0;
    // Through the binding, so that the read event is armed again.
    const int n = winsock::recv(self->FSocket, Data, Len, 0);
    if (n > 0)
        return n;
    if (n == 0) {
        self->FEof = true;
        return 0;
    }
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK)
        BIO_set_retry_read(Bio);
    else
        self->FSocketError = err;
    return -1;
}

long TTlsSession::BioCtrl(bio_st *Bio, int Cmd, long, void *) {
    auto *self = static_cast<TTlsSession *>(BIO_get_data(Bio));
    switch (Cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_WPENDING:
        return static_cast<long>(self->FOut.size() - self->FOutPos);
    case BIO_CTRL_EOF:
        return self->FEof ? 1 : 0;
    default:
        return 0;
    }
}

bool TTlsSession::Flush() {
    if (FSocketError != 0) {
        WSASetLastError(FSocketError);
        return false;
    }
    while (FOutPos < FOut.size()) {
        iovec piece{FOut.data() + FOutPos, FOut.size() - FOutPos};
        const int n = winsock::sendv(FSocket, &piece, 1, 0);
        if (n <= 0) {
            const int err = n < 0 ? WSAGetLastError() : WSAEWOULDBLOCK;
            if (err != WSAEWOULDBLOCK)
                FSocketError = err;
            WSASetLastError(err);
            return false;
        }
        FOutPos += static_cast<std::size_t>(n);
    }
    FOut.clear();
    FOutPos = 0;
    return true;
}

// ---------------------------------------------------------------- handshake

void TTlsSession::Fail(int Error, const std::string &Text) {
    FState = tlsFailed;
    FError = Error;
    FErrorText = Text;
}

void TTlsSession::Handshake() {
    if (FState != tlsHandshaking)
        return;
    ERR_clear_error();
    const int r = SSL_do_handshake(FSsl);
    const int sslError = r == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, r);
    // What the step produced goes out now: the next message, or the alert
    // that tells the server why we give up.
    const bool flushed = Flush();
    const int flushError = flushed ? 0 : WSAGetLastError();
    if (sslError != SSL_ERROR_NONE && sslError != SSL_ERROR_WANT_READ &&
        sslError != SSL_ERROR_WANT_WRITE) {
        HandshakeFailed();
        return;
    }
    ERR_clear_error();
    if (flushError != 0 && flushError != WSAEWOULDBLOCK) {
        Fail(WSATLS_CLOSED, SocketErrorDesc(flushError));
        return;
    }
    if (sslError == SSL_ERROR_NONE)
        FState = tlsEstablished;
}

void TTlsSession::HandshakeFailed() {
    // The oldest error is the cause; the others tell how it travelled up.
    const unsigned long first = ERR_peek_error();
    const int reason = first ? ERR_GET_REASON(first) : 0;
    const std::string library = TlsLibraryError();
    const long verify = SSL_get_verify_result(FSsl);
    if (FSocketError != 0)
        Fail(WSATLS_CLOSED, SocketErrorDesc(FSocketError));
    else if (verify != X509_V_OK) {
        std::string text =
            std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
        const int error = CertificateError(verify);
        if (error == WSATLS_HOST_MISMATCH)
            text += " (expected " + FHostName + ")";
        Fail(error, text);
    } else if (FEof)
        Fail(WSATLS_CLOSED, "the server closed the connection");
    else if (IsVersionRefusal(reason))
        Fail(WSATLS_VERSION, library);
    else if (IsPlainTextAnswer(reason))
        Fail(WSATLS_NOT_TLS, library);
    else
        Fail(WSATLS_HANDSHAKE, library.empty() ? "handshake failed" : library);
}

// ---------------------------------------------------------------- data

int TTlsSession::Read(void *Buffer, int Size) {
    switch (FState) {
    case tlsHandshaking:
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case tlsClosed:
        return 0;
    case tlsFailed:
        WSASetLastError(FError);
        return -1;
    default:
        break;
    }
    if (Size <= 0)
        return 0;
    ERR_clear_error();
    std::size_t got = 0;
    const int r = SSL_read_ex(FSsl, Buffer, static_cast<std::size_t>(Size), &got);
    const int sslError = r == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, r);
    // A read may owe the server an answer (a key update).
    Flush();
    if (sslError == SSL_ERROR_NONE)
        return static_cast<int>(got);
    switch (sslError) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        ERR_clear_error();
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        // The server ended the stream: our close_notify answers it, so a
        // server that waits for it closes the connection now.
        ERR_clear_error();
        FState = tlsClosed;
        SSL_shutdown(FSsl);
        Flush();
        ERR_clear_error();
        return 0;
    default:
        break;
    }
    const std::string library = TlsLibraryError();
    if (FSocketError != 0)
        Fail(FSocketError, SocketErrorDesc(FSocketError));
    else if (FEof && sslError == SSL_ERROR_SYSCALL) {
        FState = tlsClosed;
        return 0;
    } else
        Fail(WSATLS_PROTOCOL, library.empty() ? "bad record" : library);
    WSASetLastError(FError);
    return -1;
}

int TTlsSession::Write(const iovec *Pieces, int Count) {
    if (FState == tlsHandshaking) {
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    if (FState == tlsFailed) {
        WSASetLastError(FSocketError != 0 ? FSocketError : WSAECONNABORTED);
        return -1;
    }
    // One write's records at a time wait for room, no more.
    if (!Flush())
        return -1;
    const void *data = Count > 0 ? Pieces[0].iov_base : nullptr;
    std::size_t length = Count > 0 ? Pieces[0].iov_len : 0;
    if (Count > 1) {
        length = 0;
        for (int i = 0; i < Count; ++i)
            length += Pieces[i].iov_len;
        if (FStage.size() < length)
            FStage.resize(length);
        std::size_t at = 0;
        for (int i = 0; i < Count; ++i) {
            std::memcpy(FStage.data() + at, Pieces[i].iov_base, Pieces[i].iov_len);
            at += Pieces[i].iov_len;
        }
        data = FStage.data();
    }
    if (length == 0)
        return 0;
    ERR_clear_error();
    std::size_t written = 0;
    const int r = SSL_write_ex(FSsl, data, length, &written);
    if (r != 1) {
        const int sslError = SSL_get_error(FSsl, r);
        if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            WSASetLastError(WSAEWOULDBLOCK);
            return -1;
        }
        const std::string library = TlsLibraryError();
        if (FSocketError != 0)
            Fail(FSocketError, SocketErrorDesc(FSocketError));
        else
            Fail(WSATLS_PROTOCOL, library.empty() ? "write failed" : library);
        WSASetLastError(FSocketError != 0 ? FSocketError : WSAECONNABORTED);
        return -1;
    }
    // Room or not, the bytes are ours now; a broken connection shows at the
    // next write.
    Flush();
    return static_cast<int>(written);
}

int TTlsSession::Pending() const {
    return FState == tlsEstablished ? SSL_pending(FSsl) : 0;
}

void TTlsSession::Shutdown() {
    if (FState != tlsEstablished && FState != tlsClosed)
        return;
    ERR_clear_error();
    SSL_shutdown(FSsl);
    Flush();
    ERR_clear_error();
}

std::string TTlsSession::Protocol() const {
    if (FState != tlsEstablished && FState != tlsClosed)
        return "";
    return SSL_get_version(FSsl);
}

std::string TTlsSession::Cipher() const {
    if (FState != tlsEstablished && FState != tlsClosed)
        return "";
    const char *name = SSL_CIPHER_get_name(SSL_get_current_cipher(FSsl));
    return name ? name : "";
}

} // namespace pv
