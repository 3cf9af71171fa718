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

} // namespace pv
