// The TLS of the mail session: [TLS] read for every session, the client set
// up from it, and what the log says about it.
#include "app/FrmMain.h"
#include "net/TlsErrors.h"

namespace pv {

bool TfrmMain::SetupSmtpTls() {
    Smtp.ImplicitTls = false;
    Smtp.TlsContext = nullptr;
    try {
        tls_ = ReadTlsSettings(iniFile_);
        if (tls_.Smtp != TSmtpSecurity::None)
            Smtp.TlsContext = tls_.MakeContext(appDir_);
    } catch (const Exception &E) {
        // Nothing may go in plain text that was meant to go encrypted.
        tls_ = TTlsSettings{};
        RecordError(smtpConnect, 0, E.Message(), 1);
        EndSession();
        return false;
    }
    Smtp.ImplicitTls = tls_.Smtp == TSmtpSecurity::Tls;
    if (cboxVerbose.Checked() && tls_.Smtp != TSmtpSecurity::None)
        WriteLog(std::string(">TLS: ") +
                     (tls_.Smtp == TSmtpSecurity::Tls ? "from the first byte" : "STARTTLS") + ", " +
                     tls_.TrustText(),
                 true);
    return true;
}

bool TfrmMain::StartTlsDue() const {
    return tls_.Smtp == TSmtpSecurity::StartTls && !Smtp.TlsActive();
}

void TfrmMain::SetupPop3Tls(TPop3Cli &Pop3) {
    tls_ = ReadTlsSettings(iniFile_);
    if (tls_.Pop3 == TPop3Security::None)
        return;
    Pop3.TlsContext = tls_.MakeContext(appDir_);
    Pop3.ImplicitTls = tls_.Pop3 == TPop3Security::Tls;
    if (cboxVerbose.Checked())
        WriteLog(std::string(">TLS: ") + (Pop3.ImplicitTls ? "from the first byte" : "STLS") +
                     ", " + tls_.TrustText(),
                 true);
}

void TfrmMain::LogTlsSession(TWSocket &Socket) {
    if (cboxVerbose.Checked() && Socket.TlsActive())
        WriteLog(">TLS: " + Socket.TlsProtocol() + ", " + Socket.TlsCipher(), true);
}

void TfrmMain::LogTlsFailure(int ErrorCode) {
    const std::string &why = Smtp.Socket().TlsErrorText();
    if (IsTlsError(ErrorCode) && !why.empty())
        WriteLog("! TLS: " + ShowControls(why), true);
}

} // namespace pv
