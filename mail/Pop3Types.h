// The types of the POP3 client: its exception, states, request kinds and
// event signatures.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Object.h"

namespace pv {

class Pop3Exception : public Exception {
  public:
    using Exception::Exception;
    const char *ClassName() const override { return "Pop3Exception"; }
};

// Where the POP3 session stands, as the server sees it.
enum TPop3ProtocolState : std::uint8_t {
    pop3Disconnected,
    pop3WaitingUser,
    pop3WaitingPass,
    pop3Transaction
};

// What the component is doing.
enum TPop3State : std::uint8_t {
    pop3Ready,
    pop3DnsLookup,
    pop3Connecting,
    pop3Connected,
    pop3InternalReady, // between the steps of Open
    pop3WaitingBanner,
    pop3WaitingResponse,
    pop3Abort
};

enum TPop3Request : std::uint8_t {
    pop3Connect,
    pop3User,
    pop3Pass,
    pop3RPop,
    pop3Quit,
    pop3Stat,
    pop3List,
    pop3Retr,
    pop3Top,
    pop3Dele,
    pop3Noop,
    pop3Last,
    pop3RSet,
    pop3Uidl,
    pop3APop,
    pop3Open,
    pop3Custom // never produced
};

using TPop3Display = std::function<void(TObject *Sender, const std::string &Msg)>;
using TPop3RequestDone =
    std::function<void(TObject *Sender, TPop3Request RqType, std::uint16_t Error)>;

} // namespace pv
