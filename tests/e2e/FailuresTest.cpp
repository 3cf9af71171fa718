// Jobs whose session fails: no server, no name, a server that never speaks,
// drops the connection or answers nonsense, settings the client refuses.
// Every file stays where it was, with the error in the log.
#include "tests/e2e/E2eSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace pv::e2e {
namespace {

class Failures : public Job {
  protected:
    void SetUp() override {
        Job::SetUp();
        Put("a.txt", "x");
        Put("b.txt", "y");
        Set("Delete", "1");
        Set("Backup", "1");
    }
    void TearDown() override {
        if (listener_ >= 0)
            close(listener_);
        Job::TearDown();
    }

    // A loopback port that listens but never accepts: connections complete
    // in the kernel and then hear nothing.
    int SilentPort() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return 0;
        return ntohs(a.sin_port);
    }
    // A loopback port nobody listens on.
    static int ClosedPort() {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
        close(s);
        return ntohs(a.sin_port);
    }
    // The scripted peer of tests/support playing one connection.
    void StartDialog(const std::string &steps) {
        WriteFileText(dir_ / "script.json", "[" + steps + "]");
        ASSERT_TRUE(server_.Start({kPython, SupportPath("dialog_server.py"), dir_ / "script.json",
                                   "--transcript", dir_ / "transcript"}))
            << server_.ErrorLog();
        Set("HostPort", std::to_string(server_.Port()));
    }
    std::string Transcript() const { return ReadFileText(dir_ / "transcript"); }

    // The end of a job in which no file was sent.
    std::vector<std::string> NoneSent(const std::string &error) const {
        return {"! " + error,
                "|2 File(s) in send list.",
                "|0 File(s) with 0 Mail(s) sent",
                "|Following 2 File(s) failed:",
                "|\t" + Poll() + "a.txt - " + error,
                "|\t" + Poll() + "b.txt - " + error};
    }
    // Nothing copied, nothing deleted.
    void ExpectFilesUntouched() {
        EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "a.txt", "b.txt"}));
        EXPECT_TRUE(Files(Poll() + "Backup").empty());
    }

    int listener_ = -1;
};

const std::string kGreeting = R"({"line": "220 dialog ready"}, {"expect_re": "^HELO \\S+$"},
                                 {"line": "250 hello"})";
const std::string kEnvelope = R"({"expect": "MAIL FROM:<postvane@example.org>"},
                                 {"line": "250 ok"}, {"expect": "RCPT TO:<joe@example.org>"},
                                 {"line": "250 ok"})";

TEST_F(Failures, RefusedConnection) {
    Set("HostPort", std::to_string(ClosedPort()));
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_EQ(Log(), JobLog(NoneSent("Winsock err #10061 Connection refused")));
    ExpectFilesUntouched();
}

TEST_F(Failures, UnresolvableHostName) {
    // A label longer than 63 characters cannot be put into a query, so the
    // resolver refuses the name itself and nothing leaves the machine.
    const std::string host = std::string(70, 'a') + ".invalid";
    Set("Host", host);
    Set("HostPort", "25");
    ASSERT_EQ(Run(60), 1) << Output();
    EXPECT_EQ(Log(), JobLog(NoneSent("Winsock err #11001 Host not found"), host));
    ExpectFilesUntouched();
}

TEST_F(Failures, SilentServerTimesOutAfterThirtyToSixtySeconds) {
    const int port = SilentPort();
    ASSERT_GT(port, 0);
    Set("HostPort", std::to_string(port));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Run(90), 1) << Output();
    const auto took = std::chrono::steady_clock::now() - started;
    // One second to the poll, then one or two watchdog intervals.
    EXPECT_GE(took, std::chrono::seconds(30));
    EXPECT_LE(took, std::chrono::seconds(62));
    EXPECT_EQ(Log(), JobLog(NoneSent("Error: 426 Timeout")));
    ExpectFilesUntouched();
}

TEST_F(Failures, ConnectionDroppedDuringData) {
    Put("big.txt", RandomBytes(4 * 1000 * 1000, 9));
    Set("FileSelection", "a.txt;b.txt;big.txt");
    StartDialog(kGreeting + ", " + kEnvelope + R"(, {"expect": "DATA"},
                {"line": "354 go ahead"}, {"expect_re": "^From: "}, {"close": true})");
    ASSERT_EQ(Run(), 1) << Output();
    const std::string error = "Winsock err #10004 Interrupted system call";
    EXPECT_EQ(Log(),
              JobLog({"! " + error, "|3 File(s) in send list.", "|0 File(s) with 0 Mail(s) sent",
                      "|Following 3 File(s) failed:", "|\t" + Poll() + "a.txt - " + error,
                      "|\t" + Poll() + "b.txt - " + error, "|\t" + Poll() + "big.txt - " + error}));
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "a.txt", "b.txt", "big.txt"}));
    EXPECT_EQ(server_.Wait(), 0) << Transcript();
}

TEST_F(Failures, ReplyWithoutANumber) {
    StartDialog(R"({"line": "220 dialog ready"}, {"expect_re": "^HELO \\S+$"},
                {"line": "hello there"}, {"expect": "QUIT"}, {"line": "221 bye"},
                {"close": true})");
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_EQ(Log(), JobLog(NoneSent("Invalid RFC response")));
    ExpectFilesUntouched();
    EXPECT_EQ(server_.Wait(), 0) << Transcript();
}

TEST_F(Failures, RefusedGreetingEndsTheSession) {
    StartDialog(R"({"line": "554 no service here"}, {"expect_close": true})");
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_EQ(Log(), JobLog(NoneSent("Winsock err #10004 Interrupted system call")));
    ExpectFilesUntouched();
    EXPECT_EQ(server_.Wait(), 0) << Transcript();
}

TEST_F(Failures, NoRecipientIsAnErrorOfTheSession) {
    Set("To", " ; ");
    StartServer();
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_EQ(Log(), JobLog(NoneSent("SmtpException: RcptName list is empty")));
    EXPECT_TRUE(Received().empty());
    ExpectFilesUntouched();
}

TEST_F(Failures, NoHostEndsTheJobBeforeAnySession) {
    Set("Host", "");
    Set("HostPort", "25");
    ASSERT_EQ(Run(), 1) << Output();
    // The client refuses to start: no session, so no result lines.
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "Timer On", ">PVN v1.4.6 - Job started ", ">Connecting to SMTP host ",
                         "! Err DNS lookup: invalid host name.", ">Job finished", "|"}));
    ExpectFilesUntouched();
}

} // namespace
} // namespace pv::e2e
