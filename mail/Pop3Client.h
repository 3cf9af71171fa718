// The non-blocking POP3 client. Each request sends at most one command, reads
// its "+" or "-" reply (and, for LIST, UIDL, RETR and TOP, the lines up to the
// closing "."), and ends with exactly one OnRequestDone, posted to the
// client's own window: the handler never runs inside the call that started
// the request and may start the next one at once.
//
// The session, the reading and the completion are in Pop3Client.cpp, the
// requests, the reply handlers and the multi-line answers in
// Pop3ClientRequests.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "mail/Pop3Types.h"
#include "mail/ReplyReader.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "platform/Object.h"

namespace pv {

class TCustomPop3Cli : public TObject {
  public:
    TCustomPop3Cli();
    ~TCustomPop3Cli() override;
    TCustomPop3Cli(const TCustomPop3Cli &) = delete;
    TCustomPop3Cli &operator=(const TCustomPop3Cli &) = delete;

    // --- properties ---
    std::string Host;
    std::string LocalAddr = "0.0.0.0";
    std::string Port = "pop3";
    std::string UserName;
    std::string PassWord;
    int MsgNum = 0;   // argument of LIST, UIDL, RETR, TOP, DELE; result of LIST, UIDL, LAST
    int MsgLines = 0; // line count of TOP
    int Tag = 0;

    // The first failure of the current request (a server line or a text
    // built here).
    const std::string &ErrorMessage() const { return FErrorMessage; }
    const std::string &LastResponse() const { return FLastResponse; }
    TPop3ProtocolState ProtocolState() const { return FProtocolState; }
    TPop3State State() const { return FState; }
    bool Connected() const { return FConnected; }
    TPop3Request RequestType() const { return FRequestType; }
    // 0 when the last reply started with "+", else 500.
    int StatusCode() const { return FStatusCode; }
    int MsgCount() const { return FMsgCount; }
    int MsgSize() const { return FMsgSize; }
    const std::string &MsgUidl() const { return FMsgUidl; }
    // The greeting's "<...>" part, brackets included; empty without one.
    const std::string &Timestamp() const { return FTimestamp; }
    TWSocket &Socket() { return *FWSocket; }

    // Header values of the message being read by RETR or TOP.
    const std::string &HeaderFrom() const { return FHeaders[hdrFrom]; }
    const std::string &HeaderTo() const { return FHeaders[hdrTo]; }
    const std::string &HeaderSubject() const { return FHeaders[hdrSubject]; }
    const std::string &HeaderDate() const { return FHeaders[hdrDate]; }
    const std::string &HeaderMessageId() const { return FHeaders[hdrMessageId]; }
    const std::string &HeaderReplyTo() const { return FHeaders[hdrReplyTo]; }
    const std::string &HeaderInReplyTo() const { return FHeaders[hdrInReplyTo]; }
    const std::string &HeaderReturnPath() const { return FHeaders[hdrReturnPath]; }

    // --- events ---
    TPop3Display OnDisplay;
    TPop3Display OnResponse;
    TPop3RequestDone OnRequestDone;
    TNotifyEvent OnStateChange;
    TSessionEvent OnSessionConnected;
    TSessionEvent OnSessionClosed;
    // The lines of a multi-line answer; each line is in LastResponse.
    TNotifyEvent OnMessageBegin, OnMessageLine, OnMessageEnd;
    TNotifyEvent OnListBegin, OnListLine, OnListEnd;
    TNotifyEvent OnUidlBegin, OnUidlLine, OnUidlEnd;
    TNotifyEvent OnHeaderEnd;

    // --- requests: each returns at once and ends with OnRequestDone ---
    virtual void Connect();
    // Connect, User and Pass as one request.
    virtual void Open();
    virtual void User();
    virtual void Pass();
    virtual void RPop();
    virtual void APop();
    // Ends once the server has answered and closed the connection.
    virtual void Quit();
    virtual void Stat();
    // LIST MsgNum, or the whole list when MsgNum is 0.
    virtual void List();
    virtual void Retr();
    virtual void Top();
    virtual void Dele();
    virtual void Noop();
    virtual void Last();
    virtual void RSet();
    // UIDL MsgNum, or the whole list when MsgNum is 0.
    virtual void Uidl();
    // Drops the connection at once; a pending request ends with 10004.
    virtual void Abort();

    static constexpr UINT WM_POP3_REQUEST_DONE = WM_USER + 1;

  protected:
    // The steps of Open, in the order they run when several are pending.
    enum TStep : std::uint8_t {
        stepConnect,
        stepUser,
        stepPass,
        stepRPop,
        stepDele,
        stepNoop,
        stepList,
        stepRSet,
        stepAPop,
        stepRetr,
        stepTop,
        stepStat,
        stepUidl,
        stepLast,
        stepQuit,
        stepNone
    };
    enum THeader {
        hdrFrom,
        hdrTo,
        hdrSubject,
        hdrDate,
        hdrMessageId,
        hdrReplyTo,
        hdrInReplyTo,
        hdrReturnPath,
        hdrCount
    };
    enum TAnswer : std::uint8_t { answerNone, answerList, answerUidl, answerMessage };
    using THandler = void (TCustomPop3Cli::*)();

    static constexpr int ReceiveAreaSize = 4096;
    // A line without an end is cut after this many bytes.
    static constexpr int LongestLine = ReceiveAreaSize - 3;

    virtual LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam);
    virtual void DoSessionConnected(std::uint16_t ErrCode);
    virtual void DoResponse(const std::string &Msg);
    virtual void DoStateChange();
    virtual void DoRequestDone(int Error);
    void TriggerDisplay(const std::string &Msg);
    void TriggerSessionClosed(std::uint16_t ErrCode);
    void Trigger(const TNotifyEvent &Event);

    void SetState(TPop3State Value);
    void CheckReady() const;
    void CheckConnected() const;
    // A protocol-state precondition: the refusal is shown, kept and raised.
    void Refuse(const std::string &Text);
    void StartCommand(TPop3Request Request, TStep Step, const std::string &Line,
                      TPop3ProtocolState OnSuccess, THandler Then, bool Transaction);
    void StartTransaction(TPop3Request Request, TStep Step, const std::string &Command,
                          const std::string &Arguments, THandler Then);
    void SendLine(const std::string &Line);
    void KeepErrorMessage();
    void FailLocally(const std::string &Text, int Error);
    void AdvanceSequence();

    // Reading.
    void WSocketDataAvailable(std::uint16_t ErrCode);
    void WSocketDnsLookupDone(std::uint16_t ErrCode);
    void WSocketSessionConnected(std::uint16_t ErrCode);
    void WSocketSessionClosed(std::uint16_t ErrCode);
    void ReceivedLine(const std::string &Line);
    void GreetingLine();
    void ReplyLine();
    void MultiLine();
    void ParseHeaderLine(const std::string &Line);

    // What a "+" reply leads to.
    void StatDone();
    void NumberDone();
    void UidlDone();
    void ListAnswer();
    void UidlAnswer();
    void MessageAnswer();
    void BeginAnswer(TAnswer Answer, const TNotifyEvent &Begin);

    std::unique_ptr<TWSocket> FWSocket;
    TReplyReader FReader{ReceiveAreaSize, LongestLine};
    TPop3State FState = pop3Ready;
    TPop3ProtocolState FProtocolState = pop3Disconnected;
    TPop3Request FRequestType = pop3Connect;
    TStep FCurrentStep = stepNone;
    bool FConnected = false;
    bool FRequestDone = true; // nothing pending yet
    bool FQuitPhase = false;  // QUIT answered, the close ends it
    int FStatusCode = 0;
    int FRequestResult = 0;
    std::string FLastResponse;
    std::string FErrorMessage;
    std::string FTimestamp;
    THandler FNext = nullptr;
    THandler FThen = nullptr;
    TPop3ProtocolState FStateOnSuccess = pop3Disconnected;
    TAnswer FAnswer = answerNone;
    int FMsgCount = 0;
    int FMsgSize = 0;
    std::string FMsgUidl;
    bool FHeaderParsing = false;
    std::string FHeaderName;
    std::array<std::string, hdrCount> FHeaders;
    // Open.
    std::uint16_t FPendingSteps = 0;
    int FSeqResult = 0;
    bool FSequence = false;  // an Open runs: its steps keep RequestType
    bool FSeqDriver = false; // a step's completion continues the sequence
};

} // namespace pv
