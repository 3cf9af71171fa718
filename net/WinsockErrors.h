// WinSock's error numbers over errno and the resolver, the calling thread's
// last error, and the English texts of the numbers.
#pragma once

#include <string>

#include "platform/Object.h"

namespace pv {

// Raised by the socket layer for misuse and failed calls.
class ESocketException : public Exception {
  public:
    using Exception::Exception;
    const char *ClassName() const override { return "ESocketException"; }
};

// WinSock error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// An errno without a WinSock twin becomes SYSTEM_ERROR_BASE + errno: outside
// WinSock's numbers and the codes the clients give a meaning (500, the SOCKS
// codes 20001-20017, 20600), within the 16 bits of an event, and its text is
// the system's text of that errno.
constexpr int SYSTEM_ERROR_BASE = 13000;
constexpr int SYSTEM_ERROR_LAST = SYSTEM_ERROR_BASE + 4095; // errno stays below 4096

// The calling thread's last error, as a WinSock number.
int WSAGetLastError();
void WSASetLastError(int error);
// Sets the last error from errno; returns SOCKET_ERROR (-1) for the caller
// to pass on.
int SetLastErrorFromErrno(int err);
// errno and getaddrinfo results as WinSock numbers (or, for an errno without
// a twin, the number of our own above).
int WinsockErrorFromErrno(int err);
int WinsockErrorFromGai(int gaiError);

std::string SocketErrorDesc(int error);

} // namespace pv
