// The mail session of a job: the attachments and text of each mail, the SMTP
// client driven one request at a time from its request-done event, and the
// bookkeeping of what the server accepted.
#include "app/FrmMain.h"
#include "app/ProxySettings.h"
#include "app/Settings.h"
#include "net/Winsock.h"
#include "platform/Profile.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace pv {

namespace {

const std::string kWebAddress = "https://postvane.example.org/";
const std::string kHyphens(72, '-');
constexpr int kYieldCount = 225;

// Two empty lines and a line of hyphens.
void AppendSeparator(std::vector<std::string> &lines) {
    lines.emplace_back();
    lines.emplace_back();
    lines.push_back(kHyphens);
}

} // namespace

void TfrmMain::SetupSmtp() {
    Smtp.Port = "smtp";
    Smtp.LocalAddr = "0.0.0.0";
    Smtp.SetShareMode(smtpShareDenyWrite);
    Smtp.HdrPriority = smtpPriorityNone;
    Smtp.DefaultEncoding = smtpEnc7bit;
    Smtp.Allow8bitChars = false;
    Smtp.FoldHeaders = true;
    Smtp.WrapMessageText = true;
    Smtp.ConfirmReceipt = false;
    Smtp.SetContentType(smtpPlainText);
    Smtp.OwnHeaders = false;
    Smtp.SignOn.clear();
    Smtp.HdrReplyTo.clear();
    Smtp.HdrReturnPath.clear();
    Smtp.HdrSender.clear();
    Smtp.CharSet = "iso-8859-1";
    // An attachment replaced by a link since the scan is not read through it.
    Smtp.FollowLinks = false;
    Smtp.AuthType = smtpAuthNone;
    Smtp.OnCommand = [this](TObject *s, const std::string &m) { SMTPCommand(s, m); };
    Smtp.OnResponse = [this](TObject *s, const std::string &m) { SMTPResponse(s, m); };
    Smtp.OnHeaderLine = [this](TObject *s, char *m, int size) { SmtpHeaderLine(s, m, size); };
    Smtp.OnAttachContentType = [this](TObject *s, int n, std::string &name, std::string &type) {
        SmtpAttachContentType(s, n, name, type);
    };
}

// ---- attachments and text ----

void TfrmMain::PrepareAttachments() {
    ShowStatus("Preparing Attachments");
    std::vector<std::string> &files = Smtp.EmailFiles();
    files.clear();
    const bool zipped = cboxZip.Checked();
    const char *pathField = zipped ? "ZFileName" : "FileName";

    auto markMissing = [this] {
        tblFiles.Edit();
        tblFiles.FieldByName("Error").SetAsString("File not found");
        tblFiles.Post();
    };
    // What a sent file is compared with before it is unmarked or deleted. An
    // archive's originals may have been stamped when they were packed.
    auto remember = [this, zipped] {
        if (zipped && tblFiles.Current().Stamp)
            return;
        TFileStamp stamp;
        if (GetFileStamp(tblFiles.Current().FileName, stamp))
            tblFiles.SetStamp(stamp);
        else
            tblFiles.SetStamp(std::nullopt);
    };
    auto setIndex = [this](int index) {
        tblFiles.Edit();
        tblFiles.FieldByName("Index").SetAsInteger(index);
        tblFiles.Post();
    };

    if (cboxSingleFilePerMail.Checked()) {
        while (NextPendingFile()) {
            const std::string path = tblFiles.FieldByName(pathField).AsString();
            if (FileExists(path)) {
                files.push_back(path);
                setIndex(static_cast<int>(files.size()) - 1);
                remember();
                return;
            }
            markMissing();
            tblFiles.Next();
        }
        return;
    }

    for (tblFiles.First(); !tblFiles.Eof(); tblFiles.Next()) {
        if (!tblFiles.Current().Pending())
            continue;
        const std::string path = tblFiles.FieldByName(pathField).AsString();
        if (!FileExists(path)) {
            markMissing();
            continue;
        }
        if (!zipped)
            files.push_back(path);
        setIndex(zipped ? 0 : static_cast<int>(files.size()) - 1);
        remember();
    }
    if (zipped && PendingCount() > 0)
        files.push_back(TempDir() + settings_.ZipName);
}

void TfrmMain::BuildMessageText() {
    std::vector<std::string> &text = Smtp.MailMessage;
    text.clear();
    if (FileExists(BodyFileName())) {
        if (Memo1.LoadFromFile(BodyFileName()))
            text = Memo1.Lines();
        else
            text = {"ERROR on loading message text from file \"body.text\"."};
    } else {
        text = Memo1.Lines();
    }

    if (cboxFilenames.Checked()) {
        const TFilesTable::TBookmark here = tblFiles.GetBookmark();
        AppendSeparator(text);
        const bool zipped = cboxZip.Checked();
        if (cboxSingleFilePerMail.Checked()) {
            const auto &row = tblFiles.Current();
            text.push_back("File(s) attached: " +
                           ExtractFileName(zipped ? row.ZFileName : row.FileName));
        } else if (zipped) {
            // All files travel in the one archive.
            text.push_back("File(s) attached: " + ExtractFileName(settings_.ZipName));
        } else {
            text.push_back("File(s) attached:");
            for (const auto &row : tblFiles.Rows())
                if (row.Pending())
                    text.push_back(ExtractFileName(row.FileName));
        }
        tblFiles.GotoBookmark(here);
    }

    AppendSeparator(text);
    text.push_back(std::string("Sent by 'Postvane Freeware V.") + kVersion + "' - " + kWebAddress);
}

// ---- the session ----

void TfrmMain::StartSmtpSession() {
    // No request of an earlier session may report into this one.
    Smtp.OnRequestDone = nullptr;
    Smtp.Abort();
    job_.MailCount = 0;

    Smtp.Host = edHost.Text();
    Smtp.Port = IntToStr(spinPort.Value());
    Smtp.Username = settings_.UserName;
    Smtp.Password = settings_.Password;
    Smtp.CharSet = ComboCharset.Text();
    Smtp.FromName = ParseMailbox(Trim(edFrom.Text())).Address;
    Smtp.RcptName.clear();
    Smtp.AddRecipients(edTo.Text(), edCC.Text(), edBcc.Text());
    for (std::string &rcpt : Smtp.RcptName)
        rcpt = ParseMailbox(rcpt).Address;
    Smtp.HdrFrom = Trim(edFrom.Text());
    Smtp.HdrTo = Trim(edTo.Text());
    Smtp.HdrCc = Trim(edCC.Text());
    Smtp.HdrSubject = edSubject.Text();
    Smtp.OnRequestDone = [this](TObject *s, TSmtpRequest rq, std::uint16_t e) {
        SMTPRequestDone(s, rq, e);
    };
    Smtp.OnDisplay = [this](TObject *s, const std::string &m) { SmtpCliDisplay(s, m); };
    Smtp.OnSessionClosed = [this](TObject *s, std::uint16_t e) { SmtpSessionClosed(s, e); };
    Smtp.OnAfterFileOpen = [this](TObject *s, int idx, const std::string &name, const Exception *e,
                                  TSmtpAfterOpenFileAction &action) {
        SmtpAfterFileOpen(s, idx, name, e, action);
    };

    job_.ResultText.clear();
    ShowStatus("Connecting to SMTP host " + edHost.Text());
    WriteLog(">Connecting to SMTP host " + edHost.Text(), true);

    job_.Idle = true;
    job_.TimedOut = false;
    if (watchdog_)
        watchdog_->SetEnabled(true);
    displayCount_ = 0;
    job_.Finished = false;

    if (app_.Terminated())
        return;
    try {
        const std::string proxy = ApplyProxySettings(Smtp.Socket(), iniFile_);
        if (!proxy.empty())
            WriteLog(">Connecting through " + proxy, true);
        Smtp.Connect();
    } catch (const Exception &E) {
        job_.ResultText = E.Message();
        WriteLog("! Err " + E.Message(), true);
        Smtp.OnRequestDone = nullptr;
        Smtp.Abort();
        // No session runs that the watchdog could guard.
        if (watchdog_)
            watchdog_->SetEnabled(false);
        FinishJob();
    }
}

void TfrmMain::SMTPRequestDone(TObject *, TSmtpRequest RqType, std::uint16_t ErrorCode) {
    MarkActivity();
    try {
        const bool usable = Smtp.Connected() && !app_.Terminated();
        if (ErrorCode != 0) {
            if (RqType != smtpQuit)
                RecordError(Smtp.RequestType(), ErrorCode, "", 0);
            if (usable)
                Smtp.Quit();
            else
                EndSession();
            return;
        }
        if (RqType == smtpData)
            MailDelivered();
        switch (RqType) {
        case smtpConnect:
        case smtpHelo:
        case smtpEhlo:
        case smtpAuth:
        case smtpMailFrom:
        case smtpRcptTo:
        case smtpData:
            if (!usable) {
                SessionFallback(RqType);
                return;
            }
            break;
        case smtpQuit:
            SessionFallback(RqType);
            return;
        default:
            if (job_.TimedOut || app_.Terminated()) {
                SessionFallback(RqType);
            } else {
                Smtp.Quit();
                RecordError(Smtp.RequestType(), 0, "", 2);
            }
            return;
        }
        switch (RqType) {
        case smtpConnect:
            if (settings_.AuthMode >= 2)
                Smtp.Ehlo();
            else
                Smtp.Helo();
            break;
        case smtpEhlo:
            Smtp.AuthType = smtpAuthLogin;
            Smtp.Auth();
            break;
        case smtpHelo:
        case smtpAuth:
            Smtp.MailFrom();
            break;
        case smtpMailFrom:
            ShowStatus("Sending Recipients");
            Smtp.RcptTo();
            break;
        case smtpRcptTo:
            ShowStatus("Sending Data");
            Smtp.Data();
            break;
        default: // smtpData
            if (PendingCount() >= 1)
                Smtp.MailFrom();
            else
                Smtp.Quit();
            break;
        }
    } catch (const Exception &E) {
        // Raised by the end of the job itself (the settings written as a
        // run-once program closes, say): no session is left to fail, and
        // swallowing it here would keep the program running and re-armed.
        if (job_.Finished)
            throw;
        if (watchdog_)
            watchdog_->SetEnabled(false);
        Smtp.OnRequestDone = nullptr;
        RecordError(Smtp.RequestType(), 0, std::string(E.ClassName()) + ": " + E.Message(), 1);
        Smtp.Abort();
        LogJobResults();
        FinishJob();
    }
}

void TfrmMain::SessionFallback(TSmtpRequest RqType) {
    if (app_.Terminated() && Smtp.Connected()) {
        // The session ends when the QUIT completes.
        Smtp.Quit();
        RecordError(Smtp.RequestType(), 0, "", 3);
        return;
    }
    if (!Smtp.Connected() && RqType != smtpQuit) {
        // Dropped by the server, or aborted by the watchdog.
        if (watchdog_)
            watchdog_->SetEnabled(false);
        RecordError(Smtp.RequestType(), 0, "", 0);
    }
    EndSession();
}

void TfrmMain::EndSession() {
    if (watchdog_)
        watchdog_->SetEnabled(false);
    LogJobResults();
    FinishJob();
}

void TfrmMain::RecordError(TSmtpRequest Request, int Code, const std::string &Text, int Kind) {
    std::string text;
    if (Code >= 1 && Code <= 10000)
        text = Smtp.ErrorMessage();
    else if (Code >= 10001 && Code <= 19999)
        text = "Winsock err #" + IntToStr(Code) + " " + SocketErrorDesc(Code);
    else if (Code >= socksLogicError && Code <= socksResolveError)
        text = "Socks err #" + IntToStr(Code) + " " + SocksErrorDesc(Code);
    else if (Code >= 20600)
        text = "Invalid RFC response";
    if (text.empty())
        text = "Unknown error";
    switch (Kind) {
    case 1:
        text = Text;
        break;
    case 2:
        text = "Unknown request type";
        break;
    case 3:
        text = "Application terminated";
        break;
    case 4:
        text = "Disconnected by remote peer";
        break;
    default:
        break;
    }
    if (job_.TimedOut)
        text = "Error: 426 Timeout";
    if (app_.Terminated())
        text = "Job aborted";

    WriteLog("! " + text, true);
    job_.ResultText = text;
    if (Request == smtpQuit)
        return;

    // The file of the mail in progress and every later one fail; files of
    // mails accepted before keep their state.
    const TFilesTable::TBookmark here = tblFiles.GetBookmark();
    if (!cboxSingleFilePerMail.Checked())
        tblFiles.First();
    for (; !tblFiles.Eof(); tblFiles.Next()) {
        const auto &row = tblFiles.Current();
        if (!row.Sent || !row.Error.empty()) {
            tblFiles.Edit();
            tblFiles.FieldByName("Error").SetAsString(text);
            tblFiles.Post();
        }
    }
    tblFiles.GotoBookmark(here);
}

void TfrmMain::MailDelivered() {
    ++job_.MailCount;
    const bool zipped = cboxZip.Checked();
    if (cboxSingleFilePerMail.Checked()) {
        WriteLog(">File sent: " +
                     tblFiles.FieldByName(zipped ? "ZFileName" : "FileName").AsString(),
                 true);
        tblFiles.Edit();
        tblFiles.FieldByName("Sent").SetAsBoolean(true);
        tblFiles.Post();
        ClearArchiveBits();
        PrepareAttachments();
        BuildMessageText();
        return;
    }
    WriteLog(zipped ? ">File(s) packed in " + settings_.ZipName + ":"
                    : std::string(">File(s) sent:"),
             true);
    for (tblFiles.First(); !tblFiles.Eof(); tblFiles.Next()) {
        if (!tblFiles.Current().Error.empty())
            continue;
        WriteLog("\t" + tblFiles.Current().FileName, false);
        tblFiles.Edit();
        tblFiles.FieldByName("Sent").SetAsBoolean(true);
        tblFiles.Post();
    }
    ClearArchiveBits();
}

void TfrmMain::LogJobResults() {
    const int sent = SentCount();
    const int total = static_cast<int>(tblFiles.RecordCount());
    const int failed = total - sent;
    WriteLog(IntToStr(total) + " File(s) in send list.", false);
    WriteLog(IntToStr(sent) + " File(s) with " + IntToStr(job_.MailCount) + " Mail(s) sent", false);
    if (sent > 0)
        job_.ResultText =
            failed > 0 ? IntToStr(sent) + " File(s) sent, " + IntToStr(failed) + " File(s) failed."
                       : IntToStr(sent) + " File(s) sent.";
    if (failed > 0) {
        WriteLog("Following " + IntToStr(failed) + " File(s) failed:", false);
        // Every file the count calls failed, also one whose mail went out
        // without it.
        for (const auto &row : tblFiles.Rows())
            if (!row.IsSent())
                WriteLog("\t" + row.FileName + " - " + row.Error, false);
    }
}

// ---- events of the client ----

void TfrmMain::SmtpHeaderLine(TObject *, char *Msg, int Size) {
    if (Size <= 0 || strncasecmp(Msg, "X-Mailer:", 9) != 0)
        return;
    const std::string header = "X-Mailer: Postvane Freeware - Harlwick Software - " + kWebAddress +
                               "\r\n\tUse of this software as a transport for the dissemination "
                               "of SPAM\r\n\tis prohibited!";
    const std::size_t n = std::min(header.size(), static_cast<std::size_t>(Size) - 1);
    std::memcpy(Msg, header.data(), n);
    Msg[n] = '\0';
}

void TfrmMain::SmtpAttachContentType(TObject *, int, std::string &FileName,
                                     std::string &ContentType) {
    ContentType = "application/octet-stream";
    const std::string ext = ExtractFileExt(FileName);
    if (ext.empty())
        return;
    // Read afresh for every attachment: the section may be edited any time.
    const std::string type = Trim(GetPrivateProfileString("MimeTypes", ext, "", iniFile_));
    if (!type.empty())
        ContentType = type;
}

void TfrmMain::SmtpAfterFileOpen(TObject *, int Idx, const std::string &FileName,
                                 const Exception *E, TSmtpAfterOpenFileAction &Action) {
    const bool single = cboxSingleFilePerMail.Checked();
    if (!E) {
        // The content from here on is what the mail carries.
        if (cboxZip.Checked())
            return;
        TFileStamp stamp;
        const bool stamped = GetFileStamp(FileName, stamp);
        auto restamp = [&] { tblFiles.SetStamp(stamped ? std::optional(stamp) : std::nullopt); };
        if (single) {
            if (tblFiles.Current().FileName == FileName)
                restamp();
            return;
        }
        const TFilesTable::TBookmark here = tblFiles.GetBookmark();
        for (tblFiles.First(); !tblFiles.Eof(); tblFiles.Next())
            if (tblFiles.Current().Index == Idx && tblFiles.Current().FileName == FileName)
                restamp();
        tblFiles.GotoBookmark(here);
        return;
    }

    auto fail = [&] {
        tblFiles.Edit();
        tblFiles.FieldByName("Error").SetAsString(E->Message());
        tblFiles.Post();
    };
    if (single) {
        // Every mail's attachment has index 0: only the file of this mail
        // is the one that failed, not those of the mails before it.
        if (!tblFiles.Eof() && tblFiles.Current().Error.empty())
            fail();
    } else {
        for (tblFiles.First(); !tblFiles.Eof(); tblFiles.Next())
            if (tblFiles.Current().Index == Idx && tblFiles.Current().Error.empty())
                fail();
        tblFiles.First();
        while (!tblFiles.Eof() &&
               !(tblFiles.Current().Pending() && tblFiles.Current().Index == Idx + 1))
            tblFiles.Next();
    }
    Action = smtpAfterOpenFileNext;
}

void TfrmMain::SmtpCliDisplay(TObject *, const std::string &) {
    MarkActivity();
    YieldEvery(kYieldCount);
    if (app_.Terminated())
        PostMessage(handle_, WM_ABORTSESSION, 0, 0);
}

void TfrmMain::SmtpSessionClosed(TObject *, std::uint16_t) {
    if (watchdog_)
        watchdog_->SetEnabled(false);
}

void TfrmMain::YieldEvery(int count) {
    if (++displayCount_ < count)
        return;
    displayCount_ = 0;
    // No sleep: the client's line pump returns to the loop after every block
    // of lines, which keeps the window responsive; a 1 ms wait per 225 lines
    // took longer than the transfer itself.
    (void)WaitMessageTimeout(0);
}

void TfrmMain::AbortMailSession() {
    Smtp.Abort();
}

} // namespace pv
