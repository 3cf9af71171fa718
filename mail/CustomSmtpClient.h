// The non-blocking SMTP client. Every request sends at most one command at a
// time, checks the reply code and ends with exactly one OnRequestDone, which
// is posted to the client's own window: the handler never runs inside the call
// that started the request and may start the next one at once.
//
// The request engine is in CustomSmtpClient.cpp, the SMTP AUTH exchanges in
// CustomSmtpClientAuth.cpp, and the header building and the line pump of the
// Data request in CustomSmtpClientMessage.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mail/ReplyReader.h"
#include "mail/SmtpTypes.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "platform/Object.h"

namespace pv {

class TCustomSmtpClient : public TObject {
  public:
    TCustomSmtpClient();
    ~TCustomSmtpClient() override;
    TCustomSmtpClient(const TCustomSmtpClient &) = delete;
    TCustomSmtpClient &operator=(const TCustomSmtpClient &) = delete;

    // --- properties ---
    std::string Host;
    std::string Port = "smtp";
    std::string LocalAddr = "0.0.0.0";
    std::string SignOn; // empty: the local host name
    std::string Username;
    std::string Password;
    TSmtpAuthType AuthType = smtpAuthNone;
    std::string FromName;                 // envelope sender, a mailbox text
    std::vector<std::string> RcptName;    // envelope recipients, one mailbox text each
    std::vector<std::string> MailMessage; // message text lines
    std::string HdrFrom, HdrTo, HdrCc, HdrReplyTo, HdrReturnPath, HdrSubject, HdrSender;
    TSmtpPriority HdrPriority = smtpPriorityNone;
    std::string CharSet = "iso-8859-1";
    TSmtpDefaultEncoding DefaultEncoding = smtpEnc7bit;
    bool Allow8bitChars = true;
    bool FoldHeaders = false;
    bool WrapMessageText = false;
    bool ConfirmReceipt = false;
    bool OwnHeaders = false; // MailMessage holds the header lines itself
    int Tag = 0;

    TSmtpContentType ContentType() const { return FContentType; }
    virtual void SetContentType(TSmtpContentType Value);

    TSmtpState State() const { return FState; }
    bool Connected() const { return FConnected; }
    TSmtpRequest RequestType() const { return FRequestType; }
    int StatusCode() const { return FStatusCode; }
    // The first error reply of the session (or a text built locally).
    const std::string &ErrorMessage() const { return FErrorMessage; }
    const std::string &LastResponse() const { return FLastResponse; }
    // Mechanisms listed after AUTH in the last EHLO reply, upper case.
    const std::vector<std::string> &OfferedMechanisms() const { return FAuthMechanisms; }
    TWSocket &Socket() { return *FWSocket; }

    // --- events ---
    TSmtpDisplay OnDisplay;
    TSmtpDisplay OnCommand;
    TSmtpDisplay OnResponse;
    TSmtpRequestDone OnRequestDone;
    TSessionEvent OnSessionConnected;
    TSessionEvent OnSessionClosed;
    TSmtpGetDataEvent OnGetData;
    TSmtpHeaderLineEvent OnHeaderLine;
    TSmtpProcessHeaderEvent OnProcessHeader;
    TSmtpNotify OnStateChange;

    // --- requests: each returns at once and ends with OnRequestDone ---
    virtual void Connect();
    virtual void Helo();
    virtual void Ehlo();
    virtual void Auth();
    virtual void Vrfy();
    virtual void MailFrom();
    virtual void RcptTo();
    virtual void Data();
    virtual void Quit();
    virtual void Rset();
    // Connect and greet (and log on when AuthType is set), as one request.
    virtual void Open();
    // MailFrom, RcptTo and Data as one request.
    virtual void Mail();
    // Drops the connection at once; a pending request ends with 10004.
    virtual void Abort();

    // Appends the mailbox texts of the three lists (separated by "," or ";"
    // outside double quotes) to RcptName.
    void AddRecipients(const std::string &ToList, const std::string &CcList,
                       const std::string &BccList);

    // "<tick_random@host>", for the Message-ID header.
    std::string NewMessageId();

  protected:
    enum TStep : std::uint8_t {
        stepNone = 0,
        stepHelo = 1,
        stepConnect = 2,
        stepMailFrom = 3,
        stepRcptTo = 4,
        stepData = 5,
        stepVrfy = 6,
        stepQuit = 7,
        stepRset = 8,
        stepEhlo = 9,
        stepAuth = 10
    };
    using TContinuation = void (TCustomSmtpClient::*)();

    static constexpr int ReceiveAreaSize = 4096;
    // Message lines handed to the socket per system call, at least.
    static constexpr std::size_t SendBlockSize = 65536;
    static constexpr UINT WM_SMTP_REQUEST_DONE = WM_USER + 1;

    virtual void CreateSocket();
    virtual void TriggerDisplay(const std::string &Msg);
    virtual void TriggerCommand(const std::string &Msg);
    virtual void TriggerResponse(const std::string &Msg);
    virtual void FinishRequest(int ErrorCode);
    virtual void TriggerStateChange();
    // One message line after the header: Line is filled, or More cleared.
    virtual void TriggerGetData(int LineNum, std::string &Line, int MaxLen, bool &More);
    // Runs for each header line just before it is sent; may rewrite it.
    virtual void TriggerHeaderLine(std::string &Line);
    virtual void TriggerProcessHeader(std::vector<std::string> &HdrLines);
    virtual void TriggerSessionConnected(std::uint16_t ErrCode);
    virtual void TriggerSessionClosed(std::uint16_t ErrCode);
    virtual void SendCommand(const std::string &Line);
    virtual void AdvanceSequence();
    virtual LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam);

    void SetState(TSmtpState Value);
    void CheckReady() const;
    void CheckConnected() const;
    void StartCommand(TSmtpRequest Request, TStep Step, const std::string &Line,
                      std::initializer_list<int> OkCodes, TContinuation Done);
    // The ErrorMessage keeps the first error text of a session.
    void KeepErrorMessage();
    // Fails the request with a locally built 500 text.
    void FailLocally(const std::string &Text, int ErrorCode);
    // Fails a request that sent nothing, such as one refused before its command.
    void FailUnsent(TSmtpRequest Request, TStep Step, const std::string &Text);
    // Fails the message being sent: the connection is dropped before the
    // final "." so that the server discards what it got.
    void AbandonMessage(const std::string &Text);
    // The header lines; the refusal text when one may not be sent.
    std::string BuildHeaderLines();
    static std::string HeaderLineRefusal(const std::string &Line);
    // Used by TSmtpCli for the parts of the body it builds.
    static const char *HeaderSpecials();
    virtual void CloseAttachment() {}

    // Reply handling.
    void WSocketDataAvailable(std::uint16_t ErrCode);
    void ReplyLine(const std::string &Line);
    void WSocketSessionClosed(std::uint16_t ErrCode);
    void WSocketDnsLookupDone(std::uint16_t ErrCode);
    void WSocketSessionConnected(std::uint16_t ErrCode);
    void ReplyTooLong();
    void GreetingLine();
    void EvaluateReply();
    // Reads the code at the start of LastResponse; false for a continuation line.
    bool ParseStatusCode();

    // Continuations.
    void EhloDone();
    void RcptToNext();
    void DataNext();
    enum class TPumpStep { Line, End, Stop };
    // The next line of the message into Line; End after the last one, Stop
    // when the message was abandoned or the connection is gone.
    TPumpStep NextMessageLine(std::string &Line);
    void AuthStart(TSmtpAuthType Mechanism);
    void AuthPlainDone();
    void AuthLoginUser();
    void AuthLoginPassword();
    void AuthCramChallenge();

    std::unique_ptr<TWSocket> FWSocket;
    std::vector<std::string> FAuthMechanisms;
    TSmtpAuthType FAuthInUse = smtpAuthNone;
    TSmtpState FState = smtpReady;
    TSmtpContentType FContentType = smtpPlainText;
    std::string FContentTypeText = "text/plain";
    std::string FLastResponse;
    std::string FErrorMessage;
    bool FConnected = false;
    bool FEsmtp = false;
    TSmtpRequest FRequestType = smtpConnect;
    bool FRequestDone = true; // nothing pending yet
    int FRequestResult = 0;
    int FStatusCode = 0;
    // Reply lines of up to 4094 characters; a longer one fails the request.
    TReplyReader FReader{ReceiveAreaSize, 0};
    TContinuation FNext = nullptr;
    std::uint16_t FPendingSteps = 0;
    TStep FCurrentStep = stepNone;
    int FSeqResult = 0;
    bool FSequence = false;
    bool FSeqDriver = false;
    std::array<int, 16> FOkResponses{};
    TContinuation FDoneAsync = nullptr;
    int FItemCount = 0;
    std::vector<std::string> FHdrLines;
    int FLineNum = 0;
    bool FMoreLines = false;
    bool FPumping = false;         // the line pump is producing a block
    std::string FDataLine;         // the line being sent, reused line after line
    std::string FDisplayText;      // "> " + that line, for OnDisplay
    std::vector<char> FLineBuffer; // what OnHeaderLine and OnGetData write into
    std::minstd_rand FRandom;
};

} // namespace pv
