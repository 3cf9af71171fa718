// TCustomPop3Cli: the session (lookup, connect, greeting, close, abort), the
// reading of reply lines, the completion of every request and the Open
// sequence.
#include "mail/Pop3Client.h"

#include <utility>

#include "net/Winsock.h"

namespace pv {

namespace {

constexpr int kClosedUnderRequest = 10004;

std::string WinsockErrorText(int Error) {
    return "-ERR " + SocketErrorDesc(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

std::string ExceptionText(const std::exception &E) {
    if (const auto *pe = dynamic_cast<const Exception *>(&E))
        return std::string(pe->ClassName()) + ": " + pe->Message();
    return std::string("Exception: ") + E.what();
}

constexpr std::uint16_t Bit(int step) {
    return static_cast<std::uint16_t>(1u << step);
}

} // namespace

TCustomPop3Cli::TCustomPop3Cli() {
    FReader.OnLine = [this](const std::string &Line) { ReceivedLine(Line); };
    FReader.OnAborted = [this] { SetState(pop3Ready); };
    FReader.OnRequestDone = [this](int Error) {
        WndProc(WM_POP3_REQUEST_DONE, 0, static_cast<LPARAM>(Error));
    };
    FWSocket = std::make_unique<TWSocket>();
    FWSocket->OnSessionClosed = [this](TObject *, std::uint16_t e) { WSocketSessionClosed(e); };
}

TCustomPop3Cli::~TCustomPop3Cli() {
    // Nothing of this object may run while the socket goes.
    FWSocket->OnSessionClosed = nullptr;
    FWSocket->OnDataAvailable = nullptr;
    FWSocket->OnDnsLookupDone = nullptr;
    FWSocket->OnSessionConnected = nullptr;
    FWSocket.reset();
}

// ---------------------------------------------------------------- events

LRESULT TCustomPop3Cli::WndProc(UINT Msg, WPARAM, LPARAM lParam) {
    if (Msg == WM_POP3_REQUEST_DONE && OnRequestDone)
        OnRequestDone(this, FRequestType, static_cast<std::uint16_t>(lParam));
    return 0;
}

void TCustomPop3Cli::DoSessionConnected(std::uint16_t ErrCode) {
    if (OnSessionConnected)
        OnSessionConnected(this, ErrCode);
}

void TCustomPop3Cli::DoResponse(const std::string &Msg) {
    if (OnResponse)
        OnResponse(this, Msg);
}

void TCustomPop3Cli::DoStateChange() {
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomPop3Cli::TriggerDisplay(const std::string &Msg) {
    if (OnDisplay)
        OnDisplay(this, Msg);
}

void TCustomPop3Cli::TriggerSessionClosed(std::uint16_t ErrCode) {
    if (OnSessionClosed)
        OnSessionClosed(this, ErrCode);
}

void TCustomPop3Cli::Trigger(const TNotifyEvent &Event) {
    if (Event)
        Event(this);
}

void TCustomPop3Cli::SetState(TPop3State Value) {
    if (FState == Value)
        return;
    FState = Value;
    DoStateChange();
}

// ---------------------------------------------------------------- completion

void TCustomPop3Cli::KeepErrorMessage() {
    if (FErrorMessage.empty())
        FErrorMessage = FLastResponse;
}

void TCustomPop3Cli::FailLocally(const std::string &Text, int Error) {
    FLastResponse = Text;
    FStatusCode = 500;
    FRequestResult = Error;
    KeepErrorMessage();
    DoRequestDone(Error);
}

void TCustomPop3Cli::DoRequestDone(int Error) {
    if (FRequestDone)
        return;
    if (FCurrentStep == stepQuit) {
        // QUIT ends with the connection, whatever the server answered; a
        // close without an answer (or an Abort) ends it as well.
        if (FConnected) {
            FQuitPhase = true;
            return;
        }
        FQuitPhase = false;
        Error = 0;
    }
    FRequestDone = true;
    if (FSeqDriver) {
        FRequestResult = Error;
        if (FState != pop3Abort)
            SetState(pop3InternalReady);
        AdvanceSequence();
        return;
    }
    SetState(pop3Ready);
    FSequence = false;
    FReader.PostRequestDone(Error);
}

// ---------------------------------------------------------------- reading

void TCustomPop3Cli::WSocketDataAvailable(std::uint16_t) {
    FReader.DataAvailable(
        [this](char *Buffer, int Length) { return FWSocket->Receive(Buffer, Length); });
}

void TCustomPop3Cli::ReceivedLine(const std::string &Line) {
    FLastResponse = Line;
    const auto session = FReader.Session();
    DoResponse(FLastResponse);
    if (FReader.Ended(session))
        return;
    if (FState == pop3WaitingBanner) {
        GreetingLine();
    } else if (FState == pop3WaitingResponse) {
        if (FNext == nullptr)
            throw Pop3Exception("Program error: FNext is nil");
        (this->*FNext)();
    } else {
        TriggerDisplay("< " + FLastResponse);
    }
}

void TCustomPop3Cli::GreetingLine() {
    const auto session = FReader.Session();
    TriggerDisplay("< " + FLastResponse);
    if (FReader.Ended(session))
        return;
    if (FLastResponse.empty() || FLastResponse[0] != '+') {
        FStatusCode = 500;
        FRequestResult = 500;
        KeepErrorMessage();
        // Nothing more of this server is read; the close ends the request.
        FReader.Abort();
        FWSocket->Close();
        return;
    }
    FStatusCode = 0;
    FTimestamp.clear();
    const std::size_t open = FLastResponse.find('<');
    if (open != std::string::npos) {
        const std::size_t close = FLastResponse.find('>', open);
        if (close != std::string::npos)
            FTimestamp = FLastResponse.substr(open, close - open + 1);
    }
    FProtocolState = pop3WaitingUser;
    SetState(pop3Connected);
    if (FReader.Ended(session))
        return;
    DoSessionConnected(0);
    if (FReader.Ended(session))
        return;
    DoRequestDone(0);
}

// ---------------------------------------------------------------- session

void TCustomPop3Cli::Connect() {
    if (FConnected)
        throw Pop3Exception("POP3 component already connected");
    CheckReady();
    if (!FSequence) {
        FRequestType = pop3Connect;
        FErrorMessage.clear();
    }
    FCurrentStep = stepConnect;
    FRequestDone = false;
    FQuitPhase = false;
    FReader.Reset();
    FRequestResult = 0;
    FTimestamp.clear();
    FNext = nullptr;
    const auto session = FReader.Session();
    SetState(pop3DnsLookup);
    if (FReader.Ended(session))
        return;
    FWSocket->OnDataSent = nullptr;
    FWSocket->OnDnsLookupDone = [this](TObject *, std::uint16_t e) { WSocketDnsLookupDone(e); };
    try {
        FWSocket->DnsLookup(Host);
    } catch (...) {
        // Misuse such as an empty host: nothing is pending afterwards.
        FRequestDone = true;
        SetState(pop3Ready);
        throw;
    }
}

void TCustomPop3Cli::WSocketDnsLookupDone(std::uint16_t ErrCode) {
    if (FState != pop3DnsLookup)
        return;
    if (ErrCode != 0) {
        FailLocally(WinsockErrorText(ErrCode), ErrCode);
        return;
    }
    FWSocket->SetAddr(FWSocket->DnsResult());
    FWSocket->SetProto("tcp");
    FWSocket->SetPort(Port);
    FWSocket->SetLocalAddr(LocalAddr);
    FWSocket->OnSessionConnected = [this](TObject *, std::uint16_t e) {
        WSocketSessionConnected(e);
    };
    FWSocket->OnDataAvailable = [this](TObject *, std::uint16_t e) { WSocketDataAvailable(e); };
    const auto session = FReader.Session();
    SetState(pop3Connecting);
    if (FReader.Ended(session))
        return;
    try {
        FWSocket->Connect();
    } catch (const Exception &E) {
        FailLocally("-ERR " + std::string(E.ClassName()) + ": " + E.Message(), 500);
    }
}

void TCustomPop3Cli::WSocketSessionConnected(std::uint16_t ErrCode) {
    if (ErrCode != 0) {
        FConnected = false;
        FailLocally(WinsockErrorText(ErrCode), ErrCode);
        FWSocket->Close();
        SetState(pop3Ready);
        return;
    }
    FConnected = true;
    SetState(pop3WaitingBanner);
}

void TCustomPop3Cli::WSocketSessionClosed(std::uint16_t ErrCode) {
    FConnected = false;
    const auto session = FReader.Session();
    TriggerSessionClosed(ErrCode);
    FProtocolState = pop3Disconnected;
    if (FReader.Ended(session))
        return;
    // A drop inside a multi-line answer is reported as such.
    if (!FRequestDone && FState == pop3WaitingResponse && FNext == &TCustomPop3Cli::MultiLine)
        MultiLine();
    DoRequestDone(kClosedUnderRequest);
}

void TCustomPop3Cli::Abort() {
    // First, so that code that raised the event which called Abort stops.
    FReader.Abort();
    SetState(pop3Abort);
    FWSocket->CancelDnsLookup();
    FWSocket->Abort();
    // Without a connection (still looking up the host) no close is reported,
    // and the request would never end.
    if (!FRequestDone)
        DoRequestDone(kClosedUnderRequest);
    SetState(pop3Ready);
}

// ---------------------------------------------------------------- Open

void TCustomPop3Cli::Open() {
    if (FConnected)
        throw Pop3Exception("pop3 component already connected");
    CheckReady();
    FRequestType = pop3Open;
    FRequestResult = 0;
    FPendingSteps = Bit(stepConnect) | Bit(stepUser) | Bit(stepPass);
    FCurrentStep = stepNone;
    FSeqResult = 0;
    FSequence = true;
    FErrorMessage.clear();
    AdvanceSequence();
}

void TCustomPop3Cli::AdvanceSequence() {
    FSeqDriver = true;
    if (FState == pop3Abort) {
        FPendingSteps = 0;
        FSeqResult = 426;
        FRequestResult = 426;
        FErrorMessage = "426 Operation aborted.";
    } else if (FRequestResult != 0) {
        FSeqResult = FRequestResult;
        FPendingSteps =
            (FPendingSteps & Bit(stepQuit)) && FCurrentStep != stepQuit ? Bit(stepQuit) : 0;
    }
    // In the order the steps run when several are pending.
    static const std::pair<TStep, THandler> steps[] = {
        {stepConnect, &TCustomPop3Cli::Connect}, {stepUser, &TCustomPop3Cli::User},
        {stepPass, &TCustomPop3Cli::Pass},       {stepRPop, &TCustomPop3Cli::RPop},
        {stepDele, &TCustomPop3Cli::Dele},       {stepNoop, &TCustomPop3Cli::Noop},
        {stepList, &TCustomPop3Cli::List},       {stepRSet, &TCustomPop3Cli::RSet},
        {stepAPop, &TCustomPop3Cli::APop},       {stepRetr, &TCustomPop3Cli::Retr},
        {stepTop, &TCustomPop3Cli::Top},         {stepStat, &TCustomPop3Cli::Stat},
        {stepUidl, &TCustomPop3Cli::Uidl},       {stepLast, &TCustomPop3Cli::Last},
        {stepQuit, &TCustomPop3Cli::Quit}};
    for (const auto &[step, start] : steps) {
        if (!(FPendingSteps & Bit(step)))
            continue;
        FPendingSteps &= static_cast<std::uint16_t>(~Bit(step));
        try {
            (this->*start)();
            return;
        } catch (const std::exception &E) {
            // A step that cannot start ends the sequence instead of leaving
            // it pending for ever.
            FLastResponse = "-ERR " + ExceptionText(E);
            KeepErrorMessage();
            if (FSeqResult == 0)
                FSeqResult = 500;
            FPendingSteps = 0;
            break;
        }
    }
    FSeqDriver = false;
    FCurrentStep = stepNone;
    FRequestDone = false;
    DoRequestDone(FSeqResult);
}

} // namespace pv
