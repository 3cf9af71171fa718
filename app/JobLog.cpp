// The job log beside the program: opening, closing, the stamped and plain
// lines, and the verbose SMTP dialogue.
#include "app/FrmMain.h"
#include "mail/MimeUtils.h"
#include "platform/Dialogs.h"
#include "platform/TimeFormat.h"

namespace pv {

namespace {

const std::string kStampFormat = "mm\"/\"dd\"/\"yyyy hh:nn:ss";

// The password of AUTH LOGIN (and any secret of another mechanism) is kept
// out of the verbose log; the user name stays, it helps to see who logged on.
std::string MaskedAuthLine(const std::string &line, const std::string &user) {
    if (line.rfind("AUTH ", 0) == 0) {
        const std::size_t blank = line.find(' ', 5);
        return blank == std::string::npos ? line : line.substr(0, blank) + " *******";
    }
    if (!user.empty() && line == Base64EncodeText(user))
        return line;
    return "*******";
}

} // namespace

std::string LogTimeStamp() {
    return FormatDateTime(kStampFormat, Now());
}

void TfrmMain::OpenLog() {
    const std::string path = LogFileName();
    if (!FileExists(path)) {
        TFileStream created(path, fmCreateNew | fmShareExclusive);
    }
    // Others may read the log while it is written, but not write it.
    logStream_ = std::make_unique<TFileStream>(path, fmOpenReadWrite | fmShareDenyWrite);
    logStream_->Seek(0, soFromEnd);
}

void TfrmMain::CloseLog() {
    logStream_.reset();
}

void TfrmMain::WriteLog(const std::string &text, bool stamped) {
    if (!cboxLogging.Checked() || !logStream_)
        return;
    std::string line = stamped ? LogTimeStamp() + " " + text : text;
    line += "\r\n";
    logStream_->Seek(0, soFromEnd);
    logStream_->Write(line);
}

void TfrmMain::btnLogClick(TObject *) {
    ShellOpen(LogFileName());
}

// The SMTP dialogue, when verbose.
void TfrmMain::SMTPCommand(TObject *, const std::string &Msg) {
    if (!cboxVerbose.Checked())
        return;
    WriteLog(">" + (Smtp.RequestType() == smtpAuth ? MaskedAuthLine(Msg, Smtp.Username) : Msg),
             true);
}

void TfrmMain::SMTPResponse(TObject *, const std::string &Msg) {
    if (cboxVerbose.Checked())
        WriteLog("<" + Msg, true);
}

} // namespace pv
