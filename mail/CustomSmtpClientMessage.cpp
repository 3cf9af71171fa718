// Part of TCustomSmtpClient (CustomSmtpClient.h): what the Data request
// sends, the header built from the Hdr... properties and then the lines of the
// message. Lines are produced a block at a time, the next block once the
// socket has sent the previous one, so the message is never held whole.
#include <cstdio>
#include <cstring>

#include "mail/CustomSmtpClient.h"
#include "mail/MimeUtils.h"
#include "mail/SmtpHeaders.h"
#include "net/Winsock.h"
#include "platform/Text.h"

namespace pv {

namespace {

const char kMailer[] = "X-Mailer: Quillon SMTP Component V2.38";

std::string TrimText(std::string_view s) {
    return Trim(std::string(s));
}

// The line as lines of the message: each CR LF, CR or LF ends one, and one
// that starts with "." gets another in front, which the server removes.
void ToMessageLines(std::string &Line) {
    // Two scans for one byte each: a line of an attachment is checked fast.
    if (!std::memchr(Line.data(), '\n', Line.size()) &&
        !std::memchr(Line.data(), '\r', Line.size())) {
        if (!Line.empty() && Line[0] == '.')
            Line.insert(Line.begin(), '.');
        return;
    }
    std::string out;
    out.reserve(Line.size() + 8);
    bool start = true;
    for (std::size_t i = 0; i < Line.size(); ++i) {
        const char c = Line[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < Line.size() && Line[i + 1] == '\n')
                ++i;
            out += "\r\n";
            start = true;
            continue;
        }
        if (start && c == '.')
            out += '.';
        out += c;
        start = false;
    }
    Line = std::move(out);
}

std::string Hex8(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
    return buf;
}

} // namespace

const char *TCustomSmtpClient::HeaderSpecials() {
    return HdrSpecialChars.data();
}

std::string TCustomSmtpClient::NewMessageId() {
    std::uniform_int_distribution<std::uint32_t> below(0, 2147483646);
    return "<" + Hex8(GetTickCount()) + "_" + Hex8(below(FRandom)) + "@" + LocalHostName() + ">";
}

// ---------------------------------------------------------------- header

std::string TCustomSmtpClient::HeaderLineRefusal(const std::string &Line) {
    return "500 Line break in header line, not sent: " + ShowControls(Line);
}

std::string TCustomSmtpClient::BuildHeaderLines() {
    FLineNum = 0;
    FMoreLines = true;
    FItemCount = -1;
    FHdrLines.clear();
    if (OwnHeaders)
        return "";
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
    // A value may hold line breaks only where they fold it: no header of its
    // own. The program's handler may add whole fields.
    for (const std::string &line : FHdrLines)
        if (!IsSendableHeaderLine(line, false))
            return HeaderLineRefusal(line);
    TriggerProcessHeader(FHdrLines);
    for (const std::string &line : FHdrLines)
        if (!IsSendableHeaderLine(line, true))
            return HeaderLineRefusal(line);
    FHdrLines.emplace_back();
    return "";
}

// ---------------------------------------------------------------- line pump

void TCustomSmtpClient::AbandonMessage(const std::string &Text) {
    FWSocket->OnDataSent = nullptr;
    CloseAttachment();
    FailLocally(Text, 500);
    FWSocket->Abort();
}

TCustomSmtpClient::TPumpStep TCustomSmtpClient::NextMessageLine(std::string &Line) {
    if (!FConnected)
        return TPumpStep::Stop;
    // Stops counting after the header, so a long message cannot overflow it.
    if (FItemCount < static_cast<int>(FHdrLines.size()))
        ++FItemCount;
    if (FItemCount < static_cast<int>(FHdrLines.size())) {
        Line = FHdrLines[FItemCount];
        TriggerHeaderLine(Line);
        if (!IsSendableHeaderLine(Line, true)) {
            AbandonMessage(HeaderLineRefusal(Line));
            return TPumpStep::Stop;
        }
        return TPumpStep::Line;
    }
    Line.clear();
    if (FMoreLines) {
        ++FLineNum;
        try {
            TriggerGetData(FLineNum, Line, 1023, FMoreLines);
        } catch (...) {
            // The message ends where its production failed.
            FMoreLines = false;
            CloseAttachment();
        }
    }
    if (!FConnected)
        return TPumpStep::Stop;
    return FMoreLines ? TPumpStep::Line : TPumpStep::End;
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
    // A nested message loop inside one of the events below may deliver the
    // socket's write event; the block being produced goes on by itself.
    if (FPumping)
        return;
    FPumping = true;
    struct TPumpGuard {
        bool &Flag;
        ~TPumpGuard() { Flag = false; }
    } guard{FPumping};

    // Lines go into the send queue until it holds a block, which then goes
    // out in one system call; the next block is made once it has been sent.
    // The queue therefore never holds much more than a block, whatever the
    // size of the message.
    std::size_t queued = 0;
    for (;;) {
        const TPumpStep step = NextMessageLine(FDataLine);
        if (step == TPumpStep::Stop) {
            FWSocket->OnDataSent = nullptr;
            return;
        }
        if (step == TPumpStep::End)
            break;
        ToMessageLines(FDataLine);
        if (OnDisplay) {
            FDisplayText.assign("> ").append(FDataLine);
            TriggerDisplay(FDisplayText);
        }
        if (FWSocket->State() != wsConnected)
            return;
        FWSocket->PutDataInSendBuffer(FDataLine.data(), static_cast<int>(FDataLine.size()));
        queued += FDataLine.size() + 2;
        if (queued < SendBlockSize) {
            FWSocket->PutDataInSendBuffer("\r\n", 2);
            continue;
        }
        FWSocket->OnDataSent = [this](TObject *, std::uint16_t) {
            FState = smtpInternalReady;
            DataNext();
        };
        FWSocket->SendStr("\r\n");
        return;
    }
    // The last lines go out with the ".".
    FWSocket->OnDataSent = nullptr;
    StartCommand(smtpData, stepData, ".", {250}, nullptr);
}

} // namespace pv
