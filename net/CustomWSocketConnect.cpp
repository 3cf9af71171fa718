// TCustomWSocket: connecting, the server side, pausing.
#include "net/CustomWSocket.h"
#include "net/TlsSession.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>

namespace pv {

void TCustomWSocket::BindSocket() {
    sockaddr_in lsin{};
    lsin.sin_family = AF_INET;
    lsin.sin_port = htons(fLocalPortNum);
    lsin.sin_addr.s_addr = WSocketResolveHost(fLocalAddr);
    if (winsock::bind(fHSocket, reinterpret_cast<sockaddr *>(&lsin), sizeof lsin) != 0) {
        RaiseSocketErrorFmt("winsock.bind failed, error #" + std::to_string(WSAGetLastError()));
        return;
    }
    int len = sizeof lsin;
    if (winsock::getsockname(fHSocket, reinterpret_cast<sockaddr *>(&lsin), &len) != 0) {
        RaiseSocketErrorFmt("winsock.getsockname failed, error #" +
                            std::to_string(WSAGetLastError()));
        return;
    }
    fLocalPortNum = ntohs(lsin.sin_port);
    fLocalPortStr = std::to_string(fLocalPortNum);
}

void TCustomWSocket::ApplyLinger() {
    if (LingerOnOff == wsLingerNoSet)
        return;
    if (fHSocket == INVALID_SOCKET) {
        RaiseSocketError("Cannot set linger option at this time");
        return;
    }
    linger li{};
    li.l_onoff = static_cast<std::uint16_t>(LingerOnOff);
    li.l_linger = static_cast<std::uint16_t>(LingerTimeout);
    if (winsock::setsockopt(fHSocket, SOL_SOCKET, SO_LINGER, &li, sizeof li) != 0)
        SocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::Connect() {
    if (fHSocket != INVALID_SOCKET && fState != wsClosed) {
        RaiseSocketError("Connect: Socket already in use");
        return;
    }
    if (!fPortAssigned) {
        RaiseSocketError("Connect: No Port Specified");
        return;
    }
    if (!fAddrAssigned) {
        RaiseSocketError("Connect: No IP Address Specified");
        return;
    }
    if (!fProtoAssigned) {
        RaiseSocketError("Connect: No Protocol Specified");
        return;
    }
    try {
        if (!fProtoResolved) {
            fProto = WSocketResolveProto(fProtoStr);
            fType = fProto == IPPROTO_TCP   ? SOCK_STREAM
                    : fProto == IPPROTO_UDP ? SOCK_DGRAM
                                            : SOCK_RAW;
            fProtoResolved = true;
        }
        if (!fPortResolved) {
            fPortNum = WSocketResolvePort(fPortStr, fProtoStr);
            fSin.sin_port = htons(fPortNum);
            fPortResolved = true;
        }
        if (!fLocalPortResolved) {
            fLocalPortNum = WSocketResolvePort(fLocalPortStr, fProtoStr);
            fLocalPortResolved = true;
        }
        if (!fAddrResolved) {
            fSin.sin_addr.s_addr = WSocketResolveHost(fAddrStr);
            fAddrResolved = true;
        }
    } catch (const Exception &E) {
        RaiseSocketError("connect: " + E.Message());
        return;
    }

    DeleteBufferedData();
    fTls.reset();
    fTlsOnConnectStarted = false;
    fHSocket = winsock::socket(fAddrFormat, fType, fProto);
    if (fHSocket == INVALID_SOCKET) {
        SocketError("Connect (socket)");
        return;
    }
    fCloseInvoked = false;
    ChangeState(wsOpened);
    if (fState != wsOpened) {
        WSASetLastError(WSAEINVAL);
        SocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }

    int on = 1;
    if (fType == SOCK_STREAM) {
        if (winsock::setsockopt(fHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            SocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if (ComponentOptions.Contains(wsoTcpNoDelay) &&
            winsock::setsockopt(fHSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
            SocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return;
        }
        ApplyLinger();
        if (winsock::setsockopt(fHSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
            SocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (fLocalPortNum != 0 || fLocalAddr != "0.0.0.0")
            BindSocket();
    } else if (fType == SOCK_DGRAM) {
        BindSocket();
        if (MultiCast) {
            if (MultiCastIpTTL != 1) {
                int ttl = MultiCastIpTTL;
                if (winsock::setsockopt(fHSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) !=
                    0) {
                    SocketError("setsockopt(IP_MULTICAST_TTL)");
                    return;
                }
            }
            if (fLocalAddr != "0.0.0.0") {
                in_addr iface{};
                iface.s_addr = WSocketResolveHost(fLocalAddr);
                if (winsock::setsockopt(fHSocket, IPPROTO_IP, IP_MULTICAST_IF, &iface,
                                        sizeof iface) != 0) {
                    SocketError("setsockopt(IP_MULTICAST_IF)");
                    return;
                }
            }
        }
        if (fSin.sin_addr.s_addr == INADDR_NONE &&
            winsock::setsockopt(fHSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            SocketError("setsockopt(SO_BROADCAST)");
            return;
        }
    }

    fSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    if (WSAAsyncSelect(fHSocket, fWindowHandle, WM_SOCKET_EVENT, fSelectEvent) != 0) {
        SocketError("WSAAsyncSelect");
        return;
    }
    if (fType == SOCK_DGRAM) {
        ChangeState(wsConnected);
        DoTcpConnected(0);
        return;
    }
    if (winsock::connect(fHSocket, reinterpret_cast<sockaddr *>(&fSin), sizeof fSin) == 0 ||
        WSAGetLastError() == WSAEWOULDBLOCK) {
        ChangeState(wsConnecting);
        return;
    }
    fLastError = WSAGetLastError();
    SocketError("Connect");
}

// ---------------------------------------------------------------------------
// Server side

void TCustomWSocket::Listen() {
    if (!fPortAssigned) {
        WSASetLastError(WSAEINVAL);
        SocketError("listen: port not assigned");
        return;
    }
    if (!fProtoAssigned) {
        WSASetLastError(WSAEINVAL);
        SocketError("listen: protocol not assigned");
        return;
    }
    if (!fAddrAssigned) {
        WSASetLastError(WSAEINVAL);
        SocketError("listen: address not assigned");
        return;
    }
    try {
        if (!fProtoResolved) {
            fProto = WSocketResolveProto(fProtoStr);
            fType = fProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            fProtoResolved = true;
        }
        if (!fPortResolved) {
            fPortNum = WSocketResolvePort(fPortStr, fProtoStr);
            fSin.sin_port = htons(fPortNum);
            fPortResolved = true;
        }
        if (!fAddrResolved) {
            fSin.sin_addr.s_addr = WSocketResolveHost(fAddrStr);
            fAddrResolved = true;
        }
    } catch (const Exception &E) {
        RaiseSocketError("listen: " + E.Message());
        return;
    }

    DeleteBufferedData();
    fHSocket = winsock::socket(fAddrFormat, fType, fProto);
    if (fHSocket == INVALID_SOCKET) {
        SocketError("socket");
        return;
    }
    fCloseInvoked = false;
    int on = 1;
    if (fType == SOCK_DGRAM && ReuseAddr &&
        winsock::setsockopt(fHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        SocketError("setsockopt(SO_REUSEADDR)");
        return;
    }
    if (winsock::bind(fHSocket, reinterpret_cast<sockaddr *>(&fSin), sizeof fSin) != 0) {
        // The state is still wsClosed, which Close would leave alone: give
        // the handle back here so it does not leak.
        int err = WSAGetLastError();
        winsock::closesocket(fHSocket);
        fHSocket = INVALID_SOCKET;
        WSASetLastError(err);
        SocketError("Bind");
        return;
    }
    ChangeState(wsBound);
    if (fType == SOCK_DGRAM && MultiCast) {
        ip_mreq mreq{};
        mreq.imr_multiaddr.s_addr = winsock::inet_addr(MultiCastAddrStr);
        mreq.imr_interface.s_addr = fSin.sin_addr.s_addr;
        if (winsock::setsockopt(fHSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
            SocketError("setsockopt(IP_ADD_MEMBERSHIP)");
            return;
        }
    }
    if (fType == SOCK_STREAM) {
        if (winsock::listen(fHSocket, ListenBacklog) != 0) {
            SocketError("Listen");
            return;
        }
        ChangeState(wsListening);
    } else {
        ChangeState(wsListening);
        ChangeState(wsConnected);
        DoTcpConnected(0);
    }
    fSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
    if (WSAAsyncSelect(fHSocket, fWindowHandle, WM_SOCKET_EVENT, fSelectEvent) != 0)
        SocketError("WSAASyncSelect");
}

SOCKET TCustomWSocket::Accept() {
    if (fState != wsListening) {
        WSASetLastError(WSAEINVAL);
        SocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int len = sizeof fSin;
    SOCKET h = winsock::accept(fHSocket, reinterpret_cast<sockaddr *>(&fSin), &len);
    if (h == INVALID_SOCKET) {
        SocketError("Accept");
        return INVALID_SOCKET;
    }
    return h;
}

void TCustomWSocket::Dup(SOCKET NewHSocket) {
    if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
        WSASetLastError(WSAEINVAL);
        SocketError("Dup");
        return;
    }
    if (fState != wsClosed) {
        int status = winsock::closesocket(fHSocket);
        fHSocket = INVALID_SOCKET;
        if (status != 0) {
            SocketError("Dup (closesocket)");
            return;
        }
        ChangeState(wsClosed);
    }
    fHSocket = NewHSocket;
    fCloseInvoked = false;
    fTls.reset();
    ApplyLinger();
    fSelectEvent = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (WSAAsyncSelect(fHSocket, fWindowHandle, WM_SOCKET_EVENT, fSelectEvent) != 0) {
        SocketError("WSAAsyncSelect");
        return;
    }
    AfterDup();
}

void TCustomWSocket::Pause() {
    fPaused = true;
    if (fHSocket != INVALID_SOCKET)
        WSAAsyncSelect(fHSocket, fWindowHandle, 0, 0);
}

void TCustomWSocket::Resume() {
    fPaused = false;
    if (fHSocket != INVALID_SOCKET)
        WSAAsyncSelect(fHSocket, fWindowHandle, WM_SOCKET_EVENT, fSelectEvent);
    // The selection reports what the system holds; decrypted bytes held
    // here are reported as well (a read event for them may have been dropped
    // while paused).
    if (fHSocket != INVALID_SOCKET && fTls && fTls->Pending() > 0) {
        fTlsReadPosted = true;
        PostMessage(fWindowHandle, WM_SOCKET_EVENT, static_cast<WPARAM>(fHSocket),
                    WSAMAKESELECTREPLY(FD_READ, 0));
    }
}

} // namespace pv
