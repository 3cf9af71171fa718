// POP3 before SMTP inside the program, for what the installed program cannot
// show quickly: the watchdog over a silent POP3 server (on the fake clock),
// the program ending during the logon, and a logon that cannot start. None of
// them may lead to the SMTP session. Whole jobs against real servers are in
// tests/e2e/Pop3BeforeSmtpTest.cpp.
#include "AppFixture.h"
#include "app/Settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

namespace pv::test {
namespace {

class Pop3Logon : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        poll_ = Dir() + "poll/";
        ASSERT_TRUE(CreateDirectory(poll_));
        WriteFile(poll_ + "a.txt", "a");
    }
    void TearDown() override {
        if (listener_ >= 0)
            close(listener_);
        AppFixture::TearDown();
    }
    // POP3 before SMTP at 127.0.0.1:pop3Port; the SMTP port is one nobody
    // may ever be asked on (the test fails if the program connects there).
    void Configure(int pop3Port, const std::string &extra = "") {
        smtpPort_ = Listener();
        WriteIni("PollDir=" + poll_ + "\r\nFileSelection=*.txt\r\nHost=127.0.0.1\r\nHostPort=" +
                 std::to_string(smtpPort_) +
                 "\r\nTo=joe@example.org\r\nCc=\r\nBcc=\r\nDelete=1\r\nTimeUnit=S\r\n"
                 "PollInterval=5\r\nAuthentication=1\r\nUserName=joe\r\nPassword=" +
                 ScramblePassword("secret") +
                 "\r\nPop3Host=127.0.0.1\r\nPop3Port=" + std::to_string(pop3Port) + "\r\n" + extra);
    }
    // A loopback port that listens but never accepts: connections complete
    // in the kernel and then hear nothing.
    int Listener() {
        if (listener_ < 0) {
            listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
                listen(listener_, 4) != 0)
                return 0;
        }
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        return ntohs(a.sin_port);
    }
    // Connections the listener has, accepted now (the POP3 logon's and,
    // wrongly, the SMTP session's).
    int Accepted() {
        int n = 0;
        for (int c; (c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++n)
            close(c);
        return n;
    }
    std::vector<std::string> FailedJob(const std::string &result) const {
        return {">PVN v1.4.6 - Job started ",
                ">Starting POP3 authentication at host 127.0.0.1 ...",
                "! " + result,
                "! Authentication failed at host: 127.0.0.1",
                ">Job finished",
                ""};
    }

    std::string poll_;
    int listener_ = -1;
    int smtpPort_ = 0;
};

TEST_F(Pop3Logon, WatchdogEndsASilentLogonAndTheTimerRunsOn) {
    Configure(0);
    // The same silent listener plays the POP3 server.
    WritePrivateProfileString("SETUP", "Pop3Port", std::to_string(Listener()), Ini());
    TfrmMain &f = Start();
    f.btnStart.Click();
    // The job runs its logon in a loop of its own: time passes meanwhile
    // from another thread, 10 s at a time, until the job is over.
    std::atomic<bool> over{false};
    std::thread clock([&] {
        while (!over) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            guard_->Advance(10000);
        }
    });
    Advance(5000);
    over = true;
    clock.join();

    EXPECT_EQ(LogTexts(), [&] {
        auto lines = FailedJob("426 Timeout");
        lines.insert(lines.begin(), "Timer On");
        return lines;
    }());
    EXPECT_EQ(Job(f).Pop3Result, "426 Timeout");
    const std::string panel = f.StatusBar1.PanelText(1);
    EXPECT_EQ(panel.rfind("POP3 auth err: 426 Timeout - ", 0), 0u) << panel;
    // One connection: the logon's. No SMTP session, nothing touched, and the
    // timer runs again.
    EXPECT_EQ(Accepted(), 1);
    EXPECT_TRUE(FileExists(poll_ + "a.txt"));
    EXPECT_FALSE(FileExists(poll_ + "Backup"));
    EXPECT_TRUE(f.T1.Enabled());
    EXPECT_FALSE(f.Watchdog()->Enabled());
    EXPECT_FALSE(Job(f).Busy);
    EXPECT_EQ(f.Pop3(), nullptr);
}

TEST_F(Pop3Logon, EndOfTheProgramEndsTheLogon) {
    Configure(0);
    WritePrivateProfileString("SETUP", "Pop3Port", std::to_string(Listener()), Ini());
    TfrmMain &f = Start();
    // The program is told to end one second into the logon.
    TTimer end;
    end.SetInterval(1000);
    end.OnTimer = [&](TObject *) {
        end.SetEnabled(false);
        app_.Terminate();
    };
    end.SetEnabled(true);
    std::atomic<bool> over{false};
    std::thread clock([&] {
        while (!over) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            guard_->Advance(1000);
        }
    });
    f.btnPoll.Click();
    over = true;
    clock.join();
    EXPECT_EQ(LogTexts(), FailedJob("Application Terminated"));
    EXPECT_EQ(Accepted(), 1);
    EXPECT_EQ(f.Pop3(), nullptr);
    EXPECT_FALSE(Job(f).Busy);
}

TEST_F(Pop3Logon, LogonThatCannotStartEndsTheJob) {
    Configure(110);
    WritePrivateProfileString("SETUP", "Pop3Host", "", Ini());
    TfrmMain &f = Start();
    f.btnPoll.Click();
    EXPECT_EQ(LogTexts(),
              (std::vector<std::string>{">PVN v1.4.6 - Job started ",
                                        ">Starting POP3 authentication at host  ...",
                                        "! DNS lookup: invalid host name.",
                                        "! Authentication failed at host: ", ">Job finished", ""}));
    EXPECT_EQ(f.StatusBar1.PanelText(1).rfind("Authentication failed at host:  - ", 0), 0u)
        << f.StatusBar1.PanelText(1);
    EXPECT_EQ(Accepted(), 0);
    EXPECT_TRUE(FileExists(poll_ + "a.txt"));
    EXPECT_FALSE(Job(f).Busy);
}

} // namespace
} // namespace pv::test
