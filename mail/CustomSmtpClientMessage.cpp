// Part of TCustomSmtpClient (CustomSmtpClient.h): what the Data request
// sends, the header built from the Hdr... properties and then the lines of the
// message. One line is produced each time the socket has sent the previous
// one, so the message is never held whole.
#include <cstdio>

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
    if (Line.find_first_of("\r\n") == std::string::npos) {
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
        if (!IsSendableHeaderLine(line, true)) {
            AbandonMessage(HeaderLineRefusal(line));
            return;
        }
        ToMessageLines(line);
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
        ToMessageLines(line);
        SendDataLine(line);
        return;
    }
    FWSocket->OnDataSent = nullptr;
    StartCommand(smtpData, stepData, ".", {250}, nullptr);
}

} // namespace pv
