// TCustomWSocket: closing and aborting, and the wait for the peer's close.
#include "net/CustomWSocket.h"
#include "net/TlsSession.h"

#include "platform/Application.h"

namespace pv {

void TCustomWSocket::InternalClose(bool bShut, std::uint16_t Error) {
    if (fHSocket == INVALID_SOCKET) {
        if (fState != wsClosed) {
            ChangeState(wsClosed);
            try {
                ResetToDefaults();
            } catch (...) {
            }
        }
        return;
    }
    if (fState == wsClosed)
        return;
    // A clean end of the TLS stream before the end of the connection.
    if (bShut && fTls)
        fTls->Shutdown();
    if (bShut)
        winsock::shutdown(fHSocket, SHUT_WR);
    for (;;) {
        if (winsock::closesocket(fHSocket) == 0)
            break;
        fLastError = WSAGetLastError();
        if (fLastError == WSAEWOULDBLOCK) {
            MessagePump();
            continue;
        }
        fHSocket = INVALID_SOCKET;
        if (fLastError != WSANOTINITIALISED) {
            WSASetLastError(fLastError);
            SocketError("Disconnect (closesocket)");
            return;
        }
        break;
    }
    fHSocket = INVALID_SOCKET;
    ChangeState(wsClosed);
    if (!fDestroying && !fCloseInvoked) {
        fCloseInvoked = true;
        DoSessionClosed(Error);
    }
    try {
        ResetToDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::InternalAbort(std::uint16_t ErrCode) {
    CancelDnsLookup();
    DeleteBufferedData();
    if (fState == wsConnected && fProto == IPPROTO_TCP) {
        LingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    InternalClose(false, ErrCode);
}

void TCustomWSocket::Close() {
    InternalClose(true, 0);
}

void TCustomWSocket::Abort() {
    InternalAbort(0);
}

void TCustomWSocket::Shutdown(int How) {
    if (fHSocket != INVALID_SOCKET)
        winsock::shutdown(fHSocket, How);
}

void TCustomWSocket::CloseDelayed() {
    PostMessage(fWindowHandle, WM_SOCKET_CLOSE_DELAYED, 0, 0);
}

void TCustomWSocket::Release() {
    PostMessage(fWindowHandle, WM_SOCKET_RELEASE, 0, 0);
}

void TCustomWSocket::WaitForClose() {
    // Data still arriving is delivered by the pumped FD_READ messages.
    const std::uint64_t quits = fQuitsTaken;
    while (fHSocket != INVALID_SOCKET && fState != wsClosed && fQuitsTaken == quits &&
           !Application().Terminated()) {
        MessagePump();
        WaitMessageTimeout(10);
    }
}

} // namespace pv
