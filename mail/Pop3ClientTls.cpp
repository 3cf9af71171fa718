// Part of TCustomPop3Cli (Pop3Client.h): TLS. STLS (RFC 2595) as a request
// of its own that ends once the session is encrypted; TLS from the first
// byte is the socket's (TlsOnConnect), set up where the client connects.
#include "mail/Pop3Client.h"
#include "net/Winsock.h"

namespace pv {

std::string TCustomPop3Cli::SocketFailureText(int Error) const {
    return "-ERR " + FWSocket->ErrorReport(Error);
}

void TCustomPop3Cli::Stls() {
    // Only before logging on, and only once.
    if (FProtocolState > pop3WaitingUser || FWSocket->TlsActive() || FWSocket->TlsHandshaking())
        Refuse("-ERR STLS command invalid now");
    StartCommand(pop3Stls, stepStls, "STLS", pop3WaitingUser, &TCustomPop3Cli::StlsAccepted, false);
}

void TCustomPop3Cli::StlsAccepted() {
    // Whatever came after the reply was sent before the encryption began,
    // by anyone on the way: never a reply to what we send over TLS.
    if (FReader.Held() > 0)
        TriggerDisplay("! " + std::to_string(FReader.Held()) +
                       " byte(s) after the STLS reply discarded");
    FReader.Reset();
    try {
        FWSocket->StartTls();
    } catch (const Exception &E) {
        FailLocally("-ERR " + std::string(E.ClassName()) + ": " + E.Message(), 500);
        FWSocket->Close();
    }
}

void TCustomPop3Cli::WSocketTlsDone(std::uint16_t ErrCode) {
    // TLS from the first byte ends in the socket's OnSessionConnected.
    if (FCurrentStep != stepStls || FRequestDone)
        return;
    if (ErrCode != 0) {
        // The socket closes itself after this event.
        FailLocally(SocketFailureText(ErrCode), ErrCode);
        return;
    }
    DoRequestDone(0);
}

} // namespace pv
