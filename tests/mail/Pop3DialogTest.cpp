// The POP3 client against a scripted peer, for what no real server does:
// replies split or joined across reads, over-long lines, drops and silence.
// Each case is a file of tests/data/dialogs/pop3 (format and statements in
// tests/data/dialogs/README.md), played by the driver below. Cases that need
// hooks inside the client's events are played by the tests named in them.
#include "tests/mail/Pop3TestSupport.h"
#include "tests/support/DialogScript.h"
#include "tests/support/LoopGuard.h"

#include <map>

namespace pv::test {
namespace {

template <std::size_t N> int IndexOf(const char *const (&names)[N], const std::string &name) {
    for (std::size_t i = 0; i < N; ++i)
        if (name == names[i])
            return static_cast<int>(i);
    return -1;
}

std::string Joined(const std::vector<std::string> &lines) {
    std::string all;
    for (const auto &l : lines)
        all += Escape(l) + "\n";
    return all;
}

class Pop3Dialog : public ::testing::Test {
  protected:
    void Play(const std::string &path) {
        script = DialogScript::Load(path);
        ASSERT_EQ(script.error, "");
        peers = std::make_unique<DialogPeers>(script);
        ASSERT_TRUE(peers->Started()) << peers->Errors();
        client.Host = "127.0.0.1";
        client.Port = peers->Port();
        for (const DialogStatement &st : script.statements) {
            SCOPED_TRACE(script.Where(st.line));
            try {
                Do(st);
            } catch (const std::invalid_argument &e) {
                ADD_FAILURE() << e.what();
            }
            if (HasFatalFailure())
                break;
        }
        const bool played = peers->Finish();
        EXPECT_TRUE(played) << "the peer did not play its part";
        if (!played || HasFailure())
            ADD_FAILURE() << "transcript:\n" << peers->Transcript();
    }

    std::string Value(const std::string &name) {
        std::map<std::string, std::function<std::string()>> values = {
            {"State", [&] { return kPop3StateNames[client.State()]; }},
            {"ProtocolState", [&] { return kPop3ProtocolNames[client.ProtocolState()]; }},
            {"Connected", [&] { return client.Connected() ? "true" : "false"; }},
            {"StatusCode", [&] { return std::to_string(client.StatusCode()); }},
            {"LastResponse", [&] { return client.LastResponse(); }},
            {"ErrorMessage", [&] { return client.ErrorMessage(); }},
            {"Timestamp", [&] { return client.Timestamp(); }},
            {"MsgCount", [&] { return std::to_string(client.MsgCount()); }},
            {"MsgSize", [&] { return std::to_string(client.MsgSize()); }},
            {"MsgNum", [&] { return std::to_string(client.MsgNum); }},
            {"MsgUidl", [&] { return client.MsgUidl(); }},
            {"HeaderSubject", [&] { return client.HeaderSubject(); }},
            {"done", [&] {
                 std::string list;
                 for (const auto &d : rec.done)
                     list += (list.empty() ? "" : ", ") + d;
                 return list;
             }}};
        const auto it = values.find(name);
        if (it != values.end())
            return it->second();
        ADD_FAILURE() << "no value named " << name;
        return "<unknown>";
    }

    std::function<void()> Request(const std::string &name) {
        static const std::map<std::string, void (TCustomPop3Cli::*)()> calls = {
            {"Connect", &TCustomPop3Cli::Connect}, {"Open", &TCustomPop3Cli::Open},
            {"User", &TCustomPop3Cli::User},       {"Pass", &TCustomPop3Cli::Pass},
            {"RPop", &TCustomPop3Cli::RPop},       {"APop", &TCustomPop3Cli::APop},
            {"Quit", &TCustomPop3Cli::Quit},       {"Stat", &TCustomPop3Cli::Stat},
            {"List", &TCustomPop3Cli::List},       {"Retr", &TCustomPop3Cli::Retr},
            {"Top", &TCustomPop3Cli::Top},         {"Dele", &TCustomPop3Cli::Dele},
            {"Noop", &TCustomPop3Cli::Noop},       {"Last", &TCustomPop3Cli::Last},
            {"RSet", &TCustomPop3Cli::RSet},       {"Uidl", &TCustomPop3Cli::Uidl},
            {"Abort", &TCustomPop3Cli::Abort}};
        const auto it = calls.find(name);
        if (it == calls.end())
            return nullptr;
        return [this, call = it->second] { (client.*call)(); };
    }

    // The events since the last run are those of the block.
    void ExpectEvents(const DialogStatement &st) {
        const std::vector<std::string> seen = rec.Take();
        if (st.block.empty())
            return;
        std::vector<std::string> expected;
        for (const auto &line : st.block)
            expected.push_back(Unescape(line));
        EXPECT_EQ(Joined(seen), Joined(expected));
    }

    void Do(const DialogStatement &st) {
        std::string name, value;
        if (st.word == "hooks") {
            // Played by the test named there, after it installed them.
        } else if (st.word == "set") {
            const std::size_t space = st.rest.find(' ');
            name = st.rest.substr(0, space);
            value = space == std::string::npos ? "" : Unescape(st.rest.substr(space + 1));
            std::map<std::string, std::string *> texts = {{"UserName", &client.UserName},
                                                          {"PassWord", &client.PassWord},
                                                          {"Host", &client.Host},
                                                          {"Port", &client.Port}};
            std::map<std::string, int *> numbers = {{"MsgNum", &client.MsgNum},
                                                    {"MsgLines", &client.MsgLines}};
            if (texts.count(name))
                *texts[name] = value;
            else if (numbers.count(name))
                *numbers[name] = std::stoi(value);
            else
                ADD_FAILURE() << "cannot set " << st.rest;
        } else if (st.word == "run" || st.word == "start") {
            const auto request = Request(st.rest);
            ASSERT_TRUE(request) << "no request " << st.rest;
            const std::size_t before = rec.done.size();
            rec.Call(request);
            if (st.word == "run") {
                ASSERT_TRUE(rec.WaitDone(before + 1)) << "no OnRequestDone for " << st.rest;
                ExpectEvents(st);
            }
        } else if (st.word == "raises" && st.Check(name, value)) {
            const auto request = Request(name);
            ASSERT_TRUE(request) << "no request " << name;
            std::string raised = "<nothing>";
            try {
                rec.Call(request);
            } catch (const Pop3Exception &e) {
                raised = e.Message();
            }
            EXPECT_EQ(raised, Unescape(value)) << name;
            ExpectEvents(st);
        } else if (st.word == "wait" && st.Check(name, value)) {
            const std::string wanted = Unescape(value);
            EXPECT_TRUE(RunLoopUntil([&] { return Value(name) == wanted; }, 10000))
                << name << " is " << Escape(Value(name)) << ", not " << Escape(wanted);
        } else if (st.word == "settle" && st.rest.empty()) {
            RunLoopUntilIdle();
        } else if (st.word == "expect" && st.Check(name, value)) {
            EXPECT_EQ(Escape(Value(name)), Escape(Unescape(value))) << name;
        } else {
            ADD_FAILURE() << "unknown statement: " << st.word << " " << st.rest;
        }
    }

    LoopGuard guard{40};
    TPop3Cli client;
    Pop3Recorder rec{client};
    DialogScript script;
    std::unique_ptr<DialogPeers> peers;
};

class Pop3DialogFile : public Pop3Dialog, public ::testing::WithParamInterface<std::string> {};

TEST_P(Pop3DialogFile, Plays) {
    Play(GetParam());
}

std::vector<std::string> CasesWithoutHooks() {
    std::vector<std::string> files;
    for (const std::string &f : DialogFiles("pop3"))
        if (!DialogScript::Load(f).Find("hooks"))
            files.push_back(f);
    return files;
}

INSTANTIATE_TEST_SUITE_P(Pop3, Pop3DialogFile, ::testing::ValuesIn(CasesWithoutHooks()),
                         DialogCaseName);

// Whatever handler aborts, the client is ready again afterwards and the
// request ends once, with 10004; nothing of the aborted reply is done.
TEST_F(Pop3Dialog, AbortFromInsideHandlers) {
    rec.onDisplay = [&](const std::string &m) {
        if (m == "< +OK 2 320")
            client.Abort();
    };
    client.OnListBegin = [&, begin = client.OnListBegin](TObject *s) {
        begin(s);
        client.Abort();
    };
    rec.then = [&](TPop3Request, int) { EXPECT_EQ(client.State(), pop3Ready); };
    Play(DialogFolder("pop3") + "/abort-inside-handlers.txt");
    EXPECT_EQ(client.MsgCount(), 0);
}

} // namespace
} // namespace pv::test
