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

std::string EscapeLogText(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F) {
            out += c;
            continue;
        }
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    return out;
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
    // Texts carry names and replies from outside: none of their characters
    // may end the line or start another. Only the TAB that opens a line of
    // the file lists is the log's own.
    const bool tabbed = !text.empty() && text[0] == '\t';
    const std::string shown =
        tabbed ? "\t" + EscapeLogText(std::string_view(text).substr(1)) : EscapeLogText(text);
    std::string line = stamped ? LogTimeStamp() + " " + shown : shown;
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
