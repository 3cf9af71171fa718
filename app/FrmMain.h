// TfrmMain: the main window and the job engine that lives in it. The window
// is a model form; its controls hold the settings, and the INI file beside
// the program is reloaded into them at every focus change and every job.
//
// One class, its code in one file per part of the job: FrmMain.cpp (the
// window), Settings.cpp, JobCycle.cpp (start-up, timers, one job, closing),
// FileList.cpp (the scan), ZipStep.cpp, Pop3Logon.cpp, MailSession.cpp,
// MailSessionTls.cpp, PostProcess.cpp, JobLog.cpp and JobReport.cpp (exit
// status, terminal); FrmMainLayout.cpp places the window's controls.
#pragma once

#include "app/FilesTable.h"
#include "app/TlsSettings.h"
#include "host/ServiceHelper.h"
#include "host/TrayIcon.h"
#include "mail/Pop3Cli.h"
#include "mail/SmtpCli.h"
#include "platform/Application.h"
#include "platform/FileSystem.h"
#include "platform/MessageLoop.h"
#include "platform/Timer.h"
#include "platform/ui/Ui.h"
#include "zip/Zip.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pv {

class TfrmAuth;
class TfrmAbout;
struct TfrmMainTestAccess;

constexpr const char *kVersion = "1.4.6";

// Now as the log and the status bar stamp it: 'mm"/"dd"/"yyyy hh:nn:ss'.
std::string LogTimeStamp();
// text with its control characters (below 0x20, and 0x7F) written visibly:
// \r \n \t, the others \xHH. Everything else, 8-bit bytes included, as is.
std::string EscapeLogText(std::string_view text);

class TfrmMain : public TForm {
  public:
    // appDir: the program directory, with or without a trailing "/". The INI
    // file is named after the running program, beside it in appDir.
    explicit TfrmMain(std::string appDir = pv::AppDir(), TApplication &app = Application());
    ~TfrmMain() override;

    // ---- controls, by group ----
    TGroupBox GroupBox1{"GroupBox1"}; // server
    TLabel Label1{"Label1"};
    TEdit edHost{"edHost"};
    TLabel Label2{"Label2"};
    TSpinEdit spinPort{"spinPort"};
    TCheckBox cboxAuth{"cboxAuth"};
    TButton btnAuth{"btnAuth"};

    TGroupBox GroupBox2{"GroupBox2"}; // message
    TLabel Label3{"Label3"};
    TEdit edFrom{"edFrom"};
    TLabel Label4{"Label4"};
    TEdit edTo{"edTo"};
    TLabel Label5{"Label5"};
    TEdit edCC{"edCC"};
    TLabel Label6{"Label6"};
    TEdit edBcc{"edBcc"};
    TLabel Label7{"Label7"};
    TEdit edSubject{"edSubject"};
    TLabel Label8{"Label8"};
    TMemo Memo1{"Memo1"};
    TLabel Label9{"Label9"};
    TComboBox ComboCharset{"ComboCharset"};

    TGroupBox GroupBox4{"GroupBox4"}; // polling
    TLabel Label10{"Label10"};
    TSpinEdit spinPollMin{"spinPollMin"};
    TComboBox ComboTime{"ComboTime"};
    TCheckBox cboxPollOnStart{"cboxPollOnStart"};
    TCheckBox cboxRunOnce{"cboxRunOnce"};
    TLabel Label12{"Label12"};
    TEdit edPollDir{"edPollDir"};
    TButton SpeedButton1{"SpeedButton1"};
    TLabel Label13{"Label13"};
    TEdit edExtensions{"edExtensions"};

    TGroupBox GroupBox3{"GroupBox3"}; // options
    TCheckBox cboxLogging{"cboxLogging"};
    TCheckBox cboxVerbose{"cboxVerbose"};
    TCheckBox cboxBackup{"cboxBackup"};
    TCheckBox cboxArchive{"cboxArchive"};
    TCheckBox cboxDelete{"cboxDelete"};
    TCheckBox cboxZip{"cboxZip"};
    TCheckBox cboxSingleFilePerMail{"cboxSingleFilePerMail"};
    TCheckBox cboxFilenames{"cboxFilenames"};

    // right column
    TImage Image1{"Image1"};
    TButton btnAbout{"btnAbout"};
    TButton btnReadme{"btnReadme"};
    TButton btnLog{"btnLog"};
    TLabel Label14{"Label14"};
    TLabel lbNextPoll{"lbNextPoll"};
    TButton btnPoll{"btnPoll"};
    TButton btnStart{"btnStart"};
    TButton btnStop{"btnStop"};
    TButton btnExit{"btnExit"};

    TStatusBar StatusBar1{"StatusBar1"};

    // the tray's pop-up menu
    TPopupMenu Popup{"Popup"};
    TMenuItem Show1{"Show1", "&Setup"};
    TMenuItem RUN1{"RUN1", "Start  &Timer"};
    TMenuItem STOP1{"STOP1", "St&op Timer"};
    TMenuItem About1{"About1", "&About"};
    TMenuItem N1{"N1", "-"};
    TMenuItem Exit1{"Exit1", "&Exit"};

    // ---- the tray icon and the notification area's watch ----
    TTrayIcon CTray;
    TServiceHelper ServiceHelper1;

    // ---- timers ----
    TTimer T1;
    TTimer T2;
    TTimer *Watchdog() const { return watchdog_.get(); }

    // ---- the file list ----
    TFilesTable tblFiles;

    // ---- the mail session ----
    TSmtpCli Smtp;

    // ---- the packer ----
    TZip Zip1;

    const std::string &AppDir() const { return appDir_; }
    const std::string &TempDir() const { return tempDir_; }
    const std::string &IniFile() const { return iniFile_; }
    std::string LogFileName() const { return appDir_ + "Postvane.log"; }
    std::string BodyFileName() const { return appDir_ + "body.txt"; }
    TApplication &App() const { return app_; }

    // The dialogs while they exist.
    TfrmAuth *frmAuth() const { return frmAuth_.get(); }
    TfrmAbout *frmAbout() const { return frmAbout_.get(); }

    // Which tray icon the timer state asks for, and whether a job animates it.
    int TrayIconIndex() const { return trayIcon_; }
    bool TrayAnimated() const { return trayAnimated_; }

    // AppException ran: the program ends with a failure exit status.
    bool Failed() const { return failed_; }

    // ---- exit status and the terminal (JobReport.cpp) ----
    // Every job's result lines also go to standard error (a terminal).
    bool ConsoleEcho = false;
    // What the program does and how to stop it, in one line.
    std::string StartLine() const;
    // The result of the job that ended last: a summary, then one line per
    // file not sent, and a hint when the password looks unscrambled.
    std::vector<std::string> JobResultLines() const;
    // 0: the last job sent every file it selected or had nothing to do (or,
    // without run-once, the program was simply closed); 1: a file or the
    // session failed, or a run-once program closed before its job ended;
    // 2: a settings or start-up error.
    int ExitStatus() const;

    // ---- main window (FrmMain.cpp; cboxAuthClick in FrmAuth.cpp) ----
    void btnAuthClick(TObject *Sender);
    void cboxAuthClick(TObject *Sender);
    void btnAboutClick(TObject *Sender);
    void btnReadmeClick(TObject *Sender);
    void Label11Click(TObject *Sender);
    void Memo1DblClick(TObject *Sender);
    void Memo1Enter(TObject *Sender);
    void Memo1Exit(TObject *Sender);
    void cboxRunOnceClick(TObject *Sender);
    void cboxVerboseClick(TObject *Sender);
    void SpeedButton1Click(TObject *Sender);
    void Show1Click(TObject *Sender);
    void HandleSysCommand(TObject *Sender, std::uint32_t Command, bool &Handled);
    void ServiceSaver1TrayCreated(TObject *Sender);
    void ServiceSaver1TrayRemoved(TObject *Sender);
    void ServiceSaver1QueryEndSession(TObject *Sender);
    void ServiceSaver1EndSession(TObject *Sender);
    // The icon is in a notification area, where the user can reach the
    // window; minimising then hides the window.
    bool TrayIconShown() const;

    // ---- settings (Settings.cpp) ----
    void LoadSettings();
    void SaveSettings();
    void ControlsEnter(TObject *Sender);
    void ControlsExit(TObject *Sender);
    void edPollDirExit(TObject *Sender);
    void edExtensionsExit(TObject *Sender);
    void edFromExit(TObject *Sender);
    void cboxZipClick(TObject *Sender);

    // ---- job cycle and timers (JobCycle.cpp) ----
    void btnStartClick(TObject *Sender);
    void btnStopClick(TObject *Sender);
    void btnPollClick(TObject *Sender);
    void btnExitClick(TObject *Sender);
    void T1Timer(TObject *Sender);
    void T2Timer(TObject *Sender);
    void WatchdogTimer(TObject *Sender);
    void RunJob();
    void FinishJob();
    void MarkActivity() { job_.Idle = false; }
    void ShowStatus(const std::string &text);
    void ShowNextPoll();
    void DisableSetup();
    void EnableSetup();
    // The poll interval from spinPollMin and ComboTime, in milliseconds;
    // without a unit the current interval.
    std::uint32_t PollIntervalMs() const;
    void AppException(TObject *Sender, const Exception &E);
    // SIGTERM and SIGINT close the window as its close box would.
    void HandleSignal(int signo);

    // ---- file list (FileList.cpp) ----
    void ScanPollDir();
    bool NextPendingFile();
    int PendingCount() const;
    int SentCount() const;

    // ---- job log (JobLog.cpp) ----
    // One line: control characters of text escaped (EscapeLogText), except
    // a leading TAB, which opens the lines of a file list.
    void WriteLog(const std::string &text, bool stamped);
    bool LogOpen() const { return logStream_ != nullptr; }
    void btnLogClick(TObject *Sender);
    // Verbose log of the SMTP dialogue.
    void SMTPCommand(TObject *Sender, const std::string &Msg);
    void SMTPResponse(TObject *Sender, const std::string &Msg);

    // ---- packing step (ZipStep.cpp) and POP3 before SMTP (Pop3Logon.cpp) ----
    void ZipFiles();
    void Zip1ZEDProgressEvent(TObject *Sender, const std::string &Filename, std::int32_t BytesDone,
                              std::int32_t TotalBytes);
    std::string Pop3Logon();
    void Pop3RequestDone(TObject *Sender, TPop3Request RqType, std::uint16_t Error);
    void Pop3Display(TObject *Sender, const std::string &Msg);
    // The POP3 client while a logon runs.
    TPop3Cli *Pop3() const { return pop3_.get(); }

    // ---- mail session (MailSession.cpp) ----
    void PrepareAttachments();
    void BuildMessageText();
    void StartSmtpSession();
    void SMTPRequestDone(TObject *Sender, TSmtpRequest RqType, std::uint16_t ErrorCode);
    // Kind: 0 the code's own text, 1 the given text, 2 "Unknown request type",
    // 3 "Application terminated", 4 "Disconnected by remote peer".
    void RecordError(TSmtpRequest Request, int Code, const std::string &Text, int Kind);
    void MailDelivered();
    void LogJobResults();
    void SmtpHeaderLine(TObject *Sender, char *Msg, int Size);
    void SmtpAttachContentType(TObject *Sender, int FileNumber, std::string &FileName,
                               std::string &ContentType);
    void SmtpAfterFileOpen(TObject *Sender, int Idx, const std::string &FileName,
                           const Exception *E, TSmtpAfterOpenFileAction &Action);
    void SmtpCliDisplay(TObject *Sender, const std::string &Msg);
    void SmtpSessionClosed(TObject *Sender, std::uint16_t ErrCode);
    // ---- TLS of the mail session (MailSessionTls.cpp) ----
    // Reads [TLS] and sets the client up; false (the job ended) on a bad
    // setting.
    bool SetupSmtpTls();
    // Whether the session still has to ask for STARTTLS.
    bool StartTlsDue() const;
    // Reads [TLS] and sets the POP3 client up; raises on a bad setting.
    void SetupPop3Tls(TPop3Cli &Pop3);
    // With VerboseLogging, what the handshake of the session agreed.
    void LogTlsSession(TWSocket &Socket);
    void LogTlsFailure(int ErrorCode);

    // ---- post-processing of sent files (PostProcess.cpp) ----
    void ClearArchiveBits();
    void BackupSentFiles();
    void DeleteSentFiles();
    void DeleteTempZips();

  private:
    // The dialog clears Ready around its own change of cboxAuth.
    friend class TfrmAuth;
    // The tests' view of the state below.
    friend struct TfrmMainTestAccess;

    // The settings held outside the controls, saved and loaded with them.
    struct TSettingValues {
        std::uint16_t AuthMode = 0;
        std::string ZipName = "Package.zip";
        std::string Pop3Host;
        std::string Pop3Port;
        std::string UserName;
        std::string Password;
        bool APop = false;
        // As last loaded or saved: the field checks save only a change.
        std::string RememberedPollDir;
        std::string RememberedFileSelection;
        std::string RememberedFrom;
    };

    // The state of the job engine.
    struct TJobState {
        bool Busy = false;        // a job is in progress
        bool Finished = false;    // FinishJob has run for the current job
        bool PollNowMode = false; // the job was started by Poll Now
        bool Idle = false;        // no session activity since the last watchdog tick
        bool TimedOut = false;    // the watchdog found the session idle
        bool NoCloseQuery = false;
        bool Ready = false; // start-up has finished
        std::string ResultText;
        // The job could not look at the poll directory: a settings error.
        std::string PollDirError;
        std::string Pop3Result; // the last POP3 logon's outcome; empty for success
        int MailCount = 0;      // mails accepted in the current session
    };

    // Posted to the window by the display handler while the program ends.
    static constexpr UINT WM_ABORTSESSION = WM_USER + 1;

    // main window
    void BuildControls();
    void PlaceControls();
    void SetupTray();
    void ShowAbout();
    void ReleaseForm(TForm *form);
    LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // job cycle
    void FormCreate();
    void FormCloseQuery(TObject *Sender, bool &CanClose);
    void FormClose(TObject *Sender, TCloseAction &Action);
    void FormDestroy(TObject *Sender);
    void SetTrayIcon(int index);
    // exit status and the terminal
    int JobOutcome() const;
    void ReportJob();
    void ReportUnfinishedJob();
    void AnimateTray(bool on);
    // settings
    struct TSettingKey;                    // one key of the SETUP section
    struct TKeyValue;                      // a key's value
    static const TSettingKey kSetupKeys[]; // all of them, in the order they are read
    TKeyValue KeyValue(const TSettingKey &key) const;
    void SetKeyValue(const TSettingKey &key, const TKeyValue &value);
    void SaveKey(const TSettingKey &key);
    void FillAuthDialog();
    void TakeFromAuthDialog();
    // job log
    void OpenLog();
    void CloseLog();
    // POP3 before SMTP: ends the logon's nested loop.
    void EndPop3Logon();
    // packing step
    void SetupZip();
    void StampForPacking();
    // Adds Zip1's FileSpecs to its archive: false when cancelled (the
    // archive is removed); raises when not every file went in.
    bool AddToArchive(const std::string &archive);
    // mail session
    void SetupSmtp();
    void AbortMailSession();
    void SessionFallback(TSmtpRequest RqType);
    void EndSession();
    // Every count-th call looks whether the loop has work, without waiting.
    void YieldEvery(int count);

    TApplication &app_;
    std::string appDir_;
    std::string tempDir_;
    std::string iniFile_;
    TSettingValues settings_;
    TTlsSettings tls_; // [TLS] as read for the current session
    TJobState job_;
    std::unique_ptr<TFileStream> logStream_;
    std::unique_ptr<TTimer> watchdog_;
    std::unique_ptr<TfrmAuth> frmAuth_;
    std::unique_ptr<TfrmAbout> frmAbout_;
    std::unique_ptr<TPop3Cli> pop3_;
    bool pop3Ended_ = false;
    HWND handle_ = 0;
    int trayIcon_ = 0;
    bool trayAnimated_ = false;
    bool failed_ = false;
    std::optional<int> lastOutcome_; // of the last job that finished
    int displayCount_ = 0;
    bool packing_ = false; // ZipFiles is running: the library may be on the stack
};

// The name for a backup copy: path itself while no file has that name, else
// path with "[1]", "[2]" ... before its extension (extension: the last
// characters of path, with their dot, or "").
std::string UniqueFileName(const std::string &path, const std::string &extension);

} // namespace pv
