// The non-blocking TCP/UDP socket: network events arrive as messages on a
// hidden window of the socket's own thread and become the socket's events.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/Buffer.h"
#include "net/Winsock.h"
#include "platform/MessageLoop.h"
#include "platform/Object.h"

namespace pv {

class TTlsContext;
class TTlsSession;

enum TSocketState : std::uint8_t {
    wsInvalidState = 0,
    wsOpened = 1,
    wsBound = 2,
    wsConnecting = 3,
    wsSocksConnected = 4,
    wsConnected = 5,
    wsAccepting = 6,
    wsListening = 7,
    wsClosed = 8,
};

enum TSocketSendFlags : std::uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };

enum TSocketLingerOnOff : std::uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

enum TWSocketOption : std::uint8_t { wsoNoReceiveLoop = 0, wsoTcpNoDelay = 1 };

// A set of TWSocketOption in one byte.
class TWSocketOptions {
  public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options) {
        for (auto o : options)
            bits_ |= static_cast<std::uint8_t>(1u << o);
    }
    constexpr bool Contains(TWSocketOption o) const { return bits_ & (1u << o); }
    constexpr TWSocketOptions &Include(TWSocketOption o) {
        bits_ |= static_cast<std::uint8_t>(1u << o);
        return *this;
    }
    constexpr TWSocketOptions &Exclude(TWSocketOption o) {
        bits_ &= static_cast<std::uint8_t>(~(1u << o));
        return *this;
    }
    constexpr std::uint8_t Bits() const { return bits_; }
    constexpr bool operator==(const TWSocketOptions &) const = default;

  private:
    std::uint8_t bits_ = 0;
};

// Private messages of the socket's hidden window.
constexpr UINT WM_SOCKET_EVENT = WM_USER + 1;
constexpr UINT WM_SOCKET_HOST_LOOKUP = WM_USER + 2;
constexpr UINT WM_SOCKET_ADDR_LOOKUP = WM_USER + 3;
constexpr UINT WM_SOCKET_CLOSE_DELAYED = WM_USER + 4;
constexpr UINT WM_SOCKET_RELEASE = WM_USER + 5;
constexpr UINT WM_SOCKET_TEST = WM_USER + 6;
constexpr UINT WM_SOCKET_LINE_PENDING = WM_USER + 20;

// Events; the sender comes first.
using TChangeStateEvent =
    std::function<void(TObject *Sender, TSocketState OldState, TSocketState NewState)>;
// OnDnsLookupDone, OnSessionConnected, OnDataAvailable, OnDataSent,
// OnSessionClosed, OnSessionAvailable: 0 or a WinSock error number.
using TSessionEvent = std::function<void(TObject *Sender, std::uint16_t ErrCode)>;
using TSendDataEvent = std::function<void(TObject *Sender, int BytesSent)>;
using TBgExceptionEvent =
    std::function<void(TObject *Sender, const std::exception &E, bool &CanClose)>;

class TCustomWSocket : public TObject {
  public:
    TCustomWSocket();
    ~TCustomWSocket() override;
    TCustomWSocket(const TCustomWSocket &) = delete;
    TCustomWSocket &operator=(const TCustomWSocket &) = delete;

    // --- properties ---
    const std::string &Addr() const { return fAddrStr; }
    void SetAddr(const std::string &value);
    const std::string &Port() const { return fPortStr; }
    virtual void SetPort(const std::string &value);
    const std::string &Proto() const { return fProtoStr; }
    virtual void SetProto(const std::string &value);
    const std::string &LocalAddr() const { return fLocalAddr; }
    void SetLocalAddr(const std::string &value);
    const std::string &LocalPort() const { return fLocalPortStr; }
    void SetLocalPort(const std::string &value);
    // "error" unless connected.
    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    // Answer from getsockname in wsBound, wsConnected or wsListening, else "error".
    virtual std::string GetXAddr();
    virtual std::string GetXPort();
    const std::string &DnsResult() const { return fDnsResult; }
    const std::vector<std::string> &DnsResultList() const { return fDnsResultList; }
    TSocketState State() const { return fState; }
    std::int64_t ReadCount() const { return fReadCount; }
    // Bytes that can be read now; -1 on failure.
    virtual int RcvdCount();
    int LastError() const { return fLastError; }
    SOCKET HSocket() const { return fHSocket; }
    HWND Handle() const { return fWindowHandle; }
    TSocketSendFlags SendFlags() const { return fSendFlags; }
    void SetSendFlags(int value);
    bool AllSent() const { return fAllSent; }
    bool Paused() const { return fPaused; }
    bool Terminated() const { return fTerminated; }
    void SetTerminated(bool value) { fTerminated = value; }

    bool MultiThreaded = false;
    bool MultiCast = false;
    std::string MultiCastAddrStr;
    int MultiCastIpTTL = 1;
    bool ReuseAddr = false;
    TWSocketOptions ComponentOptions;
    int ListenBacklog = 5;
    int FlushTimeout = 60; // stored only
    TSocketLingerOnOff LingerOnOff = wsLingerOn;
    int LingerTimeout = 0;

    // --- events ---
    TChangeStateEvent OnChangeState;
    TSessionEvent OnDnsLookupDone;
    TSessionEvent OnSessionConnected;
    TSessionEvent OnDataAvailable;
    TSessionEvent OnDataSent;
    TSendDataEvent OnSendData;
    TSessionEvent OnSessionClosed;
    TSessionEvent OnSessionAvailable;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    // --- operations ---
    virtual void Connect();
    virtual void Close();
    // Closes / frees the object later, from the message queue, so a handler can
    // end its own socket. Release needs an object created with new.
    virtual void CloseDelayed();
    virtual void Release();
    virtual void Abort();
    virtual void Shutdown(int How);
    // Queued bytes; 0 for an empty send, -1 when not connected.
    virtual int Send(const void *Data, int Len);
    virtual int SendStr(const std::string &Str);
    void PutDataInSendBuffer(const void *Data, int Len);
    virtual int SendTo(const sockaddr_in &Dest, int DestLen, const void *Data, int Len);
    // Count read, 0 on orderly close, -1 on error (LastError set).
    virtual int Receive(void *Buffer, int BufferSize);
    virtual std::string ReceiveStr();
    virtual int ReceiveFrom(void *Buffer, int BufferSize, sockaddr_in &From, int &FromLen);
    virtual void DnsLookup(const std::string &HostName);
    virtual void ReverseDnsLookup(const std::string &HostAddr);
    virtual void CancelDnsLookup();
    virtual void Listen();
    virtual SOCKET Accept();
    virtual void Dup(SOCKET NewHSocket);
    virtual void Pause();
    virtual void Resume();
    // Blocks, pumping messages, until the queue is empty or the socket is gone.
    virtual void Flush();
    // Pumps messages and delivers data until the connection is closed.
    virtual void WaitForClose();
    virtual int GetPeerName(sockaddr_in &Name, int NameLen);
    virtual int GetSockName(sockaddr_in &Name, int &NameLen);
    // Empties the send queue.
    void DeleteBufferedData();
    // Blocks queued, oldest first (for inspection).
    const std::deque<std::unique_ptr<TBuffer>> &BufferList() const { return fBufferList; }
    int BufSize() const { return fBufSize; }

    // --- TLS (CustomWSocketTls.cpp) ---
    // Below every layer above the core: they see plain bytes and the events
    // and error numbers they know. The trust settings of the sessions; none:
    // the system's trust store, certificate and host name checked.
    std::shared_ptr<TTlsContext> TlsContext;
    // The name the server's certificate must carry; empty: Addr.
    std::string TlsHostName;
    // TLS from the first byte: the handshake runs once the session counts as
    // connected (after a proxy's), and OnSessionConnected follows it with 0
    // or the handshake's error.
    bool TlsOnConnect = false;
    // TLS on a connected socket with nothing waiting to be sent (STARTTLS);
    // ends in OnTlsHandshakeDone. A failed handshake closes the socket after
    // that event.
    virtual void StartTls();
    bool TlsActive() const;      // the handshake is done
    bool TlsHandshaking() const; // it runs
    // What the handshake agreed ("TLSv1.3", a cipher suite); "" without TLS.
    std::string TlsProtocol() const;
    std::string TlsCipher() const;
    // Why the last handshake or record failed, in the library's words.
    const std::string &TlsErrorText() const { return fTlsErrorText; }
    // An error number as the mail sessions report it: its text, the TLS
    // library's detail for a TLS error, and the number.
    std::string ErrorReport(int Error) const;
    // The handshake ended: 0 or a TLS error number (TlsErrors.h).
    TSessionEvent OnTlsHandshakeDone;

    // --- message pumping ---
    bool ProcessMessage();
    void ProcessMessages();
    void MessageLoop();
    virtual void MessagePump();

    // Raises "Test exception in WSocket" from the message queue.
    void PostTestException();

  protected:
    virtual LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam);
    virtual void CreateHiddenWindow();
    virtual void DestroyHiddenWindow();
    virtual void TryToSend();
    virtual void ResetToDefaults();
    virtual void InternalClose(bool bShut, std::uint16_t Error);
    virtual void InternalAbort(std::uint16_t ErrCode);
    virtual void BindSocket();
    // Sends from the front blocks of the queue; bytes written or -1.
    virtual int RealSend(const iovec *Pieces, int Count);
    // Formats were done by the caller; both go through RaiseSocketError.
    virtual void RaiseSocketErrorFmt(const std::string &Text);
    virtual void RaiseSocketError(const std::string &Msg);
    virtual void HandleBackgroundException(const std::exception &E);
    // True when an OnDataAvailable handler is assigned.
    virtual bool DoDataAvailable(std::uint16_t Error);
    virtual void DoSessionAvailable(std::uint16_t Error);
    virtual void DoTcpConnected(std::uint16_t ErrCode);
    virtual void DoSessionConnected(std::uint16_t ErrCode);
    virtual void DoSessionClosed(std::uint16_t ErrCode);
    virtual void DoDataSent(std::uint16_t ErrCode);
    virtual void DoChangeState(TSocketState OldState);
    virtual void DoDnsLookupDone(std::uint16_t ErrCode);
    virtual void DoError();
    virtual int RawReceive(void *Buffer, int Size, int Flags);
    virtual int RawReceiveFrom(void *Buffer, int Size, sockaddr_in &From, int &FromLen);
    virtual void HandleConnectEvent(std::uint16_t Error);
    virtual void HandleReadEvent(std::uint16_t Error);
    virtual void HandleWriteEvent(std::uint16_t Error);
    virtual void HandleAcceptEvent(std::uint16_t Error);
    virtual void HandleCloseEvent(std::uint16_t Error);
    virtual void AfterDup();

    virtual void DoTlsHandshakeDone(std::uint16_t ErrCode);
    // TLS hooks of the core: the handshake's steps on the network events,
    // and the filter where the core reads and writes the handle.
    void TlsBegin(bool OnConnect);
    void TlsContinue();
    void TlsHandshakeEnded(int Error);
    int TlsReceive(void *Buffer, int Size, int Flags);
    int TlsSend(const iovec *Pieces, int Count);
    // Sends records still waiting; false while they wait, or when the send
    // found the connection broken (then the socket is closed and that told).
    bool TlsFlush();
    // A record that could not be read ends the session.
    void TlsCheckBroken();

    void ChangeState(TSocketState NewState);
    // Raises "Error n in function Name" with the text of WSAGetLastError.
    void SocketError(const std::string &FunctionName);
    void ReceiveLoop(std::uint16_t Error, TWSocketOptions Options);
    void ApplyLinger();
    void WMSocketEvent(WPARAM wParam, LPARAM lParam);
    void WMHostLookup(WPARAM wParam, LPARAM lParam);
    void WMAddrLookup(WPARAM wParam, LPARAM lParam);
    std::unique_ptr<TBuffer> NewBuffer();
    void DropFirstBuffer();
    bool Destroying() const { return fDestroying; }
    void QuitTaken(const MSG &msg);
    void AssignEndpoint(const std::string &value, std::string &text, bool &assigned, bool &resolved,
                        const char *name);

    SOCKET fHSocket = INVALID_SOCKET;
    HWND fWindowHandle = 0;
    sockaddr_in fSin{};
    std::string fDnsResult;
    std::vector<std::string> fDnsResultList;
    std::string fAddrStr;
    std::string fPortStr;
    std::string fProtoStr = "tcp";
    std::string fLocalAddr = "0.0.0.0";
    std::string fLocalPortStr = "0";
    bool fAddrAssigned = false;
    bool fAddrResolved = false;
    bool fPortAssigned = false;
    bool fPortResolved = false;
    bool fProtoAssigned = false;
    bool fProtoResolved = false;
    bool fLocalPortResolved = false;
    int fProto = 6;
    int fType = SOCK_STREAM;
    std::uint16_t fPortNum = 0; // host order
    std::uint16_t fLocalPortNum = 0;
    int fAddrFormat = AF_INET;
    std::deque<std::unique_ptr<TBuffer>> fBufferList;
    // Drained blocks kept for reuse, so a long transfer does not allocate
    // a block per 1460 bytes.
    std::vector<std::unique_ptr<TBuffer>> fSpareBuffers;
    int fBufSize = 1460;
    bool fAllSent = true;
    bool fPaused = false;
    bool fCloseInvoked = false;
    long fSelectEvent = 0;
    long fSelectMessage = 0; // the network event being handled
    HANDLE fDnsLookupHandle = 0;
    THostEnt fDnsLookupBuffer;
    MSG fDnsLookupTempMsg{};
    bool fDnsLookupCheckMsg = false;
    bool fReadLineFull = false;      // the last receive filled the caller's buffer
    std::uint64_t fReceiveCalls = 0; // tells ReceiveLoop whether a handler read
    int fRecvLeft = -1;              // bytes queued after the last recv, -1 unknown
    bool fTerminated = false;
    std::uint64_t fQuitsTaken = 0; // lets a pump see a quit of its own pass
    TSocketState fState = wsClosed;
    std::int64_t fReadCount = 0; // 64 bits: long sessions pass 2 GB
    int fLastError = 0;
    TSocketSendFlags fSendFlags = wsSendNormal;
    bool fDestroying = false;
    std::uint32_t fThreadId = 0;
    std::unique_ptr<TTlsSession> fTls;
    bool fTlsOnConnectStarted = false; // this connection's TLS began with it
    bool fTlsReadPosted = false;       // an FD_READ for decrypted bytes is on its way
    std::string fTlsErrorText;
};

} // namespace pv
