#include "net/CustomWSocket.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/Application.h"

namespace pv {

namespace {

std::string Trim(const std::string &s) {
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Pieces handed to one send call: enough blocks for a 64 KB write and more.
constexpr int kMaxSendPieces = 64;

} // namespace

// ---------------------------------------------------------------------------
// Construction

TCustomWSocket::TCustomWSocket() {
    WinsockAddRef();
    try {
        CreateHiddenWindow();
    } catch (...) {
        WinsockRelease();
        throw;
    }
    fBufSize = 1460;
    MultiCastIpTTL = 1;
    ListenBacklog = 5;
    TCustomWSocket::ResetToDefaults();
}

TCustomWSocket::~TCustomWSocket() {
    fDestroying = true;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    try {
        if (fState != wsClosed)
            Close();
    } catch (...) {
    }
    if (fHSocket != INVALID_SOCKET) {
        // A handle left by a failed operation must not leak.
        winsock::closesocket(fHSocket);
        fHSocket = INVALID_SOCKET;
    }
    WinsockRelease();
    if (WinsockLiveCount() < 1)
        UnloadWinsock();
    DeleteBufferedData();
    DestroyHiddenWindow();
}

void TCustomWSocket::CreateHiddenWindow() {
    fWindowHandle =
        CreateWindow([this](HWND, UINT msg, WPARAM w, LPARAM l) { return WndProc(msg, w, l); });
    fThreadId = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    if (!fWindowHandle)
        RaiseSocketError("Cannot create a hidden window for TWSocket");
}

void TCustomWSocket::DestroyHiddenWindow() {
    if (!fWindowHandle)
        return;
    SetWindowProc(fWindowHandle,
                  [](HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProc(h, m, w, l); });
    if (DestroyWindow(fWindowHandle))
        fWindowHandle = 0;
}

void TCustomWSocket::ResetToDefaults() {
    std::memset(&fSin, 0, sizeof fSin);
    fSin.sin_family = AF_INET;
    fAddrFormat = AF_INET;
    fAddrAssigned = fAddrResolved = false;
    fPortAssigned = fPortResolved = false;
    fLocalPortResolved = false;
    fProtoAssigned = true;
    fProtoResolved = true;
    fProto = IPPROTO_TCP;
    fProtoStr = "tcp";
    fType = SOCK_STREAM;
    fLocalPortStr = "0";
    fLocalPortNum = 0;
    fLocalAddr = "0.0.0.0";
    LingerOnOff = wsLingerOn;
    LingerTimeout = 0;
    fHSocket = INVALID_SOCKET;
    fSelectEvent = 0;
    fState = wsClosed;
    fAllSent = true;
    fPaused = false;
    fReadCount = 0;
    fCloseInvoked = false;
    FlushTimeout = 60;
}

// ---------------------------------------------------------------------------
// Messages

LRESULT TCustomWSocket::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) {
    try {
        switch (Msg) {
        case WM_SOCKET_EVENT:
            WMSocketEvent(wParam, lParam);
            return 0;
        case WM_SOCKET_HOST_LOOKUP:
            WMHostLookup(wParam, lParam);
            return 0;
        case WM_SOCKET_ADDR_LOOKUP:
            WMAddrLookup(wParam, lParam);
            return 0;
        case WM_SOCKET_CLOSE_DELAYED:
            Close();
            return 0;
        case WM_SOCKET_RELEASE:
            delete this;
            return 0;
        case WM_SOCKET_TEST:
            throw ESocketException("Test exception in WSocket");
        case WM_QUIT:
            // Dispatched to the window by a loop that is not waiting for it
            // (the application's): it still ends this socket's waits.
            QuitTaken(MSG{fWindowHandle, Msg, wParam, lParam});
            return 0;
        default:
            return DefWindowProc(fWindowHandle, Msg, wParam, lParam);
        }
    } catch (const std::exception &E) {
        HandleBackgroundException(E);
    }
    return 0;
}

void TCustomWSocket::WMSocketEvent(WPARAM wParam, LPARAM lParam) {
    const SOCKET h = static_cast<SOCKET>(wParam);
    if (h != fHSocket || fPaused)
        return;
    const unsigned events = WSAGETSELECTEVENT(lParam);
    const auto error = static_cast<std::uint16_t>(WSAGETSELECTERROR(lParam));
    // A handler may close the socket; the remaining bits then belong to a
    // socket that is gone.
    auto handle = [&](long bit, void (TCustomWSocket::*fn)(std::uint16_t)) {
        if (!(events & bit) || h != fHSocket)
            return;
        fSelectMessage = bit;
        (this->*fn)(error);
        fSelectMessage = 0;
    };
    handle(FD_CONNECT, &TCustomWSocket::HandleConnectEvent);
    handle(FD_READ, &TCustomWSocket::HandleReadEvent);
    handle(FD_WRITE, &TCustomWSocket::HandleWriteEvent);
    handle(FD_ACCEPT, &TCustomWSocket::HandleAcceptEvent);
    handle(FD_CLOSE, &TCustomWSocket::HandleCloseEvent);
}

void TCustomWSocket::HandleConnectEvent(std::uint16_t Error) {
    if (fState == wsConnected)
        return;
    ChangeState(wsConnected);
    DoTcpConnected(Error);
    if (Error != 0 && fState != wsClosed)
        Close();
}

void TCustomWSocket::HandleReadEvent(std::uint16_t Error) {
    if (fState != wsConnected) {
        ChangeState(wsConnected);
        DoTcpConnected(Error);
    }
    ReceiveLoop(Error, ComponentOptions);
}

void TCustomWSocket::HandleWriteEvent(std::uint16_t Error) {
    const SOCKET h = fHSocket;
    TryToSend();
    // A send that found the connection broken has closed it and reported that.
    if (fAllSent && fHSocket == h)
        DoDataSent(Error);
}

void TCustomWSocket::HandleAcceptEvent(std::uint16_t Error) {
    DoSessionAvailable(Error);
}

void TCustomWSocket::HandleCloseEvent(std::uint16_t Error) {
    if (fState == wsConnecting)
        return;
    const SOCKET h = fHSocket;
    TWSocketOptions options = ComponentOptions;
    ReceiveLoop(0, options.Exclude(wsoNoReceiveLoop));
    // A handler that closed (or reopened) the socket has had its close.
    if (fHSocket != h)
        return;
    if (!fCloseInvoked) {
        fCloseInvoked = true;
        DoSessionClosed(Error);
    }
    if (fState != wsClosed)
        Close();
}

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

void TCustomWSocket::WMHostLookup(WPARAM wParam, LPARAM lParam) {
    if (fDnsLookupHandle == 0) {
        // Came before DnsLookup stored the handle; replayed once it has.
        fDnsLookupTempMsg = MSG{fWindowHandle, WM_SOCKET_HOST_LOOKUP, wParam, lParam};
        fDnsLookupCheckMsg = true;
        return;
    }
    if (static_cast<HANDLE>(wParam) != fDnsLookupHandle)
        return;
    fDnsLookupHandle = 0;
    auto error = static_cast<std::uint16_t>(WSAGETASYNCERROR(lParam));
    THostEnt ent;
    bool got = WSAGetAsyncResult(static_cast<HANDLE>(wParam), ent);
    if (error == 0) {
        if (got && !ent.Addresses.empty()) {
            for (std::uint32_t a : ent.Addresses)
                fDnsResultList.push_back(winsock::inet_ntoa(a));
            fDnsResult = fDnsResultList.front();
        } else {
            error = WSANO_DATA;
        }
    }
    DoDnsLookupDone(error);
}

void TCustomWSocket::WMAddrLookup(WPARAM wParam, LPARAM lParam) {
    if (fDnsLookupHandle == 0 || static_cast<HANDLE>(wParam) != fDnsLookupHandle)
        return;
    fDnsLookupHandle = 0;
    auto error = static_cast<std::uint16_t>(WSAGETASYNCERROR(lParam));
    THostEnt ent;
    bool got = WSAGetAsyncResult(static_cast<HANDLE>(wParam), ent);
    if (error == 0) {
        if (got) {
            fDnsResult = ent.Name;
            fDnsResultList.push_back(ent.Name);
        } else {
            error = WSANO_DATA;
        }
    }
    DoDnsLookupDone(error);
}

void TCustomWSocket::PostTestException() {
    PostMessage(fWindowHandle, WM_SOCKET_TEST, 0, 0);
}

// ---------------------------------------------------------------------------
// Properties

// Addr, Port and Proto: a new value only while closed, unless it equals the
// assigned one.
void TCustomWSocket::AssignEndpoint(const std::string &value, std::string &text, bool &assigned,
                                    bool &resolved, const char *name) {
    std::string v = Trim(value);
    if (fState != wsClosed) {
        if (!(assigned && v == text))
            RaiseSocketError(std::string("Cannot change ") + name + " if not closed");
        return;
    }
    text = v;
    assigned = !v.empty();
    resolved = false;
}

void TCustomWSocket::SetAddr(const std::string &value) {
    AssignEndpoint(value, fAddrStr, fAddrAssigned, fAddrResolved, "Addr");
}

void TCustomWSocket::SetPort(const std::string &value) {
    AssignEndpoint(value, fPortStr, fPortAssigned, fPortResolved, "Port");
}

void TCustomWSocket::SetProto(const std::string &value) {
    AssignEndpoint(value, fProtoStr, fProtoAssigned, fProtoResolved, "Proto");
}

void TCustomWSocket::SetLocalAddr(const std::string &value) {
    if (fState != wsClosed) {
        RaiseSocketError("Cannot change LocalAddr if not closed");
        return;
    }
    fLocalAddr = value.empty() ? "0.0.0.0" : value;
}

void TCustomWSocket::SetLocalPort(const std::string &value) {
    if (fState != wsClosed) {
        RaiseSocketError("Cannot change LocalPort if not closed");
        return;
    }
    fLocalPortStr = value;
    fLocalPortResolved = false;
}

void TCustomWSocket::SetSendFlags(int value) {
    if (value != wsSendNormal && value != wsSendUrgent) {
        RaiseSocketError("Invalid SendFlags");
        return;
    }
    fSendFlags = static_cast<TSocketSendFlags>(value);
}

std::string TCustomWSocket::PeerAddr() {
    if (fState != wsConnected)
        return "error";
    sockaddr_in sin{};
    int len = sizeof sin;
    if (winsock::getpeername(fHSocket, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
        SocketError("GetPeerName");
        return "error";
    }
    return winsock::inet_ntoa(sin.sin_addr.s_addr);
}

std::string TCustomWSocket::PeerPort() {
    if (fState != wsConnected)
        return "error";
    sockaddr_in sin{};
    int len = sizeof sin;
    if (winsock::getpeername(fHSocket, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
        SocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(ntohs(sin.sin_port));
}

std::string TCustomWSocket::GetXAddr() {
    if (fState != wsBound && fState != wsConnected && fState != wsListening)
        return "error";
    sockaddr_in sin{};
    int len = sizeof sin;
    if (winsock::getsockname(fHSocket, reinterpret_cast<sockaddr *>(&sin), &len) != 0)
        return "error";
    return winsock::inet_ntoa(sin.sin_addr.s_addr);
}

std::string TCustomWSocket::GetXPort() {
    if (fState != wsBound && fState != wsConnected && fState != wsListening)
        return "error";
    sockaddr_in sin{};
    int len = sizeof sin;
    if (winsock::getsockname(fHSocket, reinterpret_cast<sockaddr *>(&sin), &len) != 0)
        return "error";
    return std::to_string(ntohs(sin.sin_port));
}

int TCustomWSocket::RcvdCount() {
    unsigned long n = 0;
    if (winsock::ioctlsocket(fHSocket, FIONREAD_CMD, &n) != 0) {
        SocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(n);
}

int TCustomWSocket::GetPeerName(sockaddr_in &Name, int NameLen) {
    if (fState != wsConnected)
        return -1;
    return winsock::getpeername(fHSocket, reinterpret_cast<sockaddr *>(&Name), &NameLen);
}

int TCustomWSocket::GetSockName(sockaddr_in &Name, int &NameLen) {
    return winsock::getsockname(fHSocket, reinterpret_cast<sockaddr *>(&Name), &NameLen);
}

// ---------------------------------------------------------------------------
// Errors

void TCustomWSocket::ChangeState(TSocketState NewState) {
    TSocketState old = fState;
    fState = NewState;
    if (old != NewState)
        DoChangeState(old);
}

void TCustomWSocket::SocketError(const std::string &FunctionName) {
    int n = WSAGetLastError();
    std::string text =
        "Error " + std::to_string(n) + " in function " + FunctionName + "\r\n" + SocketErrorDesc(n);
    if (n == WSAECONNRESET || n == WSAENOTCONN) {
        if (fHSocket != INVALID_SOCKET)
            winsock::closesocket(fHSocket);
        fHSocket = INVALID_SOCKET;
        if (fState != wsClosed && !fCloseInvoked) {
            fCloseInvoked = true;
            DoSessionClosed(static_cast<std::uint16_t>(n));
        }
        ChangeState(wsClosed);
    }
    fLastError = n;
    RaiseSocketError(text);
}

void TCustomWSocket::RaiseSocketError(const std::string &Msg) {
    if (OnError)
        DoError();
    else
        throw ESocketException(Msg);
}

void TCustomWSocket::RaiseSocketErrorFmt(const std::string &Text) {
    RaiseSocketError(Text);
}

void TCustomWSocket::HandleBackgroundException(const std::exception &E) {
    bool CanClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, CanClose);
        } catch (...) {
        }
    }
    if (CanClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------------------
// Events. None is raised while the object is being destroyed: its owner's
// handlers may refer to what is already gone.

bool TCustomWSocket::DoDataAvailable(std::uint16_t Error) {
    if (!OnDataAvailable || fDestroying)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::DoSessionAvailable(std::uint16_t Error) {
    if (OnSessionAvailable && !fDestroying)
        OnSessionAvailable(this, Error);
}

void TCustomWSocket::DoTcpConnected(std::uint16_t ErrCode) {
    DoSessionConnected(ErrCode);
}

void TCustomWSocket::DoSessionConnected(std::uint16_t ErrCode) {
    if (OnSessionConnected && !fDestroying)
        OnSessionConnected(this, ErrCode);
}

void TCustomWSocket::DoSessionClosed(std::uint16_t ErrCode) {
    if (OnSessionClosed && !fDestroying)
        OnSessionClosed(this, ErrCode);
}

void TCustomWSocket::DoDataSent(std::uint16_t ErrCode) {
    if (OnDataSent && !fDestroying)
        OnDataSent(this, ErrCode);
}

void TCustomWSocket::DoChangeState(TSocketState OldState) {
    if (OnChangeState && !fDestroying)
        OnChangeState(this, OldState, fState);
}

void TCustomWSocket::DoDnsLookupDone(std::uint16_t ErrCode) {
    if (OnDnsLookupDone && !fDestroying)
        OnDnsLookupDone(this, ErrCode);
}

void TCustomWSocket::DoError() {
    if (OnError)
        OnError(this);
}

void TCustomWSocket::AfterDup() {
    ChangeState(wsConnected);
}

// ---------------------------------------------------------------------------
// Lookups

void TCustomWSocket::DnsLookup(const std::string &HostName) {
    if (HostName.empty()) {
        RaiseSocketError("DNS lookup: invalid host name.");
        DoDnsLookupDone(WSAEINVAL);
        return;
    }
    if (fDnsLookupHandle != 0) {
        WSACancelAsyncRequest(fDnsLookupHandle);
        fDnsLookupHandle = 0;
    }
    fDnsResult.clear();
    fDnsResultList.clear();
    if (IsDottedIP(HostName)) {
        std::uint32_t a = winsock::inet_addr(HostName);
        if (a != INADDR_NONE) {
            fDnsResult = winsock::inet_ntoa(a);
            fDnsResultList.push_back(fDnsResult);
            DoDnsLookupDone(0);
            return;
        }
    }
    if (!fWindowHandle) {
        RaiseSocketError("DnsLookup: Window not assigned");
        return;
    }
    fDnsLookupCheckMsg = false;
    HANDLE h = WSAAsyncGetHostByName(fWindowHandle, WM_SOCKET_HOST_LOOKUP, HostName);
    if (h == 0) {
        RaiseSocketErrorFmt(HostName + ": can't start DNS lookup, error #" +
                            std::to_string(WSAGetLastError()));
        return;
    }
    fDnsLookupHandle = h;
    if (fDnsLookupCheckMsg) {
        fDnsLookupCheckMsg = false;
        WndProc(fDnsLookupTempMsg.message, fDnsLookupTempMsg.wParam, fDnsLookupTempMsg.lParam);
    }
}

void TCustomWSocket::ReverseDnsLookup(const std::string &HostAddr) {
    if (HostAddr.empty() || HostAddr.size() >= 257) {
        RaiseSocketError("ReverseDnsLookup: Invalid host name.");
        DoDnsLookupDone(WSAEINVAL);
        return;
    }
    if (fDnsLookupHandle != 0) {
        WSACancelAsyncRequest(fDnsLookupHandle);
        fDnsLookupHandle = 0;
    }
    fDnsResult.clear();
    fDnsResultList.clear();
    std::uint32_t a = winsock::inet_addr(HostAddr);
    if (!fWindowHandle) {
        RaiseSocketError("ReverseDnsLookup: Window not assigned");
        return;
    }
    HANDLE h = WSAAsyncGetHostByAddr(fWindowHandle, WM_SOCKET_ADDR_LOOKUP, a);
    if (h == 0) {
        RaiseSocketErrorFmt(HostAddr + ": can't start DNS lookup, error #" +
                            std::to_string(WSAGetLastError()));
        return;
    }
    fDnsLookupHandle = h;
}

void TCustomWSocket::CancelDnsLookup() {
    if (fDnsLookupHandle == 0)
        return;
    if (WSACancelAsyncRequest(fDnsLookupHandle) != 0) {
        fDnsLookupHandle = 0;
        SocketError("WSACancelAsyncRequest");
        return;
    }
    fDnsLookupHandle = 0;
    if (!fDestroying)
        DoDnsLookupDone(WSAEINTR);
}

// ---------------------------------------------------------------------------
// Connecting

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
}

// ---------------------------------------------------------------------------
// Reading

int TCustomWSocket::RawReceive(void *Buffer, int Size, int Flags) {
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

// ---------------------------------------------------------------------------
// Sending

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
    int n;
    if (fType == SOCK_DGRAM)
        n = winsock::sendto(fHSocket, Pieces[0].iov_base, static_cast<int>(Pieces[0].iov_len),
                            fSendFlags, reinterpret_cast<sockaddr *>(&fSin), sizeof fSin);
    else
        n = winsock::sendv(fHSocket, Pieces, Count, fSendFlags);
    return n;
}

void TCustomWSocket::TryToSend() {
    if (fHSocket == INVALID_SOCKET || fBufferList.empty())
        return;
    for (;;) {
        TBuffer &first = *fBufferList.front();
        if (first.Unsent() == 0) {
            if (fBufferList.size() == 1) {
                fAllSent = true;
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

// ---------------------------------------------------------------------------
// Closing

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

// ---------------------------------------------------------------------------
// Message pumps

void TCustomWSocket::QuitTaken(const MSG &msg) {
    fTerminated = true;
    ++fQuitsTaken;
    // The thread's own quit belongs to its outermost loop as well.
    if (msg.hwnd == 0)
        PostQuitMessage(static_cast<int>(msg.wParam));
}

bool TCustomWSocket::ProcessMessage() {
    MSG msg;
    if (!PeekMessage(msg, true))
        return false;
    if (msg.message == WM_QUIT)
        QuitTaken(msg);
    else
        DispatchMessage(msg);
    return true;
}

void TCustomWSocket::ProcessMessages() {
    // A quit taken ends the pass: it is the caller's to see.
    const std::uint64_t quits = fQuitsTaken;
    while (fQuitsTaken == quits && ProcessMessage()) {
    }
}

void TCustomWSocket::MessageLoop() {
    MSG msg;
    while (GetMessage(msg))
        DispatchMessage(msg);
    QuitTaken(msg);
}

void TCustomWSocket::MessagePump() {
    if (MultiThreaded)
        ProcessMessages();
    else
        Application().ProcessMessages();
}

} // namespace pv
