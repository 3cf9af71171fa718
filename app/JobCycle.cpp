// The spine of the program: start-up and closing of the main window, the
// poll timer and the Start, Stop and Poll Now commands, one job from RunJob
// to FinishJob, the session watchdog, the status indicators and the
// application's error handler.
#include "app/FrmAbout.h"
#include "app/FrmMain.h"
#include "app/Settings.h"
#include "platform/Dialogs.h"
#include "platform/TimeFormat.h"

#include <csignal>
#include <malloc.h>

namespace pv {

namespace {

const std::string kNextPollFormat = "mm\"/\"dd\"/\"yy hh:nn:ss";

} // namespace

std::uint32_t TfrmMain::PollIntervalMs() const {
    const auto n = static_cast<std::uint32_t>(spinPollMin.Value());
    switch (ComboTime.ItemIndex()) {
    case 0:
        return n * 1000u;
    case 1:
        return n * 60000u;
    case 2:
        return n * 3600000u;
    default:
        return T1.Interval();
    }
}

void TfrmMain::btnStartClick(TObject *) {
    WriteLog("Timer On", true);
    SetTrayIcon(1);
    T1.SetInterval(PollIntervalMs());
    T1.SetEnabled(true);
    ShowNextPoll();
    StatusBar1.SetPanelText(0, "Timer On");
    StatusBar1.SetPanelText(1, "");
    btnStart.SetEnabled(false);
    RUN1.SetEnabled(false);
    btnStop.SetEnabled(true);
    STOP1.SetEnabled(true);
    btnPoll.SetEnabled(false);
    job_.PollNowMode = false;
}

void TfrmMain::btnStopClick(TObject *) {
    T1.SetEnabled(false);
    lbNextPoll.SetCaption("Disabled");
    StatusBar1.SetPanelText(0, "Timer Off");
    SetTrayIcon(0);
    btnStop.SetEnabled(false);
    STOP1.SetEnabled(false);
    EnableSetup();
    if (job_.PollNowMode)
        return;
    WriteLog("Timer Off", true);
    btnStart.SetEnabled(true);
    RUN1.SetEnabled(true);
    btnPoll.SetEnabled(true);
}

void TfrmMain::btnPollClick(TObject *) {
    StatusBar1.SetPanelText(1, "");
    btnPoll.SetEnabled(false);
    btnStart.SetEnabled(false);
    RUN1.SetEnabled(false);
    job_.PollNowMode = true;
    btnStop.Click();
    DisableSetup();
    RunJob();
}

void TfrmMain::btnExitClick(TObject *) {
    Close();
}

void TfrmMain::T1Timer(TObject *) {
    btnStop.SetEnabled(false);
    STOP1.SetEnabled(false);
    lbNextPoll.SetCaption("Disabled");
    DisableSetup();
    RunJob();
}

void TfrmMain::T2Timer(TObject *) {
    T2.SetEnabled(false);
    if (frmAbout_ && frmAbout_->Visible())
        frmAbout_->Close();
    // A desktop without a notification area (or an icon it would not take)
    // leaves no way to the hidden window: show it.
    if (!TrayIconShown())
        Show1Click(this);
    malloc_trim(0);
}

void TfrmMain::WatchdogTimer(TObject *) {
    job_.TimedOut = job_.Idle;
    job_.Idle = true;
    watchdog_->SetEnabled(!job_.TimedOut);
    if (job_.TimedOut && pop3_)
        pop3_->Abort();
    else if (job_.TimedOut)
        AbortMailSession();
}

void TfrmMain::RunJob() {
    if (app_.Terminated())
        return;
    if (cboxZip.Checked() && !Zip1.LoadDll())
        throw Exception("ZipDll.DLL cannot be loaded!\r\nProbably the file does not exist or an "
                        "invalid \r\nversion was found.\r\nTo resolve the problem try to "
                        "reinstall Postvane.\r\n");
    job_.Finished = false;
    job_.ResultText.clear();
    job_.PollDirError.clear();
    T1.SetEnabled(false);
    job_.Busy = true;
    StatusBar1.SetPanelText(0, "Timer Off");
    AnimateTray(true);
    LoadSettings();
    T1.SetInterval(PollIntervalMs());
    WriteLog(std::string(">PVN v") + kVersion + " - Job started ", true);

    // Once the application starts terminating the job stops where it is.
    if (app_.Terminated())
        return;
    ScanPollDir();
    tblFiles.First();
    if (app_.Terminated())
        return;
    ZipFiles();
    if (app_.Terminated())
        return;
    tblFiles.First();
    PrepareAttachments();
    BuildMessageText();
    tblFiles.First();

    if (!watchdog_) {
        watchdog_ = std::make_unique<TTimer>();
        watchdog_->OnTimer = [this](TObject *s) { WatchdogTimer(s); };
    }
    watchdog_->SetEnabled(false);
    watchdog_->SetInterval(30000);

    if (NextPendingFile()) {
        if (app_.Terminated())
            return;
        if (Pop3Logon().empty())
            StartSmtpSession();
        else
            FinishJob();
    } else {
        WriteLog("Nothing to do", true);
        job_.ResultText = "Nothing to do";
        FinishJob();
    }
}

void TfrmMain::FinishJob() {
    if (job_.Finished)
        return;
    job_.Finished = true;
    BackupSentFiles();
    DeleteSentFiles();
    EnableSetup();
    AnimateTray(false);
    if (job_.PollNowMode) {
        btnPoll.SetEnabled(true);
        btnStart.SetEnabled(true);
        RUN1.SetEnabled(true);
        SetTrayIcon(0);
    } else {
        T1.SetEnabled(true);
        ShowNextPoll();
        btnStop.SetEnabled(true);
        STOP1.SetEnabled(true);
        StatusBar1.SetPanelText(0, "Timer On");
        SetTrayIcon(1);
    }
    job_.PollNowMode = false;
    WriteLog(">Job finished", true);
    WriteLog("", false);
    DeleteTempZips();
    if (!job_.ResultText.empty())
        ShowStatus(job_.ResultText);
    job_.Busy = false;
    ReportJob();
    if (cboxRunOnce.Checked()) {
        job_.NoCloseQuery = true;
        Close();
    }
}

void TfrmMain::FormCreate() {
    app_.OnException = [this](TObject *s, const Exception &e) { AppException(s, e); };
    job_.Busy = false;
    SetCaption(std::string("Postvane Freeware ") + kVersion);
    job_.Ready = false;
    settings_.AuthMode = 0;
    lbNextPoll.SetCaption("Disabled");
    if (FileExists(BodyFileName()) && Memo1.LoadFromFile(BodyFileName()))
        Memo1.SetModified(false);
    // What a writer killed half-way left beside the INI file or body.txt.
    RemoveAtomicLeftovers(appDir_);
    LoadSettings();
    SaveSettings();
    OpenLog();
    CreateDirPath(appDir_ + "Temp");
    tempDir_ = appDir_ + "Temp/";
    job_.Ready = true;
    if (cboxPollOnStart.Checked()) {
        StatusBar1.SetPanelText(0, "Timer On");
        btnStart.Click();
    } else {
        StatusBar1.SetPanelText(0, "Timer Off");
    }
    ShowAbout();
}

void TfrmMain::FormCloseQuery(TObject *, bool &CanClose) {
    if (!job_.NoCloseQuery && job_.Busy)
        CanClose = MessageDlg("Postvane is currently proccesing a job. Do you realy want to exit "
                              "now?",
                              TMsgIcon::Warning, {IDYES, IDCANCEL}, app_.Title) == IDYES;
}

void TfrmMain::FormClose(TObject *, TCloseAction &) {
    ReportUnfinishedJob();
    SaveSettings();
    CTray.SetActive(false);
    // Not from under a running Add, whose callback runs this: ~TZip unloads
    // it once the call has returned.
    if (!packing_)
        Zip1.UnloadDll();
    // The main window closing ends the program.
    app_.Terminate();
}

void TfrmMain::FormDestroy(TObject *) {
    DeleteTempZips();
    CloseLog();
}

void TfrmMain::HandleSignal(int signo) {
    if (signo == SIGTERM || signo == SIGINT)
        Close();
}

void TfrmMain::AppException(TObject *, const Exception &E) {
    if (dynamic_cast<const EAbort *>(&E))
        return;
    failed_ = true;
    const std::string text = std::string(E.ClassName()) + ": " + E.Message();
    try {
        WriteLog(text, true);
    } catch (const std::exception &) {
        // The log itself may be what failed; the program must still end.
    }
    MessageBox(text + "\r\nApplication will terminate.\r\n", app_.Title, MB_OK | MB_ICONERROR);
    CloseLog();
    app_.Terminate();
    try {
        DeleteTempZips();
    } catch (const std::exception &) {
    }
}

void TfrmMain::ShowStatus(const std::string &text) {
    StatusBar1.SetPanelText(1, text + " - " + LogTimeStamp());
    StatusBar1.Repaint();
}

void TfrmMain::ShowNextPoll() {
    lbNextPoll.SetCaption(FormatDateTime(kNextPollFormat, IncMilliSecond(Now(), T1.Interval())));
}

void TfrmMain::DisableSetup() {
    for (TGroupBox *g : {&GroupBox1, &GroupBox2, &GroupBox3, &GroupBox4})
        g->SetEnabled(false);
}

void TfrmMain::EnableSetup() {
    for (TGroupBox *g : {&GroupBox1, &GroupBox2, &GroupBox3, &GroupBox4})
        g->SetEnabled(true);
}

} // namespace pv
