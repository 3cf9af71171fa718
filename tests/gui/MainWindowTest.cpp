// The main window with its tray icon and service helper, on a desktop of the
// test's own and worked with the mouse and keyboard as a user works it: the
// icon through a tray host's restart, its menu and double click, minimising
// with and without a notification area, the settings that depend on each
// other, the message editor, the layout, and a job that runs while a modal
// dialog is open.
#include "GuiFixture.h"

#include "app/FrmAbout.h"
#include "app/FrmMain.h"
#include "host/TrayIcon.h"
#include "platform/Application.h"
#include "platform/Profile.h"

namespace pv::test {
namespace {

// Frame 1 (timer on) is yellow.
constexpr const char *kFrame1Colour = "#FACE3D";

struct MainWindow : GuiTest {
    TempDir dir;
    std::unique_ptr<TfrmMain> form;

    std::string Ini() const { return dir / ChangeFileExt(ExtractFileName(ExeName()), ".ini"); }
    std::string Poll() const { return dir / "poll/"; }
    std::string Body() const { return dir / "body.txt"; }
    std::string IniValue(const std::string &key) const {
        return GetPrivateProfileString("SETUP", key, "<missing>", Ini());
    }

    // The desktop (with trayer, and openbox as its window manager, when
    // asked), then the program's main window on it with these settings.
    void Start(bool trayer, const std::string &settings = "", bool glib = true, bool wm = false) {
        StartDesktop(glib, trayer);
        if (IsSkipped() || HasFatalFailure())
            return;
        if (wm && !Desk().StartWindowManager())
            GTEST_SKIP() << "openbox is not installed (Debian package openbox)";
        ASSERT_EQ(mkdir(Poll().c_str(), 0700), 0);
        WriteFileText(Ini(), "[SETUP]\r\nPollDir=" + Poll() + "\r\n" + settings);
        form = std::make_unique<TfrmMain>(dir.Path(), Application());
    }
    void TearDown() override {
        form.reset();
        GuiTest::TearDown();
    }

    // The splash closed with a click, the window shown as the tray's Setup
    // shows it.
    void ShowWindow() {
        CloseSplash();
        form->Show1Click(nullptr);
        ASSERT_TRUE(Until([&] { return View(form->edHost).Visible; }));
    }
    void CloseSplash() {
        ASSERT_TRUE(
            Until([&] { return form->frmAbout() && View(form->frmAbout()->Panel1).Visible; }));
        ClickOn(form->frmAbout()->Panel1);
        ASSERT_TRUE(Until([&] { return !form->frmAbout(); }));
    }

    // Where the notification area shows the icon, once it does: an icon not
    // yet embedded (a tray host just restarted) sits at the screen's origin,
    // so the place counts once it is elsewhere and has stayed put a while.
    bool IconAt(int &x, int &y) {
        int left = 0, top = 0, w = 0, h = 0, lastLeft = -1, lastTop = -1, same = 0;
        const bool found = Until(
            [&] {
                if (!Front().TrayIconRect(form->CTray.Handle(), left, top, w, h) ||
                    (left == 0 && top == 0)) {
                    same = 0;
                    return false;
                }
                same = left == lastLeft && top == lastTop ? same + 1 : 0;
                lastLeft = left;
                lastTop = top;
                if (same < 3)
                    Pump(100);
                return same >= 3;
            },
            10000);
        if (!found)
            return false;
        x = left + w / 2;
        y = top + h / 2;
        return true;
    }

    // A right click on the icon opens its menu, where key is pressed; then
    // the loops run until done holds. The menu runs in a loop of its own,
    // inside these events, so the keyboard's side watches the screen from
    // another thread: it presses the key once a menu is open, and Escape on
    // a menu that stays open or opens late, so that none is left waiting for
    // ever. A right click may go unanswered while the icon takes its new
    // frame: it is made again. Windows are counted from when their number
    // has settled: an icon a restarted tray host embeds late is no menu.
    void MenuKey(const std::string &key, const std::function<bool()> &done) {
        int x = 0, y = 0;
        ASSERT_TRUE(IconAt(x, y));
        // Menus: the program's windows but its forms (the icon's counts too).
        auto menus = [this] {
            return Desk().VisibleWindows("pvgui") - Desk().VisibleWindowsNamed("Postvane.*");
        };
        auto settled = [&] {
            int last = menus(), same = 0;
            for (int i = 0; i < 40 && same < 4; ++i) {
                Pump(100);
                const int now = menus();
                same = now == last ? same + 1 : 0;
                last = now;
            }
            return last;
        };
        std::atomic<int> before{settled()};
        std::atomic<bool> finished{false}, pressed{false}, closing{false};
        std::thread keyboard([&] {
            auto at = std::chrono::steady_clock::now();
            while (!finished) {
                usleep(50000);
                if (menus() <= before)
                    continue;
                if (!pressed && !closing) {
                    Desk().Tool({"xdotool", "key", key});
                    pressed = true;
                    at = std::chrono::steady_clock::now();
                } else if (closing ||
                           std::chrono::steady_clock::now() - at > std::chrono::seconds(1)) {
                    Desk().Tool({"xdotool", "key", "Escape"});
                    at = std::chrono::steady_clock::now();
                }
            }
        });
        bool ok = false;
        for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
            if (attempt > 0) {
                // A key that did nothing: whatever it saw was no menu, or
                // one now closed; count again from what is there.
                closing = true;
                before = settled();
                closing = false;
                pressed = false;
            }
            if (attempt > 0 && !IconAt(x, y))
                break;
            // The pointer comes in as a user's does.
            Desk().Tool({"xdotool", "mousemove", std::to_string(x - 30), std::to_string(y + 30)});
            ClickAt(x, y, 3);
            ok = Until([&] { return done() || pressed; }, 4000) && Until(done, 4000);
        }
        closing = true;
        Pump(500);
        finished = true;
        keyboard.join();
        EXPECT_TRUE(ok) << "the menu's key " << key << " did nothing";
    }

    // Every control sits inside its parent without covering a sibling, and has
    // room for its whole text, in the main window and in the About box.
    void CheckLayout(TControl &parent) {
        const TViewState outer = View(parent);
        std::vector<std::pair<TControl *, TViewState>> shown;
        for (TControl *c : parent.Controls()) {
            const TViewState v = View(*c);
            if (!v.Visible)
                continue;
            EXPECT_TRUE(v.Left >= 0 && v.Top >= 0 && v.Left + v.Width <= outer.Width &&
                        v.Top + v.Height <= outer.Height)
                << c->Name() << " leaves " << parent.Name();
            const bool text = dynamic_cast<TLabel *>(c) || dynamic_cast<TCheckBox *>(c);
            if (text || dynamic_cast<TButton *>(c)) {
                EXPECT_LE(v.PreferredWidth, v.Width) << c->Name() << " cuts \"" << v.Text << "\"";
            }
            if (text) {
                EXPECT_LE(v.PreferredHeight, v.Height + 2) << c->Name() << " is too low";
            }
            for (const auto &[other, o] : shown) {
                EXPECT_TRUE(v.Left >= o.Left + o.Width || o.Left >= v.Left + v.Width ||
                            v.Top >= o.Top + o.Height || o.Top >= v.Top + v.Height)
                    << c->Name() << " covers " << other->Name();
            }
            shown.emplace_back(c, v);
            CheckLayout(*c);
        }
    }

    // The window manager's minimise, asked for again while the manager
    // may not have taken the window on yet.
    void Minimise(const std::function<bool()> &done) {
        for (int i = 0; i < 10 && !done(); ++i) {
            std::string id;
            Desk().Tool(
                {"xdotool", "search", "--onlyvisible", "--name", "^Postvane Freeware 1.4.6$"}, &id);
            if (!id.empty())
                Desk().Tool({"xdotool", "windowminimize", id.substr(0, id.find('\n'))});
            Until(done, 1000);
        }
    }
};

TEST_F(MainWindow, TheIconFollowsTheTrayHostThroughARestart) {
    Start(true);
    if (IsSkipped() || HasFatalFailure())
        return;
    std::vector<std::string> events;
    const TNotifyEvent created = form->ServiceHelper1.OnTrayCreated;
    const TNotifyEvent removed = form->ServiceHelper1.OnTrayRemoved;
    form->ServiceHelper1.OnTrayCreated = [&](TObject *s) {
        events.push_back("created");
        created(s);
    };
    form->ServiceHelper1.OnTrayRemoved = [&](TObject *s) {
        events.push_back("removed");
        removed(s);
    };
    int x = 0, y = 0;
    ASSERT_TRUE(IconAt(x, y));
    EXPECT_EQ(events, std::vector<std::string>{"created"});
    EXPECT_EQ(Front().TrayToolTip(form->CTray.Handle()), "Postvane Freeware");

    Desk().StopTrayer();
    ASSERT_TRUE(Until([&] { return events.size() == 2; }));
    EXPECT_FALSE(form->CTray.IconAdded());
    ASSERT_TRUE(Desk().StartTrayer());
    ASSERT_TRUE(IconAt(x, y)) << "the icon did not come back";
    Pump(1000);
    EXPECT_EQ(events, (std::vector<std::string>{"created", "removed", "created"}));
    EXPECT_TRUE(form->CTray.Active() && form->CTray.IconAdded());

    // The tip: the hint's short part, cut at 63 characters.
    const std::string shortPart =
        "Postvane Freeware watching the poll directory /srv/outbox for new files";
    form->CTray.SetHint(shortPart + "|and a long help text that no tip shows");
    EXPECT_TRUE(Until(
        [&] { return Front().TrayToolTip(form->CTray.Handle()) == shortPart.substr(0, 63); }));
}

TEST_F(MainWindow, TheIconsMenuAndDoubleClick) {
    Start(true);
    if (IsSkipped() || HasFatalFailure())
        return;
    CloseSplash();
    // T2 closes any About box when it fires: let it have fired.
    ASSERT_TRUE(Until([&] { return !form->T2.Enabled(); }));
    int clicks = 0;
    form->CTray.OnClick = [&](TObject *, TMouseButton, TShiftState, int, int) { ++clicks; };

    // "Start  &Timer": the timer runs and the icon shows frame 1. A right
    // click that opened the menu is no click.
    MenuKey("t", [&] { return form->T1.Enabled(); });
    EXPECT_EQ(clicks, 0);
    EXPECT_FALSE(form->RUN1.Enabled());
    int x = 0, y = 0, fx = 0, fy = 0;
    ASSERT_TRUE(IconAt(x, y));
    EXPECT_TRUE(Until([&] {
        return Desk().FindColour(kFrame1Colour, x - 12, y - 12, 24, 24, fx, fy);
    })) << "the icon does not show the timer running";
    // "St&op Timer".
    MenuKey("o", [&] { return !form->T1.Enabled(); });
    EXPECT_TRUE(form->RUN1.Enabled());
    // "&About" opens the About box, "&Setup" the window.
    MenuKey("a", [&] { return form->frmAbout() && View(*form->frmAbout()).Visible; });
    ASSERT_NE(form->frmAbout(), nullptr);
    ClickOn(form->frmAbout()->Panel1);
    ASSERT_TRUE(Until([&] { return !form->frmAbout(); }));
    MenuKey("s", [&] { return View(form->edHost).Visible; });
    EXPECT_EQ(clicks, 0);

    // The double click shows the window too.
    form->Hide();
    ASSERT_TRUE(Until([&] { return !View(form->edHost).Visible; }));
    ClickAt(x, y, 1, 2);
    EXPECT_TRUE(Until([&] { return View(form->edHost).Visible; }));
    EXPECT_TRUE(Application().ShowMainForm);
}

TEST_F(MainWindow, MinimisingHidesItOnlyWhereTheIconBringsItBack) {
    Start(true, "", true, true);
    if (IsSkipped() || HasFatalFailure())
        return;
    ShowWindow();
    Minimise([&] { return !form->Visible(); });
    ASSERT_FALSE(form->Visible()) << "minimising did not hide it";
    EXPECT_FALSE(Application().ShowMainForm);
    EXPECT_EQ(form->WindowState(), wsNormal);
    EXPECT_FALSE(Desk().WindowShown("Postvane Freeware 1.4.6"));
    int x = 0, y = 0;
    ASSERT_TRUE(IconAt(x, y));
    ClickAt(x, y, 1, 2);
    ASSERT_TRUE(Until([&] { return Desk().WindowShown("Postvane Freeware 1.4.6"); }));

    // Without the tray host the window is minimised as any other.
    Desk().StopTrayer();
    ASSERT_TRUE(Until([&] { return !form->CTray.IconAdded(); }));
    Minimise([&] { return form->WindowState() == wsMinimized; });
    ASSERT_EQ(form->WindowState(), wsMinimized);
    EXPECT_TRUE(form->Visible());
    EXPECT_TRUE(Application().ShowMainForm);
    // The tray host back: Setup brings it up again, in front.
    ASSERT_TRUE(Desk().StartTrayer());
    MenuKey("s", [&] { return form->WindowState() == wsNormal; });
    EXPECT_TRUE(Until([&] { return Desk().WindowShown("Postvane Freeware 1.4.6"); }));
}

TEST_F(MainWindow, OptionsThatDependOnEachOther) {
    Start(false, "Log=0\r\nAuthentication=1\r\n");
    if (IsSkipped() || HasFatalFailure())
        return;
    ShowWindow();

    // Verbose checks and greys out Logging; unchecked, it leaves Logging
    // checked but usable.
    ASSERT_FALSE(View(form->cboxLogging).Checked);
    ClickOn(form->cboxVerbose);
    ASSERT_TRUE(Until([&] { return View(form->cboxVerbose).Checked; }));
    EXPECT_TRUE(View(form->cboxLogging).Checked);
    EXPECT_FALSE(View(form->cboxLogging).Enabled);
    ClickOn(form->cboxVerbose);
    ASSERT_TRUE(Until([&] { return !View(form->cboxVerbose).Checked; }));
    EXPECT_TRUE(View(form->cboxLogging).Checked);
    EXPECT_TRUE(View(form->cboxLogging).Enabled);

    // Run once does the same to Start in timer mode.
    ClickOn(form->cboxRunOnce);
    ASSERT_TRUE(Until([&] { return View(form->cboxRunOnce).Checked; }));
    EXPECT_TRUE(View(form->cboxPollOnStart).Checked);
    EXPECT_FALSE(View(form->cboxPollOnStart).Enabled);
    ClickOn(form->cboxRunOnce);
    ASSERT_TRUE(Until([&] { return !View(form->cboxRunOnce).Checked; }));
    EXPECT_TRUE(View(form->cboxPollOnStart).Checked);
    EXPECT_TRUE(View(form->cboxPollOnStart).Enabled);

    // Unchecking Authentication after a method was chosen stores 0 at once.
    ASSERT_TRUE(View(form->cboxAuth).Checked);
    ASSERT_TRUE(View(form->btnAuth).Enabled);
    ClickOn(form->cboxAuth);
    ASSERT_TRUE(Until([&] { return !View(form->cboxAuth).Checked; }));
    EXPECT_EQ(IniValue("Authentication"), "0");
    EXPECT_FALSE(View(form->btnAuth).Enabled);
    EXPECT_EQ(form->frmAuth(), nullptr);
}

TEST_F(MainWindow, TheMessageEditorZoomsAndKeepsBodyTxt) {
    Start(false);
    if (IsSkipped() || HasFatalFailure())
        return;
    WriteFileText(Body(), "first line\r\n");
    ShowWindow();

    // A double click reloads the file and lays the editor over its group.
    ClickOn(form->Memo1, 1, 2);
    ASSERT_TRUE(Until([&] { return View(form->Memo1).Height == 173; }));
    TViewState zoomed = View(form->Memo1);
    EXPECT_EQ(std::vector<int>({zoomed.Left, zoomed.Top, zoomed.Width}),
              std::vector<int>({4, 8, 273}));
    EXPECT_EQ(zoomed.Text, "first line");
    EXPECT_EQ(zoomed.ToolTip, "Double click to zoom out");
    // On top: a click where the charset box lies stays in the editor.
    ClickOn(form->ComboCharset);
    Pump(200);
    EXPECT_EQ(form->ActiveControl(), &form->Memo1);

    Keys({"ctrl+a"});
    Type("typed here");
    ASSERT_TRUE(Until([&] { return form->Memo1.Text() == "typed here\r\n"; }));
    // Leaving it writes the file and shrinks it again.
    ClickOn(form->edHost);
    ASSERT_TRUE(Until([&] { return View(form->Memo1).Height == 21; }));
    EXPECT_EQ(ReadFileText(Body()), "typed here\r\n");
    EXPECT_EQ(View(form->Memo1).Top, 132);
    EXPECT_EQ(View(form->Memo1).ToolTip, "Double click to zoom in");

    // A change made outside is there the next time the editor has the focus.
    WriteFileText(Body(), "edited outside\r\nsecond\r\n");
    ClickOn(form->Memo1);
    EXPECT_TRUE(Until([&] { return View(form->Memo1).Text == "edited outside\nsecond"; }));
    EXPECT_EQ(View(form->Memo1).Height, 21);
}

TEST_F(MainWindow, EveryControlHasRoomForItsText) {
    Start(false);
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(Until([&] { return form->frmAbout() && View(*form->frmAbout()).Visible; }));
    CheckLayout(*form->frmAbout());
    CloseSplash();
    form->Show1Click(nullptr);
    ASSERT_TRUE(Until([&] { return View(form->edHost).Visible; }));
    // The widest texts the window shows.
    form->lbNextPoll.SetCaption("12/31/26 23:59:59");
    form->StatusBar1.SetPanelText(0, "Timer Off");
    const TViewState window = View(*form);
    EXPECT_EQ(std::vector<int>({window.Width, window.Height}), std::vector<int>({385, 444}));
    CheckLayout(*form);
}

// A job runs on its timer while the folder browser is open: it ends with its
// mail sent, and the dialog then still takes the keyboard.
struct JobUnderDialog : MainWindow, ::testing::WithParamInterface<bool> {};

TEST_P(JobUnderDialog, TheJobEndsAndTheDialogAnswers) {
    TempDir spool;
    PeerProcess server;
    ASSERT_TRUE(
        server.Start({"/usr/bin/python3", SupportPath("smtp_server.py"), "--spool", spool.Path()}))
        << "the SMTP server did not start (python3-aiosmtpd)";
    Start(false,
          "Host=127.0.0.1\r\nHostPort=" + std::to_string(server.Port()) +
              "\r\nFrom=postvane@example.org\r\nTo=admin@example.org\r\nFileSelection=*.txt\r\n"
              "TimeUnit=S\r\nPollInterval=2\r\n",
          GetParam());
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_EQ(mkdir((Poll() + "chosen").c_str(), 0700), 0);
    WriteFileText(Poll() + "report.txt", "the report\r\n");
    ShowWindow();

    std::atomic<bool> endedWhileOpen{false};
    std::thread user([&] {
        if (Desk().Tool(
                {"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Browse for Folder$"},
                nullptr, 20000) != 0)
            return;
        for (int i = 0; i < 300 && ReadFileText(dir / "Postvane.log").find(">Job finished") ==
                                       std::string::npos;
             ++i)
            usleep(50000);
        endedWhileOpen =
            ReadFileText(dir / "Postvane.log").find(">Job finished") != std::string::npos &&
            Desk().WindowShown("Browse for Folder");
        Desk().Tool({"xdotool", "search", "--onlyvisible", "--name", "^Browse for Folder$",
                     "windowfocus", "--sync"});
        Desk().Tool({"xdotool", "type", "--delay", "40", "chosen"});
        for (int i = 0; i < 5 && Desk().WindowShown("Browse for Folder"); ++i)
            Desk().Tool({"xdotool", "sleep", "0.3", "key", "Return", "sleep", "0.3"});
    });
    form->btnStart.Click();
    // One job: the next interval, read at the job, is long.
    WritePrivateProfileString("SETUP", "PollInterval", "600", Ini());
    ClickOn(form->SpeedButton1);
    const bool answered =
        Until([&] { return form->edPollDir.Text() == Poll() + "chosen/"; }, 40000);
    user.join();
    EXPECT_TRUE(answered) << "the folder browser did not answer; the poll directory is "
                          << form->edPollDir.Text();
    EXPECT_TRUE(endedWhileOpen) << "the job did not end while the dialog was open";
    EXPECT_NE(ReadFileText(spool / "0001.eml").find("report.txt"), std::string::npos);
    EXPECT_EQ(IniValue("PollDir"), Poll() + "chosen/");
    EXPECT_EQ(form->ActiveControl(), &form->edPollDir);
}

INSTANTIATE_TEST_SUITE_P(Dispatchers, JobUnderDialog, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "GLib" : "QtOwn");
                         });

} // namespace
} // namespace pv::test
