// Jobs whose session fails: no server, no name, a server that never speaks,
// drops the connection or answers nonsense, settings the client refuses.
// Every file stays where it was, with the error in the log.
//
// The dialogues with a scripted server are the files of
// tests/data/dialogs/jobs (format and statements in the README there), each
// played by the JobDialog driver at the end of this file.
#include "tests/e2e/E2eSupport.h"
#include "tests/support/DialogScript.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace pv::e2e {
namespace {

using test::DialogPeers;
using test::DialogScript;
using test::DialogStatement;
using test::Unescape;

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

// One job of the program against the peers of a dialogue file.
class JobDialog : public Job, public ::testing::WithParamInterface<std::string> {
  protected:
    // ${poll}, ${port} and ${port:NAME} replaced by the poll directory and
    // the peers' ports.
    std::string Expand(std::string text) const {
        for (std::size_t at; (at = text.find("${")) != std::string::npos;) {
            const std::size_t end = text.find('}', at);
            if (end == std::string::npos)
                break;
            const std::string name = text.substr(at + 2, end - at - 2);
            std::string value = "<unknown " + name + ">";
            if (name == "poll")
                value = Poll();
            else if (name == "port")
                value = peers_->Port();
            else if (name.rfind("port:", 0) == 0 && !peers_->Port(name.substr(5)).empty())
                value = peers_->Port(name.substr(5));
            else
                ADD_FAILURE() << "no value for ${" << name << "}";
            text.replace(at, end - at + 1, value);
        }
        return text;
    }

    void Do(const DialogStatement &st) {
        const std::size_t space = st.rest.find(' ');
        const std::string first = st.rest.substr(0, space);
        const std::string after = space == std::string::npos ? "" : st.rest.substr(space + 1);
        std::string name, value;
        if (st.word == "set") {
            Set(first, Expand(Unescape(after)));
        } else if (st.word == "file" && after.rfind("random ", 0) == 0) {
            Put(first, RandomBytes(std::stoul(after.substr(7)), 9));
        } else if (st.word == "file") {
            Put(first, Unescape(after));
        } else if (st.word == "run") {
            status_ = Run(st.rest.empty() ? 30 : std::stoi(st.rest));
        } else if (st.word == "expect" && st.rest == "job-log") {
            std::vector<std::string> lines;
            for (const std::string &line : st.block)
                lines.push_back(Expand(Unescape(line)));
            EXPECT_EQ(Log(), JobLog(lines, ini_["Host"]));
        } else if (st.word == "expect" && st.Check(name, value) && name == "exit") {
            EXPECT_EQ(std::to_string(status_), value) << Output();
        } else if (st.word == "expect" && st.Check(name, value) && name.rfind("files ", 0) == 0) {
            std::string names;
            for (const std::string &f : Files(dir_ / name.substr(6)))
                names += (names.empty() ? "" : ", ") + f;
            EXPECT_EQ(names, Unescape(value)) << name;
        } else {
            ADD_FAILURE() << "unknown statement: " << st.word << " " << st.rest;
        }
    }

    std::unique_ptr<DialogPeers> peers_;
    int status_ = -3; // not run
};

TEST_P(JobDialog, Plays) {
    const DialogScript script = DialogScript::Load(GetParam());
    ASSERT_EQ(script.error, "");
    peers_ = std::make_unique<DialogPeers>(script, 10);
    ASSERT_TRUE(peers_->Started()) << peers_->Errors();
    if (!peers_->Port().empty())
        Set("HostPort", peers_->Port());
    for (const DialogStatement &st : script.statements) {
        SCOPED_TRACE(script.Where(st.line));
        try {
            Do(st);
        } catch (const std::exception &e) {
            ADD_FAILURE() << e.what();
        }
        if (HasFatalFailure())
            break;
    }
    const bool played = peers_->Finish();
    EXPECT_TRUE(played) << "the peer did not play its part";
    if (!played || HasFailure())
        ADD_FAILURE() << "transcript:\n" << peers_->Transcript();
}

INSTANTIATE_TEST_SUITE_P(Jobs, JobDialog, ::testing::ValuesIn(test::DialogFiles("jobs")),
                         test::DialogCaseName);

} // namespace
} // namespace pv::e2e
