#include "net/Winsock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pv {

// ---------------------------------------------------------------------------
// Errors

namespace {
thread_local int tLastError = 0;
thread_local int tRecvRemaining = -1;

int SetErrno(int err) {
    tLastError = WinsockErrorFromErrno(err);
    return SOCKET_ERROR;
}
} // namespace

int WSAGetLastError() {
    return tLastError;
}
void WSASetLastError(int error) {
    tLastError = error;
}

int WinsockErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EWOULDBLOCK:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case EPIPE:
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        // No WinSock counterpart: a number SocketErrorDesc calls no WinSock error.
        return WSABASEERR + err;
    }
}

int WinsockErrorFromGai(int gaiError) {
    switch (gaiError) {
    case 0:
        return 0;
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
    case EAI_FAMILY:
        return WSANO_DATA;
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_SYSTEM:
        return errno ? WinsockErrorFromErrno(errno) : WSANO_RECOVERY;
    default:
        return WSANO_RECOVERY;
    }
}

// ---------------------------------------------------------------------------
// Start-up and the live count

namespace {
std::mutex gLibLock;
std::atomic<bool> gLoaded{false};
int gLiveCount = 0;

void EnsureStarted() {
    if (gLoaded.load(std::memory_order_acquire))
        return;
    std::lock_guard lock(gLibLock);
    if (gLoaded.load(std::memory_order_relaxed))
        return;
    // A peer that closes while we write must give EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    gLoaded.store(true, std::memory_order_release);
}
} // namespace

void WinsockAddRef() {
    std::lock_guard lock(gLibLock);
    ++gLiveCount;
}

void WinsockRelease() {
    std::lock_guard lock(gLibLock);
    --gLiveCount;
}

int WinsockLiveCount() {
    std::lock_guard lock(gLibLock);
    return gLiveCount;
}

void UnloadWinsock() {
    std::lock_guard lock(gLibLock);
    if (gLoaded.load(std::memory_order_relaxed) && gLiveCount <= 0)
        gLoaded.store(false, std::memory_order_release);
}

bool WinsockLoaded() {
    return gLoaded.load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------
// The socket table: one entry per open descriptor, with the notification
// state of WSAAsyncSelect. Entries are touched under gTableLock; the fd
// watches only on the thread that selected the socket.

namespace {

struct SocketEntry {
    std::uint32_t serial = 0;
    int type = SOCK_STREAM;
    bool nonBlocking = false;
    // Notification
    HWND window = 0;
    UINT msg = 0;
    long mask = 0;
    std::thread::id owner;
    bool watched = false;
    std::uint32_t watchEvents = 0;
    bool readArmed = false;
    bool writeArmed = false;
    bool acceptArmed = false;
    bool closeDone = false;
    bool connecting = false;
    bool connected = false;
    bool listening = false;
    bool dead = false;   // nothing more can happen on it
    int brokenError = 0; // reset seen by a call, for FD_CLOSE
    bool shutWrite = false;
};

std::mutex gTableLock;
std::unordered_map<int, SocketEntry> gTable;
std::uint32_t gNextSerial = 1;

SOCKET MakeHandle(int fd, std::uint32_t serial) {
    return (static_cast<SOCKET>(serial) << 32) | static_cast<std::uint32_t>(fd);
}

int FdOf(SOCKET s) {
    if (s == INVALID_SOCKET)
        return -1;
    return static_cast<int>(static_cast<std::uint32_t>(s & 0xFFFFFFFFu));
}

std::uint32_t SerialOf(SOCKET s) {
    return static_cast<std::uint32_t>(s >> 32);
}

// Looks up a live handle; the caller holds gTableLock.
SocketEntry *Find(SOCKET s) {
    int fd = FdOf(s);
    if (fd < 0)
        return nullptr;
    auto it = gTable.find(fd);
    if (it == gTable.end() || it->second.serial != SerialOf(s))
        return nullptr;
    return &it->second;
}

SOCKET Register(int fd, int type, bool nonBlocking) {
    if (type == SOCK_STREAM) {
        // recv then tells what is left, which spares a FIONREAD per read.
        int on = 1;
        (void)::setsockopt(fd, IPPROTO_TCP, TCP_INQ, &on, sizeof on);
    }
    std::lock_guard lock(gTableLock);
    SocketEntry e;
    e.serial = gNextSerial++;
    if (gNextSerial == 0)
        gNextSerial = 1;
    e.type = type;
    e.nonBlocking = nonBlocking;
    gTable[fd] = e;
    return MakeHandle(fd, e.serial);
}

// The fd for a call; -1 with WSAENOTSOCK when the handle is not live.
int Resolve(SOCKET s) {
    EnsureStarted();
    std::lock_guard lock(gTableLock);
    if (!Find(s)) {
        tLastError = WSAENOTSOCK;
        return -1;
    }
    return FdOf(s);
}

std::uint32_t DesiredEvents(const SocketEntry &e) {
    if (e.mask == 0 || e.dead)
        return 0;
    std::uint32_t ev = 0;
    if (e.connecting) {
        if (e.mask & FD_CONNECT)
            ev |= EPOLLOUT;
        return ev;
    }
    if (e.listening) {
        if (e.acceptArmed && (e.mask & FD_ACCEPT))
            ev |= EPOLLIN;
        return ev;
    }
    if (e.readArmed && (e.mask & FD_READ))
        ev |= EPOLLIN;
    if (e.writeArmed && (e.mask & FD_WRITE))
        ev |= EPOLLOUT;
    if (e.type == SOCK_STREAM && e.connected && !e.closeDone && (e.mask & FD_CLOSE))
        ev |= EPOLLRDHUP;
    return ev;
}

void OnFdReady(SOCKET s, std::uint32_t revents);

// Brings the fd watch in line with the entry: planned under gTableLock,
// applied on the owner thread without it.
struct WatchChange {
    int fd = -1;
    SOCKET handle = INVALID_SOCKET;
    enum { None, Add, Modify, Remove } op = None;
    std::uint32_t events = 0;
};

WatchChange PlanWatch(SOCKET s, SocketEntry &e, bool keepRead = false) {
    WatchChange c;
    c.fd = FdOf(s);
    c.handle = s;
    if (e.owner != std::this_thread::get_id() && e.watched)
        return c; // another thread's loop holds the watch
    std::uint32_t want = DesiredEvents(e);
    // Just after FD_READ the program's recv usually re-arms it before the loop
    // waits again; leaving EPOLLIN in place saves two epoll_ctl calls per read.
    // Should the fd turn up readable while disarmed, it is taken out then.
    if (keepRead && want != 0 && e.watched && (e.watchEvents & EPOLLIN))
        want |= EPOLLIN;
    if (want == 0) {
        if (e.watched) {
            c.op = WatchChange::Remove;
            e.watched = false;
            e.watchEvents = 0;
        }
    } else if (!e.watched) {
        c.op = WatchChange::Add;
        e.watched = true;
        e.watchEvents = want;
        e.owner = std::this_thread::get_id();
    } else if (e.watchEvents != want) {
        c.op = WatchChange::Modify;
        e.watchEvents = want;
    }
    c.events = e.watchEvents;
    return c;
}

void ApplyWatch(const WatchChange &c) {
    switch (c.op) {
    case WatchChange::None:
        break;
    case WatchChange::Add: {
        SOCKET h = c.handle;
        AddFdWatch(c.fd, c.events, [h](int, std::uint32_t revents) { OnFdReady(h, revents); });
        break;
    }
    case WatchChange::Modify:
        ModifyFdWatch(c.fd, c.events);
        break;
    case WatchChange::Remove:
        RemoveFdWatch(c.fd);
        break;
    }
}

void UpdateWatch(SOCKET s) {
    WatchChange c;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e)
            return;
        c = PlanWatch(s, *e);
    }
    ApplyWatch(c);
}

int SocketErrorOf(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return WinsockErrorFromErrno(errno);
    return WinsockErrorFromErrno(err);
}

int BytesReadable(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0)
        return -1;
    return n;
}

void OnFdReady(SOCKET s, std::uint32_t revents) {
    struct Post {
        long event;
        int error;
    };
    Post posts[4];
    int nposts = 0;
    HWND window = 0;
    UINT msg = 0;
    WatchChange c;
    bool keepRead = false;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e || e->mask == 0)
            return;
        int fd = FdOf(s);
        window = e->window;
        msg = e->msg;
        const bool hup = revents & (EPOLLHUP | EPOLLERR);
        if (e->connecting) {
            if (revents & (EPOLLOUT | EPOLLHUP | EPOLLERR)) {
                int err = SocketErrorOf(fd);
                e->connecting = false;
                if (err == 0 && (revents & EPOLLHUP))
                    err = WSAECONNREFUSED;
                posts[nposts++] = {FD_CONNECT, err};
                if (err == 0) {
                    e->connected = true;
                    // WinSock's first FD_WRITE comes right after the connect.
                    if (e->mask & FD_WRITE)
                        posts[nposts++] = {FD_WRITE, 0};
                    e->writeArmed = false;
                } else {
                    e->dead = true;
                }
            }
        } else if (e->listening) {
            if ((revents & EPOLLIN) && e->acceptArmed) {
                e->acceptArmed = false;
                posts[nposts++] = {FD_ACCEPT, 0};
            }
        } else {
            if ((revents & EPOLLIN) && e->readArmed) {
                // At end of stream or on a reset there is nothing to read;
                // that is FD_CLOSE's business. Without a hang-up, readable
                // means bytes are waiting.
                const bool ended = revents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
                if (e->type != SOCK_STREAM || !ended || BytesReadable(fd) > 0) {
                    if (e->mask & FD_READ) {
                        posts[nposts++] = {FD_READ, 0};
                        keepRead = true;
                    }
                }
                e->readArmed = false;
            }
            if ((revents & EPOLLOUT) && e->writeArmed) {
                e->writeArmed = false;
                if (e->mask & FD_WRITE)
                    posts[nposts++] = {FD_WRITE, 0};
            }
            if (e->type == SOCK_STREAM && e->connected && !e->closeDone &&
                (revents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
                int err = (revents & EPOLLERR) ? SocketErrorOf(fd) : 0;
                if (err == 0)
                    err = e->brokenError;
                e->closeDone = true;
                if (e->mask & FD_CLOSE)
                    posts[nposts++] = {FD_CLOSE, err};
            }
            if (hup && (e->closeDone || !e->connected))
                e->dead = true;
        }
        c = PlanWatch(s, *e, keepRead);
    }
    ApplyWatch(c);
    for (int i = 0; i < nposts; ++i)
        PostMessage(window, msg, static_cast<WPARAM>(s),
                    WSAMAKESELECTREPLY(static_cast<unsigned>(posts[i].event),
                                       static_cast<unsigned>(posts[i].error)));
}

// A call that re-enables an event (recv for FD_READ, accept for FD_ACCEPT,
// a blocked send for FD_WRITE).
enum class Rearm { Read, Write, Accept };

void RearmEvent(SOCKET s, Rearm what) {
    WatchChange c;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e)
            return;
        bool *flag = what == Rearm::Read    ? &e->readArmed
                     : what == Rearm::Write ? &e->writeArmed
                                            : &e->acceptArmed;
        if (*flag || e->mask == 0)
            return;
        *flag = true;
        c = PlanWatch(s, *e);
    }
    ApplyWatch(c);
}

// A failed call on a connection: remembers a reset for FD_CLOSE and gives
// the error WinSock would. EPIPE is WinSock's WSAESHUTDOWN only after our own
// shutdown; after a reset by the peer WinSock reports WSAECONNRESET.
int ConnectionError(SOCKET s, int err) {
    std::lock_guard lock(gTableLock);
    SocketEntry *e = Find(s);
    if (err == EPIPE && e && !e->shutWrite)
        err = ECONNRESET;
    int wsa = WinsockErrorFromErrno(err);
    if (e && (err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT))
        e->brokenError = wsa;
    tLastError = wsa;
    return SOCKET_ERROR;
}

} // namespace

int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, long mask) {
    EnsureStarted();
    int fd;
    WatchChange c;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e) {
            tLastError = WSAENOTSOCK;
            return SOCKET_ERROR;
        }
        fd = FdOf(s);
        if (mask != 0 && !IsWindow(window)) {
            tLastError = WSAEINVAL;
            return SOCKET_ERROR;
        }
        if (!e->nonBlocking) {
            int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
                return SetErrno(errno);
            e->nonBlocking = true;
        }
        e->window = window;
        e->msg = msg;
        e->mask = mask;
        if (mask != 0) {
            // As in WinSock, a new selection reports what is already true.
            int acceptConn = 0;
            socklen_t len = sizeof acceptConn;
            if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &acceptConn, &len) == 0)
                e->listening = acceptConn != 0;
            if (!e->connecting && !e->listening && e->type == SOCK_STREAM) {
                sockaddr_in peer{};
                socklen_t plen = sizeof peer;
                e->connected = ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &plen) == 0;
            }
            e->readArmed = true;
            e->acceptArmed = true;
            e->writeArmed = !e->connecting && (e->connected || e->type != SOCK_STREAM);
            e->closeDone = false;
            e->dead = false;
        }
        c = PlanWatch(s, *e);
    }
    ApplyWatch(c);
    return 0;
}

// ---------------------------------------------------------------------------
// The calls

namespace winsock {

SOCKET socket(int af, int type, int protocol) {
    EnsureStarted();
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        SetErrno(errno);
        return INVALID_SOCKET;
    }
    return Register(fd, type, false);
}

int closesocket(SOCKET s) {
    EnsureStarted();
    int fd;
    bool watched;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e) {
            tLastError = WSAENOTSOCK;
            return SOCKET_ERROR;
        }
        fd = FdOf(s);
        watched = e->watched && e->owner == std::this_thread::get_id();
        gTable.erase(fd);
    }
    if (watched)
        RemoveFdWatch(fd);
    if (::close(fd) != 0 && errno != EINTR)
        return SetErrno(errno);
    return 0;
}

int shutdown(SOCKET s, int how) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::shutdown(fd, how) != 0)
        return SetErrno(errno);
    if (how == SHUT_WR || how == SHUT_RDWR) {
        std::lock_guard lock(gTableLock);
        if (SocketEntry *e = Find(s))
            e->shutWrite = true;
    }
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void *optval, int optlen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::setsockopt(fd, level, optname, optval, static_cast<socklen_t>(optlen)) != 0)
        return SetErrno(errno);
    return 0;
}

int getsockopt(SOCKET s, int level, int optname, void *optval, int *optlen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    socklen_t len = static_cast<socklen_t>(*optlen);
    if (::getsockopt(fd, level, optname, optval, &len) != 0)
        return SetErrno(errno);
    *optlen = static_cast<int>(len);
    return 0;
}

int bind(SOCKET s, const sockaddr *name, int namelen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::bind(fd, name, static_cast<socklen_t>(namelen)) != 0)
        return SetErrno(errno);
    return 0;
}

int connect(SOCKET s, const sockaddr *name, int namelen) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    int rc = ::connect(fd, name, static_cast<socklen_t>(namelen));
    int err = rc == 0 ? 0 : errno;
    HWND window = 0;
    UINT msg = 0;
    bool postConnect = false;
    bool asyncFailure = false;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e) {
            tLastError = WSAENOTSOCK;
            return SOCKET_ERROR;
        }
        if (e->type != SOCK_STREAM) {
            if (rc != 0)
                return SetErrno(err);
            return 0;
        }
        bool selected = e->mask != 0 && e->nonBlocking;
        window = e->window;
        msg = e->msg;
        if (rc == 0) {
            e->connected = true;
            if (selected) {
                postConnect = (e->mask & FD_CONNECT) != 0;
                e->writeArmed = true;
            }
        } else if (err == EINPROGRESS) {
            e->connecting = true;
        } else if (selected && (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH ||
                                err == ETIMEDOUT || err == ECONNRESET)) {
            // WinSock reports these through FD_CONNECT, never from the call.
            asyncFailure = true;
            e->dead = true;
            postConnect = (e->mask & FD_CONNECT) != 0;
        }
    }
    UpdateWatch(s);
    if (postConnect)
        PostMessage(
            window, msg, static_cast<WPARAM>(s),
            WSAMAKESELECTREPLY(
                FD_CONNECT, static_cast<unsigned>(asyncFailure ? WinsockErrorFromErrno(err) : 0)));
    if (rc == 0)
        return 0;
    if (err == EINPROGRESS || asyncFailure) {
        tLastError = WSAEWOULDBLOCK;
        return SOCKET_ERROR;
    }
    return SetErrno(err);
}

int listen(SOCKET s, int backlog) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (::listen(fd, backlog) != 0)
        return SetErrno(errno);
    {
        std::lock_guard lock(gTableLock);
        if (SocketEntry *e = Find(s)) {
            e->listening = true;
            e->acceptArmed = true;
        }
    }
    UpdateWatch(s);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen) {
    int fd = Resolve(s);
    if (fd < 0)
        return INVALID_SOCKET;
    bool nonBlocking;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        nonBlocking = e && e->nonBlocking;
    }
    socklen_t len = addrlen ? static_cast<socklen_t>(*addrlen) : 0;
    int nfd = ::accept4(fd, addr, addrlen ? &len : nullptr,
                        SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
    int err = errno;
    RearmEvent(s, Rearm::Accept);
    if (nfd < 0) {
        SetErrno(err);
        return INVALID_SOCKET;
    }
    if (addrlen)
        *addrlen = static_cast<int>(len);
    return Register(nfd, SOCK_STREAM, nonBlocking);
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
        return SetErrno(err);
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
        return SetErrno(err);
    if (fromlen)
        *fromlen = static_cast<int>(flen);
    return static_cast<int>(n);
}

int ioctlsocket(SOCKET s, long cmd, unsigned long *argp) {
    int fd = Resolve(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (cmd != FIONREAD_CMD || !argp) {
        tLastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0)
        return SetErrno(errno);
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
        return SetErrno(errno);
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
    EnsureStarted();
    if (::gethostname(name, static_cast<std::size_t>(namelen)) != 0)
        return SetErrno(errno);
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
    EnsureStarted();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo *res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0) {
        tLastError = WinsockErrorFromGai(rc);
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
        tLastError = WSANO_DATA;
        return false;
    }
    return true;
}

int getservbyname(const std::string &name, const std::string &proto) {
    EnsureStarted();
    servent se{};
    servent *found = nullptr;
    char buf[1024];
    ::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &se, buf, sizeof buf,
                      &found);
    if (!found) {
        tLastError = WSANO_DATA;
        return -1;
    }
    return static_cast<std::uint16_t>(found->s_port);
}

int getprotobyname(const std::string &name) {
    EnsureStarted();
    protoent pe{};
    protoent *found = nullptr;
    char buf[1024];
    ::getprotobyname_r(name.c_str(), &pe, buf, sizeof buf, &found);
    if (!found) {
        tLastError = WSANO_DATA;
        return -1;
    }
    return found->p_proto;
}

int fd_of(SOCKET s) {
    std::lock_guard lock(gTableLock);
    return Find(s) ? FdOf(s) : -1;
}

} // namespace winsock

// ---------------------------------------------------------------------------
// Asynchronous lookups

namespace {

struct LookupRequest {
    HWND window = 0;
    UINT msg = 0;
    bool done = false;
    int error = 0;
    THostEnt result;
};

struct LookupRegistry {
    std::mutex lock;
    std::map<HANDLE, LookupRequest> requests;
    HANDLE next = 1;
};

// Process-wide and never destroyed: workers may still finish during exit.
LookupRegistry &Lookups() {
    static LookupRegistry *r = new LookupRegistry;
    return *r;
}

void FinishLookup(HANDLE h, int error, THostEnt &&result) {
    LookupRegistry &reg = Lookups();
    HWND window;
    UINT msg;
    {
        std::lock_guard lock(reg.lock);
        auto it = reg.requests.find(h);
        if (it == reg.requests.end())
            return; // cancelled: the result is dropped
        it->second.done = true;
        it->second.error = error;
        it->second.result = std::move(result);
        window = it->second.window;
        msg = it->second.msg;
    }
    if (!PostMessage(window, msg, static_cast<WPARAM>(h),
                     WSAMAKESELECTREPLY(0, static_cast<unsigned>(error)))) {
        std::lock_guard lock(reg.lock);
        reg.requests.erase(h);
    }
}

HANDLE StartLookup(HWND window, UINT msg, std::function<void(HANDLE)> work) {
    EnsureStarted();
    if (!IsWindow(window)) {
        tLastError = WSAEINVAL;
        return 0;
    }
    LookupRegistry &reg = Lookups();
    HANDLE h;
    {
        std::lock_guard lock(reg.lock);
        h = reg.next++;
        reg.requests[h] = LookupRequest{window, msg, false, 0, {}};
    }
    try {
        std::thread([h, work = std::move(work)] { work(h); }).detach();
    } catch (const std::system_error &) {
        std::lock_guard lock(reg.lock);
        reg.requests.erase(h);
        tLastError = WSAENOBUFS;
        return 0;
    }
    return h;
}

} // namespace

HANDLE WSAAsyncGetHostByName(HWND window, UINT msg, const std::string &name) {
    return StartLookup(window, msg, [name](HANDLE h) {
        THostEnt ent;
        int error = 0;
        if (!winsock::gethostbyname(name, ent))
            error = WSAGetLastError();
        FinishLookup(h, error, std::move(ent));
    });
}

HANDLE WSAAsyncGetHostByAddr(HWND window, UINT msg, std::uint32_t addrNetOrder) {
    return StartLookup(window, msg, [addrNetOrder](HANDLE h) {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = addrNetOrder;
        char host[NI_MAXHOST];
        THostEnt ent;
        int rc = ::getnameinfo(reinterpret_cast<const sockaddr *>(&sin), sizeof sin, host,
                               sizeof host, nullptr, 0, NI_NAMEREQD);
        int error = WinsockErrorFromGai(rc);
        if (rc == 0) {
            ent.Name = host;
            ent.Addresses.push_back(addrNetOrder);
        }
        FinishLookup(h, error, std::move(ent));
    });
}

int WSACancelAsyncRequest(HANDLE handle) {
    LookupRegistry &reg = Lookups();
    std::lock_guard lock(reg.lock);
    if (reg.requests.erase(handle) == 0) {
        tLastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    return 0;
}

bool WSAGetAsyncResult(HANDLE handle, THostEnt &result) {
    LookupRegistry &reg = Lookups();
    std::lock_guard lock(reg.lock);
    auto it = reg.requests.find(handle);
    if (it == reg.requests.end() || !it->second.done)
        return false;
    result = std::move(it->second.result);
    reg.requests.erase(it);
    return true;
}

std::size_t WSAPendingAsyncRequests() {
    LookupRegistry &reg = Lookups();
    std::lock_guard lock(reg.lock);
    return reg.requests.size();
}

// ---------------------------------------------------------------------------
// Helpers that need no socket object

namespace {
std::string Trim(const std::string &s) {
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The decimal number formed by the leading digits; false past 65535.
bool LeadingNumber(const std::string &s, unsigned long &value) {
    value = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9')
            break;
        value = value * 10 + static_cast<unsigned long>(ch - '0');
        if (value > 0xFFFFFFu)
            return false;
    }
    return true;
}
} // namespace

bool IsDottedIP(const std::string &s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n && s[i] == ' ')
        ++i;
    if (i < n && s[i] == '.')
        return false;
    int dots = 0;
    unsigned part = 0;
    for (; i < n; ++i) {
        char ch = s[i];
        if (ch >= '0' && ch <= '9') {
            part = part * 10 + static_cast<unsigned>(ch - '0');
            if (part > 256)
                part = 256; // only "above 255" matters; avoids overflow
        } else if (ch == '.') {
            if (++dots > 3 || part > 255 || i + 1 >= n || s[i + 1] < '0' || s[i + 1] > '9')
                return false;
            part = 0;
        } else if (ch == ' ') {
            if (s.find_first_not_of(' ', i) != std::string::npos)
                return false;
            break;
        } else {
            return false;
        }
    }
    return dots == 3 && part <= 255;
}

std::uint32_t WSocketResolveHost(const std::string &host) {
    if (host.empty() || host.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.");
    if (IsDottedIP(host)) {
        std::uint32_t a = winsock::inet_addr(host);
        if (a == INADDR_NONE && Trim(host) != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.");
        return a;
    }
    THostEnt ent;
    if (!winsock::gethostbyname(host, ent))
        throw ESocketException("WSocketResolveHost: Cannot convert host address '" + host +
                               "', Error #" + std::to_string(WSAGetLastError()));
    return ent.Addresses.front();
}

std::uint16_t WSocketResolvePort(const std::string &port, const std::string &proto) {
    if (port.empty() || port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (port[0] >= '0' && port[0] <= '9') {
        unsigned long v;
        // A number beyond 16 bits would silently become another port.
        if (!LeadingNumber(port, v) || v > 65535)
            throw ESocketException("WSocketResolvePort: Invalid Port.");
        return static_cast<std::uint16_t>(v);
    }
    int p = winsock::getservbyname(Trim(port), Trim(proto));
    if (p < 0)
        throw ESocketException("WSocketResolvePort: Cannot convert port '" + port + "', Error #" +
                               std::to_string(WSAGetLastError()));
    return ntohs(static_cast<std::uint16_t>(p));
}

int WSocketResolveProto(const std::string &proto) {
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string t = Trim(proto);
    if (!t.empty() && t[0] >= '0' && t[0] <= '9') {
        unsigned long v;
        if (!LeadingNumber(t, v))
            throw ESocketException("WSocketResolveProto: Invalid Protocol.");
        return static_cast<int>(v);
    }
    int p = winsock::getprotobyname(t);
    if (p < 0)
        throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + proto +
                               "', Error #" + std::to_string(WSAGetLastError()));
    return p;
}

std::string LocalHostName() {
    // Borrow the library so a last destructor elsewhere cannot clean it up
    // under this call.
    WinsockAddRef();
    char buf[64] = {};
    int rc = winsock::gethostname(buf, sizeof buf - 1);
    WinsockRelease();
    if (rc != 0)
        throw ESocketException("Winsock.GetHostName failed");
    buf[63] = '\0';
    return buf;
}

std::string SocketErrorDesc(int error) {
    switch (error) {
    case 0:
        return "No Error";
    case WSAEINTR:
        return "Interrupted system call";
    case WSAEBADF:
        return "Bad file number";
    case WSAEACCES:
        return "Permission denied";
    case WSAEFAULT:
        return "Bad address";
    case WSAEINVAL:
        return "Invalid argument";
    case WSAEMFILE:
        return "Too many open files";
    case WSAEWOULDBLOCK:
        return "Operation would block";
    case WSAEINPROGRESS:
        return "Operation now in progress";
    case WSAEALREADY:
        return "Operation already in progress";
    case WSAENOTSOCK:
        return "Socket operation on non-socket";
    case WSAEDESTADDRREQ:
        return "Destination address required";
    case WSAEMSGSIZE:
        return "Message too long";
    case WSAEPROTOTYPE:
        return "Protocol wrong type for socket";
    case WSAENOPROTOOPT:
        return "Protocol not available";
    case WSAEPROTONOSUPPORT:
        return "Protocol not supported";
    case WSAESOCKTNOSUPPORT:
        return "Socket type not supported";
    case WSAEOPNOTSUPP:
        return "Operation not supported on socket";
    case WSAEPFNOSUPPORT:
        return "Protocol family not supported";
    case WSAEAFNOSUPPORT:
        return "Address family not supported by protocol family";
    case WSAEADDRINUSE:
        return "Address already in use";
    case WSAEADDRNOTAVAIL:
        return "Address not available";
    case WSAENETDOWN:
        return "Network is down";
    case WSAENETUNREACH:
        return "Network is unreachable";
    case WSAENETRESET:
        return "Network dropped connection on reset";
    case WSAECONNABORTED:
        return "Connection aborted";
    case WSAECONNRESET:
        return "Connection reset by peer";
    case WSAENOBUFS:
        return "No buffer space available";
    case WSAEISCONN:
        return "Socket is already connected";
    case WSAENOTCONN:
        return "Socket is not connected";
    case WSAESHUTDOWN:
        return "Can't send after socket shutdown";
    case WSAETOOMANYREFS:
        return "Too many references: can't splice";
    case WSAETIMEDOUT:
        return "Connection timed out";
    case WSAECONNREFUSED:
        return "Connection refused";
    case WSAELOOP:
        return "Too many levels of symbolic links";
    case WSAENAMETOOLONG:
        return "File name too long";
    case WSAEHOSTDOWN:
        return "Host is down";
    case WSAEHOSTUNREACH:
        return "No route to host";
    case WSAENOTEMPTY:
        return "Directory not empty";
    case WSAEPROCLIM:
        return "Too many processes";
    case WSAEUSERS:
        return "Too many users";
    case WSAEDQUOT:
        return "Disc quota exceeded";
    case WSAESTALE:
        return "Stale NFS file handle";
    case WSAEREMOTE:
        return "Too many levels of remote in path";
    case WSASYSNOTREADY:
        return "Network sub-system is unusable";
    case WSAVERNOTSUPPORTED:
        return "WinSock DLL cannot support this application";
    case WSANOTINITIALISED:
        return "WinSock not initialized";
    case WSAHOST_NOT_FOUND:
        return "Host not found";
    case WSATRY_AGAIN:
        return "Non-authoritative host not found";
    case WSANO_RECOVERY:
        return "Non-recoverable error";
    case WSANO_DATA:
        return "No Data";
    default:
        return "Not a WinSock error";
    }
}

} // namespace pv
