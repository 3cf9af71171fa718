#include "net/LineWSocket.h"

#include <algorithm>
#include <cstring>

namespace pv {

namespace {

// Clears a flag when the scope ends, also through an exception.
class Busy {
  public:
    explicit Busy(bool &flag) : flag_(flag) { flag_ = true; }
    ~Busy() { flag_ = false; }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

  private:
    bool &flag_;
};

} // namespace

TCustomLineWSocket::TCustomLineWSocket() = default;

TCustomLineWSocket::~TCustomLineWSocket() {
    ReleaseHeld();
}

void TCustomLineWSocket::SetLineMode(bool value) {
    if (value == fLineMode)
        return;
    fLineMode = value;
    if (Held() > 0 || fLineLength > 0)
        PostMessage(fWindowHandle, WM_SOCKET_LINE_PENDING, 0, 0);
}

// ---------------------------------------------------------------------------
// The held bytes

void TCustomLineWSocket::TakeFront(void *Buffer, std::size_t n) {
    if (Buffer && n > 0)
        std::memcpy(Buffer, HeldData(), n);
    fRcvdStart += n;
    if (fRcvdStart >= fRcvdBuf.size()) {
        fRcvdBuf.clear();
        fRcvdStart = 0;
    }
}

void TCustomLineWSocket::Compact() {
    if (fRcvdStart > 0) {
        fRcvdBuf.erase(0, fRcvdStart);
        fRcvdStart = 0;
    }
}

void TCustomLineWSocket::ReleaseHeld() {
    std::string().swap(fRcvdBuf);
    fRcvdStart = 0;
    fLineLength = 0;
}

int TCustomLineWSocket::RcvdCount() {
    if (LineActive())
        return fLineLength;
    // Bytes held from line mode come before the socket's.
    if (Held() > 0)
        return static_cast<int>(Held());
    return TCustomSocksWSocket::RcvdCount();
}

int TCustomLineWSocket::RawReceive(void *Buffer, int Size, int Flags) {
    const std::size_t size = static_cast<std::size_t>(std::max(Size, 0));
    std::size_t n;
    if (LineActive() && fLineLength > 0) {
        n = std::min(size, static_cast<std::size_t>(fLineLength));
        fLineLength -= static_cast<int>(n);
    } else if (!LineActive() && Held() > 0 && Flags == 0) {
        n = std::min(size, Held());
    } else {
        return TCustomSocksWSocket::RawReceive(Buffer, Size, Flags);
    }
    ++fReceiveCalls;
    TakeFront(Buffer, n);
    fReadLineFull = n >= size;
    return static_cast<int>(n);
}

// ---------------------------------------------------------------------------
// Arrival

bool TCustomLineWSocket::ReadMore(std::size_t &SearchStart) {
    int n = TCustomSocksWSocket::RcvdCount();
    if (n < 0)
        return false;
    if (n == 0)
        n = 255;
    if (fRcvdStart > 0 && fRcvdStart >= fRcvdBuf.size() / 2)
        Compact();
    const std::size_t old = Held();
    const std::size_t end = fRcvdBuf.size();
    fRcvdBuf.resize(end + static_cast<std::size_t>(n));
    const int r = TCustomSocksWSocket::RawReceive(&fRcvdBuf[end], n, 0);
    if (r <= 0) {
        fRcvdBuf.resize(end);
        if (r < 0)
            fLastError = WSAGetLastError();
        return false;
    }
    fRcvdBuf.resize(end + static_cast<std::size_t>(r));
    // A terminator split over two reads is found too.
    SearchStart = old > LineEnd.size() ? old - LineEnd.size() : 0;
    const SOCKET h = fHSocket;
    if (LineEdit) {
        const std::size_t touched = EditLine(old);
        if (touched != std::string::npos)
            SearchStart =
                std::min(SearchStart, touched > LineEnd.size() ? touched - LineEnd.size() : 0);
    } else if (LineEcho) {
        const std::string echo(HeldData() + old, static_cast<std::size_t>(r));
        Send(echo.data(), static_cast<int>(echo.size()));
    }
    return fHSocket == h;
}

std::size_t TCustomLineWSocket::EditLine(std::size_t First) {
    Compact();
    // A line being delivered is no longer the peer's to edit.
    const std::size_t floor = static_cast<std::size_t>(fLineLength);
    std::string out = fRcvdBuf.substr(0, First);
    std::string echo;
    std::size_t touched = std::string::npos;
    for (std::size_t i = First; i < fRcvdBuf.size(); ++i) {
        const char c = fRcvdBuf[i];
        if (c == '\b') {
            if (out.size() > floor) {
                out.pop_back();
                touched = std::min(touched, out.size());
                if (LineEcho)
                    echo += "\b \b";
            } else {
                touched = std::min(touched, out.size());
            }
        } else if (c == '\t') {
            touched = std::min(touched, out.size());
            const std::size_t spaces = 8 - out.size() % 8;
            out.append(spaces, ' ');
            if (LineEcho)
                echo.append(spaces, ' ');
        } else {
            out.push_back(c);
            if (LineEcho)
                echo.push_back(c);
        }
    }
    if (touched != std::string::npos)
        fRcvdBuf.swap(out);
    if (!echo.empty())
        Send(echo.data(), static_cast<int>(echo.size()));
    return touched;
}

bool TCustomLineWSocket::DoDataAvailable(std::uint16_t Error) {
    if (!LineActive() || SocksNegotiating())
        return TCustomSocksWSocket::DoDataAvailable(Error);
    std::size_t searchStart = 0;
    if (!ReadMore(searchStart))
        return true;
    // Inside a handler's nested loop the delivery under way takes them.
    if (!fDelivering)
        DeliverLines(searchStart);
    return true;
}

bool TCustomLineWSocket::DeliverLine(SOCKET Handle) {
    while (LineActive() && fLineLength > 0) {
        const int before = fLineLength;
        const std::size_t held = Held();
        if (!TCustomSocksWSocket::DoDataAvailable(0)) {
            TakeFront(nullptr, static_cast<std::size_t>(fLineLength)); // no handler
            fLineLength = 0;
            return true;
        }
        if (fHSocket != Handle)
            return false;
        // A handler that reads nothing would be called for ever: the line
        // waits for the next arrival (or the close).
        if (LineActive() && fLineLength == before && Held() == held)
            return false;
    }
    return true;
}

void TCustomLineWSocket::DeliverLines(std::size_t SearchStart) {
    if (fDelivering)
        return;
    const SOCKET h = fHSocket;
    bool unterminated = false;
    {
        Busy busy(fDelivering);
        while (LineActive()) {
            if (fLineLength == 0) {
                const std::size_t i = fRcvdBuf.find(LineEnd, fRcvdStart + SearchStart);
                if (i == std::string::npos) {
                    unterminated = true;
                    break;
                }
                fLineLength = static_cast<int>(i - fRcvdStart + LineEnd.size());
            }
            if (!DeliverLine(h))
                return;
            SearchStart = 0;
        }
    }
    if (!LineActive()) {
        // Switched off inside the handler: the rest goes out raw, in order.
        fLineLength = 0;
        if (Held() > 0)
            PostMessage(fWindowHandle, WM_SOCKET_LINE_PENDING, 0, 0);
        return;
    }
    if (unterminated && LineLimit > 0 && Held() > static_cast<std::size_t>(LineLimit)) {
        fLineClearData = true;
        DoLineLimitExceeded(static_cast<int>(Held()), fLineClearData);
        if (fLineClearData) {
            fRcvdBuf.clear();
            fRcvdStart = 0;
            fLineLength = 0;
            fLineClearData = false;
        }
    }
}

void TCustomLineWSocket::DeliverHeld() {
    if (fDelivering)
        return;
    const SOCKET h = fHSocket;
    {
        Busy busy(fDelivering);
        while (Held() > 0 && !LineActive()) {
            const std::size_t before = Held();
            if (!TCustomSocksWSocket::DoDataAvailable(0)) {
                ReleaseHeld(); // no handler: dropped, as the core drops bytes
                break;
            }
            if (fHSocket != h || Held() == before)
                break;
        }
    }
    if (LineActive() && Held() > 0)
        DeliverLines(0);
}

LRESULT TCustomLineWSocket::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (Msg != WM_SOCKET_LINE_PENDING)
        return TCustomSocksWSocket::WndProc(Msg, wParam, lParam);
    try {
        if (LineActive())
            DeliverLines(0); // switched on again: held bytes as if just arrived
        else
            DeliverHeld();
    } catch (const std::exception &E) {
        HandleBackgroundException(E);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Close

void TCustomLineWSocket::DoSessionClosed(std::uint16_t ErrCode) {
    // What arrived before the close is delivered before OnSessionClosed: in
    // line mode as one last line without terminator. Not from inside a
    // delivery (the handler closed the socket) nor while the limit handler
    // runs.
    if (Held() > 0 && !fDelivering && !fLineClearData && !Destroying()) {
        if (LineActive()) {
            Busy busy(fDelivering);
            fLineLength = static_cast<int>(Held());
            DeliverLine(fHSocket);
        }
        if (!LineActive())
            DeliverHeld();
    }
    ReleaseHeld();
    TCustomSocksWSocket::DoSessionClosed(ErrCode);
}

void TCustomLineWSocket::DoLineLimitExceeded(int RcvdLength, bool &ClearData) {
    if (OnLineLimitExceeded && !Destroying())
        OnLineLimitExceeded(this, RcvdLength, ClearData);
}

} // namespace pv
