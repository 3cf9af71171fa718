// One wrapper per socket library call, over BSD sockets and the system
// resolver; results and errors as in WinSock (-1 and WSAGetLastError on
// failure).
#pragma once

#include <cstdint>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

#include "net/WinsockTypes.h"

namespace pv {

constexpr long FIONREAD_CMD = 0x4004667F; // WinSock's FIONREAD

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

} // namespace pv
