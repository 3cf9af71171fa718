// The SMTP client against a scripted peer, for what no real server does:
// replies split or joined across reads, malformed lines, drops and silence.
#include "mail/MimeUtils.h"
#include "tests/mail/SmtpTestSupport.h"
#include "tests/support/LoopGuard.h"

namespace pv::test {
namespace {

// One step of a dialog script.
std::string Line(const std::string &s) {
    return "{\"line\": " + JsonString(s) + "}";
}
std::string Send(const std::string &s) {
    return "{\"send\": " + JsonString(s) + "}";
}
std::string Expect(const std::string &s) {
    return "{\"expect\": " + JsonString(s) + "}";
}
std::string ExpectRe(const std::string &s) {
    return "{\"expect_re\": " + JsonString(s) + "}";
}
// Until the client has read everything sent so far: the next send comes in a
// read of its own.
const std::string Sync = "{\"sync\": true}";
const std::string Close = "{\"close\": true}";
const std::string ExpectClose = "{\"expect_close\": true}";
const std::string Helo = ExpectRe("^HELO \\S+$");
const std::string Ehlo = ExpectRe("^EHLO \\S+$");
const std::string QuitBye = Expect("QUIT") + "," + Line("221 bye") + "," + Close;

std::string Script(std::initializer_list<std::string> steps) {
    std::string s = "[";
    for (const auto &step : steps)
        s += (s.size() > 1 ? "," : "") + step;
    return s + "]";
}

class SmtpDialog : public ::testing::Test {
  protected:
    LoopGuard guard{40};
    TSmtpCli client;
    Recorder rec{client};

    void Use(DialogPeer &peer) {
        ASSERT_TRUE(peer.started) << peer.peer.ErrorLog();
        client.Host = "127.0.0.1";
        client.Port = peer.Port();
        client.SignOn = "tester";
    }
    // Starts a request and waits for its report.
    void Run(const std::function<void()> &request) {
        const auto n = rec.done.size();
        rec.Call(request);
        ASSERT_TRUE(rec.WaitDone(n + 1)) << "no OnRequestDone";
    }
    void ExpectScriptPlayed(DialogPeer &peer) { EXPECT_EQ(peer.Finish(), 0) << peer.Transcript(); }
};

TEST_F(SmtpDialog, GreetingsAndRepliesAcrossReads) {
    // A two-line greeting split across reads; a reply split inside its code;
    // an EHLO reply of three lines in one read; a line ended by LF alone.
    DialogPeer peer(
        Script({Line("220-first line"), Sync, Line("220 second line"), Ehlo,
                Send("250-postvane.test\r\n250-AUTH LOGIN PLAIN\r\n250 AUTH=LOGIN\r\n"),
                ExpectRe("^MAIL FROM:<a@b.c>$"), Send("25"), Sync, Send("0 sender ok\r\n"),
                Expect("RSET"), Send("250 reset\n"), Sync, Send("250 really\r\n"), QuitBye}));
    Use(peer);
    std::size_t responsesAtConnect = 0;
    rec.then = [&](TSmtpRequest rq, int) {
        if (rq == smtpConnect)
            responsesAtConnect = rec.responses.size();
    };
    Run([&] { client.Connect(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpConnect, 0}));
    EXPECT_EQ(responsesAtConnect, 2u) << "Connect completed before the last greeting line";
    EXPECT_EQ(rec.connected, std::vector<int>{0});

    Run([&] { client.Ehlo(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpEhlo, 0}));
    EXPECT_EQ(client.OfferedMechanisms(), (std::vector<std::string>{"", "LOGIN", "PLAIN"}));

    client.FromName = "Joe <a@b.c>";
    Run([&] { client.MailFrom(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpMailFrom, 0}));
    EXPECT_EQ(client.LastResponse(), "250 sender ok");

    Run([&] { client.Rset(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpRset, 0}));
    EXPECT_EQ(client.LastResponse(), "250 reset\n250 really");

    Run([&] { client.Quit(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpQuit, 0}));
    ASSERT_EQ(rec.closedAt.size(), 1u);
    EXPECT_EQ(rec.closedAt[0], rec.done.size() - 1) << "QUIT completed before the close";
    EXPECT_EQ(rec.commands,
              (std::vector<std::string>{"EHLO tester", "MAIL FROM:<a@b.c>", "RSET", "QUIT"}));
    ExpectScriptPlayed(peer);
}

TEST_F(SmtpDialog, RefusedGreetingAndReplyWithoutNumber) {
    {
        DialogPeer peer(Script({Line("554 no service here"), ExpectClose}));
        Use(peer);
        Run([&] { client.Connect(); });
        EXPECT_EQ(rec.done.back(), (DoneEvent{smtpConnect, 10004}));
        EXPECT_EQ(client.ErrorMessage(), "554 no service here");
        EXPECT_FALSE(client.Connected());
        ExpectScriptPlayed(peer);
    }
    DialogPeer peer(
        Script({Line("220 hi"), Expect("HELO my_test_host"), Line("Hello yourself"), QuitBye}));
    Use(peer);
    client.SignOn = "my test host";
    Run([&] { client.Connect(); });
    Run([&] { client.Helo(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpHelo, 20600}));
    EXPECT_EQ(client.StatusCode(), 20600);
    EXPECT_EQ(client.ErrorMessage(), "Hello yourself");
    Run([&] { client.Quit(); });
    ExpectScriptPlayed(peer);
}

TEST_F(SmtpDialog, DropWhileMailFromPending) {
    DialogPeer peer(
        Script({Line("220 hi"), Helo, Line("250 hello"), Expect("MAIL FROM:<x@y.z>"), Close}));
    Use(peer);
    client.FromName = "x@y.z";
    SessionDriver session(client, rec, false);
    ASSERT_TRUE(session.Run());
    ASSERT_EQ(rec.done.size(), 3u);
    EXPECT_EQ(rec.done[2], (DoneEvent{smtpMailFrom, 10004}));
    ASSERT_EQ(rec.closedAt.size(), 1u);
    EXPECT_EQ(rec.closedAt[0], 2u) << "OnSessionClosed must come before OnRequestDone";
    ExpectScriptPlayed(peer);
}

TEST_F(SmtpDialog, RecipientRefusedInTheMiddleAndDataRefused) {
    DialogPeer peer(
        Script({Line("220 hi"), Helo, Line("250 hello"), Expect("MAIL FROM:<f@x>"), Line("250 ok"),
                Expect("RCPT TO:<one@x>"), Line("250 ok"), Expect("RCPT TO:<two@x>"),
                Line("550 no such user two"), Expect("RCPT TO:<three@x>"), Line("251 will forward"),
                Expect("DATA"), Line("554 not today"), QuitBye}));
    Use(peer);
    client.FromName = "f@x";
    client.RcptName = {"one@x", "\"Two, Second\" <two@x>", "Three <three@x>"};
    client.MailMessage = {"never sent"};
    SessionDriver session(client, rec, false);
    ASSERT_TRUE(session.Run());
    EXPECT_EQ(rec.done, (std::vector<DoneEvent>{{smtpConnect, 0},
                                                {smtpHelo, 0},
                                                {smtpMailFrom, 0},
                                                {smtpRcptTo, 0},
                                                {smtpData, 554},
                                                {smtpQuit, 0}}));
    EXPECT_EQ(client.ErrorMessage(), "550 no such user two");
    ExpectScriptPlayed(peer); // nothing of the message went out after the 554
}

TEST_F(SmtpDialog, OpenFallsBackToHeloWhenEhloIsRefused) {
    DialogPeer peer(
        Script({Line("220 hi"), Ehlo, Line("502 say HELO"), Helo, Line("250 hello"), QuitBye}));
    Use(peer);
    client.AuthType = smtpAuthLogin;
    Run([&] { client.Open(); });
    EXPECT_EQ(rec.done, (std::vector<DoneEvent>{{smtpOpen, 0}}));
    Run([&] { client.Quit(); });
    ExpectScriptPlayed(peer);
}

TEST_F(SmtpDialog, OpenEndsWhenTheServerDropsDuringEhlo) {
    DialogPeer peer(Script({Line("220 hi"), Ehlo, Close}));
    Use(peer);
    client.AuthType = smtpAuthLogin;
    Run([&] { client.Open(); });
    EXPECT_EQ(rec.done, (std::vector<DoneEvent>{{smtpOpen, 10004}}));
    EXPECT_EQ(client.State(), smtpReady);
    ExpectScriptPlayed(peer);
}

TEST_F(SmtpDialog, SilentServerUntilAbort) {
    DialogPeer peer(Script({"{\"hold\": 20}"}));
    Use(peer);
    rec.Call([&] { client.Connect(); });
    ASSERT_TRUE(RunLoopUntil([&] { return client.State() == smtpWaitingBanner; }, 10000));
    RunLoopUntilIdle();
    EXPECT_TRUE(rec.done.empty());
    EXPECT_EQ(client.State(), smtpWaitingBanner);
    client.Abort();
    ASSERT_TRUE(rec.WaitDone(1));
    EXPECT_EQ(rec.done[0], (DoneEvent{smtpConnect, 10004}));

    // The same inside Open reports the abort itself.
    DialogPeer second(Script({"{\"hold\": 20}"}));
    Use(second);
    rec.Call([&] { client.Open(); });
    ASSERT_TRUE(RunLoopUntil([&] { return client.State() == smtpWaitingBanner; }, 10000));
    client.Abort();
    ASSERT_TRUE(rec.WaitDone(2));
    EXPECT_EQ(rec.done[1], (DoneEvent{smtpOpen, 426}));
    EXPECT_EQ(client.ErrorMessage(), "426 Operation aborted.");
}

TEST_F(SmtpDialog, RequestsFromInsideEvents) {
    DialogPeer peer(Script({Line("220 hi"), Helo, Line("250 hello"), QuitBye}));
    Use(peer);
    std::vector<std::string> refusals;
    const auto tryHelo = [&] {
        try {
            client.Helo();
        } catch (const SmtpException &e) {
            refusals.push_back(e.Message());
        }
    };
    rec.onResponse = [&](const std::string &) { tryHelo(); };
    client.OnCommand = [&](TObject *, const std::string &) { tryHelo(); };
    // From OnRequestDone the next request starts normally.
    rec.then = [&](TSmtpRequest rq, int) {
        if (rq == smtpConnect)
            client.Helo();
        else if (rq == smtpHelo)
            client.Quit();
    };
    rec.Call([&] { client.Connect(); });
    ASSERT_TRUE(rec.WaitDone(3));
    EXPECT_EQ(rec.done, (std::vector<DoneEvent>{{smtpConnect, 0}, {smtpHelo, 0}, {smtpQuit, 0}}));
    // Three reply lines and two commands each tried once.
    EXPECT_EQ(refusals, std::vector<std::string>(5, "SMTP component not ready"));
    ExpectScriptPlayed(peer);
}

TEST_F(SmtpDialog, NestedLoopInsideDisplayKeepsLinesInOrder) {
    // The program's display handler waits in a nested message loop now and
    // then; the rest of a reply arriving meanwhile must wait its turn.
    DialogPeer peer(
        Script({Line("220 hi"), Helo, Line("250 hello"), Expect("MAIL FROM:<f@x>"), Line("250 ok"),
                Expect("RCPT TO:<one@x>"), Line("250-one"), Sync, Line("250 one done"),
                Expect("RCPT TO:<two@x>"), Line("250 two"), QuitBye}));
    Use(peer);
    client.FromName = "f@x";
    client.RcptName = {"one@x", "two@x"};
    client.OnDisplay = [&](TObject *, const std::string &m) {
        rec.display.push_back(m);
        if (m != "< 250-one")
            return;
        // Until the rest of the reply is sent, and then whatever its arrival
        // lets the nested loop do.
        EXPECT_TRUE(RunLoopUntil(
            [&] { return peer.Transcript().find("S: 250 one done") != std::string::npos; }, 10000));
        RunLoopUntilIdle();
    };
    Run([&] { client.Connect(); });
    Run([&] { client.Helo(); });
    Run([&] { client.MailFrom(); });
    Run([&] { client.RcptTo(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpRcptTo, 0}));
    EXPECT_EQ(client.LastResponse(), "250 two");
    Run([&] { client.Quit(); });
    EXPECT_EQ(rec.done.size(), 5u);
    ExpectScriptPlayed(peer);
}

TEST_F(SmtpDialog, ReplyLinesAtTheLimitOfTheReceiveArea) {
    // 4094 characters and CR LF fill the area exactly and still are a line.
    DialogPeer fits(Script({Line("220 " + std::string(4090, 'a')), QuitBye}));
    Use(fits);
    Run([&] { client.Connect(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpConnect, 0}));
    EXPECT_EQ(client.LastResponse().size(), 4094u);
    Run([&] { client.Quit(); });
    ExpectScriptPlayed(fits);

    DialogPeer tooLong(Script({Line("220 " + std::string(4091, 'a')), ExpectClose}));
    Use(tooLong);
    Run([&] { client.Connect(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpConnect, 500}));
    EXPECT_EQ(client.ErrorMessage(), "500 Reply line longer than 4096 bytes");
    RunLoopUntil([&] { return !client.Connected(); }, 10000);
    EXPECT_FALSE(client.Connected());
    RunLoopUntilIdle();
    EXPECT_EQ(rec.done.size(), 3u) << "a second report for the same request";
    ExpectScriptPlayed(tooLong);
}

TEST_F(SmtpDialog, AuthChoicesAndFallbacks) {
    // Nothing offered: CRAM-MD5, then LOGIN, then PLAIN, each refused with 504
    // but the last; the request reports once.
    const std::string plain = "AUTH PLAIN " + Base64EncodeText(std::string("joe\0joe\0pw", 10));
    DialogPeer peer(
        Script({Line("220 hi"), Ehlo, Line("250 plain server"), Expect("AUTH CRAM-MD5"),
                Line("504 not that"), Expect("AUTH LOGIN"), Line("504 nor that"), Expect(plain),
                Line("235 welcome"), Ehlo, Line("250-x"), Line("250 AUTH CRAM-SHA1"),
                Expect("AUTH CRAM-MD5"), Line("334"), Ehlo, Line("250 AUTH LOGIN"),
                Expect("AUTH LOGIN"), Line("535 go away"), QuitBye}));
    Use(peer);
    client.Username = "joe";
    client.Password = "pw";
    client.AuthType = smtpAuthAutoSelect;
    Run([&] { client.Connect(); });
    Run([&] { client.Ehlo(); });
    Run([&] { client.Auth(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpAuth, 0}));
    RunLoopUntilIdle();
    EXPECT_EQ(rec.done.size(), 3u);

    // Only CRAM-SHA1 offered: CRAM-MD5 is tried; a bare "334" is no challenge.
    Run([&] { client.Ehlo(); });
    Run([&] { client.Auth(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpAuth, 500}));
    EXPECT_EQ(client.LastResponse(), "500 Malformed MD5 Challege: 334");

    // A refusal other than 504 under automatic choice.
    Run([&] { client.Ehlo(); });
    Run([&] { client.Auth(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpAuth, 535}));
    EXPECT_EQ(client.ErrorMessage(), "500 Authentication Type could not be determined.");
    Run([&] { client.Quit(); });
    ExpectScriptPlayed(peer);
}

TEST_F(SmtpDialog, AuthWithoutEhloSendsNothing) {
    DialogPeer peer(Script({Line("220 hi"), Helo, Line("250 hello"), QuitBye}));
    Use(peer);
    client.AuthType = smtpAuthLogin;
    Run([&] { client.Connect(); });
    Run([&] { client.Helo(); });
    Run([&] { client.Auth(); });
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpAuth, 500}));
    EXPECT_EQ(client.ErrorMessage(), "500 ESMTP not supported.");
    Run([&] { client.Quit(); });
    ExpectScriptPlayed(peer); // the script expects QUIT right after HELO
}

} // namespace
} // namespace pv::test
