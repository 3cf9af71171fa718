// Part of TCustomSmtpClient (CustomSmtpClient.h): TLS. STARTTLS (RFC 3207)
// as a request of its own that ends after the EHLO sent over TLS; TLS from the
// first byte is the socket's (TlsOnConnect), set up where the client connects.
#include "mail/CustomSmtpClient.h"
#include "platform/Text.h"

namespace pv {

bool IsStartTlsCapability(std::string_view ReplyLine) {
    std::string t = UpperCase(Trim(std::string(ReplyLine)));
    t.erase(0, std::min<std::size_t>(4, t.size()));
    return Trim(t) == "STARTTLS";
}

std::string TCustomSmtpClient::SocketFailureText(int Error) const {
    return "500 " + FWSocket->ErrorReport(Error);
}

void TCustomSmtpClient::StartTls() {
    CheckReady();
    CheckConnected();
    if (FWSocket->TlsActive() || FWSocket->TlsHandshaking())
        throw SmtpException("TLS already active");
    if (!FStartTlsOffered) {
        // Nothing goes in plain text that was meant to go encrypted.
        FailUnsent(smtpStartTls, stepStartTls, "500 The server does not offer STARTTLS.");
        return;
    }
    StartCommand(smtpStartTls, stepStartTls, "STARTTLS", {220}, &TCustomSmtpClient::StartTlsReply);
}

void TCustomSmtpClient::StartTlsReply() {
    if (FRequestResult != 0) {
        FinishRequest(FRequestResult);
        return;
    }
    // Whatever came after the reply was sent before the encryption began,
    // by anyone on the way: never a reply to what we send over TLS.
    if (FReader.Held() > 0)
        TriggerDisplay("! " + std::to_string(FReader.Held()) +
                       " byte(s) after the STARTTLS reply discarded");
    FReader.Reset();
    // What the server said it offers is forgotten: it is asked again.
    FEsmtp = false;
    FStartTlsOffered = false;
    FAuthMechanisms.clear();
    try {
        FWSocket->StartTls();
    } catch (const Exception &E) {
        FLastResponse = "500 " + std::string(E.ClassName()) + ": " + E.Message();
        FStatusCode = 500;
        FRequestResult = 500;
        KeepErrorMessage();
        FinishRequest(500);
        FWSocket->Close();
    }
}

void TCustomSmtpClient::WSocketTlsDone(std::uint16_t ErrCode) {
    // TLS from the first byte ends in the socket's OnSessionConnected.
    if (FCurrentStep != stepStartTls || FRequestDone)
        return;
    if (ErrCode != 0) {
        // The socket closes itself after this event.
        FailLocally(SocketFailureText(ErrCode), ErrCode);
        return;
    }
    FState = smtpInternalReady;
    StartCommand(smtpStartTls, stepEhlo, EhloCommand(), {250},
                 &TCustomSmtpClient::StartTlsEhloDone);
}

void TCustomSmtpClient::StartTlsEhloDone() {
    if (FRequestResult == 0)
        FEsmtp = true;
    FinishRequest(FRequestResult);
}

} // namespace pv
