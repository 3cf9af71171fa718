#include "net/SocksWSocket.h"

#include <algorithm>
#include <cctype>

#include "platform/Text.h"

namespace pv {

void TCustomSocksWSocket::SetSocksServer(const std::string &value) {
    if (fState != wsClosed) {
        RaiseSocketError("Can't change socks server if not closed");
        return;
    }
    fSocksServer = Trim(value);
}

void TCustomSocksWSocket::SetSocksPort(const std::string &value) {
    if (fState != wsClosed) {
        RaiseSocketError("Can't change socks port if not closed");
        return;
    }
    fSocksPort = Trim(value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string &value) {
    if (fState != wsClosed) {
        RaiseSocketError("Can't change socks level if not closed");
        return;
    }
    if (value != "4" && value != "5" && value != "4A" && value != "4a") {
        RaiseSocketError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    std::string v = value;
    std::transform(v.begin(), v.end(), v.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    fSocksLevel = v;
}

// No proxy negotiation yet: every call goes straight to the core.

void TCustomSocksWSocket::Connect() {
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
    if (!fSocksServer.empty()) {
        RaiseSocketError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

int TCustomSocksWSocket::RcvdCount() {
    return TCustomWSocket::RcvdCount();
}

void TCustomSocksWSocket::ResetToDefaults() {
    TCustomWSocket::ResetToDefaults();
}

bool TCustomSocksWSocket::DoDataAvailable(std::uint16_t Error) {
    return TCustomWSocket::DoDataAvailable(Error);
}

void TCustomSocksWSocket::DoTcpConnected(std::uint16_t ErrCode) {
    TCustomWSocket::DoTcpConnected(ErrCode);
}

void TCustomSocksWSocket::DoSessionClosed(std::uint16_t ErrCode) {
    TCustomWSocket::DoSessionClosed(ErrCode);
}

int TCustomSocksWSocket::RawReceive(void *Buffer, int Size, int Flags) {
    return TCustomWSocket::RawReceive(Buffer, Size, Flags);
}

void TCustomSocksWSocket::DoSocksConnected(std::uint16_t ErrCode) {
    if (OnSocksConnected && !Destroying())
        OnSocksConnected(this, ErrCode);
}

void TCustomSocksWSocket::DoSocksError(int Error, const std::string &Msg) {
    if (OnSocksError && !Destroying())
        OnSocksError(this, Error, Msg);
}

} // namespace pv
