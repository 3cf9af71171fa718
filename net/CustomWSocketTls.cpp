// TCustomWSocket: TLS over the connection. The session sits where the core
// reads and writes the handle, so the layers above see plain bytes and the
// events they know; its handshake runs on the core's own read and write
// events, on the socket's thread, and never waits.
#include "net/CustomWSocket.h"
#include "net/TlsContext.h"
#include "net/TlsErrors.h"
#include "net/TlsSession.h"
#include "net/WinsockErrors.h"

namespace pv {

bool TCustomWSocket::TlsActive() const {
    return fTls && (fTls->State() == TTlsSession::tlsEstablished ||
                    fTls->State() == TTlsSession::tlsClosed);
}

bool TCustomWSocket::TlsHandshaking() const {
    return fTls && fTls->State() == TTlsSession::tlsHandshaking;
}

std::string TCustomWSocket::TlsProtocol() const {
    return fTls ? fTls->Protocol() : std::string();
}

std::string TCustomWSocket::TlsCipher() const {
    return fTls ? fTls->Cipher() : std::string();
}

void TCustomWSocket::StartTls() {
    if (fState != wsConnected || fHSocket == INVALID_SOCKET || fType != SOCK_STREAM) {
        WSASetLastError(WSAENOTCONN);
        SocketError("StartTls");
        return;
    }
    if (fTls) {
        RaiseSocketError("TLS already started");
        return;
    }
    // Bytes queued before must not go out after the handshake began, nor
    // inside it.
    for (const auto &b : fBufferList)
        if (b->Unsent() > 0) {
            RaiseSocketError("Cannot start TLS while data waits to be sent");
            return;
        }
    TlsBegin(false);
}

void TCustomWSocket::TlsBegin(bool OnConnect) {
    fTlsOnConnectStarted = OnConnect;
    fTlsErrorText.clear();
    fTlsReadPosted = false;
    try {
        const std::shared_ptr<TTlsContext> context =
            TlsContext ? TlsContext : TTlsContext::Default();
        fTls = std::make_unique<TTlsSession>(*context, fHSocket,
                                             TlsHostName.empty() ? fAddrStr : TlsHostName);
    } catch (const Exception &E) {
        fTlsErrorText = E.Message();
        TlsHandshakeEnded(WSATLS_SETUP);
        return;
    }
    TlsContinue();
}

void TCustomWSocket::TlsContinue() {
    fTls->Handshake();
    switch (fTls->State()) {
    case TTlsSession::tlsHandshaking:
        return;
    case TTlsSession::tlsFailed:
        fTlsErrorText = fTls->ErrorText();
        TlsHandshakeEnded(fTls->Error());
        return;
    default:
        TlsHandshakeEnded(0);
        return;
    }
}

void TCustomWSocket::TlsHandshakeEnded(int Error) {
    const SOCKET h = fHSocket;
    const auto code = static_cast<std::uint16_t>(Error);
    DoTlsHandshakeDone(code);
    if (fHSocket != h)
        return; // a handler ended the session
    if (fTlsOnConnectStarted) {
        DoSessionConnected(code);
        if (fHSocket != h)
            return;
    }
    if (Error != 0) {
        // As after a failed connect: the socket closes itself.
        if (fState != wsClosed)
            Close();
        return;
    }
    // What the layers above queued meanwhile goes now, and says so.
    if (!fAllSent) {
        TryToSend();
        if (fAllSent && fHSocket == h)
            PostMessage(fWindowHandle, WM_SOCKET_EVENT, static_cast<WPARAM>(fHSocket),
                        WSAMAKESELECTREPLY(FD_WRITE, 0));
    }
    if (fHSocket == h && fTls && fTls->Pending() > 0 && !fTlsReadPosted) {
        fTlsReadPosted = true;
        PostMessage(fWindowHandle, WM_SOCKET_EVENT, static_cast<WPARAM>(fHSocket),
                    WSAMAKESELECTREPLY(FD_READ, 0));
    }
}

void TCustomWSocket::DoTlsHandshakeDone(std::uint16_t ErrCode) {
    if (OnTlsHandshakeDone && !fDestroying)
        OnTlsHandshakeDone(this, ErrCode);
}

int TCustomWSocket::TlsReceive(void *Buffer, int Size, int Flags) {
    ++fReceiveCalls;
    fRecvLeft = -1;
    fReadLineFull = false;
    if (Flags != 0) {
        WSASetLastError(WSAEOPNOTSUPP);
        return -1;
    }
    const int n = fTls->Read(Buffer, Size);
    fReadLineFull = n >= Size;
    if (n <= 0) {
        if (n == 0 || WSAGetLastError() == WSAEWOULDBLOCK)
            fRecvLeft = 0;
        return n;
    }
    const int pending = fTls->Pending();
    if (pending > 0)
        fRecvLeft = pending;
    // Decrypted bytes wait where the system cannot see them, and the
    // system's read event may have come and gone while they were read: what
    // is left, here or there, gets a read event as a plain socket's would.
    unsigned long queued = 0;
    if (!fTlsReadPosted &&
        (pending > 0 ||
         (winsock::ioctlsocket(fHSocket, FIONREAD_CMD, &queued) == 0 && queued > 0))) {
        fTlsReadPosted = true;
        PostMessage(fWindowHandle, WM_SOCKET_EVENT, static_cast<WPARAM>(fHSocket),
                    WSAMAKESELECTREPLY(FD_READ, 0));
    }
    return n;
}

int TCustomWSocket::TlsSend(const iovec *Pieces, int Count) {
    return fTls->Write(Pieces, Count);
}

bool TCustomWSocket::TlsFlush() {
    if (fTls->Flush())
        return true;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK)
        return false;
    // As a plain send that finds the connection broken.
    const bool report = !fCloseInvoked;
    fCloseInvoked = true;
    Close();
    if (report)
        DoSessionClosed(static_cast<std::uint16_t>(err));
    return false;
}

void TCustomWSocket::TlsCheckBroken() {
    if (!fTls || fTls->State() != TTlsSession::tlsFailed || fHSocket == INVALID_SOCKET)
        return;
    const int err = fTls->Error();
    // A failure of the connection itself comes as FD_CLOSE, as without TLS.
    if (!IsTlsError(err))
        return;
    fTlsErrorText = fTls->ErrorText();
    const bool report = !fCloseInvoked;
    fCloseInvoked = true;
    Close();
    if (report)
        DoSessionClosed(static_cast<std::uint16_t>(err));
}

std::string TCustomWSocket::ErrorReport(int Error) const {
    std::string text = SocketErrorDesc(Error);
    if (IsTlsError(Error) && !fTlsErrorText.empty())
        text += ": " + fTlsErrorText;
    return text + " (Winsock error #" + std::to_string(Error) + ")";
}

} // namespace pv
