// TCustomWSocket: construction and the hidden window, the dispatch of its
// messages and network events, properties, errors, events and message pumps.
// Lookups, connecting, closing, receiving and sending have files of their own.
#include "net/CustomWSocket.h"

#include <cstring>

#include <arpa/inet.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "net/TlsErrors.h"
#include "net/TlsSession.h"
#include "platform/Application.h"
#include "platform/Text.h"

namespace pv {

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
    fTls.reset();
    fTlsOnConnectStarted = false;
    fTlsReadPosted = false;
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
    if (fTls) {
        fTlsReadPosted = false;
        if (fTls->State() == TTlsSession::tlsHandshaking) {
            TlsContinue();
            return;
        }
    }
    ReceiveLoop(Error, ComponentOptions);
    TlsCheckBroken();
}

void TCustomWSocket::HandleAcceptEvent(std::uint16_t Error) {
    DoSessionAvailable(Error);
}

void TCustomWSocket::HandleCloseEvent(std::uint16_t Error) {
    if (fState == wsConnecting)
        return;
    const SOCKET h = fHSocket;
    if (TlsHandshaking()) {
        // The last bytes may hold the server's reason.
        TlsContinue();
        if (fHSocket != h)
            return;
        if (TlsHandshaking()) {
            fTlsErrorText = "the server closed the connection";
            TlsHandshakeEnded(WSATLS_CLOSED);
            if (fHSocket != h)
                return;
        }
    }
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
    // TLS from the first byte: the session counts as connected once the
    // handshake is done (TlsHandshakeEnded comes back here).
    if (ErrCode == 0 && TlsOnConnect && !fTlsOnConnectStarted && !fTls && fType == SOCK_STREAM &&
        fHSocket != INVALID_SOCKET) {
        TlsBegin(true);
        return;
    }
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
