#include "net/WinsockSelect.h"

#include <cerrno>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "net/WinsockErrors.h"
#include "net/WinsockStartup.h"

namespace pv {

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

int HandleFd(SOCKET s) {
    if (s == INVALID_SOCKET)
        return -1;
    return static_cast<int>(static_cast<std::uint32_t>(s & 0xFFFFFFFFu));
}

std::uint32_t SerialOf(SOCKET s) {
    return static_cast<std::uint32_t>(s >> 32);
}

// Looks up a live handle; the caller holds gTableLock.
SocketEntry *Find(SOCKET s) {
    int fd = HandleFd(s);
    if (fd < 0)
        return nullptr;
    auto it = gTable.find(fd);
    if (it == gTable.end() || it->second.serial != SerialOf(s))
        return nullptr;
    return &it->second;
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
    c.fd = HandleFd(s);
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
        int fd = HandleFd(s);
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

} // namespace

int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, long mask) {
    EnsureWinsockStarted();
    int fd;
    WatchChange c;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e) {
            WSASetLastError(WSAENOTSOCK);
            return SOCKET_ERROR;
        }
        fd = HandleFd(s);
        if (mask != 0 && !IsWindow(window)) {
            WSASetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        if (!e->nonBlocking) {
            int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
                return SetLastErrorFromErrno(errno);
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

namespace socktable {

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

int Resolve(SOCKET s) {
    EnsureWinsockStarted();
    std::lock_guard lock(gTableLock);
    if (!Find(s)) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    return HandleFd(s);
}

int LiveFd(SOCKET s) {
    std::lock_guard lock(gTableLock);
    return Find(s) ? HandleFd(s) : -1;
}

int Unregister(SOCKET s) {
    int fd;
    bool watched;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e) {
            WSASetLastError(WSAENOTSOCK);
            return -1;
        }
        fd = HandleFd(s);
        watched = e->watched && e->owner == std::this_thread::get_id();
        gTable.erase(fd);
    }
    if (watched)
        RemoveFdWatch(fd);
    return fd;
}

bool IsNonBlocking(SOCKET s) {
    std::lock_guard lock(gTableLock);
    SocketEntry *e = Find(s);
    return e && e->nonBlocking;
}

void NoteShutWrite(SOCKET s) {
    std::lock_guard lock(gTableLock);
    if (SocketEntry *e = Find(s))
        e->shutWrite = true;
}

void NoteListening(SOCKET s) {
    {
        std::lock_guard lock(gTableLock);
        if (SocketEntry *e = Find(s)) {
            e->listening = true;
            e->acceptArmed = true;
        }
    }
    UpdateWatch(s);
}

int NoteConnect(SOCKET s, int rc, int err) {
    HWND window = 0;
    UINT msg = 0;
    bool postConnect = false;
    bool asyncFailure = false;
    {
        std::lock_guard lock(gTableLock);
        SocketEntry *e = Find(s);
        if (!e) {
            WSASetLastError(WSAENOTSOCK);
            return SOCKET_ERROR;
        }
        if (e->type != SOCK_STREAM) {
            if (rc != 0)
                return SetLastErrorFromErrno(err);
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
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    return SetLastErrorFromErrno(err);
}

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

// EPIPE is WinSock's WSAESHUTDOWN only after our own shutdown; after a reset
// by the peer WinSock reports WSAECONNRESET.
int ConnectionError(SOCKET s, int err) {
    std::lock_guard lock(gTableLock);
    SocketEntry *e = Find(s);
    if (err == EPIPE && e && !e->shutWrite)
        err = ECONNRESET;
    int wsa = WinsockErrorFromErrno(err);
    if (e && (err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT))
        e->brokenError = wsa;
    WSASetLastError(wsa);
    return SOCKET_ERROR;
}

} // namespace socktable

} // namespace pv
