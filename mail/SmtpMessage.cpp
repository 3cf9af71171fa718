// What the Data request sends: the header built from the Hdr... properties,
// the text in its transfer encoding and, in TSmtpCli, the multipart body with
// the attachments. One line is produced each time the socket has sent the
// previous one, so neither text nor file is ever held whole.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <streambuf>

#include "mail/MimeUtils.h"
#include "mail/SmtpCli.h"
#include "net/Winsock.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "platform/TimeFormat.h"

namespace pv {

namespace {

const char kMailer[] = "X-Mailer: Quillon SMTP Component V2.38";

std::string TrimText(std::string_view s) {
    return Trim(std::string(s));
}

std::string Hex8(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
    return buf;
}

} // namespace

const char *SmtpEncodingName(TSmtpDefaultEncoding Encoding) {
    switch (Encoding) {
    case smtpEnc8bit:
        return "8bit";
    case smtpEncQuotedPrintable:
        return "quoted-printable";
    case smtpEncBase64:
        return "base64";
    default:
        return "7bit";
    }
}

const char *TCustomSmtpClient::HeaderSpecials() {
    return HdrSpecialChars.data();
}

// ---------------------------------------------------------------- values

std::string MailDateText() {
    static const char *const dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const TLocalTime local = DecodeLocal(Now());
    // The local fields plus the bias (UTC minus local, in minutes) give GMT.
    const long biasMinutes = -local.UtcOffsetSeconds / 60;
    using namespace std::chrono;
    const sys_days localDay =
        year_month_day{year(local.Year), month(static_cast<unsigned>(local.Month)),
                       day(static_cast<unsigned>(local.Day))};
    const auto gmt =
        localDay + hours(local.Hour) + minutes(local.Minute + biasMinutes) + seconds(local.Second);
    const sys_days gmtDay = floor<days>(gmt);
    const year_month_day ymd(gmtDay);
    const hh_mm_ss<seconds> tod(duration_cast<seconds>(gmt - gmtDay));
    const unsigned weekday = std::chrono::weekday(gmtDay).c_encoding();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %4d %02d:%02d:%02d GMT", dayNames[weekday],
                  static_cast<int>(static_cast<unsigned>(ymd.day())),
                  monthNames[static_cast<unsigned>(ymd.month()) - 1], static_cast<int>(ymd.year()),
                  static_cast<int>(tod.hours().count()), static_cast<int>(tod.minutes().count()),
                  static_cast<int>(tod.seconds().count()));
    return buf;
}

std::string TCustomSmtpClient::NewMessageId() {
    std::uniform_int_distribution<std::uint32_t> below(0, 2147483646);
    return "<" + Hex8(GetTickCount()) + "_" + Hex8(below(FRandom)) + "@" + LocalHostName() + ">";
}

// ---------------------------------------------------------------- header

void AddAddressHeader(std::vector<std::string> &Lines, const std::string &Label,
                      const std::string &Value, bool Fold, bool Allow8bit,
                      const std::string &CharSet, char EncType) {
    std::string result;
    int position = 1;
    while (position >= 1 && position <= static_cast<int>(Value.size())) {
        const int before = position;
        std::string item = NextWrappedLine(Value, "\r\n", ",;", "\"'", 1, position);
        if (position <= before)
            break; // never loop without advancing
        std::size_t b = item.find_first_not_of("\t ");
        item = b == std::string::npos ? std::string() : item.substr(b);
        while (!item.empty() && (item.back() == ',' || item.back() == ';'))
            item.pop_back();
        if (item.empty())
            continue;
        std::string name, address;
        SplitAddress(item, name, address);
        if (name.empty()) {
            result += address + ",";
            continue;
        }
        if (Allow8bit || !RequiresEncoding(name)) {
            std::string quoted = "\"";
            for (char c : name) {
                if (c == '"' || c == '\\')
                    quoted += '\\';
                quoted += c;
            }
            name = quoted + "\"";
        } else {
            name = HdrEncodeInLine(name, HdrSpecialChars, EncType, Fold,
                                   76 - static_cast<int>(Label.size()), CharSet);
        }
        result += name + " <" + address + ">,";
    }
    while (!result.empty() && result.back() == ',')
        result.pop_back();
    const std::string line = TrimText(Label) + " " + TrimText(result);
    if (Fold && line.size() > 76)
        AddFoldedHeader(Lines, line);
    else
        Lines.push_back(line);
}

void TCustomSmtpClient::BuildHeaderLines() {
    FLineNum = 0;
    FMoreLines = true;
    FItemCount = -1;
    FHdrLines.clear();
    if (OwnHeaders)
        return;
    const char letter = DefaultEncoding == smtpEncBase64 ? 'B' : 'Q';
    const bool verbatim = Allow8bitChars && !FoldHeaders;
    const auto address = [&](const char *label, const std::string &value) {
        if (TrimText(value).empty())
            return;
        if (verbatim)
            FHdrLines.push_back(std::string(label) + " " + TrimText(value));
        else
            AddAddressHeader(FHdrLines, label, value, FoldHeaders, Allow8bitChars, CharSet, letter);
    };

    address("Reply-To:", HdrReplyTo);
    address("Return-Path:", HdrReturnPath);
    address("From:", HdrFrom);
    address("To:", HdrTo);
    address("Cc:", HdrCc);
    if (verbatim)
        FHdrLines.push_back("Subject: " + TrimText(HdrSubject));
    else if (!Allow8bitChars && RequiresEncoding(HdrSubject))
        FHdrLines.push_back("Subject: " + HdrEncodeInLine(HdrSubject, HdrSpecialChars, letter,
                                                          FoldHeaders, 66, CharSet));
    else
        AddFoldedHeader(FHdrLines, "Subject: " + HdrSubject);
    if (!TrimText(HdrSender).empty())
        address("Sender:", HdrSender);
    else if (!HdrFrom.empty())
        address("Sender:", HdrFrom);
    FHdrLines.push_back("Mime-Version: 1.0");
    FHdrLines.push_back("Content-Type: " + FContentTypeText + "; charset=\"" + CharSet + "\"");
    FHdrLines.push_back("Date: " + MailDateText());
    if (HdrPriority != smtpPriorityNone) {
        FHdrLines.push_back("X-Priority: " + std::to_string(static_cast<int>(HdrPriority)));
        switch (HdrPriority) {
        case smtpPriorityHighest:
        case smtpPriorityHigh:
            FHdrLines.push_back("Priority: urgent");
            FHdrLines.push_back("X-MSMail-Priority: High");
            break;
        case smtpPriorityNormal:
            FHdrLines.push_back("Priority: Normal");
            FHdrLines.push_back("X-MSMail-Priority: Normal");
            break;
        default:
            FHdrLines.push_back("Priority: non-urgent");
            FHdrLines.push_back("X-MSMail-Priority: Low");
            break;
        }
    }
    if (ConfirmReceipt && !TrimText(HdrFrom).empty()) {
        FHdrLines.push_back("Message-ID: " + NewMessageId());
        address("Disposition-Notification-To:", HdrFrom);
    }
    FHdrLines.push_back(kMailer);
    TriggerProcessHeader(FHdrLines);
    FHdrLines.emplace_back();
}

// ---------------------------------------------------------------- line pump

void TCustomSmtpClient::SendDataLine(const std::string &Line) {
    if (OnDisplay) // a copy per line of a large attachment is worth saving
        TriggerDisplay("> " + Line);
    FWSocket->OnDataSent = [this](TObject *, std::uint16_t) {
        FState = smtpInternalReady;
        DataNext();
    };
    if (FWSocket->State() != wsConnected)
        return;
    FWSocket->PutDataInSendBuffer(Line.data(), static_cast<int>(Line.size()));
    FWSocket->SendStr("\r\n");
}

void TCustomSmtpClient::DataNext() {
    if (FState == smtpWaitingResponse) {
        // The reply to "DATA" itself.
        if (FRequestResult != 0) {
            FinishRequest(FRequestResult);
            return;
        }
        FState = smtpInternalReady;
    }
    if (!FConnected) {
        FWSocket->OnDataSent = nullptr;
        return;
    }
    ++FItemCount;
    if (FItemCount < static_cast<int>(FHdrLines.size())) {
        std::string line = FHdrLines[FItemCount];
        TriggerHeaderLine(line);
        SendDataLine(line);
        return;
    }
    std::string line;
    if (FMoreLines) {
        ++FLineNum;
        try {
            TriggerGetData(FLineNum, line, 1023, FMoreLines);
        } catch (...) {
            // The message ends where its production failed.
            FMoreLines = false;
            CloseAttachment();
        }
    }
    if (!FConnected) {
        FWSocket->OnDataSent = nullptr;
        return;
    }
    if (FMoreLines) {
        if (!line.empty() && line[0] == '.')
            line.insert(line.begin(), '.');
        SendDataLine(line);
        return;
    }
    FWSocket->OnDataSent = nullptr;
    StartCommand(smtpData, stepData, ".", {250}, nullptr);
}

// ---------------------------------------------------------------- TSmtpCli

// An attachment file read through a buffer: the encoder's 3-byte reads come
// out of memory, the file is read in large blocks.
class TSmtpCli::TAttachment : private std::streambuf {
  public:
    TAttachment(const std::string &Path, unsigned ShareMode)
        : File(Path, fmOpenRead | ShareMode), In(this) {
        In.exceptions(std::ios::badbit); // read errors reach the caller
    }
    std::istream &Stream() { return In; }

  private:
    int_type underflow() override {
        const std::size_t got = File.Read(Buffer, sizeof Buffer);
        if (got == 0)
            return traits_type::eof();
        setg(Buffer, Buffer, Buffer + got);
        return traits_type::to_int_type(Buffer[0]);
    }

    TFileStream File;
    std::istream In;
    char Buffer[32768];
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
    // A part cut short must not be accepted as the whole file: the
    // connection is dropped before "." so the server discards the message.
    CloseAttachment();
    More = false;
    std::string text = "500 ";
    if (const auto *pe = dynamic_cast<const Exception *>(&E))
        text += std::string(pe->ClassName()) + ": " + pe->Message();
    else
        text += std::string("Exception: ") + E.what();
    FailLocally(text, 500);
    FWSocket->Abort();
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
            Line = Base64FileLine(FAttachment->Stream(), more);
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
        FAttachment = std::make_unique<TAttachment>(fileName, FShareMode);
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
    if (!Allow8bitChars && RequiresEncoding(shortName)) {
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
    MimeHeaderLines.emplace_back();
    FFileStarted = true;
    return true;
}

} // namespace pv
