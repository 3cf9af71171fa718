// TSmtpCli: the multipart body with the attachments, each file read in
// large blocks and encoded a line at a time as the line pump asks for it.
#include "mail/SmtpCli.h"

#include <algorithm>

#include "mail/MimeUtils.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "platform/TimeFormat.h"

namespace pv {

// An attachment file read in large blocks, each line of its Base64 part
// encoded from memory. The lines are those of Base64FileLine: 54 bytes each,
// then one shorter line (empty when the size is a multiple of 54).
class TSmtpCli::TAttachment {
  public:
    TAttachment(const std::string &Path, unsigned ShareMode) : File(Path, fmOpenRead | ShareMode) {}

    // Replaces Line with the next line; false when it is the file's last.
    // A read error raises the file's exception.
    bool NextLine(std::string &Line) {
        if (Next == End && !AtEnd) {
            // A read is short only at the end of the file.
            Next = 0;
            End = File.Read(Buffer.get(), BlockSize);
            AtEnd = End < BlockSize;
        }
        const std::size_t take = std::min(End - Next, Base64FileLineBytes);
        Line.clear();
        Base64Append(Line, Buffer.get() + Next, take);
        Next += take;
        return take == Base64FileLineBytes;
    }

  private:
    // Whole lines per read, and at least the stream's own read-ahead, so
    // that the bytes come straight from the file into this block.
    static constexpr std::size_t BlockSize = Base64FileLineBytes * 1240;

    TFileStream File;
    std::unique_ptr<char[]> Buffer = std::make_unique_for_overwrite<char[]>(BlockSize);
    std::size_t Next = 0;
    std::size_t End = 0;
    bool AtEnd = false;
};

TSmtpCli::TSmtpCli() : FShareMode(fmShareDenyWrite) {}

TSmtpCli::~TSmtpCli() {
    CloseAttachment();
}

TSmtpShareMode TSmtpCli::ShareMode() const {
    switch (FShareMode) {
    case fmShareCompat:
        return smtpShareCompat;
    case fmShareExclusive:
        return smtpShareExclusive;
    case fmShareDenyWrite:
        return smtpShareDenyWrite;
    case fmShareDenyRead:
        return smtpShareDenyRead;
    case fmShareDenyNone:
        return smtpShareDenyNone;
    default:
        return smtpShareDenyWrite;
    }
}

void TSmtpCli::SetShareMode(TSmtpShareMode Value) {
    static constexpr std::uint16_t flags[] = {fmShareCompat, fmShareExclusive, fmShareDenyWrite,
                                              fmShareDenyRead, fmShareDenyNone};
    FShareMode = Value <= smtpShareDenyNone ? flags[Value] : fmShareDenyWrite;
}

void TSmtpCli::SetEmailFiles(const std::vector<std::string> &Files) {
    FEmailFiles.clear();
    for (const std::string &entry : Files) {
        std::string name = Trim(entry);
        if (name.empty())
            continue;
        if (!FileExists(name))
            throw SmtpException("File not found '" + name + "'");
        FEmailFiles.push_back(std::move(name));
    }
}

void TSmtpCli::CloseAttachment() {
    FAttachment.reset();
    FFileStarted = false;
}

void TSmtpCli::Data() {
    CheckReady();
    CheckConnected();
    PrepareBody();
    for (const std::string &line : MimeHeaderLines)
        if (!IsSendableHeaderLine(line, false)) {
            FailUnsent(smtpData, stepData, HeaderLineRefusal(line));
            return;
        }
    TCustomSmtpClient::Data();
}

void TSmtpCli::TriggerAttachContentType(int FileNumber, std::string &FileName,
                                        std::string &ContentType) {
    if (OnAttachContentType)
        OnAttachContentType(this, FileNumber, FileName, ContentType);
}

void TSmtpCli::TriggerAttachHeader(int FileNumber, const std::string &FileName,
                                   std::vector<std::string> &HdrLines) {
    if (OnAttachHeader)
        OnAttachHeader(this, FileNumber, FileName, HdrLines);
}

void TSmtpCli::PrepareBody() {
    CloseAttachment();
    FBodyFlag = true;
    FFileIndex = 0;
    FBodyLine = 0;
    FCurrentEncoding = DefaultEncoding;
    // Joined once per message, not once per line.
    FBodyText.clear();
    for (const std::string &line : MailMessage)
        FBodyText.append(line).append("\r\n");
    FBodyPos = FBodyText.empty() ? 0 : 1;
    if (!FBodyText.empty() &&
        (FCurrentEncoding == smtpEnc7bit || FCurrentEncoding == smtpEnc8bit) && !Allow8bitChars &&
        RequiresEncoding(FBodyText))
        FCurrentEncoding = smtpEncQuotedPrintable;

    MimeHeaderLines.clear();
    if (FEmailFiles.empty()) {
        FBoundary.clear();
        return;
    }
    FBoundary = "= Multipart Boundary " + FormatDateTime("mmddyyhhnn", Now());
    MimeHeaderLines.push_back("This is a multipart MIME message.");
    MimeHeaderLines.emplace_back();
    MimeHeaderLines.push_back("--" + FBoundary);
    MimeHeaderLines.push_back("Content-Type: " + FContentTypeText + "; charset=\"" + CharSet +
                              "\"");
    MimeHeaderLines.push_back(std::string("Content-Transfer-Encoding: ") +
                              SmtpEncodingName(FCurrentEncoding));
    MimeHeaderLines.emplace_back();
}

std::string TSmtpCli::NextBodyLine() {
    std::string line;
    switch (FCurrentEncoding) {
    case smtpEncQuotedPrintable:
        line = QuotedPrintableLine(FBodyText, 75, TCharSet(), true, FBodyPos, false);
        break;
    case smtpEncBase64:
        line = Base64TextLine(FBodyText, 76, FBodyPos);
        break;
    default:
        line = Trim(NextWrappedLine(FBodyText, "\r\n", "\t ,-.", TCharSet(),
                                    WrapMessageText ? 76 : EndOfTextPosition, FBodyPos));
        break;
    }
    if (FBodyPos < 1 || FBodyPos > static_cast<int>(FBodyText.size()))
        FBodyPos = 0;
    return line;
}

void TSmtpCli::NextFile() {
    ++FFileIndex;
    if (FFileIndex >= FEmailFiles.size()) {
        MimeHeaderLines.emplace_back();
        MimeHeaderLines.push_back("--" + FBoundary + "--");
    }
}

void TSmtpCli::TriggerHeaderLine(std::string &Line) {
    if (!FBoundary.empty()) {
        if (Line.size() >= 13 && SameText(Line.substr(0, 13), "CONTENT-TYPE:"))
            Line = "Content-Type: multipart/mixed;\r\n\tboundary=\"" + FBoundary + "\"";
    } else if (Line.size() >= 18 && SameText(Line.substr(0, 18), "CONTENT-TYPE: TEXT") &&
               FCurrentEncoding != smtpEnc7bit) {
        Line += std::string("\r\nContent-Transfer-Encoding: ") + SmtpEncodingName(FCurrentEncoding);
    }
    TCustomSmtpClient::TriggerHeaderLine(Line);
}

void TSmtpCli::AttachmentReadFailed(const std::exception &E, bool &More) {
    // A part cut short must not be accepted as the whole file.
    More = false;
    std::string text = "500 ";
    if (const auto *pe = dynamic_cast<const Exception *>(&E))
        text += std::string(pe->ClassName()) + ": " + pe->Message();
    else
        text += std::string("Exception: ") + E.what();
    AbandonMessage(text);
}

void TSmtpCli::TriggerGetData(int LineNum, std::string &Line, int MaxLen, bool &More) {
    (void)LineNum;
    if (!MimeHeaderLines.empty()) {
        Line = std::move(MimeHeaderLines.front());
        MimeHeaderLines.erase(MimeHeaderLines.begin());
        return;
    }
    if (FBodyFlag) {
        if (FBodyPos > 0) {
            Line = NextBodyLine();
            return;
        }
        FBodyPos = 0;
        ++FBodyLine;
        TCustomSmtpClient::TriggerGetData(FBodyLine, Line, MaxLen, More);
        if (More)
            return;
        FBodyFlag = false;
        More = true;
    }
    if (FFileStarted) {
        bool more = false;
        try {
            more = FAttachment->NextLine(Line);
        } catch (const std::exception &E) {
            AttachmentReadFailed(E, More);
            return;
        }
        if (!more) {
            CloseAttachment();
            NextFile();
        }
        return;
    }
    if (FFileIndex < FEmailFiles.size()) {
        OpenNextAttachment(Line, More);
        return;
    }
    More = false;
}

bool TSmtpCli::OpenNextAttachment(std::string &Line, bool &More) {
    Line.clear(); // this call sends the empty line before the part
    const int index = static_cast<int>(FFileIndex);
    const std::string fileName = FEmailFiles[FFileIndex];
    if (OnBeforeFileOpen) {
        TSmtpBeforeOpenFileAction action = smtpBeforeOpenFileNone;
        OnBeforeFileOpen(this, index, fileName, action);
        if (action == smtpBeforeOpenFileNext) {
            NextFile();
            return false;
        }
        if (action == smtpBeforeOpenFileAbort) {
            More = false;
            Abort();
            return false;
        }
    }

    // What to do after the handler's answer: false when the part is not begun.
    const auto follow = [&](TSmtpAfterOpenFileAction action) {
        switch (action) {
        case smtpAfterOpenFileNext:
            CloseAttachment();
            NextFile();
            return false;
        case smtpAfterOpenFileRetry:
            CloseAttachment();
            return false;
        case smtpAfterOpenFileAbort:
            CloseAttachment();
            More = false;
            Abort();
            return false;
        default:
            return true;
        }
    };

    try {
        FAttachment =
            std::make_unique<TAttachment>(fileName, FShareMode | (FollowLinks ? 0 : fmNoFollow));
    } catch (const Exception &E) {
        if (!OnAfterFileOpen)
            throw;
        TSmtpAfterOpenFileAction action = smtpAfterOpenFileNone;
        OnAfterFileOpen(this, index, fileName, &E, action);
        // Any answer other than skip, retry or abort leaves the failure standing.
        if (action != smtpAfterOpenFileNext && action != smtpAfterOpenFileRetry &&
            action != smtpAfterOpenFileAbort)
            throw;
        follow(action);
        return false;
    }
    if (OnAfterFileOpen) {
        TSmtpAfterOpenFileAction action = smtpAfterOpenFileNone;
        OnAfterFileOpen(this, index, fileName, nullptr, action);
        if (!follow(action))
            return false;
    }

    std::string shortName = ExtractFileName(fileName);
    std::string contentType = ContentTypeForFile(shortName);
    TriggerAttachContentType(index, shortName, contentType);
    std::string shown;
    // Control characters travel encoded, whatever the 8-bit setting: raw,
    // a line break would end the header line or the message itself.
    if ((!Allow8bitChars && RequiresEncoding(shortName)) || HasControlChars(shortName)) {
        shown = HdrEncodeInLine(shortName, HdrSpecialChars,
                                FCurrentEncoding == smtpEncBase64 ? 'B' : 'Q', FoldHeaders, 63,
                                CharSet);
    } else {
        // Kept whole: a fold inside the quotes would put a TAB into the name
        // the recipient saves. Quotes and backslashes are escaped.
        for (char c : shortName) {
            if (c == '"' || c == '\\')
                shown += '\\';
            shown += c;
        }
    }
    MimeHeaderLines.push_back("--" + FBoundary);
    MimeHeaderLines.push_back("Content-Type: " + contentType + ";");
    MimeHeaderLines.push_back("\tname=\"" + shown + "\"");
    MimeHeaderLines.push_back("Content-Transfer-Encoding: base64");
    MimeHeaderLines.push_back("Content-Disposition: attachment;");
    MimeHeaderLines.push_back("\tfilename=\"" + shown + "\"");
    TriggerAttachHeader(index, shortName, MimeHeaderLines);
    for (const std::string &line : MimeHeaderLines)
        if (!IsSendableHeaderLine(line, false)) {
            More = false;
            AbandonMessage(HeaderLineRefusal(line));
            return false;
        }
    MimeHeaderLines.emplace_back();
    FFileStarted = true;
    return true;
}

} // namespace pv
