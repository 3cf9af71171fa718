// Jobs with POP3 before SMTP (Authentication=1) against the twisted POP3
// server of tests/support and the aiosmtpd server: a good logon leads to the
// SMTP session; every failed one ends the job with its texts in the log,
// without an SMTP connection, and leaves every file where it was.
#include "tests/e2e/E2eSupport.h"
#include "tests/support/SocksProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace pv::e2e {
namespace {

class Pop3BeforeSmtp : public Job {
  protected:
    void SetUp() override {
        Job::SetUp();
        Put("a.txt", "first file\r\n");
        Set("Delete", "1");
        Set("Backup", "1");
        Set("Authentication", "1");
        Set("UserName", "joe");
        Set("Password", Scrambled("secret"));
        Set("Pop3Host", "127.0.0.1");
    }
    void TearDown() override {
        if (listener_ >= 0)
            close(listener_);
        Job::TearDown();
    }

    // The twisted POP3 server with the account joe:secret.
    void StartPop3(std::vector<std::string> options = {}) {
        std::vector<std::string> argv = {kPython, SupportPath("pop3_server.py"), "--log",
                                         dir_ / "pop3.commands"};
        argv.insert(argv.end(), options.begin(), options.end());
        ASSERT_TRUE(pop3_.Start(argv)) << pop3_.ErrorLog();
        Set("Pop3Port", std::to_string(pop3_.Port()));
    }
    std::string Pop3Commands() const { return ReadFileText(dir_ / "pop3.commands"); }

    // The password as the INI file keeps it (every byte XOR 0x80).
    static std::string Scrambled(std::string text) {
        for (char &c : text)
            c = static_cast<char>(c ^ 0x80);
        return text;
    }

    // The log of a job whose logon failed with the result given.
    std::vector<std::string> FailedLogon(const std::string &result) const {
        return {"Timer On",
                ">PVN v1.4.6 - Job started ",
                ">Starting POP3 authentication at host 127.0.0.1 ...",
                "! " + result,
                "! Authentication failed at host: 127.0.0.1",
                ">Job finished",
                "|"};
    }
    // The log of a job with the POP3 lines after its start.
    std::vector<std::string> LogonJob(const std::vector<std::string> &pop3,
                                      const std::vector<std::string> &middle) const {
        std::vector<std::string> lines = JobLog(middle);
        std::vector<std::string> logon = {">Starting POP3 authentication at host 127.0.0.1 ..."};
        logon.insert(logon.end(), pop3.begin(), pop3.end());
        lines.insert(lines.begin() + 2, logon.begin(), logon.end());
        return lines;
    }
    // The log with the greeting's time stamp, which differs every time, as
    // "<stamp>".
    std::vector<std::string> StampedLog() const {
        std::vector<std::string> log = Log();
        for (std::string &line : log)
            if (line.rfind("< +OK <", 0) == 0 && line.back() == '>')
                line = "< +OK <stamp>";
        return log;
    }
    // A job ended by its logon: no SMTP connection, nothing sent, moved or
    // deleted.
    void ExpectNothingDone() {
        EXPECT_EQ(Commands(), "");
        EXPECT_TRUE(Received().empty());
        EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "a.txt"}));
        EXPECT_TRUE(Files(Poll() + "Backup").empty());
    }
    static int ExitedNormally(int rc) { return rc >= 0 && rc < 128; }

    PeerProcess pop3_;
    int listener_ = -1;
};

// What the job logs after one mail with a.txt, backed up and deleted.
std::vector<std::string> Sent(const std::string &poll) {
    return {">File(s) sent:",
            "|\t" + poll + "a.txt",
            "|1 File(s) in send list.",
            "|1 File(s) with 1 Mail(s) sent",
            "! Copy files to " + poll + "Backup/",
            "! Deleting Files"};
}

TEST_F(Pop3BeforeSmtp, RightAccountThenTheMailGoesOutWithHelo) {
    StartPop3();
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(), LogonJob({}, Sent(Poll())));
    EXPECT_EQ(Pop3Commands(), "CONNECT\nUSER joe\nPASS secret\nQUIT\n");
    EXPECT_EQ(Commands(), "HELO\nMAIL FROM:<postvane@example.org>\nRCPT TO:<joe@example.org>\n"
                          "DATA\nQUIT\n");
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup"}));
    EXPECT_EQ(Files(Poll() + "Backup"), (std::vector<std::string>{"a.txt"}));
}

TEST_F(Pop3BeforeSmtp, LogonAndMailGoThroughTheProxy) {
    test::SocksProxy proxy;
    const auto status = proxy.Start({"microsocks"});
    if (status == test::SocksProxy::Missing)
        GTEST_SKIP() << proxy.Why();
    ASSERT_EQ(status, test::SocksProxy::Started) << proxy.Why();
    StartPop3();
    StartServer();
    extraIni_ = "[Proxy]\r\nServer=127.0.0.1\r\nPort=" + proxy.Port() + "\r\n";
    ASSERT_EQ(Run(), 0) << Output();
    const std::string through = ">Connecting through SOCKS 5 proxy 127.0.0.1:" + proxy.Port();
    std::vector<std::string> middle = Sent(Poll());
    middle.insert(middle.begin(), through);
    EXPECT_EQ(Log(), LogonJob({through}, middle));
    EXPECT_EQ(Pop3Commands(), "CONNECT\nUSER joe\nPASS secret\nQUIT\n");
    ASSERT_EQ(Received().size(), 1u);
}

TEST_F(Pop3BeforeSmtp, VerboseLogShowsTheDialogueWithoutTheSecret) {
    Set("VerboseLogging", "1");
    StartPop3();
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    const std::vector<std::string> log = StampedLog();
    const std::vector<std::string> pop3 = {"< +OK <stamp>",
                                           "> USER joe",
                                           "< +OK USER accepted, send PASS",
                                           "> PASS *******",
                                           "< +OK Authentication succeeded",
                                           "> QUIT",
                                           "< +OK ",
                                           "! Authenticated at host: 127.0.0.1"};
    ASSERT_GE(log.size(), 3 + pop3.size());
    EXPECT_EQ(std::vector<std::string>(log.begin() + 3, log.begin() + 3 + pop3.size()), pop3);
    EXPECT_EQ(log[3 + pop3.size()], ">Connecting to SMTP host 127.0.0.1");
    EXPECT_EQ(Received().size(), 1u);

    // With APOP neither the password nor the digest that stands for it.
    const std::string first = ReadFileText(Prog() + "/Postvane.log");
    Put("b.txt", "second file\r\n");
    Set("APop", "1");
    ASSERT_EQ(Run(), 0) << Output();
    const std::string commands = Pop3Commands();
    const std::size_t apop = commands.find("APOP joe ");
    ASSERT_NE(apop, std::string::npos) << commands;
    const std::string digest = commands.substr(apop + 9, 32);
    const std::vector<std::string> second = StampedLog();
    EXPECT_NE(std::find(second.begin(), second.end(), "> APOP joe *******"), second.end());
    EXPECT_EQ(Received().size(), 2u);
    const std::string all = ReadFileText(Prog() + "/Postvane.log");
    for (const std::string &secret : {std::string("secret"), digest, std::string("c2VjcmV0")})
        EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in the log:\n" << all;
    EXPECT_GT(all.size(), first.size());
}

TEST_F(Pop3BeforeSmtp, WrongPasswordEndsTheJobBeforeSmtp) {
    Set("Password", Scrambled("wrong"));
    StartPop3();
    StartServer();
    ASSERT_PRED1(ExitedNormally, Run()) << Output();
    EXPECT_EQ(Log(), FailedLogon("-ERR Authentication failed"));
    // A refused logon is not quit but aborted.
    EXPECT_EQ(Pop3Commands(), "CONNECT\nUSER joe\nPASS wrong\n");
    ExpectNothingDone();
}

TEST_F(Pop3BeforeSmtp, ApopWithoutTimestampEndsTheJob) {
    Set("APop", "1");
    StartPop3({"--no-timestamp"});
    StartServer();
    ASSERT_PRED1(ExitedNormally, Run()) << Output();
    EXPECT_EQ(Log(), FailedLogon("Pop3Exception: -ERR Server do not support APOP (no timestamp)"));
    EXPECT_EQ(Pop3Commands(), "CONNECT\n");
    ExpectNothingDone();
}

TEST_F(Pop3BeforeSmtp, RefusedPop3ConnectionEndsTheJob) {
    // A loopback port nobody listens on.
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    Set("Pop3Port", std::to_string(ntohs(a.sin_port)));
    StartServer();
    ASSERT_PRED1(ExitedNormally, Run()) << Output();
    EXPECT_EQ(Log(), FailedLogon("Winsock err #10061 Connection refused"));
    ExpectNothingDone();
}

TEST_F(Pop3BeforeSmtp, SilentPop3ServerTimesOut) {
    // Listens, never accepts: the connection completes and hears nothing.
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener_, 4), 0);
    getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
    Set("Pop3Port", std::to_string(ntohs(a.sin_port)));
    StartServer();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_PRED1(ExitedNormally, Run(90)) << Output();
    const auto took = std::chrono::steady_clock::now() - started;
    // One second to the poll, then one or two watchdog intervals.
    EXPECT_GE(took, std::chrono::seconds(30));
    EXPECT_LE(took, std::chrono::seconds(62));
    EXPECT_EQ(Log(), FailedLogon("426 Timeout"));
    ExpectNothingDone();
}

} // namespace
} // namespace pv::e2e
