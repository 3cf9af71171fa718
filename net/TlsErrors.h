// The error numbers of TLS failures and their texts. They travel in the same
// 16-bit error codes as WinSock's numbers, in a range of their own, so the
// layers above report them as they report any socket error.
#pragma once

#include <string>

namespace pv {

constexpr int WSATLS_HANDSHAKE = 12001;     // the handshake failed (an alert, a bad message)
constexpr int WSATLS_UNTRUSTED = 12002;     // no trusted CA issued the server's certificate
constexpr int WSATLS_EXPIRED = 12003;       // the certificate's validity has ended
constexpr int WSATLS_NOT_YET_VALID = 12004; // the certificate's validity has not begun
constexpr int WSATLS_HOST_MISMATCH = 12005; // the certificate names another host
constexpr int WSATLS_CERT_REJECTED = 12006; // the certificate failed another check
constexpr int WSATLS_CLOSED = 12007;        // the connection ended during the handshake
constexpr int WSATLS_VERSION = 12008;       // no protocol version in common
constexpr int WSATLS_PROTOCOL = 12009;      // a record could not be read after the handshake
constexpr int WSATLS_SETUP = 12010;         // no TLS session could be made
constexpr int WSATLS_NOT_TLS = 12011;       // the server answered in something other than TLS
constexpr int WSATLS_FIRST = WSATLS_HANDSHAKE;
constexpr int WSATLS_LAST = WSATLS_NOT_TLS;

inline bool IsTlsError(int error) {
    return error >= WSATLS_FIRST && error <= WSATLS_LAST;
}

// The text of a TLS error number; "" for any other number.
std::string TlsErrorDesc(int error);

} // namespace pv
