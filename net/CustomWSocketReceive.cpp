// TCustomWSocket: the receive side.
#include "net/CustomWSocket.h"
#include "net/TlsSession.h"

namespace pv {

void TCustomWSocket::ReceiveLoop(std::uint16_t Error, TWSocketOptions Options) {
    const SOCKET h = fHSocket;
    for (;;) {
        fLastError = 0;
        try {
            const std::uint64_t before = fReceiveCalls;
            fRecvLeft = -1;
            if (!DoDataAvailable(Error)) {
                char scratch[1024];
                if (RawReceive(scratch, sizeof scratch, 0) < 0) {
                    int err = WSAGetLastError();
                    if (err == WSAEWOULDBLOCK) {
                        fLastError = 0;
                        break;
                    }
                    fLastError = err;
                }
            }
            if (Options.Contains(wsoNoReceiveLoop))
                break;
            if (fLastError != 0) {
                if (fLastError == -1)
                    fLastError = 0;
                break;
            }
            if (fHSocket != h || fHSocket == INVALID_SOCKET)
                break;
            // A handler that reads nothing would be called for ever.
            if (fReceiveCalls == before)
                break;
            // The last read of this pass already told what is queued; bytes
            // arriving after it bring a new FD_READ.
            if (fRecvLeft == 0)
                break;
            if (fRecvLeft > 0)
                continue;
            unsigned long n = 0;
            if (winsock::ioctlsocket(fHSocket, FIONREAD_CMD, &n) != 0) {
                fLastError = WSAGetLastError();
                break;
            }
            if (n == 0)
                break;
        } catch (const std::exception &) {
            break;
        }
    }
}

int TCustomWSocket::RcvdCount() {
    if (fTls && fTls->State() == TTlsSession::tlsHandshaking)
        return 0;
    unsigned long n = 0;
    if (winsock::ioctlsocket(fHSocket, FIONREAD_CMD, &n) != 0) {
        SocketError("ioctlSocket");
        return -1;
    }
    // At most this many: the records' own bytes are in the count.
    if (fTls)
        return fTls->Pending() + static_cast<int>(n);
    return static_cast<int>(n);
}
int TCustomWSocket::RawReceive(void *Buffer, int Size, int Flags) {
    if (fTls)
        return TlsReceive(Buffer, Size, Flags);
    ++fReceiveCalls;
    int n = winsock::recv(fHSocket, Buffer, Size, Flags);
    fReadLineFull = n >= Size;
    fRecvLeft = -1;
    if (fType == SOCK_STREAM && Flags == 0) {
        if (n <= 0) {
            if ((n == 0 && Size > 0) || (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK))
                fRecvLeft = 0;
        } else {
            // A received FIN counts as one: 1 may be a byte or the end.
            int left = winsock::recv_remaining();
            if (left == 0 || left > 1)
                fRecvLeft = left;
            else if (left < 0 && n < Size)
                fRecvLeft = 0; // a short read emptied the queue
        }
    }
    return n;
}

int TCustomWSocket::RawReceiveFrom(void *Buffer, int Size, sockaddr_in &From, int &FromLen) {
    ++fReceiveCalls;
    return winsock::recvfrom(fHSocket, Buffer, Size, 0, reinterpret_cast<sockaddr *>(&From),
                             &FromLen);
}

int TCustomWSocket::Receive(void *Buffer, int BufferSize) {
    int n = RawReceive(Buffer, BufferSize, 0);
    if (n < 0)
        fLastError = WSAGetLastError();
    else
        fReadCount += n;
    return n;
}

std::string TCustomWSocket::ReceiveStr() {
    int n = RcvdCount();
    if (n < 0)
        return {};
    if (n == 0)
        n = 255;
    std::string s(static_cast<std::size_t>(n), '\0');
    int r = Receive(s.data(), n);
    if (r <= 0)
        return {};
    s.resize(static_cast<std::size_t>(r));
    return s;
}

int TCustomWSocket::ReceiveFrom(void *Buffer, int BufferSize, sockaddr_in &From, int &FromLen) {
    int n = RawReceiveFrom(Buffer, BufferSize, From, FromLen);
    if (n < 0)
        fLastError = WSAGetLastError();
    else
        fReadCount += n;
    return n;
}

} // namespace pv
