// The SOCKS proxy layer of the socket chain: with SocksServer assigned, the
// transport connects to the proxy, runs the level 4, 4A or 5 handshake on the
// raw connection and only then reports OnSessionConnected, so the user sees
// the events of a direct connection. Without a proxy every call goes straight
// to the core.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "net/CustomWSocket.h"

namespace pv {

enum TSocksAuthentication : std::uint8_t { socksNoAuthentication, socksAuthenticateUsercode };

enum TSocksAuthState : std::uint8_t {
    socksAuthStart,
    socksAuthSuccess,
    socksAuthFailure,
    socksAuthNotRequired,
};

using TSocksErrorEvent = std::function<void(TObject *Sender, int Error, const std::string &Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject *Sender, TSocksAuthState AuthState)>;

// Proxy failures, delivered to OnSocksError and as the error of
// OnSessionConnected and OnSessionClosed.
constexpr int socksLogicError = 20001; // also "too much data availaible"
constexpr int socksVersionError = 20002;
constexpr int socksMethodNotAcceptable = 20003;
constexpr int socksGeneralFailure = 20004;
constexpr int socksNotAllowed = 20005;
constexpr int socksNetUnreachable = 20006;
constexpr int socksHostUnreachable = 20007;
constexpr int socksConnectionRefused = 20008;
constexpr int socksTtlExpired = 20009;
constexpr int socksCommandNotSupported = 20010;
constexpr int socksAddressNotSupported = 20011;
constexpr int socksUnassignedError = 20012;
constexpr int socksInternalError = 20013;
constexpr int socksAuthenticationFailed = 20015;
constexpr int socksRequestRejected = 20016;
constexpr int socksResolveError = 20017;

// The text of a proxy failure code (20001 to 20017) without its details; ""
// for any other number.
std::string SocksErrorDesc(int Code);

class TCustomSocksWSocket : public TCustomWSocket {
  public:
    TCustomSocksWSocket() = default;

    const std::string &SocksServer() const { return fSocksServer; }
    virtual void SetSocksServer(const std::string &value);
    const std::string &SocksPort() const { return fSocksPort; }
    virtual void SetSocksPort(const std::string &value);
    // "4", "4A" or "5"; stored upper-case.
    const std::string &SocksLevel() const { return fSocksLevel; }
    void SetSocksLevel(const std::string &value);
    std::string SocksUsercode;
    std::string SocksPassword;
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;
    // With a proxy of level 4A or 5: DnsLookup of a host name completes at
    // once with the name itself, which Connect then hands to the proxy, so a
    // name that only the proxy can resolve still works.
    bool SocksRemoteLookup = false;
    // What a level-5 proxy reported as its end of the connection.
    const std::string &SocksBoundAddr() const { return fBoundAddr; }
    const std::string &SocksBoundPort() const { return fBoundPort; }

    TSessionEvent OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

    void Connect() override;
    void Listen() override;
    void DnsLookup(const std::string &HostName) override;
    int RcvdCount() override;

  protected:
    enum TSocksState : std::uint8_t {
        socksData,
        socksNegociateMethods,
        socksAuthenticate,
        socksConnect
    };

    void ResetToDefaults() override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoTcpConnected(std::uint16_t ErrCode) override;
    void DoSessionClosed(std::uint16_t ErrCode) override;
    void DoDataSent(std::uint16_t ErrCode) override;
    int RawReceive(void *Buffer, int Size, int Flags) override;
    virtual void DoSocksConnected(std::uint16_t ErrCode);
    virtual void DoSocksError(int Error, const std::string &Msg);
    virtual void DoSocksAuthState(TSocksAuthState AuthState);

    bool SocksNegotiating() const { return fSocksState != socksData; }

  private:
    bool Level4() const { return fSocksLevel != "5"; }
    // Reports the failure, then OnSessionConnected and OnSessionClosed with it.
    void SocksDoError(int Error, const std::string &Msg);
    void SocksDoConnect();
    void SocksDoAuthenticate();
    void SocksSuccess(int ReplyLength);
    // Evaluates the held reply bytes; false when more are needed or the
    // negotiation ended.
    bool SocksEvaluate();
    void SocksSend(const std::string &Bytes);
    void ConsumeReply(int Count);
    void AbandonNegotiation();
    int LeftoverCount() const { return static_cast<int>(fLeftover.size() - fLeftoverPos); }

    std::string fSocksServer;
    std::string fSocksPort;
    std::string fSocksLevel = "5";
    bool fSocksServerResolved = false;
    bool fSocksPortResolved = false;
    std::uint32_t fSocksServerAddr = 0; // network order
    std::uint16_t fSocksPortNum = 0;    // host order
    std::uint16_t fSocksTargetPort = 0; // host order
    TSocksState fSocksState = socksData;
    std::uint8_t fSocksMethod = 0;
    // Long enough for the longest level-5 reply: a name of 255 bytes.
    std::array<std::uint8_t, 4 + 1 + 255 + 2> fRcvBuf{};
    int fRcvCnt = 0;
    std::string fBoundAddr;
    std::string fBoundPort;
    // Bytes of the server that came with the proxy's last reply.
    std::string fLeftover;
    std::size_t fLeftoverPos = 0;
};

} // namespace pv
