// The types the SMTP client components share: their exception, states,
// request kinds, options and event signatures.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Object.h"

namespace pv {

class SmtpException : public Exception {
  public:
    using Exception::Exception;
    const char *ClassName() const override { return "SmtpException"; }
};

enum TSmtpState : std::uint8_t {
    smtpReady,
    smtpDnsLookup,
    smtpConnecting,
    smtpConnected,
    smtpInternalReady,
    smtpWaitingBanner,
    smtpWaitingResponse,
    smtpAbort
};

enum TSmtpRequest : std::uint8_t {
    smtpConnect,
    smtpHelo,
    smtpMailFrom,
    smtpVrfy,
    smtpRcptTo,
    smtpData,
    smtpQuit,
    smtpRset,
    smtpOpen,
    smtpMail,
    smtpEhlo,
    smtpAuth,
    smtpCustom, // never produced
    smtpStartTls
};

enum TSmtpAuthType : std::uint8_t {
    smtpAuthNone,
    smtpAuthPlain,
    smtpAuthLogin,
    smtpAuthCramMD5,
    smtpAuthAutoSelect,
    smtpAuthCramSha1
};

enum TSmtpShareMode : std::uint8_t {
    smtpShareCompat,
    smtpShareExclusive,
    smtpShareDenyWrite,
    smtpShareDenyRead,
    smtpShareDenyNone
};

enum TSmtpPriority : std::uint8_t {
    smtpPriorityNone,
    smtpPriorityHighest,
    smtpPriorityHigh,
    smtpPriorityNormal,
    smtpPriorityLow,
    smtpPriorityLowest
};

enum TSmtpDefaultEncoding : std::uint8_t {
    smtpEnc7bit,
    smtpEnc8bit,
    smtpEncQuotedPrintable,
    smtpEncBase64
};

enum TSmtpContentType : std::uint8_t { smtpHtml, smtpPlainText };

enum TSmtpBeforeOpenFileAction : std::uint8_t {
    smtpBeforeOpenFileNone,
    smtpBeforeOpenFileNext,
    smtpBeforeOpenFileAbort
};

enum TSmtpAfterOpenFileAction : std::uint8_t {
    smtpAfterOpenFileNone,
    smtpAfterOpenFileNext,
    smtpAfterOpenFileRetry,
    smtpAfterOpenFileAbort
};

// "7bit", "8bit", "quoted-printable", "base64": the names written into headers.
inline const char *SmtpEncodingName(TSmtpDefaultEncoding Encoding) {
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

using TSmtpDisplay = std::function<void(TObject *Sender, const std::string &Msg)>;
using TSmtpRequestDone =
    std::function<void(TObject *Sender, TSmtpRequest RqType, std::uint16_t ErrorCode)>;
using TSmtpNotify = std::function<void(TObject *Sender)>;
// The header lines before the blank line is added; may be changed freely.
using TSmtpProcessHeaderEvent =
    std::function<void(TObject *Sender, std::vector<std::string> &HdrLines)>;
// Msg holds the zero-terminated line; a handler may rewrite it in place with at
// most Size - 1 characters. Size is 1024, more for a longer line.
using TSmtpHeaderLineEvent = std::function<void(TObject *Sender, char *Msg, int Size)>;
// Writes one zero-terminated line of at most MaxLen characters into MsgLine,
// or sets More false when there is none.
using TSmtpGetDataEvent =
    std::function<void(TObject *Sender, int LineNum, char *MsgLine, int MaxLen, bool &More)>;
using TSmtpAttachmentContentType = std::function<void(
    TObject *Sender, int FileNumber, std::string &FileName, std::string &ContentType)>;
using TSmtpAttachHeader =
    std::function<void(TObject *Sender, int FileNumber, const std::string &FileName,
                       std::vector<std::string> &HdrLines)>;
using TSmtpBeforeFileOpenEvent = std::function<void(
    TObject *Sender, int Idx, const std::string &FileName, TSmtpBeforeOpenFileAction &Action)>;
// E is the failure of the open, or nullptr after a successful one.
using TSmtpAfterFileOpenEvent =
    std::function<void(TObject *Sender, int Idx, const std::string &FileName, const Exception *E,
                       TSmtpAfterOpenFileAction &Action)>;

} // namespace pv
