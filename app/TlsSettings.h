// The optional INI section [TLS]: how the mail sessions protect themselves.
// Read afresh for every session and never written by the program.
//
//   [TLS]
//   SMTP=none     none, starttls (STARTTLS after EHLO, port 587) or tls (TLS
//                 from the first byte, port 465)
//   POP3=none     none, stls (STLS after the greeting, port 110) or tls (995)
//   Verify=1      0: any certificate is taken (encrypted, but the server is
//                 not proven to be the one named)
//   CAFile=       a PEM file of the CA certificates to trust instead of the
//                 system's trust store; relative to the program directory
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/TlsContext.h"

namespace pv {

enum class TSmtpSecurity : std::uint8_t { None, StartTls, Tls };
enum class TPop3Security : std::uint8_t { None, Stls, Tls };

struct TTlsSettings {
    TSmtpSecurity Smtp = TSmtpSecurity::None;
    TPop3Security Pop3 = TPop3Security::None;
    bool Verify = true;
    std::string CAFile; // as written; "" for the system's trust store

    // The context of the sessions. A CA file that cannot be loaded raises
    // ESocketException naming it.
    std::shared_ptr<TTlsContext> MakeContext(const std::string &AppDir) const;
    // "certificate checked against the system's trust store" and the like.
    std::string TrustText() const;
};

// A value outside those listed above raises Exception with a text that
// names the key, the value (control characters shown) and what it may be.
TTlsSettings ReadTlsSettings(const std::string &IniFile);

} // namespace pv
