#include "net/LineWSocket.h"

namespace pv {

TCustomLineWSocket::TCustomLineWSocket() = default;

// Line mode holds no bytes yet: with it off, which is how the mail clients use
// the socket, every call goes to the layers below.

void TCustomLineWSocket::SetLineMode(bool value) {
    fLineMode = value;
}

int TCustomLineWSocket::RcvdCount() {
    return TCustomSocksWSocket::RcvdCount();
}

LRESULT TCustomLineWSocket::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (Msg == WM_SOCKET_LINE_PENDING) {
        try {
            // Nothing is ever held, so there is nothing to deliver.
        } catch (const std::exception &E) {
            HandleBackgroundException(E);
        }
        return 0;
    }
    return TCustomSocksWSocket::WndProc(Msg, wParam, lParam);
}

bool TCustomLineWSocket::DoDataAvailable(std::uint16_t Error) {
    return TCustomSocksWSocket::DoDataAvailable(Error);
}

void TCustomLineWSocket::DoSessionClosed(std::uint16_t ErrCode) {
    TCustomSocksWSocket::DoSessionClosed(ErrCode);
}

int TCustomLineWSocket::RawReceive(void *Buffer, int Size, int Flags) {
    return TCustomSocksWSocket::RawReceive(Buffer, Size, Flags);
}

void TCustomLineWSocket::DoLineLimitExceeded(int RcvdLength, bool &ClearData) {
    if (OnLineLimitExceeded && !Destroying())
        OnLineLimitExceeded(this, RcvdLength, ClearData);
}

} // namespace pv
