// POP3 before SMTP: a POP3 logon (USER and PASS, or APOP, then QUIT) run to
// its end inside a nested message loop just before the SMTP session. Its
// outcome decides whether the job goes on; a failed logon sends nothing.
#include "app/FrmMain.h"
#include "app/ProxySettings.h"
#include "net/Winsock.h"

namespace pv {

namespace {

// The secret of a dialogue line as the verbose log shows it: the password
// (PASS, RPOP) and the APOP digest are masked, the user name stays.
std::string MaskedPop3Line(const std::string &Msg) {
    if (Msg.find("PASS ") != std::string::npos)
        return "> PASS *******";
    if (Msg.rfind("> APOP ", 0) == 0)
        return Msg.substr(0, Msg.rfind(' ')) + " *******";
    if (Msg.rfind("> RPOP ", 0) == 0)
        return "> RPOP *******";
    // A server line holding control characters must not break the log.
    return ShowControls(Msg);
}

} // namespace

std::string TfrmMain::Pop3Logon() {
    job_.Pop3Result.clear();
    if (app_.Terminated()) {
        job_.Pop3Result = "Application terminated";
        return "";
    }
    if (settings_.AuthMode != 1)
        return "";
    // As the log and the status bar show it.
    const std::string host = ShowControls(settings_.Pop3Host);
    WriteLog(">Starting POP3 authentication at host " + host + " ...", true);
    ShowStatus("Starting POP3 authentication...");
    try {
        pop3_ = std::make_unique<TPop3Cli>();
        pop3_->MsgLines = 1;
        pop3_->MsgNum = 0;
        pop3_->OnRequestDone = [this](TObject *s, TPop3Request rq, std::uint16_t e) {
            Pop3RequestDone(s, rq, e);
        };
        pop3_->OnDisplay = [this](TObject *s, const std::string &m) { Pop3Display(s, m); };
        pop3_->Host = settings_.Pop3Host;
        pop3_->Port = settings_.Pop3Port;
        pop3_->UserName = settings_.UserName;
        pop3_->PassWord = settings_.Password;
        if (watchdog_)
            watchdog_->SetEnabled(true);
        job_.Idle = true;
        job_.TimedOut = false;
        pop3Ended_ = false;

        const std::string proxy = ApplyProxySettings(pop3_->Socket(), iniFile_);
        if (!proxy.empty())
            WriteLog(">Connecting through " + proxy, true);
        pop3_->Connect();
        // Everything of the thread runs meanwhile, errors of other handlers
        // going to the application as in the main loop, until the logon ends
        // or the program does.
        while (!pop3Ended_ && !app_.Terminated())
            app_.HandleMessage();
        if (!pop3Ended_) {
            job_.Pop3Result = "Application Terminated";
            EndPop3Logon();
        }

        if (watchdog_)
            watchdog_->SetEnabled(false);
        if (!job_.Pop3Result.empty()) {
            const std::string result = ShowControls(job_.Pop3Result);
            WriteLog("! " + result, true);
            WriteLog("! Authentication failed at host: " + host, true);
            ShowStatus("POP3 auth err: " + result);
        } else {
            if (cboxVerbose.Checked())
                WriteLog("! Authenticated at host: " + host, true);
            ShowStatus("Authentication at host: " + host);
        }
        pop3_.reset();
        return job_.Pop3Result;
    } catch (const std::exception &E) {
        const auto *pe = dynamic_cast<const Exception *>(&E);
        job_.Pop3Result = pe ? pe->Message() : E.what();
        if (job_.Pop3Result.empty())
            job_.Pop3Result = "Unknown Error";
        WriteLog("! " + ShowControls(job_.Pop3Result), true);
        WriteLog("! Authentication failed at host: " + host, true);
        ShowStatus("Authentication failed at host: " + host);
        if (watchdog_)
            watchdog_->SetEnabled(false);
        if (pop3_)
            EndPop3Logon();
        pop3_.reset();
        // Without a logon the server would not relay: the job ends here.
        return job_.Pop3Result;
    }
}

void TfrmMain::EndPop3Logon() {
    pop3_->OnRequestDone = nullptr;
    pop3_->Abort();
    // The loop of Pop3Logon sees this once the current message is handled.
    pop3Ended_ = true;
}

void TfrmMain::Pop3RequestDone(TObject *, TPop3Request RqType, std::uint16_t Error) {
    MarkActivity();
    std::string &result = job_.Pop3Result;
    TPop3Cli &pop = *pop3_;
    const auto usable = [&] { return pop.Connected() && !app_.Terminated(); };
    try {
        if (Error != 0) {
            result = Error <= 10000
                         ? pop.ErrorMessage()
                         : "Winsock err #" + std::to_string(Error) + " " + SocketErrorDesc(Error);
            if (result.empty())
                result = "Unknown Error";
        } else {
            switch (RqType) {
            case pop3Connect:
                if (usable()) {
                    if (settings_.APop)
                        pop.APop();
                    else
                        pop.User();
                    return;
                }
                break;
            case pop3User:
                if (usable()) {
                    pop.Pass();
                    return;
                }
                break;
            case pop3Pass:
            case pop3APop:
                result.clear();
                if (usable()) {
                    pop.Quit();
                    return;
                }
                break;
            case pop3Quit:
                break;
            default:
                result = "Unknown RequestType";
                if (pop.Connected()) {
                    pop.Quit();
                    return;
                }
                break;
            }
            if (app_.Terminated() && pop.Connected()) {
                result = "Application Terminated";
                pop.Quit();
                return;
            }
            if (!pop.Connected() && RqType != pop3Quit) {
                if (watchdog_)
                    watchdog_->SetEnabled(false);
                result = "Application Terminated";
            }
        }
        if (watchdog_)
            watchdog_->SetEnabled(false);
        if (job_.TimedOut)
            result = "426 Timeout";
        EndPop3Logon();
    } catch (const std::exception &E) {
        // For instance APOP refused because the greeting had no time stamp.
        if (watchdog_)
            watchdog_->SetEnabled(false);
        const auto *pe = dynamic_cast<const Exception *>(&E);
        result = pe ? std::string(pe->ClassName()) + ": " + pe->Message()
                    : std::string("Exception: ") + E.what();
        EndPop3Logon();
    }
}

void TfrmMain::Pop3Display(TObject *, const std::string &Msg) {
    if (cboxVerbose.Checked())
        WriteLog(MaskedPop3Line(Msg), true);
}

} // namespace pv
