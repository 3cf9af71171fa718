// The POP3 client against a loopback dovecot of its own, started by
// tests/support/dovecot_pop3.sh: the logons of POP3 before SMTP. Skipped
// when dovecot's POP3 server is not installed.
#include <unistd.h>

#include "tests/mail/Pop3TestSupport.h"
#include "tests/support/LoopGuard.h"

namespace pv::test {
namespace {

class DovecotPeer {
  public:
    // 0 started, 77 not installed, else failed (Log() tells why).
    explicit DovecotPeer(const std::string &account) {
        const std::string cmd = "'" + SupportPath("dovecot_pop3.sh") + "' start '" + dir.Path() +
                                "' '" + account + "' > '" + (dir / "ready") + "' 2> '" +
                                (dir / "errors") + "'";
        const int rc = std::system(cmd.c_str());
        status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 1;
        const std::string ready = ReadFileText(dir / "ready");
        if (status == 0 && ready.rfind("READY ", 0) == 0)
            port = std::stoi(ready.substr(6));
    }
    ~DovecotPeer() {
        const std::string cmd =
            "'" + SupportPath("dovecot_pop3.sh") + "' stop '" + dir.Path() + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    std::string Log() const {
        return ReadFileText(dir / "errors") + ReadFileText(dir / "dovecot.log");
    }

    TempDir dir;
    int status = 1;
    int port = 0;
};

class Pop3Dovecot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (peer.status == 77)
            GTEST_SKIP() << "dovecot-pop3d is not installed (scripts/install-deps.sh --interop)";
        ASSERT_EQ(peer.status, 0) << peer.Log();
        client.Host = "127.0.0.1";
        client.Port = std::to_string(peer.port);
        client.UserName = "joe";
    }
    std::string Run(void (TCustomPop3Cli::*request)()) {
        return rec.Run([&] { (client.*request)(); });
    }
    // Connect, log on with USER/PASS or APOP, STAT, QUIT: the requests' ends.
    std::vector<std::string> Logon(const std::string &password, bool apop) {
        client.PassWord = password;
        std::vector<std::string> ends = {Run(&TCustomPop3Cli::Connect)};
        if (apop) {
            ends.push_back(Run(&TCustomPop3Cli::APop));
        } else {
            ends.push_back(Run(&TCustomPop3Cli::User));
            ends.push_back(Run(&TCustomPop3Cli::Pass));
        }
        refusal = client.ErrorMessage();
        if (ends.back().ends_with(" 0"))
            ends.push_back(Run(&TCustomPop3Cli::Stat));
        ends.push_back(Run(&TCustomPop3Cli::Quit));
        return ends;
    }

    LoopGuard guard{60};
    DovecotPeer peer{"joe:s3cret pass"};
    TPop3Cli client;
    Pop3Recorder rec{client};
    std::string refusal; // ErrorMessage after the logon
};

TEST_F(Pop3Dovecot, UserAndPass) {
    EXPECT_EQ(Logon("s3cret pass", false),
              (std::vector<std::string>{"Connect 0", "User 0", "Pass 0", "Stat 0", "Quit 0"}));
    EXPECT_EQ(client.MsgCount(), 0);
    EXPECT_FALSE(client.Connected());
}

TEST_F(Pop3Dovecot, Apop) {
    EXPECT_EQ(Logon("s3cret pass", true),
              (std::vector<std::string>{"Connect 0", "APop 0", "Stat 0", "Quit 0"}));
}

TEST_F(Pop3Dovecot, WrongPasswordIsRefusedWithTheServersLine) {
    EXPECT_EQ(Logon("wrong", false),
              (std::vector<std::string>{"Connect 0", "User 0", "Pass 500", "Quit 0"}));
    EXPECT_EQ(refusal.rfind("-ERR ", 0), 0u) << refusal;
    EXPECT_EQ(Logon("wrong", true), (std::vector<std::string>{"Connect 0", "APop 500", "Quit 0"}));
    EXPECT_EQ(refusal.rfind("-ERR ", 0), 0u) << refusal;
}

} // namespace
} // namespace pv::test
