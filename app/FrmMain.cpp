// The main window: its controls with their captions, hints and handlers, the
// About and authentication dialogs it opens, the tray icon and the service
// helper's events, and its private messages.
#include "app/FrmMain.h"

#include "app/FrmAbout.h"
#include "app/FrmAuth.h"
#include "app/Settings.h"
#include "host/Session.h"
#include "platform/Dialogs.h"

#include <malloc.h>

namespace pv {

namespace {

// WM_USER + 1 is WM_ABORTSESSION.
constexpr UINT WM_RELEASEFORM = WM_USER + 2;

} // namespace

TfrmMain::TfrmMain(std::string appDir, TApplication &app)
    : TForm("frmMain"), app_(app), appDir_(AddBackslash(std::move(appDir))) {
    iniFile_ = IniFileName(appDir_);
    handle_ =
        CreateWindow([this](HWND h, UINT m, WPARAM w, LPARAM l) { return WndProc(h, m, w, l); });
    // After the service helper's window: in service mode it has answered the
    // session's question (and set NoCloseQuery) before this window is asked.
    Session().AddWindow(handle_);
    BuildControls();
    PlaceControls();
    SetupTray();
    SetupSmtp();
    SetupZip();
    try {
        FormCreate();
    } catch (const Exception &e) {
        app_.HandleException(this, e);
    } catch (const std::exception &e) {
        app_.HandleException(this, Exception(e.what()));
    }
}

TfrmMain::~TfrmMain() {
    try {
        Destroy();
    } catch (const std::exception &) {
        // Nothing is left to report to while the window goes away.
    }
    // A session cut short by the end of the program reports to nobody.
    Smtp.OnRequestDone = nullptr;
    Smtp.OnDisplay = nullptr;
    Smtp.OnSessionClosed = nullptr;
    Smtp.OnAfterFileOpen = nullptr;
    Smtp.OnCommand = nullptr;
    Smtp.OnResponse = nullptr;
    Smtp.Abort();
    if (app_.OnException)
        app_.OnException = nullptr;
    frmAuth_.reset();
    frmAbout_.reset();
    Session().RemoveWindow(handle_);
    DestroyWindow(handle_);
}

void TfrmMain::BuildControls() {
    SetClientSize(385, 444);
    SetShowHint(true);
    OnCloseQuery = [this](TObject *s, bool &c) { FormCloseQuery(s, c); };
    OnClose = [this](TObject *s, TCloseAction &a) { FormClose(s, a); };
    OnDestroy = [this](TObject *s) { FormDestroy(s); };

    auto place = [](TControl &c, TControl &parent, const std::string &caption,
                    const std::string &hint = "") {
        c.SetParent(&parent);
        if (!caption.empty())
            c.SetCaption(caption);
        if (!hint.empty())
            c.SetHint(hint);
    };

    // server
    place(GroupBox1, *this, "");
    place(Label1, GroupBox1, "Mail Host:");
    place(edHost, GroupBox1, "", "IP or DNS name of the mail server - required");
    place(Label2, GroupBox1, "Port:");
    place(spinPort, GroupBox1, "", "Port number of the SMTP host, default=25 - required");
    spinPort.SetMinValue(1);
    spinPort.SetMaxValue(65535);
    spinPort.SetValue(25);
    place(cboxAuth, GroupBox1, "Authentication", "Most mail server requires authentication");
    place(btnAuth, GroupBox1, "Pr&operties");

    // message
    place(GroupBox2, *this, "");
    place(Label3, GroupBox2, "From:");
    place(edFrom, GroupBox2, "", "From e-mail address - required");
    place(Label4, GroupBox2, "To:");
    place(edTo, GroupBox2, "",
          "Destination e-mail address, required, semicolon separated list allowed");
    place(Label5, GroupBox2, "Cc:");
    place(edCC, GroupBox2, "", "Carbon copies, semicolon separated list allowed");
    place(Label6, GroupBox2, "Bcc:");
    place(edBcc, GroupBox2, "", "Blind carbon copies, semicolon separated list allowed");
    place(Label7, GroupBox2, "Subject:");
    place(edSubject, GroupBox2, "",
          "Subject line limited to 998 characters don't use special characters");
    edSubject.SetMaxLength(998);
    place(Label8, GroupBox2, "Message:");
    place(Memo1, GroupBox2, "", "Double click to zoom in");
    Memo1.SetScrollBars(ssVertical);
    Memo1.SetWordWrap(false);
    place(Label9, GroupBox2, "Charset:");
    place(ComboCharset, GroupBox2, "",
          "Set of characters.\r\nDefault = ISO-8859-1 fits most western countries");
    ComboCharset.SetStyle(csDropDownList);
    ComboCharset.SetItems(kCharsetItems);

    // polling
    place(GroupBox4, *this, "");
    place(Label10, GroupBox4, "Interval:");
    place(spinPollMin, GroupBox4, "", "Poll interval, either hours, minutes or seconds");
    spinPollMin.SetMinValue(1);
    spinPollMin.SetMaxValue(596);
    spinPollMin.SetValue(2);
    place(ComboTime, GroupBox4, "", "H=Hours, M=Minutes, S=Seconds");
    ComboTime.SetStyle(csDropDownList);
    ComboTime.SetItems(kTimeUnitItems);
    ComboTime.SetItemIndex(1);
    place(cboxPollOnStart, GroupBox4, "Start in timer mode",
          "Start timer when program is launched");
    place(cboxRunOnce, GroupBox4, "Run once then exit",
          "Usefull when mailings are sheduled thru the Windows scheduler/taskplaner. ");
    place(Label12, GroupBox4, "Poll Dir.:");
    place(edPollDir, GroupBox4, "",
          "Single directory containing the files you want to send - required");
    place(SpeedButton1, GroupBox4, "...", "Select a directory");
    SpeedButton1.SetFocusable(false);
    place(Label13, GroupBox4, "Selection:");
    place(edExtensions, GroupBox4, "",
          "Semicolon separated list of file names or wildcards.\r\n i.e. "
          "mylog.txt;*.wa?;my?.ini;");

    // options
    place(GroupBox3, *this, "");
    place(cboxLogging, GroupBox3, "Logging",
          "Standard logging to Postvane.log in the program folder");
    place(cboxVerbose, GroupBox3, "Verbose",
          "Verbose logging - note that logfile will grow rapidly!");
    place(cboxBackup, GroupBox3, "Backup",
          "Mailed files are being copied to a subdirectory \"Backup\"\r\nbeyond  specified "
          "\"PollDir\"");
    place(cboxArchive, GroupBox3, "Archive", "Only new or modified files are being sent");
    place(cboxDelete, GroupBox3, "Delete", "Successfully mailed files are being deleted");
    place(cboxZip, GroupBox3, "ZIP Compression", "Send ZIP packed files ");
    place(cboxSingleFilePerMail, GroupBox3, "Single file per mail", "Send one e-mail per file");
    place(cboxFilenames, GroupBox3, "Append file names",
          "Append file names at the bottom of the message");

    // right column
    place(Image1, *this, "", kWebAddress);
    Image1.SetPicture(pv::AppDir() + "logo.png");
    place(btnAbout, *this, "&About", "About");
    place(btnReadme, *this, "&Readme", "View Readme.txt");
    place(btnLog, *this, "&Logfile", "View logfile");
    place(Label14, *this, "Next Poll:");
    place(lbNextPoll, *this, "");
    place(btnPoll, *this, "&Poll Now", "Send now");
    place(btnStart, *this, "Star&t", "Start timer");
    place(btnStop, *this, "&Stop", "Stop timer");
    btnStop.SetEnabled(false);
    place(btnExit, *this, "&Exit", "Exit Program");

    place(StatusBar1, *this, "");
    StatusBar1.AddPanel(50);
    StatusBar1.AddPanel(50);

    Popup.SetAutoHotkeys(false);
    for (TMenuItem *item : {&Show1, &RUN1, &STOP1, &About1, &N1, &Exit1})
        Popup.Add(item);
    STOP1.SetEnabled(false);

    // handlers
    auto enter = [this](TObject *s) { ControlsEnter(s); };
    auto exit = [this](TObject *s) { ControlsExit(s); };
    for (TControl *c : std::initializer_list<TControl *>{&edHost,
                                                         &spinPort,
                                                         &edTo,
                                                         &edFrom,
                                                         &edSubject,
                                                         &ComboCharset,
                                                         &edCC,
                                                         &edBcc,
                                                         &edPollDir,
                                                         &cboxPollOnStart,
                                                         &edExtensions,
                                                         &cboxRunOnce,
                                                         &spinPollMin,
                                                         &ComboTime,
                                                         &cboxLogging,
                                                         &cboxVerbose,
                                                         &cboxBackup,
                                                         &cboxArchive,
                                                         &cboxDelete,
                                                         &cboxZip,
                                                         &cboxSingleFilePerMail,
                                                         &cboxFilenames}) {
        c->OnEnter = enter;
        c->OnExit = exit;
    }
    edPollDir.OnExit = [this](TObject *s) { edPollDirExit(s); };
    edExtensions.OnExit = [this](TObject *s) { edExtensionsExit(s); };
    edFrom.OnExit = [this](TObject *s) { edFromExit(s); };
    Memo1.OnDblClick = [this](TObject *s) { Memo1DblClick(s); };
    Memo1.OnEnter = [this](TObject *s) { Memo1Enter(s); };
    Memo1.OnExit = [this](TObject *s) { Memo1Exit(s); };
    cboxZip.OnClick = [this](TObject *s) { cboxZipClick(s); };
    cboxRunOnce.OnClick = [this](TObject *s) { cboxRunOnceClick(s); };
    cboxVerbose.OnClick = [this](TObject *s) { cboxVerboseClick(s); };
    cboxAuth.OnClick = [this](TObject *s) { cboxAuthClick(s); };
    SpeedButton1.OnClick = [this](TObject *s) { SpeedButton1Click(s); };
    btnAuth.OnClick = [this](TObject *s) { btnAuthClick(s); };
    btnReadme.OnClick = [this](TObject *s) { btnReadmeClick(s); };
    Image1.OnClick = [this](TObject *s) { Label11Click(s); };
    btnLog.OnClick = [this](TObject *s) { btnLogClick(s); };
    btnAbout.OnClick = [this](TObject *s) { btnAboutClick(s); };
    About1.OnClick = btnAbout.OnClick;
    btnStart.OnClick = [this](TObject *s) { btnStartClick(s); };
    RUN1.OnClick = btnStart.OnClick;
    btnStop.OnClick = [this](TObject *s) { btnStopClick(s); };
    STOP1.OnClick = btnStop.OnClick;
    btnPoll.OnClick = [this](TObject *s) { btnPollClick(s); };
    btnExit.OnClick = [this](TObject *s) { btnExitClick(s); };
    Exit1.OnClick = btnExit.OnClick;
    Show1.OnClick = [this](TObject *s) { Show1Click(s); };
    OnSysCommand = [this](TObject *s, std::uint32_t c, bool &h) { HandleSysCommand(s, c, h); };

    ServiceHelper1.OnTrayCreated = [this](TObject *s) { ServiceSaver1TrayCreated(s); };
    ServiceHelper1.OnTrayRemoved = [this](TObject *s) { ServiceSaver1TrayRemoved(s); };
    ServiceHelper1.OnQueryEndSession = [this](TObject *s) { ServiceSaver1QueryEndSession(s); };
    ServiceHelper1.OnEndSession = [this](TObject *s) { ServiceSaver1EndSession(s); };

    // Created enabled with their default interval: T1 waits for Start.
    T1.SetEnabled(false);
    T1.SetInterval(120000);
    T1.OnTimer = [this](TObject *s) { T1Timer(s); };
    T2.SetInterval(3000);
    T2.OnTimer = [this](TObject *s) { T2Timer(s); };
}

// Inactive until the service helper reports a notification area.
void TfrmMain::SetupTray() {
    CTray.SetActive(false);
    CTray.SetHint("Postvane Freeware");
    try {
        CTray.Icons().AddResource("tray0.png");
        CTray.Icons().AddResource("tray1.png");
    } catch (const EResNotFound &) {
        // An incomplete installation: without its frames the icon cannot be
        // shown, and the window is shown after the splash instead.
        CTray.Icons().Clear();
    }
    CTray.SetInterval(250);
    CTray.SetPopupMenu(&Popup);
    CTray.OnDblClick = [this](TObject *s) { Show1Click(s); };
    SetTrayIcon(trayIcon_);
    CTray.Loaded();
}

void TfrmMain::SetTrayIcon(int index) {
    trayIcon_ = index;
    if (index >= 0 && index < CTray.Icons().Count())
        CTray.SetIcon(CTray.Icons().Items(index));
}

void TfrmMain::AnimateTray(bool on) {
    trayAnimated_ = on;
    CTray.SetAnimated(on);
}

bool TfrmMain::TrayIconShown() const {
    return ServiceHelper1.TrayState() == tsPresent && CTray.IconAdded();
}

void TfrmMain::ShowAbout() {
    frmAbout_ = std::make_unique<TfrmAbout>(Caption());
    frmAbout_->OnRelease = [this](TObject *) { ReleaseForm(frmAbout_.get()); };
    frmAbout_->ShowModal();
}

void TfrmMain::btnAboutClick(TObject *) {
    if (frmAbout_ && frmAbout_->Visible()) {
        frmAbout_->BringToFront();
        return;
    }
    ShowAbout();
}

void TfrmMain::btnAuthClick(TObject *) {
    if (frmAuth_ && frmAuth_->Visible()) {
        frmAuth_->BringToFront();
        return;
    }
    frmAuth_ = std::make_unique<TfrmAuth>(*this);
    frmAuth_->OnRelease = [this](TObject *) { ReleaseForm(frmAuth_.get()); };
    frmAuth_->ShowModal();
}

void TfrmMain::btnReadmeClick(TObject *) {
    ShellOpen("readme.txt");
}

void TfrmMain::Label11Click(TObject *) {
    ShellOpen(kWebAddress);
}

// ---- the message editor ----

namespace {
constexpr int kMemoNormalTop = 132;
} // namespace

void TfrmMain::Memo1DblClick(TObject *) {
    if (Memo1.Top() != kMemoNormalTop) {
        Memo1.SetBounds(64, kMemoNormalTop, 209, 21);
        Memo1.SetScrollBars(ssVertical);
        Memo1.SetHint("Double click to zoom in");
    } else {
        // Over the whole message group.
        Memo1.SetBounds(4, 8, 273, 173);
        Memo1.SetScrollBars(ssBoth);
        Memo1.SetHint("Double click to zoom out");
        Memo1.BringToFront();
    }
}

void TfrmMain::Memo1Enter(TObject *) {
    // Text that could not be saved is not thrown away for the older file.
    if (Memo1.Modified())
        return;
    if (FileExists(BodyFileName()) && Memo1.LoadFromFile(BodyFileName()))
        Memo1.SetModified(false);
}

void TfrmMain::Memo1Exit(TObject *) {
    if (Memo1.Modified()) {
        if (Memo1.SaveToFile(BodyFileName())) {
            app_.ProcessMessages();
            Memo1.SetModified(false);
        } else {
            // The text stays in the editor, marked as changed, for the next try.
            MessageBox("The message text could not be saved to " + BodyFileName() + ".\r\n" +
                           LastErrorText(),
                       app_.Title, MB_OK | MB_ICONERROR);
        }
    }
    if (Memo1.Top() != kMemoNormalTop)
        Memo1DblClick(&Memo1);
}

// ---- options that depend on each other ----

void TfrmMain::cboxRunOnceClick(TObject *) {
    if (cboxRunOnce.Checked())
        cboxPollOnStart.SetChecked(true);
    cboxPollOnStart.SetEnabled(!cboxRunOnce.Checked());
}

void TfrmMain::cboxVerboseClick(TObject *) {
    if (cboxVerbose.Checked())
        cboxLogging.SetChecked(true);
    cboxLogging.SetEnabled(!cboxVerbose.Checked());
}

void TfrmMain::SpeedButton1Click(TObject *) {
    TBrowseRequest request;
    request.Caption = "Browse for Folder";
    request.Title = "Select a directory";
    request.Root = "/";
    request.InitialDir = edPollDir.Text();
    request.DirectoriesOnly = true;
    request.ShowStatusText = true;
    std::string folder;
    if (!BrowseForFolder(request, folder))
        return;
    edPollDir.SetText(AddBackslash(folder));
    SaveSettings();
    edPollDir.SetFocus();
}

// ---- showing and hiding ----

void TfrmMain::Show1Click(TObject *) {
    app_.ShowMainForm = true;
    if (WindowState() == wsMinimized)
        SetWindowState(wsNormal);
    Show();
    BringToFront();
}

void TfrmMain::HandleSysCommand(TObject *, std::uint32_t Command, bool &Handled) {
    // Hidden only where the tray icon brings it back; on a desktop without a
    // notification area it is minimised as any window.
    if ((Command & 0xFFF0) != SC_MINIMIZE || !TrayIconShown())
        return;
    Handled = true;
    Hide();
    app_.ShowMainForm = false;
    malloc_trim(0);
}

// ---- the service helper ----

void TfrmMain::ServiceSaver1TrayCreated(TObject *) {
    CTray.SetActive(true);
}

void TfrmMain::ServiceSaver1TrayRemoved(TObject *) {
    CTray.SetActive(false);
}

void TfrmMain::ServiceSaver1QueryEndSession(TObject *) {
    job_.NoCloseQuery = true;
}

void TfrmMain::ServiceSaver1EndSession(TObject *) {
    job_.NoCloseQuery = false;
}

// A form that closed itself is freed from the queue, not inside its own Close.
void TfrmMain::ReleaseForm(TForm *form) {
    // Without the window (shutting down) the destructor frees it instead.
    PostMessage(handle_, WM_RELEASEFORM, 0, reinterpret_cast<LPARAM>(form));
}

LRESULT TfrmMain::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_ABORTSESSION) {
        Smtp.Abort();
        return 0;
    }
    if (msg == WM_QUERYENDSESSION) {
        // The session may end (1) when the window may close.
        bool canClose = true;
        if (OnCloseQuery)
            OnCloseQuery(this, canClose);
        return canClose ? 1 : 0;
    }
    if (msg == WM_RELEASEFORM) {
        auto *form = reinterpret_cast<TForm *>(lParam);
        if (frmAuth_ && frmAuth_.get() == form && !frmAuth_->Visible())
            frmAuth_.reset();
        else if (frmAbout_ && frmAbout_.get() == form && !frmAbout_->Visible())
            frmAbout_.reset();
        return 0;
    }
    return DefWindowProc(hwnd, msg, wParam, lParam);
}

} // namespace pv
