#include "net/WinsockCalls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "net/WinsockErrors.h"
#include "net/WinsockResolve.h"
#include "net/WinsockSelect.h"
#include "net/WinsockStartup.h"
#include "platform/Text.h"

namespace pv {

namespace {
thread_local int tRecvRemaining = -1;

// A minimal system (a container, a debootstrap root) may lack netbase's
// /etc/protocols and /etc/services; the names a mail program uses must still
// resolve. Taken only when the system's database does not know the name.
struct KnownNumber {
    const char *name;
    int number;
};
constexpr KnownNumber kKnownProtocols[] = {{"ip", 0}, {"icmp", 1}, {"tcp", 6}, {"udp", 17}};
constexpr KnownNumber kKnownServices[] = {
    {"smtp", 25},   {"pop3", 110},  {"submission", 587}, {"submissions", 465},
    {"smtps", 465}, {"ssmtp", 465}, {"pop3s", 995},      {"socks", 1080},
};

int KnownNumberOf(const KnownNumber *begin, const KnownNumber *end, const std::string &name) {
    const std::string lower = LowerCase(name);
    const auto it = std::find_if(begin, end, [&](const KnownNumber &k) { return lower == k.name; });
    return it == end ? -1 : it->number;
}
} // namespace

namespace winsock {

using socktable::ConnectionError;
using socktable::RearmEvent;
using socktable::Resolve;
using Rearm = socktable::Rearm;

SOCKET socket(int af, int type, int protocol) {
    EnsureWinsockStarted();
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_SOCKET;
    }
    return socktable::Register(fd, type, false);
}

int closesocket(SOCKET s) {
    EnsureWinsockStarted();
    int fd = socktable::Unregister(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::close(fd) != 0 && errno != EINTR)
        return SetLastErrorFromErrno(errno);
    return 0;
}

int shutdown(SOCKET s, int how) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::shutdown(fd, how) != 0)
        return SetLastErrorFromErrno(errno);
    if (how == SHUT_WR || how == SHUT_RDWR)
        socktable::NoteShutWrite(s);
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void *optval, int optlen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::setsockopt(fd, level, optname, optval, static_cast<socklen_t>(optlen)) != 0)
        return SetLastErrorFromErrno(errno);
    return 0;
}

int getsockopt(SOCKET s, int level, int optname, void *optval, int *optlen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    socklen_t len = static_cast<socklen_t>(*optlen);
    if (::getsockopt(fd, level, optname, optval, &len) != 0)
        return SetLastErrorFromErrno(errno);
    *optlen = static_cast<int>(len);
    return 0;
}

int bind(SOCKET s, const sockaddr *name, int namelen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::bind(fd, name, static_cast<socklen_t>(namelen)) != 0)
        return SetLastErrorFromErrno(errno);
    return 0;
}

int connect(SOCKET s, const sockaddr *name, int namelen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    int rc = ::connect(fd, name, static_cast<socklen_t>(namelen));
    return socktable::NoteConnect(s, rc, rc == 0 ? 0 : errno);
}

int listen(SOCKET s, int backlog) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::listen(fd, backlog) != 0)
        return SetLastErrorFromErrno(errno);
    socktable::NoteListening(s);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen) {
    int fd = Resolve(s);
    if (fd < 0)
        return INVALID_SOCKET;
    const bool nonBlocking = socktable::IsNonBlocking(s);
    socklen_t len = addrlen ? static_cast<socklen_t>(*addrlen) : 0;
    int nfd = ::accept4(fd, addr, addrlen ? &len : nullptr,
                        SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
    int err = errno;
    RearmEvent(s, Rearm::Accept);
    if (nfd < 0) {
        SetLastErrorFromErrno(err);
        return INVALID_SOCKET;
    }
    if (addrlen)
        *addrlen = static_cast<int>(len);
    return socktable::Register(nfd, SOCK_STREAM, nonBlocking);
}

int send(SOCKET s, const void *buf, int len, int flags) {
    iovec piece{const_cast<void *>(buf), static_cast<std::size_t>(std::max(len, 0))};
    return sendv(s, &piece, 1, flags);
}

int sendv(SOCKET s, const iovec *pieces, int count, int flags) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    msghdr mh{};
    mh.msg_iov = const_cast<iovec *>(pieces);
    mh.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t n;
    do
        n = ::sendmsg(fd, &mh, flags | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK)
            RearmEvent(s, Rearm::Write);
        return ConnectionError(s, err);
    }
    // A short write means the buffer is full: WinSock's caller would see
    // WSAEWOULDBLOCK on the next try, so room coming free must be reported.
    std::size_t offered = 0;
    for (int i = 0; i < count; ++i)
        offered += pieces[i].iov_len;
    if (static_cast<std::size_t>(n) < offered)
        RearmEvent(s, Rearm::Write);
    return static_cast<int>(n);
}

int sendto(SOCKET s, const void *buf, int len, int flags, const sockaddr *to, int tolen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    ssize_t n = ::sendto(fd, buf, static_cast<std::size_t>(std::max(len, 0)), flags | MSG_NOSIGNAL,
                         to, static_cast<socklen_t>(tolen));
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK)
            RearmEvent(s, Rearm::Write);
        return SetLastErrorFromErrno(err);
    }
    return static_cast<int>(n);
}

int recv(SOCKET s, void *buf, int len, int flags) {
    tRecvRemaining = -1;
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    iovec piece{buf, static_cast<std::size_t>(std::max(len, 0))};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr mh{};
    mh.msg_iov = &piece;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = ::recvmsg(fd, &mh, flags);
    while (n < 0 && errno == EINTR);
    int err = errno;
    if (n >= 0)
        for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
            if (c->cmsg_level == IPPROTO_TCP && c->cmsg_type == TCP_CM_INQ &&
                c->cmsg_len >= CMSG_LEN(sizeof(int)))
                std::memcpy(&tRecvRemaining, CMSG_DATA(c), sizeof(int));
    RearmEvent(s, Rearm::Read);
    if (n < 0)
        return ConnectionError(s, err);
    return static_cast<int>(n);
}

int recv_remaining() {
    return tRecvRemaining;
}

int recvfrom(SOCKET s, void *buf, int len, int flags, sockaddr *from, int *fromlen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    socklen_t flen = fromlen ? static_cast<socklen_t>(*fromlen) : 0;
    ssize_t n;
    do
        n = ::recvfrom(fd, buf, static_cast<std::size_t>(std::max(len, 0)), flags, from,
                       fromlen ? &flen : nullptr);
    while (n < 0 && errno == EINTR);
    int err = errno;
    RearmEvent(s, Rearm::Read);
    if (n < 0)
        return SetLastErrorFromErrno(err);
    if (fromlen)
        *fromlen = static_cast<int>(flen);
    return static_cast<int>(n);
}

int ioctlsocket(SOCKET s, long cmd, unsigned long *argp) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (cmd != FIONREAD_CMD || !argp) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0)
        return SetLastErrorFromErrno(errno);
    *argp = static_cast<unsigned long>(n);
    return 0;
}

namespace {

// getsockname and getpeername differ only in the call they make.
int QueryName(SOCKET s, sockaddr *name, int *namelen, int (*query)(int, sockaddr *, socklen_t *)) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    socklen_t len = static_cast<socklen_t>(*namelen);
    if (query(fd, name, &len) != 0)
        return SetLastErrorFromErrno(errno);
    *namelen = static_cast<int>(len);
    return 0;
}

} // namespace

int getsockname(SOCKET s, sockaddr *name, int *namelen) {
    return QueryName(s, name, namelen, ::getsockname);
}

int getpeername(SOCKET s, sockaddr *name, int *namelen) {
    return QueryName(s, name, namelen, ::getpeername);
}

int gethostname(char *name, int namelen) {
    EnsureWinsockStarted();
    if (::gethostname(name, static_cast<std::size_t>(namelen)) != 0)
        return SetLastErrorFromErrno(errno);
    return 0;
}

std::string inet_ntoa(std::uint32_t addrNetOrder) {
    const auto *b = reinterpret_cast<const unsigned char *>(&addrNetOrder);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

std::uint32_t inet_addr(const std::string &text) {
    if (IsDottedIP(text)) {
        // Decimal parts, as the dotted test reads them.
        std::uint32_t parts[4] = {0, 0, 0, 0};
        int i = 0;
        for (char ch : text) {
            if (ch >= '0' && ch <= '9')
                parts[i] = parts[i] * 10 + static_cast<std::uint32_t>(ch - '0');
            else if (ch == '.')
                ++i;
        }
        unsigned char b[4] = {
            static_cast<unsigned char>(parts[0]), static_cast<unsigned char>(parts[1]),
            static_cast<unsigned char>(parts[2]), static_cast<unsigned char>(parts[3])};
        std::uint32_t r;
        std::memcpy(&r, b, 4);
        return r;
    }
    return ::inet_addr(text.c_str());
}

bool gethostbyname(const std::string &name, THostEnt &result) {
    EnsureWinsockStarted();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo *res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0) {
        WSASetLastError(WinsockErrorFromGai(rc));
        return false;
    }
    result.Name = res && res->ai_canonname ? res->ai_canonname : name;
    result.Addresses.clear();
    for (addrinfo *p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET)
            continue;
        std::uint32_t a = reinterpret_cast<const sockaddr_in *>(p->ai_addr)->sin_addr.s_addr;
        if (std::find(result.Addresses.begin(), result.Addresses.end(), a) ==
            result.Addresses.end())
            result.Addresses.push_back(a);
    }
    ::freeaddrinfo(res);
    if (result.Addresses.empty()) {
        WSASetLastError(WSANO_DATA);
        return false;
    }
    return true;
}

int getservbyname(const std::string &name, const std::string &proto) {
    EnsureWinsockStarted();
    servent se{};
    servent *found = nullptr;
    char buf[1024];
    ::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &se, buf, sizeof buf,
                      &found);
    if (!found) {
        const int known =
            proto.empty() || proto == "tcp"
                ? KnownNumberOf(std::begin(kKnownServices), std::end(kKnownServices), name)
                : -1;
        if (known >= 0)
            return htons(static_cast<std::uint16_t>(known));
        WSASetLastError(WSANO_DATA);
        return -1;
    }
    return static_cast<std::uint16_t>(found->s_port);
}

int getprotobyname(const std::string &name) {
    EnsureWinsockStarted();
    protoent pe{};
    protoent *found = nullptr;
    char buf[1024];
    ::getprotobyname_r(name.c_str(), &pe, buf, sizeof buf, &found);
    if (!found) {
        const int known =
            KnownNumberOf(std::begin(kKnownProtocols), std::end(kKnownProtocols), name);
        if (known >= 0)
            return known;
        WSASetLastError(WSANO_DATA);
        return -1;
    }
    return found->p_proto;
}

int fd_of(SOCKET s) {
    return socktable::LiveFd(s);
}

} // namespace winsock

} // namespace pv
