// The POP3 client against a real server (tests/support/pop3_server.py, on
// python3-twisted): a mailbox of two messages, 320 bytes together, the second
// with a folded Subject and a line that starts with a dot.
#include "tests/mail/Pop3TestSupport.h"
#include "tests/support/LoopGuard.h"

namespace pv::test {
namespace {

using Lines = std::vector<std::string>;

class Pop3Real : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--log", log.Path() + "/commands"});
        ASSERT_TRUE(StartPop3Server(server, options)) << server.ErrorLog();
        client.Host = "127.0.0.1";
        client.Port = std::to_string(server.Port());
        client.UserName = "joe";
        client.PassWord = "secret";
    }
    std::string Run(void (TCustomPop3Cli::*request)()) {
        return rec.Run([&] { (client.*request)(); });
    }
    // The commands the server received.
    Lines Commands() const {
        Lines lines;
        const std::string text = ReadFileText(log.Path() + "/commands");
        for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }
    // The events of a request run to its end, without the "display" lines.
    Lines Answer(void (TCustomPop3Cli::*request)()) {
        rec.Take();
        Run(request);
        Lines out;
        for (const std::string &e : rec.Take())
            if (e.rfind("display ", 0) != 0)
                out.push_back(e);
        return out;
    }

    LoopGuard guard{40};
    TempDir log;
    PeerProcess server;
    TPop3Cli client;
    Pop3Recorder rec{client};
};

TEST_F(Pop3Real, EveryRequestOfAMailboxSession) {
    Start();
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_EQ(client.ProtocolState(), pop3WaitingUser);
    EXPECT_EQ(client.Timestamp().front(), '<');
    EXPECT_EQ(Run(&TCustomPop3Cli::User), "User 0");
    EXPECT_EQ(client.ProtocolState(), pop3WaitingPass);
    EXPECT_EQ(Run(&TCustomPop3Cli::Pass), "Pass 0");
    EXPECT_EQ(client.ProtocolState(), pop3Transaction);
    rec.Take();

    EXPECT_EQ(Run(&TCustomPop3Cli::Stat), "Stat 0");
    EXPECT_EQ(client.MsgCount(), 2);
    EXPECT_EQ(client.MsgSize(), 320);

    EXPECT_EQ(Answer(&TCustomPop3Cli::List),
              (Lines{"begin", "line 1 115", "line 2 205", "end", "done List 0"}));
    client.MsgNum = 2;
    EXPECT_EQ(Run(&TCustomPop3Cli::List), "List 0");
    EXPECT_EQ(client.MsgNum, 2);
    EXPECT_EQ(client.MsgSize(), 205);

    client.MsgNum = 0;
    EXPECT_EQ(
        Answer(&TCustomPop3Cli::Uidl),
        (Lines{"begin", "line 1 uid-first-0001", "line 2 uid-second-0002", "end", "done Uidl 0"}));
    client.MsgNum = 2;
    EXPECT_EQ(Run(&TCustomPop3Cli::Uidl), "Uidl 0");
    EXPECT_EQ(client.MsgUidl(), "uid-second-0002");

    // The dot-stuffed line comes back as it was; the folded Subject whole.
    EXPECT_EQ(
        Answer(&TCustomPop3Cli::Retr),
        (Lines{"begin", "line From: Carl <carl@example.org>", "line To: Bob <bob@example.org>",
               "line Subject: Second, folded", "line   over two lines", "header-end", "line ",
               "line First line", "line .a line that starts with a dot", "line Last line",
               "line " + std::string(45, 'x'), "end", "done Retr 0"}));
    EXPECT_EQ(client.HeaderFrom(), "Carl <carl@example.org>");
    EXPECT_EQ(client.HeaderSubject(), "Second, folded over two lines");
    EXPECT_EQ(client.LastResponse(), "");

    client.MsgNum = 1;
    client.MsgLines = 0;
    EXPECT_EQ(Run(&TCustomPop3Cli::Top), "Top 0");
    EXPECT_EQ(client.HeaderMessageId(), "<1@example.org>");
    EXPECT_EQ(client.HeaderSubject(), "First");
    EXPECT_EQ(client.HeaderFrom(), "Ann <ann@example.org>");

    // A deleted message is gone until RSET.
    EXPECT_EQ(Run(&TCustomPop3Cli::Dele), "Dele 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Retr), "Retr 500");
    EXPECT_EQ(client.ErrorMessage().rfind("-ERR ", 0), 0u) << client.ErrorMessage();
    EXPECT_EQ(client.StatusCode(), 500);
    EXPECT_EQ(Run(&TCustomPop3Cli::RSet), "RSet 0");
    EXPECT_EQ(client.ErrorMessage(), "");
    EXPECT_EQ(Run(&TCustomPop3Cli::Retr), "Retr 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Noop), "Noop 0");
    // LAST answers one number: the highest message read.
    EXPECT_EQ(Run(&TCustomPop3Cli::Last), "Last 0");
    EXPECT_EQ(client.MsgNum, 1);
    rec.Take();

    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
    EXPECT_EQ(rec.Take(), (Lines{"display > QUIT", "display < +OK ", "closed 0", "done Quit 0"}));
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.ProtocolState(), pop3Disconnected);
    EXPECT_EQ(Commands(), (Lines{"CONNECT", "USER joe", "PASS secret", "STAT", "LIST", "LIST 2",
                                 "UIDL", "UIDL 2", "RETR 2", "TOP 1 0", "DELE 1", "RETR 1", "RSET",
                                 "RETR 1", "NOOP", "LAST", "QUIT"}));
}

TEST_F(Pop3Real, ApopRightAndWrong) {
    Start();
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    client.UserName = " joe ";
    EXPECT_EQ(Run(&TCustomPop3Cli::APop), "APop 0");
    EXPECT_EQ(client.ProtocolState(), pop3Transaction);
    EXPECT_EQ(Run(&TCustomPop3Cli::Stat), "Stat 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");

    // Another greeting, another time stamp; a wrong password is refused.
    const std::string first = client.Timestamp();
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_NE(client.Timestamp(), first);
    client.PassWord = "wrong";
    EXPECT_EQ(Run(&TCustomPop3Cli::APop), "APop 500");
    EXPECT_EQ(client.ErrorMessage(), "-ERR Authentication failed");
    EXPECT_EQ(client.ProtocolState(), pop3WaitingUser);
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");

    // The server checks the digest itself (lower-case hex MD5 of the time
    // stamp and the password); the name goes trimmed.
    const Lines commands = Commands();
    ASSERT_EQ(commands.size(), 7u);
    EXPECT_EQ(commands[1].substr(0, 9), "APOP joe ");
    EXPECT_EQ(commands[1].size(), 9u + 32u);
}

TEST_F(Pop3Real, WrongPasswordAndOpenAsOneRequest) {
    Start();
    client.PassWord = "wrong";
    EXPECT_EQ(Run(&TCustomPop3Cli::Open), "Open 500");
    EXPECT_EQ(client.ErrorMessage(), "-ERR Authentication failed");
    EXPECT_EQ(client.State(), pop3Ready);
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");

    client.PassWord = "secret";
    EXPECT_EQ(Run(&TCustomPop3Cli::Open), "Open 0");
    EXPECT_EQ(client.ProtocolState(), pop3Transaction);
    // Only the end of the whole sequence is reported.
    EXPECT_EQ(rec.done, (Lines{"Open 500", "Quit 0", "Open 0"}));
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
}

TEST_F(Pop3Real, ApopWithoutTimestampIsRefusedBeforeAnythingIsSent) {
    Start({"--no-timestamp"});
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_EQ(client.Timestamp(), "");
    rec.Take();
    try {
        client.APop();
        ADD_FAILURE() << "APop did not raise";
    } catch (const Pop3Exception &e) {
        EXPECT_STREQ(e.what(), "-ERR Server do not support APOP (no timestamp)");
    }
    EXPECT_EQ(client.ErrorMessage(), "-ERR Server do not support APOP (no timestamp)");
    EXPECT_EQ(rec.Take(), (Lines{"display -ERR Server do not support APOP (no timestamp)"}));
    // The session goes on as before.
    EXPECT_EQ(Run(&TCustomPop3Cli::User), "User 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Pass), "Pass 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
    EXPECT_EQ(Commands(), (Lines{"CONNECT", "USER joe", "PASS secret", "QUIT"}));
}

} // namespace
} // namespace pv::test
