// The SMTP client against a scripted peer, for what no real server does:
// replies split or joined across reads, malformed lines, drops and silence.
// Each case is a file of tests/data/dialogs/smtp (format and statements in
// tests/data/dialogs/README.md), played by the driver below. Two cases need
// hooks inside the client's events; their tests install them here and then
// play their files.
#include "tests/mail/SmtpTestSupport.h"
#include "tests/support/DialogScript.h"
#include "tests/support/LoopGuard.h"

#include <map>

namespace pv::test {
namespace {

const char *const kRequestNames[] = {"Connect", "Helo", "MailFrom", "Vrfy", "RcptTo",
                                     "Data",    "Quit", "Rset",     "Open", "Mail",
                                     "Ehlo",    "Auth", "Custom"};
const char *const kStateNames[] = {"smtpReady",           "smtpDnsLookup",     "smtpConnecting",
                                   "smtpConnected",       "smtpInternalReady", "smtpWaitingBanner",
                                   "smtpWaitingResponse", "smtpAbort"};
const char *const kAuthNames[] = {"smtpAuthNone",    "smtpAuthPlain",      "smtpAuthLogin",
                                  "smtpAuthCramMD5", "smtpAuthAutoSelect", "smtpAuthCramSha1"};

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

class SmtpDialog : public ::testing::Test {
  protected:
    SmtpDialog() {
        // Every event in one list, in the order the client raised them.
        auto command = client.OnCommand;
        client.OnCommand = [this, command](TObject *s, const std::string &m) {
            events.push_back("command " + m);
            command(s, m);
        };
        auto response = client.OnResponse;
        client.OnResponse = [this, response](TObject *s, const std::string &m) {
            events.push_back("response " + m);
            response(s, m);
        };
        auto connected = client.OnSessionConnected;
        client.OnSessionConnected = [this, connected](TObject *s, std::uint16_t e) {
            events.push_back("connected " + std::to_string(e));
            connected(s, e);
        };
        auto closed = client.OnSessionClosed;
        client.OnSessionClosed = [this, closed](TObject *s, std::uint16_t e) {
            events.push_back("closed " + std::to_string(e));
            closed(s, e);
        };
        auto done = client.OnRequestDone;
        client.OnRequestDone = [this, done](TObject *s, TSmtpRequest rq, std::uint16_t e) {
            events.push_back("done " + Done({rq, e}));
            done(s, rq, e);
        };
    }

    // Plays a case file: starts its peers, carries out its statements, and
    // sees that every peer played its part to the end.
    void Play(const std::string &path) {
        script = DialogScript::Load(path);
        ASSERT_EQ(script.error, "");
        peers = std::make_unique<DialogPeers>(script);
        ASSERT_TRUE(peers->Started()) << peers->Errors();
        client.Host = "127.0.0.1";
        client.Port = peers->Port();
        client.SignOn = "tester";
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

    static std::string Done(const DoneEvent &d) {
        return std::string(d.Rq < std::size(kRequestNames) ? kRequestNames[d.Rq] : "?") + " " +
               std::to_string(d.Code);
    }

    std::string Value(const std::string &name) {
        if (name == "State")
            return kStateNames[client.State()];
        if (name == "Connected")
            return client.Connected() ? "true" : "false";
        if (name == "StatusCode")
            return std::to_string(client.StatusCode());
        if (name == "LastResponse")
            return client.LastResponse();
        if (name == "ErrorMessage")
            return client.ErrorMessage();
        std::string list;
        if (name == "OfferedMechanisms") {
            for (const auto &m : client.OfferedMechanisms())
                list += (list.empty() ? "\"" : ", \"") + m + "\"";
            return list;
        }
        if (name == "done") {
            for (const auto &d : rec.done)
                list += (list.empty() ? "" : ", ") + Done(d);
            return list;
        }
        ADD_FAILURE() << "no value named " << name;
        return "<unknown>";
    }

    std::function<void()> Request(const std::string &name) {
        static const std::map<std::string, void (TSmtpCli::*)()> calls = {
            {"Connect", &TSmtpCli::Connect}, {"Helo", &TSmtpCli::Helo},
            {"Ehlo", &TSmtpCli::Ehlo},       {"Auth", &TSmtpCli::Auth},
            {"Vrfy", &TSmtpCli::Vrfy},       {"MailFrom", &TSmtpCli::MailFrom},
            {"RcptTo", &TSmtpCli::RcptTo},   {"Data", &TSmtpCli::Data},
            {"Quit", &TSmtpCli::Quit},       {"Rset", &TSmtpCli::Rset},
            {"Open", &TSmtpCli::Open},       {"Mail", &TSmtpCli::Mail},
            {"Abort", &TSmtpCli::Abort}};
        const auto it = calls.find(name);
        if (it == calls.end())
            return nullptr;
        return [this, call = it->second] { (client.*call)(); };
    }

    // The events since the last run or session are those of the block.
    void ExpectEvents(const DialogStatement &st) {
        std::vector<std::string> seen(events.begin() + static_cast<long>(traced), events.end());
        traced = events.size();
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
            std::map<std::string, std::string *> texts = {
                {"SignOn", &client.SignOn},     {"FromName", &client.FromName},
                {"Username", &client.Username}, {"Password", &client.Password},
                {"HdrTo", &client.HdrTo},       {"Host", &client.Host},
                {"Port", &client.Port}};
            if (texts.count(name))
                *texts[name] = value;
            else if (name == "AuthType" && IndexOf(kAuthNames, value) >= 0)
                client.AuthType = static_cast<TSmtpAuthType>(IndexOf(kAuthNames, value));
            else
                ADD_FAILURE() << "cannot set " << st.rest;
        } else if (st.word == "add") {
            const std::size_t space = st.rest.find(' ');
            name = st.rest.substr(0, space);
            value = space == std::string::npos ? "" : Unescape(st.rest.substr(space + 1));
            if (name == "RcptName")
                client.RcptName.push_back(value);
            else if (name == "MailMessage")
                client.MailMessage.push_back(value);
            else
                ADD_FAILURE() << "cannot add to " << name;
        } else if (st.word == "run" || st.word == "start") {
            const auto request = Request(st.rest);
            ASSERT_TRUE(request) << "no request " << st.rest;
            const std::size_t before = rec.done.size();
            rec.Call(request);
            if (st.word == "run") {
                ASSERT_TRUE(rec.WaitDone(before + 1)) << "no OnRequestDone for " << st.rest;
                ExpectEvents(st);
            }
        } else if (st.word == "session") {
            ASSERT_TRUE(st.rest == "helo" || st.rest == "ehlo") << "session helo or session ehlo";
            SessionDriver session(client, rec, st.rest == "ehlo");
            const bool finished = session.Run();
            rec.then = nullptr;
            ASSERT_TRUE(finished) << "the session did not end";
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
    TSmtpCli client;
    Recorder rec{client};
    std::vector<std::string> events;
    std::size_t traced = 0;
    DialogScript script;
    std::unique_ptr<DialogPeers> peers;
};

class SmtpDialogFile : public SmtpDialog, public ::testing::WithParamInterface<std::string> {};

TEST_P(SmtpDialogFile, Plays) {
    Play(GetParam());
}

std::vector<std::string> CasesWithoutHooks() {
    std::vector<std::string> files;
    for (const std::string &f : DialogFiles("smtp"))
        if (!DialogScript::Load(f).Find("hooks"))
            files.push_back(f);
    return files;
}

INSTANTIATE_TEST_SUITE_P(Smtp, SmtpDialogFile, ::testing::ValuesIn(CasesWithoutHooks()),
                         DialogCaseName);

TEST_F(SmtpDialog, RequestsFromInsideEvents) {
    std::vector<std::string> refusals;
    const auto tryHelo = [&] {
        try {
            client.Helo();
        } catch (const SmtpException &e) {
            refusals.push_back(e.Message());
        }
    };
    rec.onResponse = [&](const std::string &) { tryHelo(); };
    auto command = client.OnCommand;
    client.OnCommand = [&, command](TObject *s, const std::string &m) {
        command(s, m);
        tryHelo();
    };
    // From OnRequestDone the next request starts normally.
    rec.then = [&](TSmtpRequest rq, int) {
        if (rq == smtpConnect)
            client.Helo();
        else if (rq == smtpHelo)
            client.Quit();
    };
    Play(DialogFolder("smtp") + "/requests-from-inside-events.txt");
    // Three reply lines and two commands each tried once.
    EXPECT_EQ(refusals, std::vector<std::string>(5, "SMTP component not ready"));
}

TEST_F(SmtpDialog, NestedLoopInsideDisplayKeepsLinesInOrder) {
    // The program's display handler waits in a nested message loop now and
    // then; the rest of a reply arriving meanwhile must wait its turn.
    client.OnDisplay = [&](TObject *, const std::string &m) {
        rec.display.push_back(m);
        if (m != "< 250-one")
            return;
        // Until the rest of the reply is sent, and then whatever its arrival
        // lets the nested loop do.
        EXPECT_TRUE(RunLoopUntil(
            [&] { return peers->Transcript("main").find("S| 250 one done") != std::string::npos; },
            10000));
        RunLoopUntilIdle();
    };
    Play(DialogFolder("smtp") + "/nested-loop-in-display.txt");
}

} // namespace
} // namespace pv::test
