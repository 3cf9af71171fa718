// The socket library binding: WinSock-shaped calls over BSD sockets and the
// system resolver, with WinSock's error numbers, handles that are never
// reused, window-message notification of network events and asynchronous
// host lookups. Also the helpers of the socket layer that need no socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/MessageLoop.h"
#include "platform/Object.h"

namespace pv {

// Raised by the socket layer for misuse and failed calls.
class ESocketException : public Exception {
  public:
    using Exception::Exception;
    const char *ClassName() const override { return "ESocketException"; }
};

// A socket handle: the descriptor in the low 32 bits and a serial number in
// the high ones, so a late message of a closed socket never matches a new
// socket that got the same descriptor.
using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;
// Handle of an asynchronous lookup; 0 is never one.
using HANDLE = std::uintptr_t;

// Network events of WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr long FIONREAD_CMD = 0x4004667F; // WinSock's FIONREAD

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

// lParam of a network-event or lookup message: low word event, high word error.
constexpr LPARAM WSAMAKESELECTREPLY(unsigned event, unsigned error) {
    return static_cast<LPARAM>((event & 0xFFFFu) | ((error & 0xFFFFu) << 16));
}
constexpr unsigned WSAGETSELECTEVENT(LPARAM l) {
    return static_cast<unsigned>(l) & 0xFFFFu;
}
constexpr unsigned WSAGETSELECTERROR(LPARAM l) {
    return (static_cast<unsigned>(l) >> 16) & 0xFFFFu;
}
constexpr unsigned WSAGETASYNCERROR(LPARAM l) {
    return WSAGETSELECTERROR(l);
}

// The calling thread's last error, as a WinSock number.
int WSAGetLastError();
void WSASetLastError(int error);
// errno and getaddrinfo results as WinSock numbers.
int WinsockErrorFromErrno(int err);
int WinsockErrorFromGai(int gaiError);

// The live count of socket objects and of calls that borrow the library.
void WinsockAddRef();
// Lowers the count; never unloads (the socket destructor calls UnloadWinsock).
void WinsockRelease();
int WinsockLiveCount();
// Cleans up when nothing is alive; the next call starts the library again.
void UnloadWinsock();
bool WinsockLoaded();

// Result of a host lookup: the official name and the IPv4 addresses in
// network order.
struct THostEnt {
    std::string Name;
    std::vector<std::uint32_t> Addresses;
};

// Asynchronous lookups run on a worker thread; on completion `msg` is posted
// to `window` with wParam = handle and the error in the high word of lParam.
// 0 when the lookup could not be started (WSAGetLastError tells why).
HANDLE WSAAsyncGetHostByName(HWND window, UINT msg, const std::string &name);
HANDLE WSAAsyncGetHostByAddr(HWND window, UINT msg, std::uint32_t addrNetOrder);
// The result of a finished lookup is dropped, pending or not yet fetched.
// SOCKET_ERROR with WSAEINVAL for an unknown handle.
int WSACancelAsyncRequest(HANDLE handle);
// Takes the result of a lookup whose message has arrived; false when there is
// none (cancelled or already taken).
bool WSAGetAsyncResult(HANDLE handle, THostEnt &result);
// Number of lookups not yet finished or fetched (for tests).
std::size_t WSAPendingAsyncRequests();

// Posts `msg` to `window` for the network events of `mask`, with WinSock's
// re-enabling rules; mask 0 stops all notification. Must be called on the
// thread that owns `window`.
int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, long mask);

// One wrapper per library call; results and errors as in WinSock (-1 and
// WSAGetLastError on failure).
namespace winsock {
SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int optname, const void *optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, void *optval, int *optlen);
int bind(SOCKET s, const sockaddr *name, int namelen);
int connect(SOCKET s, const sockaddr *name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen);
int send(SOCKET s, const void *buf, int len, int flags);
// Sends several pieces in one call (the send queue hands over its blocks).
int sendv(SOCKET s, const iovec *pieces, int count, int flags);
int sendto(SOCKET s, const void *buf, int len, int flags, const sockaddr *to, int tolen);
int recv(SOCKET s, void *buf, int len, int flags);
// Bytes a stream socket still held just after this thread's last recv; -1
// when that recv failed or the system did not say.
int recv_remaining();
int recvfrom(SOCKET s, void *buf, int len, int flags, sockaddr *from, int *fromlen);
// Only FIONREAD_CMD is supported.
int ioctlsocket(SOCKET s, long cmd, unsigned long *argp);
int getsockname(SOCKET s, sockaddr *name, int *namelen);
int getpeername(SOCKET s, sockaddr *name, int *namelen);
int gethostname(char *name, int namelen);
std::string inet_ntoa(std::uint32_t addrNetOrder);
// INADDR_NONE (all ones) when the text is no address.
std::uint32_t inet_addr(const std::string &text);
// Blocking lookup of an IPv4 host; false with the error set when not found.
bool gethostbyname(const std::string &name, THostEnt &result);
// Port in network order, or -1 when the service is unknown.
int getservbyname(const std::string &name, const std::string &proto);
// Protocol number, or -1 when unknown.
int getprotobyname(const std::string &name);
// The descriptor of a handle, -1 when it is no live socket.
int fd_of(SOCKET s);
} // namespace winsock

// Helpers that need no socket object.
bool IsDottedIP(const std::string &s);
// IPv4 address in network order.
std::uint32_t WSocketResolveHost(const std::string &host);
// Port in host order.
std::uint16_t WSocketResolvePort(const std::string &port, const std::string &proto);
int WSocketResolveProto(const std::string &proto);
std::string LocalHostName();
std::string SocketErrorDesc(int error);

} // namespace pv
