// The SOCKS proxy layer of the socket chain. With no SocksServer assigned it
// passes every call straight to the core.
#pragma once

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

    TSessionEvent OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

    void Connect() override;
    void Listen() override;
    int RcvdCount() override;

  protected:
    void ResetToDefaults() override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoTcpConnected(std::uint16_t ErrCode) override;
    void DoSessionClosed(std::uint16_t ErrCode) override;
    int RawReceive(void *Buffer, int Size, int Flags) override;
    virtual void DoSocksConnected(std::uint16_t ErrCode);
    virtual void DoSocksError(int Error, const std::string &Msg);

    std::string fSocksServer;
    std::string fSocksPort;
    std::string fSocksLevel = "5";
};

} // namespace pv
