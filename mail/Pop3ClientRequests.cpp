// TCustomPop3Cli: the requests, the evaluation of their replies, the parsers
// of the numbers in them and the multi-line answers of LIST, UIDL, RETR and
// TOP.
#include "mail/Pop3Client.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "mail/Md5.h"
#include "mail/MimeUtils.h"
#include "platform/Text.h"

namespace pv {

namespace {

constexpr std::size_t kLongestHeader = 10000;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal number at i (0 without digits), clamped to INT_MAX; i moves
// past its digits.
int ReadNumber(const std::string &s, std::size_t &i) {
    long long value = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i)
        value = std::min<long long>(value * 10 + (s[i] - '0'), INT_MAX);
    return static_cast<int>(value);
}

// The two numbers of "+OK 2 320" or of a LIST line: from the first digit on,
// a number, blanks, a number. Only one number: both 0, and false.
bool TwoNumbers(const std::string &s, int &first, int &second) {
    first = second = 0;
    std::size_t i = 0;
    while (i < s.size() && !IsDigit(s[i]))
        ++i;
    if (i == s.size())
        return false;
    const int a = ReadNumber(s, i);
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n'))
        ++i;
    if (i == s.size())
        return false;
    first = a;
    second = ReadNumber(s, i);
    return true;
}

// "+OK 1 whqtswO00WBw418f9t5JxYwZ" or a UIDL line: the number and the id.
void UidlLine(const std::string &s, int &number, std::string &uidl) {
    number = 0;
    uidl.clear();
    std::size_t i = 0;
    while (i < s.size() && !IsDigit(s[i]))
        ++i;
    number = ReadNumber(s, i);
    while (i < s.size() && (IsDigit(s[i]) || s[i] == ' '))
        ++i;
    const std::size_t start = i;
    while (i < s.size() && s[i] >= '!' && s[i] <= '~')
        ++i;
    uidl = s.substr(start, i - start);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

} // namespace

// ---------------------------------------------------------------- commands

void TCustomPop3Cli::CheckReady() const {
    if (FState != pop3Ready && FState != pop3InternalReady)
        throw Pop3Exception("POP3 component not ready");
}

void TCustomPop3Cli::CheckConnected() const {
    if (!FConnected)
        throw Pop3Exception("POP3 component not connected");
}

void TCustomPop3Cli::Refuse(const std::string &Text) {
    FErrorMessage = Text;
    TriggerDisplay(Text);
    throw Pop3Exception(Text);
}

void TCustomPop3Cli::SendLine(const std::string &Line) {
    const auto session = FReader.Session();
    TriggerDisplay("> " + Line);
    if (FReader.Ended(session))
        return;
    if (FWSocket->State() == wsConnected)
        FWSocket->SendStr(Line + "\r\n");
}

void TCustomPop3Cli::StartCommand(TPop3Request Request, TStep Step, const std::string &Line,
                                  TPop3ProtocolState OnSuccess, THandler Then, bool Transaction) {
    CheckReady();
    CheckConnected();
    if (!FSequence) {
        FRequestType = Request;
        FErrorMessage.clear();
    }
    FCurrentStep = Step;
    FRequestDone = false;
    FQuitPhase = false;
    FRequestResult = 0;
    // Nothing from outside may add a command or end one early. The line is
    // not shown: it may hold the password.
    if (HasControlChars(Line)) {
        const std::string verb = Line.substr(0, Line.find(' '));
        FailLocally("-ERR Control character in " + (HasControlChars(verb) ? "the" : verb) +
                        " command, not sent",
                    500);
        return;
    }
    if (Transaction) {
        FHeaderParsing = true;
        FHeaderName.clear();
        for (std::string &h : FHeaders)
            h.clear();
    }
    FNext = &TCustomPop3Cli::ReplyLine;
    FStateOnSuccess = OnSuccess;
    FThen = Then;
    const auto session = FReader.Session();
    SetState(pop3WaitingResponse);
    if (FReader.Ended(session))
        return;
    SendLine(Line);
}

void TCustomPop3Cli::StartTransaction(TPop3Request Request, TStep Step, const std::string &Command,
                                      const std::string &Arguments, THandler Then) {
    if (FProtocolState != pop3Transaction)
        Refuse("-ERR " + Command + " command invalid now");
    StartCommand(Request, Step, Command + Arguments, pop3Transaction, Then, true);
}

void TCustomPop3Cli::User() {
    if (FProtocolState > pop3WaitingUser)
        Refuse("-ERR USER command invalid now");
    StartCommand(pop3User, stepUser, "USER " + Trim(UserName), pop3WaitingPass, nullptr, false);
}

void TCustomPop3Cli::Pass() {
    if (FProtocolState > pop3WaitingPass)
        Refuse("-ERR PASS command invalid now");
    StartCommand(pop3Pass, stepPass, "PASS " + Trim(PassWord), pop3Transaction, nullptr, false);
}

void TCustomPop3Cli::RPop() {
    if (FProtocolState > pop3WaitingPass)
        Refuse("-ERR RPOP command invalid now");
    StartCommand(pop3RPop, stepRPop, "RPOP " + Trim(PassWord), pop3Transaction, nullptr, false);
}

void TCustomPop3Cli::APop() {
    if (FProtocolState != pop3WaitingUser)
        Refuse("-ERR APOP command invalid now");
    if (FTimestamp.empty())
        Refuse("-ERR Server do not support APOP (no timestamp)");
    StartCommand(pop3APop, stepAPop,
                 "APOP " + Trim(UserName) + " " + Lower(MD5HexDigest(FTimestamp + PassWord)),
                 pop3Transaction, nullptr, false);
}

void TCustomPop3Cli::Quit() {
    CheckReady();
    if (FConnected) {
        StartCommand(pop3Quit, stepQuit, "QUIT", pop3Disconnected, nullptr, false);
        return;
    }
    if (!FSequence)
        FRequestType = pop3Quit;
    FCurrentStep = stepQuit;
    FRequestDone = false;
    DoRequestDone(0);
}

namespace {

std::string Numbered(int n) {
    return n > 0 ? " " + std::to_string(n) : "";
}

} // namespace

void TCustomPop3Cli::Stat() {
    StartTransaction(pop3Stat, stepStat, "STAT", "", &TCustomPop3Cli::StatDone);
}

void TCustomPop3Cli::List() {
    StartTransaction(pop3List, stepList, "LIST", Numbered(MsgNum),
                     MsgNum > 0 ? &TCustomPop3Cli::NumberDone : &TCustomPop3Cli::ListAnswer);
}

void TCustomPop3Cli::Uidl() {
    StartTransaction(pop3Uidl, stepUidl, "UIDL", Numbered(MsgNum),
                     MsgNum > 0 ? &TCustomPop3Cli::UidlDone : &TCustomPop3Cli::UidlAnswer);
}

void TCustomPop3Cli::Retr() {
    StartTransaction(pop3Retr, stepRetr, "RETR", " " + std::to_string(MsgNum),
                     &TCustomPop3Cli::MessageAnswer);
}

void TCustomPop3Cli::Top() {
    if (MsgLines < 0)
        throw Pop3Exception("Invalid MsgLines for TOP command");
    StartTransaction(pop3Top, stepTop, "TOP",
                     " " + std::to_string(MsgNum) + " " + std::to_string(MsgLines),
                     &TCustomPop3Cli::MessageAnswer);
}

void TCustomPop3Cli::Dele() {
    StartTransaction(pop3Dele, stepDele, "DELE", " " + std::to_string(MsgNum), nullptr);
}

void TCustomPop3Cli::Noop() {
    StartTransaction(pop3Noop, stepNoop, "NOOP", "", nullptr);
}

void TCustomPop3Cli::RSet() {
    StartTransaction(pop3RSet, stepRSet, "RSET", "", nullptr);
}

void TCustomPop3Cli::Last() {
    StartTransaction(pop3Last, stepLast, "LAST", "", &TCustomPop3Cli::NumberDone);
}

// ---------------------------------------------------------------- replies

void TCustomPop3Cli::ReplyLine() {
    const auto session = FReader.Session();
    TriggerDisplay("< " + FLastResponse);
    if (FReader.Ended(session))
        return;
    if (!FLastResponse.empty() && FLastResponse[0] == '+') {
        FStatusCode = 0;
        FRequestResult = 0;
        FProtocolState = FStateOnSuccess;
        if (FThen != nullptr)
            (this->*FThen)();
        else
            DoRequestDone(0);
        return;
    }
    FStatusCode = 500;
    FRequestResult = 500;
    KeepErrorMessage();
    DoRequestDone(500);
}

void TCustomPop3Cli::StatDone() {
    TwoNumbers(FLastResponse, FMsgCount, FMsgSize);
    DoRequestDone(FRequestResult);
}

void TCustomPop3Cli::NumberDone() {
    // LAST answers one number: it is kept as MsgNum.
    if (!TwoNumbers(FLastResponse, MsgNum, FMsgSize) && FRequestType == pop3Last) {
        std::size_t i = FLastResponse.find_first_of("0123456789");
        if (i != std::string::npos)
            MsgNum = ReadNumber(FLastResponse, i);
    }
    DoRequestDone(FRequestResult);
}

void TCustomPop3Cli::UidlDone() {
    UidlLine(FLastResponse, MsgNum, FMsgUidl);
    DoRequestDone(FRequestResult);
}

void TCustomPop3Cli::ListAnswer() {
    BeginAnswer(answerList, OnListBegin);
}

void TCustomPop3Cli::UidlAnswer() {
    BeginAnswer(answerUidl, OnUidlBegin);
}

void TCustomPop3Cli::MessageAnswer() {
    BeginAnswer(answerMessage, OnMessageBegin);
}

void TCustomPop3Cli::BeginAnswer(TAnswer Answer, const TNotifyEvent &Begin) {
    FAnswer = Answer;
    FNext = &TCustomPop3Cli::MultiLine;
    Trigger(Begin);
}

void TCustomPop3Cli::MultiLine() {
    if (!FConnected) {
        FErrorMessage = "-ERR Disconneced unexpectedly";
        FStatusCode = 500;
        FRequestResult = 500;
        const auto session = FReader.Session();
        TriggerDisplay(FErrorMessage);
        if (FReader.Ended(session))
            return;
        DoRequestDone(500);
        return;
    }
    const auto session = FReader.Session();
    if (FLastResponse == ".") {
        Trigger(FAnswer == answerList   ? OnListEnd
                : FAnswer == answerUidl ? OnUidlEnd
                                        : OnMessageEnd);
        if (FReader.Ended(session))
            return;
        FLastResponse.clear();
        FNext = nullptr;
        DoRequestDone(0);
        return;
    }
    if (FLastResponse.rfind("..", 0) == 0)
        FLastResponse.erase(0, 1);
    if (FHeaderParsing) {
        ParseHeaderLine(FLastResponse);
        if (FReader.Ended(session))
            return;
    }
    switch (FAnswer) {
    case answerList:
        TwoNumbers(FLastResponse, MsgNum, FMsgSize);
        Trigger(OnListLine);
        break;
    case answerUidl:
        UidlLine(FLastResponse, MsgNum, FMsgUidl);
        Trigger(OnUidlLine);
        break;
    default:
        Trigger(OnMessageLine);
        break;
    }
}

void TCustomPop3Cli::ParseHeaderLine(const std::string &Line) {
    static const char *const names[hdrCount] = {
        "from", "to", "subject", "date", "message-id", "reply-to", "in-reply-to", "return-path"};
    const auto stored = [&]() -> std::string * {
        for (int h = 0; h < hdrCount; ++h)
            if (FHeaderName == names[h])
                return &FHeaders[h];
        return nullptr;
    };
    if (Line.empty()) {
        FHeaderParsing = false;
        Trigger(OnHeaderEnd);
    } else if (Line[0] == '\t' || Line[0] == ' ') {
        // A folded header grows no longer than a header is ever meant to be.
        if (std::string *value = stored())
            value->append(Line, 1, kLongestHeader - std::min(kLongestHeader, value->size()));
    } else if (const std::size_t colon = Line.find(':'); colon != std::string::npos) {
        FHeaderName = Lower(Trim(Line.substr(0, colon)));
        std::size_t start = colon + 1;
        if (start < Line.size() && Line[start] == ' ')
            ++start;
        if (std::string *value = stored())
            *value = Line.substr(start, kLongestHeader);
    }
}

} // namespace pv
