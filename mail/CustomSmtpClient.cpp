// TCustomSmtpClient: the request engine of the SMTP client, with commands,
// reply parsing, the session life cycle and the compound requests.
#include "mail/CustomSmtpClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "mail/AuthResponses.h"
#include "mail/Mailbox.h"
#include "mail/MimeUtils.h"
#include "mail/SmtpHeaders.h"
#include "net/Winsock.h"
#include "platform/Text.h"

namespace pv {

namespace {

constexpr int kClosedUnderRequest = 10004;
constexpr int kNoNumber = 20600;

std::string ExceptionText(const std::exception &E) {
    if (const auto *pe = dynamic_cast<const Exception *>(&E))
        return std::string(pe->ClassName()) + ": " + pe->Message();
    return std::string("Exception: ") + E.what();
}

} // namespace

TCustomSmtpClient::TCustomSmtpClient()
    : FLineBuffer(1024, '\0'),
      FRandom(static_cast<std::minstd_rand::result_type>(
          std::random_device{}() ^
          static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()))) {
    FReader.OnLine = [this](const std::string &Line) { ReplyLine(Line); };
    FReader.OnLineTooLong = [this] { ReplyTooLong(); };
    FReader.OnAborted = [this] { SetState(smtpReady); };
    FReader.OnRequestDone = [this](int ErrorCode) {
        WndProc(WM_SMTP_REQUEST_DONE, 0, static_cast<LPARAM>(ErrorCode));
    };
    CreateSocket();
}

TCustomSmtpClient::~TCustomSmtpClient() {
    if (FWSocket) {
        // Nothing of this object may run while the socket goes.
        FWSocket->OnSessionClosed = nullptr;
        FWSocket->OnDataAvailable = nullptr;
        FWSocket->OnDataSent = nullptr;
        FWSocket->OnDnsLookupDone = nullptr;
        FWSocket->OnSessionConnected = nullptr;
        FWSocket->OnTlsHandshakeDone = nullptr;
        FWSocket.reset();
    }
}

void TCustomSmtpClient::CreateSocket() {
    FWSocket = std::make_unique<TWSocket>();
    // The line pump hands over whole blocks; what is left at the end of a
    // message or a command must go at once, not wait for an ACK.
    FWSocket->ComponentOptions.Include(wsoTcpNoDelay);
    FWSocket->OnSessionClosed = [this](TObject *, std::uint16_t e) { WSocketSessionClosed(e); };
}

void TCustomSmtpClient::SetContentType(TSmtpContentType Value) {
    FContentType = Value;
    FContentTypeText = Value == smtpHtml ? "text/html" : "text/plain";
}

// ---------------------------------------------------------------- events

void TCustomSmtpClient::TriggerDisplay(const std::string &Msg) {
    if (OnDisplay)
        OnDisplay(this, Msg);
}

void TCustomSmtpClient::TriggerCommand(const std::string &Msg) {
    if (OnCommand)
        OnCommand(this, Msg);
}

void TCustomSmtpClient::TriggerResponse(const std::string &Msg) {
    if (FCurrentStep == stepEhlo && !AddAuthMechanisms(FAuthMechanisms, Msg) &&
        IsStartTlsCapability(Msg))
        FStartTlsOffered = true;
    if (OnResponse)
        OnResponse(this, Msg);
}

void TCustomSmtpClient::TriggerStateChange() {
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomSmtpClient::TriggerProcessHeader(std::vector<std::string> &HdrLines) {
    if (OnProcessHeader)
        OnProcessHeader(this, HdrLines);
}

void TCustomSmtpClient::TriggerSessionConnected(std::uint16_t ErrCode) {
    if (OnSessionConnected)
        OnSessionConnected(this, ErrCode);
}

void TCustomSmtpClient::TriggerSessionClosed(std::uint16_t ErrCode) {
    if (OnSessionClosed)
        OnSessionClosed(this, ErrCode);
}

void TCustomSmtpClient::TriggerGetData(int LineNum, std::string &Line, int MaxLen, bool &More) {
    if (!OnGetData) {
        More = false;
        return;
    }
    if (FLineBuffer.size() < 1024)
        FLineBuffer.resize(1024);
    const int max = std::clamp(MaxLen, 0, static_cast<int>(FLineBuffer.size()) - 1);
    FLineBuffer[0] = '\0';
    OnGetData(this, LineNum, FLineBuffer.data(), max, More);
    // A handler that wrote no terminator must not make us read past the buffer.
    FLineBuffer[FLineBuffer.size() - 1] = '\0';
    if (More)
        Line.assign(FLineBuffer.data(), std::strlen(FLineBuffer.data()));
}

void TCustomSmtpClient::TriggerHeaderLine(std::string &Line) {
    if (!OnHeaderLine)
        return;
    // A line longer than the usual 1023 characters is handed over whole.
    FLineBuffer.assign(std::max<std::size_t>(1024, Line.size() + 1), '\0');
    std::memcpy(FLineBuffer.data(), Line.data(), Line.size());
    OnHeaderLine(this, FLineBuffer.data(), static_cast<int>(FLineBuffer.size()));
    FLineBuffer.back() = '\0';
    Line.assign(FLineBuffer.data(), std::strlen(FLineBuffer.data()));
}

void TCustomSmtpClient::SetState(TSmtpState Value) {
    if (FState == Value)
        return;
    FState = Value;
    TriggerStateChange();
}

// ---------------------------------------------------------------- commands

void TCustomSmtpClient::CheckReady() const {
    if (FState != smtpReady && FState != smtpInternalReady)
        throw SmtpException("SMTP component not ready");
}

void TCustomSmtpClient::CheckConnected() const {
    if (!FConnected)
        throw SmtpException("SMTP component not connected");
}

void TCustomSmtpClient::SendCommand(const std::string &Line) {
    TriggerCommand(Line);
    TriggerDisplay("> " + Line);
    if (FWSocket->State() == wsConnected)
        FWSocket->SendStr(Line + "\r\n");
}

void TCustomSmtpClient::StartCommand(TSmtpRequest Request, TStep Step, const std::string &Line,
                                     std::initializer_list<int> OkCodes, TContinuation Done) {
    CheckReady();
    CheckConnected();
    // Nothing from outside may add a command or end one early.
    if (HasControlChars(Line)) {
        FailUnsent(Request, Step,
                   "500 Control character in command, not sent: " + ShowControls(Line));
        return;
    }
    FCurrentStep = Step;
    if (!FSequence)
        FRequestType = Request;
    FOkResponses.fill(0);
    std::copy_n(OkCodes.begin(), std::min<std::size_t>(OkCodes.size(), FOkResponses.size() - 1),
                FOkResponses.begin());
    FRequestDone = false;
    FNext = &TCustomSmtpClient::EvaluateReply;
    FDoneAsync = Done;
    SetState(smtpWaitingResponse);
    SendCommand(Line);
}

void TCustomSmtpClient::KeepErrorMessage() {
    if (FErrorMessage.empty())
        FErrorMessage = FLastResponse;
}

void TCustomSmtpClient::FailLocally(const std::string &Text, int ErrorCode) {
    FLastResponse = Text;
    FStatusCode = 500;
    FRequestResult = ErrorCode;
    KeepErrorMessage();
    FinishRequest(ErrorCode);
}

void TCustomSmtpClient::FailUnsent(TSmtpRequest Request, TStep Step, const std::string &Text) {
    FCurrentStep = Step;
    if (!FSequence)
        FRequestType = Request;
    FRequestDone = false;
    FailLocally(Text, 500);
}

void TCustomSmtpClient::FinishRequest(int ErrorCode) {
    if (FRequestDone)
        return;
    FRequestDone = true;
    if (FSeqDriver) {
        // The sequence judges each step by the code it ended with.
        FRequestResult = ErrorCode;
        if (FState != smtpAbort)
            SetState(smtpInternalReady);
        AdvanceSequence();
        return;
    }
    SetState(smtpReady);
    FSequence = false;
    FReader.PostRequestDone(ErrorCode);
}

LRESULT TCustomSmtpClient::WndProc(UINT Msg, WPARAM, LPARAM lParam) {
    if (Msg == WM_SMTP_REQUEST_DONE && OnRequestDone)
        OnRequestDone(this, FRequestType, static_cast<std::uint16_t>(lParam));
    return 0;
}

// ---------------------------------------------------------------- replies

bool TCustomSmtpClient::ParseStatusCode() {
    const std::string &s = FLastResponse;
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    // Error codes travel in 16 bits: a bigger number must not wrap round to
    // 0, which reads as success.
    long long value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (value < 65535)
            value = value * 10 + (s[i] - '0');
        ++i;
    }
    value = std::min<long long>(value, 65535);
    FStatusCode = static_cast<int>(negative ? -value : value);
    return !(i < s.size() && s[i] == '-');
}

void TCustomSmtpClient::WSocketDataAvailable(std::uint16_t) {
    FReader.DataAvailable(
        [this](char *Buffer, int Length) { return FWSocket->Receive(Buffer, Length); });
}

void TCustomSmtpClient::ReplyLine(const std::string &Line) {
    FLastResponse = Line;
    const auto session = FReader.Session();
    TriggerResponse(FLastResponse);
    if (FReader.Ended(session))
        return;
    if (FState == smtpWaitingBanner)
        GreetingLine();
    else if (FState == smtpWaitingResponse) {
        if (FNext == nullptr)
            throw SmtpException("Program error: FNext is nil");
        (this->*FNext)();
    } else
        TriggerDisplay("< " + FLastResponse);
}

void TCustomSmtpClient::ReplyTooLong() {
    // No reply line is that long: the server is not speaking SMTP.
    FLastResponse = "500 Reply line longer than " + std::to_string(ReceiveAreaSize) + " bytes";
    FStatusCode = 500;
    if (!FRequestDone) {
        FRequestResult = 500;
        KeepErrorMessage();
        FinishRequest(500);
    }
    FWSocket->Close();
}

void TCustomSmtpClient::GreetingLine() {
    // A handler that aborts ends this greeting: nothing of it is done after.
    const auto session = FReader.Session();
    TriggerDisplay("< " + FLastResponse);
    if (FReader.Ended(session) || !ParseStatusCode())
        return;
    if (FStatusCode == 0)
        FStatusCode = kNoNumber;
    if (FStatusCode != 220) {
        FRequestResult = FStatusCode;
        KeepErrorMessage();
        // Completes through the session-closed path.
        FWSocket->Close();
        return;
    }
    SetState(smtpConnected);
    if (FReader.Ended(session))
        return;
    TriggerSessionConnected(0);
    if (FReader.Ended(session))
        return;
    FinishRequest(0);
}

void TCustomSmtpClient::EvaluateReply() {
    const auto session = FReader.Session();
    TriggerDisplay("< " + FLastResponse);
    if (FReader.Ended(session) || !ParseStatusCode())
        return;
    if (FStatusCode == 0)
        FStatusCode = kNoNumber;
    if (FOkResponses[0] == 0) {
        FRequestResult = FStatusCode < 500 ? 0 : FStatusCode;
    } else {
        FRequestResult = FStatusCode;
        for (int code : FOkResponses) {
            if (code == 0)
                break;
            if (code == FStatusCode) {
                FRequestResult = 0;
                break;
            }
        }
    }
    if (FRequestResult != 0)
        KeepErrorMessage();
    if (FDoneAsync != nullptr)
        (this->*FDoneAsync)();
    else if (!(FRequestType == smtpQuit && FConnected))
        FinishRequest(FRequestResult);
}

// ---------------------------------------------------------------- session

void TCustomSmtpClient::Connect() {
    CheckReady();
    if (FConnected)
        throw SmtpException("SMTP component already connected");
    if (!FSequence)
        FRequestType = smtpConnect;
    FCurrentStep = stepConnect;
    FRequestDone = false;
    FReader.Reset();
    FRequestResult = 0;
    FEsmtp = false;
    FStartTlsOffered = false;
    FErrorMessage.clear();
    FLastResponse.clear();
    const auto session = FReader.Session();
    SetState(smtpDnsLookup);
    if (FReader.Ended(session))
        return;
    FWSocket->OnDataSent = nullptr;
    FWSocket->OnDnsLookupDone = [this](TObject *, std::uint16_t e) { WSocketDnsLookupDone(e); };
    try {
        FWSocket->DnsLookup(Host);
    } catch (...) {
        // Misuse such as an empty host: nothing is pending afterwards.
        FRequestDone = true;
        SetState(smtpReady);
        throw;
    }
}

void TCustomSmtpClient::WSocketDnsLookupDone(std::uint16_t ErrCode) {
    if (FState != smtpDnsLookup)
        return;
    if (ErrCode != 0) {
        FailLocally(SocketFailureText(ErrCode), ErrCode);
        return;
    }
    FWSocket->SetAddr(FWSocket->DnsResult());
    FWSocket->SetLocalAddr(LocalAddr);
    FWSocket->SetProto("tcp");
    FWSocket->SetPort(Port);
    FWSocket->OnSessionConnected = [this](TObject *, std::uint16_t e) {
        WSocketSessionConnected(e);
    };
    FWSocket->OnDataAvailable = [this](TObject *, std::uint16_t e) { WSocketDataAvailable(e); };
    FWSocket->OnTlsHandshakeDone = [this](TObject *, std::uint16_t e) { WSocketTlsDone(e); };
    FWSocket->TlsContext = TlsContext;
    FWSocket->TlsHostName = Trim(Host);
    FWSocket->TlsOnConnect = ImplicitTls;
    const auto session = FReader.Session();
    SetState(smtpConnecting);
    if (FReader.Ended(session))
        return;
    try {
        FWSocket->Connect();
    } catch (const Exception &E) {
        // A failure without an error number must not read as success.
        const int code = FWSocket->LastError() != 0 ? FWSocket->LastError() : 500;
        FLastResponse = "500 " + std::string(E.ClassName()) + ": " + E.Message();
        FStatusCode = 500;
        FRequestResult = 500;
        KeepErrorMessage();
        FinishRequest(code);
    }
}

void TCustomSmtpClient::WSocketSessionConnected(std::uint16_t ErrCode) {
    if (ErrCode != 0) {
        FConnected = false;
        FailLocally(SocketFailureText(ErrCode), ErrCode);
        FRequestResult = 500;
        FWSocket->Close();
        SetState(smtpReady);
        return;
    }
    FConnected = true;
    SetState(smtpWaitingBanner);
}

void TCustomSmtpClient::WSocketSessionClosed(std::uint16_t ErrCode) {
    FConnected = false;
    CloseAttachment();
    TriggerSessionClosed(ErrCode);
    FinishRequest(FRequestType == smtpQuit ? 0 : kClosedUnderRequest);
}

void TCustomSmtpClient::Abort() {
    CloseAttachment();
    // First, so that code that raised the event which called Abort stops.
    FReader.Abort();
    SetState(smtpAbort);
    FWSocket->CancelDnsLookup();
    FWSocket->Abort();
    // Without a connection (still looking up the host) no close is reported,
    // and the request would never end.
    if (!FRequestDone)
        FinishRequest(kClosedUnderRequest);
    SetState(smtpReady);
}

// ---------------------------------------------------------------- requests

namespace {

std::string SignOnName(const std::string &SignOn) {
    std::string name = SignOn.empty() ? LocalHostName() : SignOn;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

} // namespace

void TCustomSmtpClient::Helo() {
    StartCommand(smtpHelo, stepHelo, "HELO " + SignOnName(SignOn), {250}, nullptr);
}

std::string TCustomSmtpClient::EhloCommand() const {
    return "EHLO " + SignOnName(SignOn);
}

void TCustomSmtpClient::Ehlo() {
    CheckReady();
    CheckConnected();
    FAuthMechanisms.clear();
    FStartTlsOffered = false;
    StartCommand(smtpEhlo, stepEhlo, EhloCommand(), {250}, &TCustomSmtpClient::EhloDone);
}

void TCustomSmtpClient::EhloDone() {
    if (FRequestResult == 0)
        FEsmtp = true;
    FinishRequest(FRequestResult);
}

void TCustomSmtpClient::Vrfy() {
    StartCommand(smtpVrfy, stepVrfy, "VRFY " + HdrTo, {250}, nullptr);
}

void TCustomSmtpClient::MailFrom() {
    std::string name, address;
    SplitAddress(FromName, name, address);
    StartCommand(smtpMailFrom, stepMailFrom, "MAIL FROM:<" + address + ">", {250}, nullptr);
}

void TCustomSmtpClient::RcptTo() {
    if (RcptName.empty())
        throw SmtpException("RcptName list is empty");
    CheckReady();
    CheckConnected();
    FItemCount = -1;
    RcptToNext();
}

void TCustomSmtpClient::RcptToNext() {
    // Every recipient gets its command; the last reply decides the result.
    if (FState == smtpWaitingResponse)
        FState = smtpInternalReady;
    ++FItemCount;
    std::string name, address;
    SplitAddress(RcptName[FItemCount], name, address);
    const bool last = FItemCount + 1 >= static_cast<int>(RcptName.size());
    StartCommand(smtpRcptTo, stepRcptTo, "RCPT TO:<" + address + ">", {250, 251},
                 last ? nullptr : &TCustomSmtpClient::RcptToNext);
}

void TCustomSmtpClient::Rset() {
    StartCommand(smtpRset, stepRset, "RSET", {250}, nullptr);
}

void TCustomSmtpClient::Quit() {
    CheckReady();
    FCurrentStep = stepQuit;
    if (FConnected) {
        // Ends when the server closes the connection.
        StartCommand(smtpQuit, stepQuit, "QUIT", {221}, nullptr);
        return;
    }
    FRequestType = smtpQuit;
    FRequestDone = false;
    FinishRequest(0);
}

void TCustomSmtpClient::Data() {
    CheckReady();
    CheckConnected();
    const std::string refusal = BuildHeaderLines();
    if (!refusal.empty()) {
        FailUnsent(smtpData, stepData, refusal);
        return;
    }
    StartCommand(smtpData, stepData, "DATA", {354}, &TCustomSmtpClient::DataNext);
}

// ---------------------------------------------------------------- sequences

namespace {

constexpr std::uint16_t Bit(int step) {
    return static_cast<std::uint16_t>(1u << step);
}

} // namespace

void TCustomSmtpClient::Open() {
    const std::uint16_t steps = AuthType == smtpAuthNone
                                    ? Bit(stepConnect) | Bit(stepHelo)
                                    : Bit(stepConnect) | Bit(stepEhlo) | Bit(stepAuth);
    if (FConnected)
        throw SmtpException("SMTP component already connected");
    CheckReady();
    FRequestType = smtpOpen;
    FRequestResult = 0;
    FPendingSteps = steps;
    FCurrentStep = stepNone;
    FSeqResult = 0;
    FSequence = true;
    FLastResponse.clear();
    FErrorMessage.clear();
    AdvanceSequence();
}

void TCustomSmtpClient::Mail() {
    CheckReady();
    // These would otherwise only fail once the sequence is under way.
    CheckConnected();
    if (RcptName.empty())
        throw SmtpException("RcptName list is empty");
    FRequestType = smtpMail;
    FRequestResult = 0;
    FPendingSteps = Bit(stepMailFrom) | Bit(stepRcptTo) | Bit(stepData);
    FCurrentStep = stepNone;
    FSeqResult = 0;
    FSequence = true;
    FLastResponse.clear();
    FErrorMessage.clear();
    AdvanceSequence();
}

void TCustomSmtpClient::AdvanceSequence() {
    FSeqDriver = true;
    if (FState == smtpAbort) {
        FPendingSteps = 0;
        FSeqResult = 426;
        FRequestResult = 426;
        FErrorMessage = "426 Operation aborted.";
    } else if (FRequestResult != 0) {
        // A refused EHLO falls back to HELO, unless the connection is gone.
        if (FCurrentStep == stepEhlo && FConnected) {
            FPendingSteps = Bit(stepHelo);
        } else {
            FSeqResult = FRequestResult;
            FPendingSteps =
                (FPendingSteps & Bit(stepQuit)) && FCurrentStep != stepQuit ? Bit(stepQuit) : 0;
        }
    }

    static constexpr TStep order[] = {stepConnect,  stepHelo,   stepEhlo, stepAuth, stepVrfy,
                                      stepMailFrom, stepRcptTo, stepData, stepQuit};
    for (TStep step : order) {
        if (!(FPendingSteps & Bit(step)))
            continue;
        FPendingSteps &= static_cast<std::uint16_t>(~Bit(step));
        FCurrentStep = step;
        try {
            switch (step) {
            case stepConnect:
                Connect();
                break;
            case stepHelo:
                Helo();
                break;
            case stepEhlo:
                Ehlo();
                break;
            case stepAuth:
                Auth();
                break;
            case stepVrfy:
                Vrfy();
                break;
            case stepMailFrom:
                MailFrom();
                break;
            case stepRcptTo:
                RcptTo();
                break;
            case stepData:
                Data();
                break;
            case stepQuit:
                Quit();
                break;
            default:
                break;
            }
        } catch (const std::exception &E) {
            // A step that cannot start ends the sequence instead of leaving
            // it pending for ever.
            FLastResponse = "500 " + ExceptionText(E);
            KeepErrorMessage();
            if (FSeqResult == 0)
                FSeqResult = 500;
            FPendingSteps = 0;
            break;
        }
        return;
    }
    FSeqDriver = false;
    FRequestDone = false;
    FinishRequest(FSeqResult);
}

// ---------------------------------------------------------------- addresses

void TCustomSmtpClient::AddRecipients(const std::string &ToList, const std::string &CcList,
                                      const std::string &BccList) {
    const std::string text = ToList + ";" + CcList + ";" + BccList;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ')
            ++i;
        const std::size_t start = i;
        bool quoted = false;
        while (i < text.size() && (quoted || (text[i] != ',' && text[i] != ';'))) {
            if (text[i] == '"')
                quoted = !quoted;
            ++i;
        }
        std::string item = Trim(text.substr(start, i - start));
        if (!item.empty())
            RcptName.push_back(std::move(item));
        ++i; // the separator
    }
}

} // namespace pv
