// The socket table and WSAAsyncSelect over the loop's fd watches: network
// events of a socket become messages posted to a window, with WinSock's
// rules for when an event is reported again.
#pragma once

#include "net/WinsockTypes.h"
#include "platform/MessageLoop.h"

namespace pv {

// Network events of WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

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

// Posts `msg` to `window` for the network events of `mask`, with WinSock's
// re-enabling rules; mask 0 stops all notification. Must be called on the
// thread that owns `window`.
int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, long mask);

// The table behind the handles, for the call wrappers of the binding: they
// report here what a call did, so that the notification follows.
namespace socktable {

// A new descriptor gets a handle.
SOCKET Register(int fd, int type, bool nonBlocking);
// The descriptor of a live handle; -1 with WSAENOTSOCK otherwise.
int Resolve(SOCKET s);
// The descriptor of a live handle, -1 otherwise (no error set).
int LiveFd(SOCKET s);
// Forgets the handle and stops its watch; the descriptor to close, or -1
// with WSAENOTSOCK.
int Unregister(SOCKET s);
bool IsNonBlocking(SOCKET s);
void NoteShutWrite(SOCKET s);
void NoteListening(SOCKET s);
// What ::connect gave (rc and its errno): the call's WinSock result, with
// FD_CONNECT posted where WinSock would report the outcome that way.
int NoteConnect(SOCKET s, int rc, int err);

// A call that re-enables an event (recv for FD_READ, accept for FD_ACCEPT,
// a blocked send for FD_WRITE).
enum class Rearm { Read, Write, Accept };
void RearmEvent(SOCKET s, Rearm what);
// A failed call on a connection: sets the error WinSock would give and
// remembers a reset for FD_CLOSE. Returns SOCKET_ERROR.
int ConnectionError(SOCKET s, int err);

} // namespace socktable

} // namespace pv
