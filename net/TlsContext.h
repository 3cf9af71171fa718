// What the TLS sessions of the sockets share: the protocol versions allowed
// (TLS 1.2 or later) and whom they trust. One context serves any number of
// sessions; a socket keeps its context alive while it uses it.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

namespace pv {

class TTlsContext {
  public:
    // Verify: check the server's certificate chain and host name. CAFile: a
    // PEM file of the CA certificates to trust instead of the system's trust
    // store; "" for the system's. A CA file that cannot be loaded raises
    // ESocketException naming it and why.
    explicit TTlsContext(bool Verify = true, const std::string &CAFile = "");
    ~TTlsContext();
    TTlsContext(const TTlsContext &) = delete;
    TTlsContext &operator=(const TTlsContext &) = delete;

    bool Verify() const { return FVerify; }
    const std::string &CAFile() const { return FCAFile; }
    ssl_ctx_st *Handle() const { return FCtx; }

    // The context with the defaults: the system's trust store, everything
    // checked. Made once, on first use.
    static std::shared_ptr<TTlsContext> Default();

  private:
    ssl_ctx_st *FCtx = nullptr;
    bool FVerify;
    std::string FCAFile;
};

// The text of the oldest error in this thread's OpenSSL error queue ("" when
// there is none); the queue is emptied.
std::string TlsLibraryError();

} // namespace pv
