// TCustomWSocket: the send side: the send queue, writing it out as the
// network takes it, and the write event.
#include "net/CustomWSocket.h"
#include "net/TlsSession.h"

namespace pv {

namespace {

// Pieces handed to one send call: enough blocks for a 64 KB write and more.
constexpr int kMaxSendPieces = 64;

} // namespace

std::unique_ptr<TBuffer> TCustomWSocket::NewBuffer() {
    if (fSpareBuffers.empty())
        return std::make_unique<TBuffer>(fBufSize);
    std::unique_ptr<TBuffer> b = std::move(fSpareBuffers.back());
    fSpareBuffers.pop_back();
    return b;
}

void TCustomWSocket::DropFirstBuffer() {
    constexpr std::size_t kMaxSpare = 64;
    std::unique_ptr<TBuffer> b = std::move(fBufferList.front());
    fBufferList.pop_front();
    if (fSpareBuffers.size() < kMaxSpare && b->Size() == fBufSize && b->WrCount() == 0)
        fSpareBuffers.push_back(std::move(b));
}

void TCustomWSocket::PutDataInSendBuffer(const void *Data, int Len) {
    if (Len <= 0 || !Data)
        return;
    const char *p = static_cast<const char *>(Data);
    if (fBufferList.empty())
        fBufferList.push_back(NewBuffer());
    for (;;) {
        int n = fBufferList.back()->Write(p, Len);
        p += n;
        Len -= n;
        if (Len <= 0)
            break;
        fBufferList.push_back(NewBuffer());
    }
}

void TCustomWSocket::DeleteBufferedData() {
    fBufferList.clear();
    fSpareBuffers.clear();
}

int TCustomWSocket::RealSend(const iovec *Pieces, int Count) {
    if (fTls)
        return TlsSend(Pieces, Count);
    int n;
    if (fType == SOCK_DGRAM)
        n = winsock::sendto(fHSocket, Pieces[0].iov_base, static_cast<int>(Pieces[0].iov_len),
                            fSendFlags, reinterpret_cast<sockaddr *>(&fSin), sizeof fSin);
    else
        n = winsock::sendv(fHSocket, Pieces, Count, fSendFlags);
    return n;
}

void TCustomWSocket::TryToSend() {
    if (fHSocket == INVALID_SOCKET)
        return;
    // The records of the last block go before anything else; until they
    // are out, nothing counts as sent.
    if (fTls && fTls->OutPending() && !TlsFlush())
        return;
    if (fBufferList.empty())
        return;
    for (;;) {
        TBuffer &first = *fBufferList.front();
        if (first.Unsent() == 0) {
            if (fBufferList.size() == 1) {
                fAllSent = !(fTls && fTls->OutPending());
                break;
            }
            DropFirstBuffer();
            continue;
        }
        // One call takes several blocks; a datagram is one block.
        iovec pieces[kMaxSendPieces];
        int count = 0;
        int offered = 0;
        const int limit = fType == SOCK_DGRAM ? 1 : kMaxSendPieces;
        for (auto it = fBufferList.begin(); it != fBufferList.end() && count < limit; ++it) {
            auto [p, n] = (*it)->Peek();
            if (n == 0)
                break;
            pieces[count].iov_base = const_cast<char *>(p);
            pieces[count].iov_len = static_cast<std::size_t>(n);
            offered += n;
            ++count;
        }
        const SOCKET h = fHSocket;
        int sent = RealSend(pieces, count);
        if (sent == 0)
            break;
        if (sent < 0) {
            int err = WSAGetLastError();
            if (err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN ||
                err == WSAEINVAL || err == WSAECONNABORTED) {
                fCloseInvoked = true;
                Close();
                DoSessionClosed(static_cast<std::uint16_t>(err));
                break;
            }
            if (err == WSAEWOULDBLOCK)
                break;
            SocketError("TryToSend failed");
            break;
        }
        int left = sent;
        while (left > 0 && !fBufferList.empty()) {
            TBuffer &b = *fBufferList.front();
            left -= b.Remove(left);
            if (b.Unsent() == 0 && fBufferList.size() > 1)
                DropFirstBuffer();
        }
        // Raised once the bytes are off the queue, so that a handler that
        // sends again cannot send them a second time.
        if (OnSendData && !fDestroying)
            OnSendData(this, sent);
        if (fHSocket != h || fBufferList.empty())
            break; // an OnSendData handler closed the socket
        if (sent < offered)
            break;
    }
}

int TCustomWSocket::Send(const void *Data, int Len) {
    if (fState != wsConnected && fState != wsSocksConnected) {
        WSASetLastError(WSAENOTCONN);
        SocketError("Send");
        return -1;
    }
    fAllSent = false;
    int result = 0;
    if (Len > 0 && Data) {
        PutDataInSendBuffer(Data, Len);
        result = Len;
    }
    TryToSend();
    // OnDataSent must come from the queue, never from inside Send.
    if (fAllSent && fHSocket != INVALID_SOCKET)
        PostMessage(fWindowHandle, WM_SOCKET_EVENT, static_cast<WPARAM>(fHSocket),
                    WSAMAKESELECTREPLY(FD_WRITE, 0));
    return result;
}

int TCustomWSocket::SendStr(const std::string &Str) {
    if (Str.empty())
        return 0;
    std::string copy = Str;
    return Send(copy.data(), static_cast<int>(copy.size()));
}

int TCustomWSocket::SendTo(const sockaddr_in &Dest, int DestLen, const void *Data, int Len) {
    sockaddr_in to = Dest;
    int n = winsock::sendto(fHSocket, Data, Len, fSendFlags, reinterpret_cast<sockaddr *>(&to),
                            DestLen);
    if (n < 0)
        fLastError = WSAGetLastError();
    else if (n > 0 && OnSendData && !fDestroying)
        OnSendData(this, n);
    return n;
}

void TCustomWSocket::Flush() {
    while (fHSocket != INVALID_SOCKET && !fAllSent) {
        TryToSend();
        if (fHSocket == INVALID_SOCKET || fAllSent)
            break;
        MessagePump();
        // Nothing due: wait a little rather than spin while the peer is slow.
        WaitMessageTimeout(10);
    }
}

void TCustomWSocket::HandleWriteEvent(std::uint16_t Error) {
    if (TlsHandshaking()) {
        TlsContinue();
        return;
    }
    const SOCKET h = fHSocket;
    TryToSend();
    // A send that found the connection broken has closed it and reported that.
    if (fAllSent && fHSocket == h)
        DoDataSent(Error);
}

} // namespace pv
