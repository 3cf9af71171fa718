#include "net/TlsErrors.h"

namespace pv {

std::string TlsErrorDesc(int error) {
    switch (error) {
    case WSATLS_HANDSHAKE:
        return "TLS handshake failed";
    case WSATLS_UNTRUSTED:
        return "TLS certificate not trusted";
    case WSATLS_EXPIRED:
        return "TLS certificate expired";
    case WSATLS_NOT_YET_VALID:
        return "TLS certificate not yet valid";
    case WSATLS_HOST_MISMATCH:
        return "TLS certificate is for another host name";
    case WSATLS_CERT_REJECTED:
        return "TLS certificate rejected";
    case WSATLS_CLOSED:
        return "Connection closed during TLS handshake";
    case WSATLS_VERSION:
        return "No TLS version in common (1.2 or later needed)";
    case WSATLS_PROTOCOL:
        return "TLS protocol error";
    case WSATLS_SETUP:
        return "TLS cannot be set up";
    case WSATLS_NOT_TLS:
        return "Server does not answer in TLS";
    default:
        return "";
    }
}

} // namespace pv
