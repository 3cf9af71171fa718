#include "AppFixture.h"
#include "app/FrmAbout.h"
#include "platform/TimeFormat.h"

#include <csignal>

namespace pv::test {
namespace {

const std::vector<std::string> kEmptyJob = {">PVN v1.4.6 - Job started ", "Nothing to do",
                                            ">Job finished", ""};

class JobCycle : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        poll_ = Dir() + "poll/";
        ASSERT_TRUE(CreateDirectory(poll_));
    }
    // Settings for a job every `seconds` seconds on the empty poll directory.
    void Configure(int seconds, const std::string &extra = "") {
        WriteIni("TimeUnit=S\r\nPollInterval=" + std::to_string(seconds) + "\r\nPollDir=" + poll_ +
                 "\r\nFileSelection=*.txt\r\n" + extra);
    }
    static std::vector<std::string> Join(std::vector<std::string> a,
                                         const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    std::string poll_;
};

TEST_F(JobCycle, TimerRunsAJobEveryIntervalAndRearms) {
    Configure(5);
    TfrmMain &f = Start();
    f.btnStart.Click();
    EXPECT_EQ(LogTexts(), std::vector<std::string>{"Timer On"});
    EXPECT_EQ(f.StatusBar1.PanelText(0), "Timer On");
    // One interval ahead, with a two-digit year.
    const std::string next = f.lbNextPoll.Caption();
    EXPECT_TRUE(HasShape(next, "dd/dd/dd dd:dd:dd")) << next;
    const std::string fmt = "mm\"/\"dd\"/\"yy hh:nn:ss";
    EXPECT_TRUE(next == FormatDateTime(fmt, IncMilliSecond(Now(), 5000)) ||
                next == FormatDateTime(fmt, IncMilliSecond(Now(), 4000)))
        << next;
    EXPECT_FALSE(f.btnStart.Enabled() || f.RUN1.Enabled() || f.btnPoll.Enabled());
    EXPECT_TRUE(f.btnStop.Enabled() && f.STOP1.Enabled());
    EXPECT_EQ(f.TrayIconIndex(), 1);
    EXPECT_EQ(f.T1.Interval(), 5000u);

    Advance(4999);
    EXPECT_EQ(LogTexts().size(), 1u); // one full interval first
    Advance(1);
    EXPECT_EQ(LogTexts(), Join({"Timer On"}, kEmptyJob));
    EXPECT_TRUE(f.T1.Enabled());
    EXPECT_FALSE(Job(f).Busy);
    EXPECT_TRUE(f.btnStop.Enabled());
    EXPECT_TRUE(f.GroupBox1.Enabled());
    const std::string panel = f.StatusBar1.PanelText(1);
    EXPECT_EQ(panel.rfind("Nothing to do - ", 0), 0u) << panel;
    EXPECT_TRUE(HasShape(panel.substr(panel.size() - 19), "dd/dd/dddd dd:dd:dd")) << panel;
    ASSERT_NE(f.Watchdog(), nullptr);
    EXPECT_FALSE(f.Watchdog()->Enabled());
    EXPECT_EQ(f.Watchdog()->Interval(), 30000u);

    // The file is re-read at every job: a new interval counts from then on.
    WritePrivateProfileString("SETUP", "PollInterval", "2", Ini());
    Advance(5000);
    EXPECT_EQ(f.T1.Interval(), 2000u);
    Advance(2000);
    EXPECT_EQ(LogTexts(), Join(Join(Join({"Timer On"}, kEmptyJob), kEmptyJob), kEmptyJob));

    f.btnStop.Click();
    EXPECT_EQ(LogTexts().back(), "Timer Off");
    EXPECT_FALSE(f.T1.Enabled());
    EXPECT_EQ(f.lbNextPoll.Caption(), "Disabled");
    EXPECT_TRUE(f.btnStart.Enabled() && f.btnPoll.Enabled() && f.RUN1.Enabled());
    EXPECT_EQ(f.TrayIconIndex(), 0);
}

TEST_F(JobCycle, PollNowRunsOnceWithoutLoggingTimerOff) {
    Configure(5);
    TfrmMain &f = Start();
    f.btnStart.Click();
    f.btnPoll.Click();
    EXPECT_EQ(LogTexts(), Join({"Timer On"}, kEmptyJob));
    EXPECT_FALSE(f.T1.Enabled());
    EXPECT_TRUE(f.btnStart.Enabled() && f.btnPoll.Enabled() && f.RUN1.Enabled());
    EXPECT_FALSE(f.btnStop.Enabled());
    EXPECT_FALSE(Job(f).PollNowMode);
    Advance(10000);
    EXPECT_EQ(LogTexts().size(), 5u); // the timer stays off
}

TEST_F(JobCycle, StartInTimerModeAndRunOnceClosingTheWindow) {
    Configure(1, "RunOnceExit=1\r\n");
    TfrmMain &f = Start();
    EXPECT_EQ(LogTexts(), std::vector<std::string>{"Timer On"});
    EXPECT_EQ(f.StatusBar1.PanelText(0), "Timer On");
    Advance(1000);
    EXPECT_EQ(LogTexts(), Join({"Timer On"}, kEmptyJob));
    EXPECT_TRUE(app_.Terminated());
    EXPECT_TRUE(Job(f).NoCloseQuery);
    EXPECT_TRUE(dialogs_.Records().empty());
    EXPECT_FALSE(f.Failed());
}

TEST_F(JobCycle, ClosingWhileBusyAsksFirst) {
    Configure(5);
    TfrmMain &f = Start();
    Job(f).Busy = true;
    dialogs_.QueueMessageResult(IDCANCEL);
    EXPECT_FALSE(f.Close());
    EXPECT_FALSE(app_.Terminated());
    ASSERT_EQ(dialogs_.Records().size(), 1u);
    const TMessageRequest &q = dialogs_.Records()[0].Request;
    EXPECT_EQ(q.Text, "Postvane is currently proccesing a job. Do you realy want to exit now?");
    EXPECT_EQ(q.Icon, TMsgIcon::Warning);
    EXPECT_EQ(q.Buttons, (std::vector<int>{IDYES, IDCANCEL}));

    // A signal closes as the close box does; the default answer is Yes.
    f.edHost.SetText("saved.on.close");
    f.HandleSignal(SIGTERM);
    EXPECT_EQ(dialogs_.Records().size(), 2u);
    EXPECT_TRUE(app_.Terminated());
    EXPECT_EQ(IniValue("Host"), "saved.on.close");
}

TEST_F(JobCycle, AboutBoxClosesAfterThreeSecondsOrOnAClick) {
    TfrmMain &f = Start();
    ASSERT_NE(f.frmAbout(), nullptr);
    Advance(2999);
    EXPECT_TRUE(f.frmAbout()->Visible());
    Advance(1);
    EXPECT_EQ(f.frmAbout(), nullptr);
    EXPECT_FALSE(f.T2.Enabled());

    f.btnAbout.Click();
    ASSERT_NE(f.frmAbout(), nullptr);
    Advance(10000);
    ASSERT_NE(f.frmAbout(), nullptr); // only the start-up box is timed
    f.frmAbout()->Panel1.Click();
    app_.ProcessMessages();
    EXPECT_EQ(f.frmAbout(), nullptr);
}

TEST_F(JobCycle, ZipWithoutTheLibraryEndsTheProgram) {
    Configure(1, "ZipCompression=1\r\n");
    TfrmMain &f = Start();
    f.btnStart.Click();
    Advance(1000);
    EXPECT_TRUE(app_.Terminated());
    EXPECT_TRUE(f.Failed());
    EXPECT_FALSE(f.LogOpen());
    const std::string log = Log();
    // One log line; its line breaks written visibly.
    EXPECT_NE(log.find(" Exception: ZipDll.DLL cannot be loaded!\\r\\nProbably"),
              std::string::npos);
    ASSERT_EQ(dialogs_.MessageTexts().size(), 1u);
    EXPECT_EQ(dialogs_.MessageTexts()[0].rfind("Exception: ZipDll.DLL cannot be loaded!", 0), 0u);
    f.WriteLog("after the end", true);
    EXPECT_EQ(Log(), log);
}

TEST_F(JobCycle, WatchdogGivesUpAfterOneIdleInterval) {
    Configure(5);
    TfrmMain &f = Start();
    f.btnPoll.Click();
    TTimer &w = *f.Watchdog();
    Job(f).Idle = true;
    Job(f).TimedOut = false;
    w.SetEnabled(true);
    Advance(20000);
    f.MarkActivity();
    Advance(10000);
    EXPECT_FALSE(Job(f).TimedOut);
    EXPECT_TRUE(w.Enabled());
    Advance(30000);
    EXPECT_TRUE(Job(f).TimedOut);
    EXPECT_FALSE(w.Enabled());
}

TEST_F(JobCycle, LoggingOffWritesNothing) {
    Configure(1, "Log=0\r\n");
    TfrmMain &f = Start();
    f.btnStart.Click();
    Advance(1000);
    EXPECT_EQ(Log(), "");
    f.cboxLogging.SetChecked(true);
    f.WriteLog("plain", false);
    f.WriteLog("stamped", true);
    const std::vector<std::string> lines = CrLfLines(Log());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "plain");
    EXPECT_EQ(Unstamped(lines[1]), "stamped");
}

} // namespace
} // namespace pv::test
