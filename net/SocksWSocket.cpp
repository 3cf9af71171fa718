#include "net/SocksWSocket.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>

#include "platform/Text.h"

namespace pv {

namespace {

constexpr std::uint8_t kMethodNone = 0;
constexpr std::uint8_t kMethodUsercode = 2;

std::string Bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list)
        s.push_back(static_cast<char>(b));
    return s;
}

std::string PortBytes(std::uint16_t port) {
    return Bytes({port >> 8, port & 0xFF});
}

} // namespace

std::string SocksErrorDesc(int Code) {
    switch (Code) {
    case socksLogicError:
        return "TWSocket logic error";
    case socksVersionError:
        return "socks version error";
    case socksMethodNotAcceptable:
        return "authentification method not acceptable";
    case socksGeneralFailure:
        return "general SOCKS server failure";
    case socksNotAllowed:
        return "connection not allowed by ruleset";
    case socksNetUnreachable:
        return "network unreachable";
    case socksHostUnreachable:
        return "host unreachable";
    case socksConnectionRefused:
        return "connection refused";
    case socksTtlExpired:
        return "time to live expired";
    case socksCommandNotSupported:
        return "command not supported";
    case socksAddressNotSupported:
        return "address type not supported";
    case socksUnassignedError:
        return "unassigned error";
    case socksInternalError:
        return "internal error";
    case socksAuthenticationFailed:
        return "socks authentication failed";
    case socksRequestRejected:
        return "request rejected or failed";
    case socksResolveError:
        return "host name not resolved";
    default:
        return "";
    }
}

// ---------------------------------------------------------------------------
// Properties

void TCustomSocksWSocket::SetSocksServer(const std::string &value) {
    if (fState != wsClosed) {
        RaiseSocketError("Can't change socks server if not closed");
        return;
    }
    fSocksServer = Trim(value);
    fSocksServerResolved = false;
}

void TCustomSocksWSocket::SetSocksPort(const std::string &value) {
    if (fState != wsClosed) {
        RaiseSocketError("Can't change socks port if not closed");
        return;
    }
    fSocksPort = Trim(value);
    fSocksPortResolved = false;
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
    fSocksLevel = UpperCase(value);
}

// ---------------------------------------------------------------------------
// Connecting

void TCustomSocksWSocket::Connect() {
    if (fSocksServer.empty()) {
        TCustomWSocket::Connect();
        return;
    }
    // The core's own checks first, with their texts.
    if ((fHSocket != INVALID_SOCKET && fState != wsClosed) || !fPortAssigned || !fAddrAssigned ||
        !fProtoAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    if (LowerCase(fProtoStr) != "tcp") {
        RaiseSocketError("tcp is the only protocol supported thru socks server");
        return;
    }
    // What the requests cannot carry is refused before anything is sent.
    if (Level4()) {
        if (SocksUsercode.find('\0') != std::string::npos ||
            (fSocksLevel == "4A" && fAddrStr.find('\0') != std::string::npos)) {
            RaiseSocketError("Connect: Zero byte in socks user code or host name");
            return;
        }
    } else {
        if (fAddrStr.size() > 255) {
            RaiseSocketError("Connect: Host name too long for socks server");
            return;
        }
        if (SocksAuthentication == socksAuthenticateUsercode &&
            (SocksUsercode.size() > 255 || SocksPassword.size() > 255)) {
            RaiseSocketError("Connect: Socks user code or password too long");
            return;
        }
    }
    try {
        if (!fSocksPortResolved) {
            fSocksPortNum = WSocketResolvePort(fSocksPort, "tcp");
            fSocksPortResolved = true;
        }
        if (!fSocksServerResolved) {
            fSocksServerAddr = WSocketResolveHost(fSocksServer);
            fSocksServerResolved = true;
        }
        fSocksTargetPort = WSocketResolvePort(fPortStr, "tcp");
    } catch (const Exception &E) {
        RaiseSocketError("connect: " + E.Message());
        return;
    }
    // The transport goes to the proxy; Addr and Port travel in the requests.
    fSin.sin_port = htons(fSocksPortNum);
    fSin.sin_addr.s_addr = fSocksServerAddr;
    fPortResolved = true;
    fAddrResolved = true;
    fSocksState = socksNegociateMethods;
    fRcvCnt = 0;
    fLeftover.clear();
    fLeftoverPos = 0;
    fBoundAddr.clear();
    fBoundPort.clear();
    try {
        TCustomWSocket::Connect();
    } catch (...) {
        AbandonNegotiation();
        throw;
    }
    if (fState == wsClosed)
        AbandonNegotiation();
}

// A connect that never started: nothing of the proxy may stay in the
// endpoint, or a later direct connect would go to the proxy.
void TCustomSocksWSocket::AbandonNegotiation() {
    fSocksState = socksData;
    fPortResolved = false;
    fAddrResolved = false;
}

void TCustomSocksWSocket::Listen() {
    if (!fSocksServer.empty()) {
        RaiseSocketError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::DnsLookup(const std::string &HostName) {
    if (!SocksRemoteLookup || fSocksServer.empty() || fSocksLevel == "4" ||
        Trim(HostName).empty() || IsDottedIP(HostName)) {
        TCustomWSocket::DnsLookup(HostName);
        return;
    }
    // A pending lookup ends without a report, as a new lookup ends it.
    if (fDnsLookupHandle != 0) {
        WSACancelAsyncRequest(fDnsLookupHandle);
        fDnsLookupHandle = 0;
    }
    fDnsResult = Trim(HostName);
    fDnsResultList.assign(1, fDnsResult);
    DoDnsLookupDone(0);
}

void TCustomSocksWSocket::ResetToDefaults() {
    TCustomWSocket::ResetToDefaults();
    fSocksState = socksData;
    fRcvCnt = 0;
    fLeftover.clear();
    fLeftoverPos = 0;
}

// ---------------------------------------------------------------------------
// The handshake

void TCustomSocksWSocket::SocksSend(const std::string &Bytes) {
    Send(Bytes.data(), static_cast<int>(Bytes.size()));
}

void TCustomSocksWSocket::DoTcpConnected(std::uint16_t ErrCode) {
    if (fSocksState != socksNegociateMethods) {
        TCustomWSocket::DoTcpConnected(ErrCode);
        return;
    }
    const SOCKET h = fHSocket;
    DoSocksConnected(ErrCode);
    if (ErrCode != 0) {
        fSocksState = socksData;
        TCustomWSocket::DoTcpConnected(ErrCode);
        return;
    }
    if (fHSocket != h || fState != wsConnected)
        return; // a handler ended it
    if (Level4()) {
        SocksDoConnect();
        return;
    }
    fSocksMethod = SocksAuthentication == socksAuthenticateUsercode ? kMethodUsercode : kMethodNone;
    SocksSend(Bytes({5, 1, fSocksMethod}));
}

void TCustomSocksWSocket::SocksDoConnect() {
    std::string request;
    if (Level4()) {
        request = Bytes({4, 1}) + PortBytes(fSocksTargetPort);
        if (fSocksLevel == "4A") {
            request += Bytes({0, 0, 0, 1});
        } else {
            std::uint32_t addr = 0;
            try {
                addr = WSocketResolveHost(fAddrStr);
            } catch (const Exception &E) {
                SocksDoError(socksResolveError, std::string(E.ClassName()) + " " + E.Message());
                return;
            }
            request.append(reinterpret_cast<const char *>(&addr), 4);
        }
        request += SocksUsercode;
        request.push_back('\0');
        if (fSocksLevel == "4A") {
            request += fAddrStr;
            request.push_back('\0');
        }
    } else {
        // The name always goes to the proxy, which resolves it.
        request = Bytes({5, 1, 0, 3, static_cast<int>(fAddrStr.size())}) + fAddrStr +
                  PortBytes(fSocksTargetPort);
    }
    fSocksState = socksConnect;
    SocksSend(request);
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
    fSocksState = socksAuthenticate;
    const SOCKET h = fHSocket;
    DoSocksAuthState(socksAuthStart);
    if (fHSocket != h || fSocksState != socksAuthenticate)
        return;
    SocksSend(Bytes({1, static_cast<int>(SocksUsercode.size())}) + SocksUsercode +
              Bytes({static_cast<int>(SocksPassword.size())}) + SocksPassword);
}

bool TCustomSocksWSocket::DoDataAvailable(std::uint16_t Error) {
    if (fSocksState == socksData)
        return TCustomWSocket::DoDataAvailable(Error);
    if (Error != 0) {
        SocksDoError(Error, "data receive error");
        return true;
    }
    // A level-4 reply is 8 bytes; what follows it is the server's and stays
    // in the socket.
    const int limit = Level4() ? 8 : static_cast<int>(fRcvBuf.size());
    if (fRcvCnt >= limit) {
        SocksDoError(socksInternalError, "internal error");
        return true;
    }
    const int n = TCustomWSocket::RawReceive(fRcvBuf.data() + fRcvCnt, limit - fRcvCnt, 0);
    if (n <= 0) {
        // Nothing yet, or the proxy closed: its close event follows.
        const int err = n < 0 ? WSAGetLastError() : 0;
        if (err != 0 && err != WSAEWOULDBLOCK)
            SocksDoError(err, "data receive error");
        return true;
    }
    fRcvCnt += n;
    while (SocksEvaluate()) {
    }
    return true;
}

void TCustomSocksWSocket::ConsumeReply(int Count) {
    std::memmove(fRcvBuf.data(), fRcvBuf.data() + Count, static_cast<std::size_t>(fRcvCnt - Count));
    fRcvCnt -= Count;
}

bool TCustomSocksWSocket::SocksEvaluate() {
    const std::uint8_t *b = fRcvBuf.data();
    const SOCKET h = fHSocket;
    if (fRcvCnt == 0)
        return false;
    switch (fSocksState) {
    case socksNegociateMethods: {
        if (Level4()) {
            SocksDoError(socksLogicError, "TWSocket logic error");
            return false;
        }
        if (fRcvCnt < 2)
            return false;
        if (b[0] != 5) {
            SocksDoError(socksVersionError, "socks version error");
            return false;
        }
        const std::uint8_t method = b[1];
        ConsumeReply(2);
        if (method == kMethodNone) {
            if (fSocksMethod != kMethodNone) {
                DoSocksAuthState(socksAuthNotRequired);
                if (fHSocket != h || fSocksState != socksNegociateMethods)
                    return false;
            }
            SocksDoConnect();
        } else if (method == kMethodUsercode && fSocksMethod == kMethodUsercode) {
            // Only a method that was offered: no credentials go out unasked.
            SocksDoAuthenticate();
        } else {
            SocksDoError(socksMethodNotAcceptable, "authentification method not acceptable");
            return false;
        }
        return fHSocket == h && fSocksState != socksData && fRcvCnt > 0;
    }
    case socksAuthenticate:
        if (b[0] != 1) {
            SocksDoError(socksVersionError, "socks version error");
            return false;
        }
        if (fRcvCnt < 2)
            return false;
        if (b[1] != 0) {
            SocksDoError(socksAuthenticationFailed, "socks authentication failed");
            return false;
        }
        if (fRcvCnt > 2) {
            SocksDoError(socksLogicError, "too much data availaible");
            return false;
        }
        ConsumeReply(2);
        DoSocksAuthState(socksAuthSuccess);
        if (fHSocket == h && fSocksState == socksAuthenticate)
            SocksDoConnect();
        return false;
    case socksConnect:
        if (Level4()) {
            if (b[0] != 0) {
                SocksDoError(socksVersionError, "socks version error");
                return false;
            }
            if (fRcvCnt < 8)
                return false;
            switch (b[1]) {
            case 90:
                SocksSuccess(8);
                break;
            case 91:
                SocksDoError(socksRequestRejected, "request rejected or failed");
                break;
            case 92:
                SocksDoError(socksConnectionRefused, "connection refused");
                break;
            case 93:
                SocksDoError(socksAuthenticationFailed, "authentification failed");
                break;
            default:
                SocksDoError(socksUnassignedError, "unassigned error #" + std::to_string(b[1]));
                break;
            }
            return false;
        }
        if (b[0] != 5) {
            SocksDoError(socksVersionError, "socks version error");
            return false;
        }
        if (fRcvCnt >= 2 && b[1] != 0) {
            const int r = b[1];
            if (r >= 1 && r <= 8)
                SocksDoError(socksGeneralFailure + r - 1,
                             SocksErrorDesc(socksGeneralFailure + r - 1));
            else
                SocksDoError(socksUnassignedError, "unassigned error #" + std::to_string(r));
            return false;
        }
        if (fRcvCnt < 5)
            return false;
        {
            int need;
            switch (b[3]) {
            case 1:
                need = 10;
                break;
            case 3:
                need = 7 + b[4];
                break;
            case 4: // IPv6: the proxy reached the server over it
                need = 22;
                break;
            default:
                SocksDoError(socksAddressNotSupported, "address type not supported");
                return false;
            }
            if (fRcvCnt < need)
                return false;
            if (b[3] == 1) {
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, b + 4, text, sizeof text);
                fBoundAddr = text;
            } else if (b[3] == 4) {
                char text[INET6_ADDRSTRLEN] = {};
                inet_ntop(AF_INET6, b + 4, text, sizeof text);
                fBoundAddr = text;
            } else {
                fBoundAddr.assign(reinterpret_cast<const char *>(b + 5), b[4]);
            }
            fBoundPort = std::to_string((b[need - 2] << 8) | b[need - 1]);
            SocksSuccess(need);
        }
        return false;
    default:
        SocksDoError(socksInternalError, "internal error");
        return false;
    }
}

void TCustomSocksWSocket::SocksSuccess(int ReplyLength) {
    fLeftover.assign(reinterpret_cast<const char *>(fRcvBuf.data()) + ReplyLength,
                     static_cast<std::size_t>(fRcvCnt - ReplyLength));
    fLeftoverPos = 0;
    fRcvCnt = 0;
    fSocksState = socksData;
    const SOCKET h = fHSocket;
    DoTcpConnected(0);
    // The server's bytes that came with the reply, before any later ones.
    while (LeftoverCount() > 0 && fHSocket == h && fState == wsConnected) {
        const int before = LeftoverCount();
        if (!DoDataAvailable(0)) {
            fLeftover.clear(); // no handler: dropped, as the core drops bytes
            fLeftoverPos = 0;
            break;
        }
        if (LeftoverCount() == before)
            break; // the handler reads them later
    }
}

void TCustomSocksWSocket::SocksDoError(int Error, const std::string &Msg) {
    DoSocksError(Error, Msg);
    fSocksState = socksData;
    const auto code = static_cast<std::uint16_t>(Error);
    const SOCKET h = fHSocket;
    DoTcpConnected(code);
    if (fHSocket == h && fHSocket != INVALID_SOCKET && fState != wsClosed)
        InternalClose(true, code);
}

// ---------------------------------------------------------------------------
// Events and reading

void TCustomSocksWSocket::DoSessionClosed(std::uint16_t ErrCode) {
    if (fSocksState == socksAuthenticate)
        DoSocksAuthState(socksAuthFailure);
    if (fSocksState != socksData && fSelectMessage == FD_CLOSE) {
        // The proxy hung up instead of answering: the user still sees a
        // failed connect before the close.
        int code = ErrCode;
        std::string text = SocketErrorDesc(code);
        if (code == 0) {
            code =
                fSocksState == socksAuthenticate ? socksAuthenticationFailed : socksGeneralFailure;
            text = SocksErrorDesc(code);
        }
        DoSocksError(code, text);
        fSocksState = socksData;
        DoTcpConnected(static_cast<std::uint16_t>(code));
        TCustomWSocket::DoSessionClosed(static_cast<std::uint16_t>(code));
        return;
    }
    fSocksState = socksData;
    TCustomWSocket::DoSessionClosed(ErrCode);
}

void TCustomSocksWSocket::DoDataSent(std::uint16_t ErrCode) {
    // The handshake's own bytes are not the user's.
    if (fSocksState == socksData)
        TCustomWSocket::DoDataSent(ErrCode);
}

int TCustomSocksWSocket::RcvdCount() {
    if (LeftoverCount() > 0)
        return LeftoverCount();
    return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::RawReceive(void *Buffer, int Size, int Flags) {
    if (LeftoverCount() > 0 && Flags == 0) {
        ++fReceiveCalls;
        const int n = std::min(std::max(Size, 0), LeftoverCount());
        std::memcpy(Buffer, fLeftover.data() + fLeftoverPos, static_cast<std::size_t>(n));
        fLeftoverPos += static_cast<std::size_t>(n);
        fReadLineFull = n >= Size;
        if (LeftoverCount() == 0) {
            fLeftover.clear();
            fLeftoverPos = 0;
        }
        return n;
    }
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

void TCustomSocksWSocket::DoSocksAuthState(TSocksAuthState AuthState) {
    if (OnSocksAuthState && !Destroying())
        OnSocksAuthState(this, AuthState);
}

} // namespace pv
