#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Dialogs.h"
#include "platform/HeadlessDialogs.h"
#include "platform/ScriptedDialogs.h"
#include "platform/ui/Ui.h"
#include "tests/support/TempDir.h"

using namespace pv;

namespace {

// A form with the kinds of controls the settings screen is built from.
struct SettingsForm : TForm {
    TGroupBox group{"GroupBox1"};
    TEdit edHost{"edHost"};
    TEdit edPollDir{"edPollDir"};
    TSpinEdit spinPort{"spinPort"};
    TCheckBox cboxVerbose{"cboxVerbose"};
    TButton btnPoll{"btnPoll"};
    TLabel label{"Label1"};
    std::vector<std::string> log;

    SettingsForm() : TForm("frmMain") {
        for (TControl *c : std::vector<TControl *>{&edHost, &edPollDir, &spinPort, &cboxVerbose})
            c->SetParent(&group);
        group.SetParent(this);
        btnPoll.SetParent(this);
        label.SetParent(this);
        for (TControl *c :
             std::vector<TControl *>{&edHost, &edPollDir, &spinPort, &cboxVerbose, &btnPoll}) {
            c->OnEnter = [this](TObject *s) {
                log.push_back("enter " + static_cast<TControl *>(s)->Name());
            };
            c->OnExit = [this](TObject *s) {
                log.push_back("exit " + static_cast<TControl *>(s)->Name());
            };
        }
        btnPoll.OnClick = [this](TObject *) { log.push_back("click btnPoll"); };
    }
};

} // namespace

TEST(UiCheckBox, ClickOnEveryStateChangeIncludingTheProgramsOwn) {
    TCheckBox box("cboxRunOnce");
    int clicks = 0;
    std::vector<bool> seen;
    box.OnClick = [&](TObject *s) {
        ++clicks;
        EXPECT_EQ(s, &box);
        seen.push_back(box.Checked());
    };
    box.SetChecked(true);
    box.SetChecked(true); // no change, no click
    box.SetChecked(false);
    box.Click(); // toggles
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));

    // A handler that changes another box sees the cascade at once.
    TCheckBox logging("cboxLogging");
    box.OnClick = [&](TObject *) {
        if (box.Checked())
            logging.SetChecked(true);
        logging.SetEnabled(!box.Checked());
    };
    box.SetChecked(false);
    box.SetChecked(true);
    EXPECT_TRUE(logging.Checked());
    EXPECT_FALSE(logging.Enabled());
    box.SetChecked(false);
    EXPECT_TRUE(logging.Checked());
    EXPECT_TRUE(logging.Enabled());
}

TEST(UiValues, SpinEditClampsComboAndRadioGroupSelect) {
    TSpinEdit spin("spinPollMin");
    spin.SetMinValue(1);
    spin.SetMaxValue(596);
    EXPECT_EQ(spin.Value(), 1) << "the range pulls the initial 0 in";
    spin.SetValue(1000);
    EXPECT_EQ(spin.Value(), 596);
    spin.SetValue(-5);
    EXPECT_EQ(spin.Value(), 1);
    spin.SetValue(300);
    spin.SetMaxValue(100);
    EXPECT_EQ(spin.Value(), 100);
    spin.SetText("junk");
    EXPECT_EQ(spin.Value(), 1);
    spin.SetText("0x20");
    EXPECT_EQ(spin.Text(), "32");
    TSpinEdit open;
    open.SetValue(123456); // equal bounds: no range
    EXPECT_EQ(open.Value(), 123456);

    TComboBox combo("ComboTime");
    combo.SetStyle(csDropDownList);
    combo.SetItems({"S", "M", "H"});
    EXPECT_EQ(combo.Text(), "");
    combo.SetText("m");
    EXPECT_EQ(combo.ItemIndex(), 1);
    EXPECT_EQ(combo.Text(), "M");
    combo.SetText("X");
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(combo.Text(), "");
    combo.SetItemIndex(7);
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(combo.IndexOf("utf-8"), -1);
    combo.SetItems({"ISO-8859-1", "UTF-8"});
    EXPECT_EQ(combo.IndexOf("utf-8"), 1);
    EXPECT_FALSE(combo.UserSetText("free text")) << "a drop-down list takes no typing";

    TRadioGroup rg("rgAuthType");
    rg.SetItems({"None", "POP3 before SMTP", "SMTP Authentication"});
    std::vector<int> clicks;
    rg.OnClick = [&](TObject *) { clicks.push_back(rg.ItemIndex()); };
    rg.SetItemIndex(1);
    rg.SetItemIndex(1);
    rg.SetItemIndex(2);
    rg.SetItemIndex(9);
    EXPECT_EQ(clicks, (std::vector<int>{1, 2, -1}));
}

TEST(UiText, EditMaxLengthAndMemoLines) {
    TEdit subject("edSubject");
    subject.SetMaxLength(5);
    subject.SetText("abcdefgh");
    EXPECT_EQ(subject.Text(), "abcde");
    subject.SetText("abcd\xc3\xa9z"); // never half a UTF-8 character
    EXPECT_EQ(subject.Text(), "abcd");
    subject.SetMaxLength(0);
    subject.SetText(std::string(2000, 's'));
    EXPECT_EQ(subject.Text().size(), 2000u);

    pvtest::TempDir dir;
    TMemo memo("Memo1");
    memo.SetText("one\r\ntwo\nthree\rfour\r\n");
    EXPECT_EQ(memo.Lines(), (std::vector<std::string>{"one", "two", "three", "four"}));
    EXPECT_EQ(memo.Text(), "one\r\ntwo\r\nthree\r\nfour\r\n");
    EXPECT_FALSE(memo.Modified());
    TForm form;
    memo.SetParent(&form);
    form.Show();
    ASSERT_TRUE(memo.UserSetText("typed\n\nlines"));
    EXPECT_TRUE(memo.Modified());
    EXPECT_EQ(memo.Lines(), (std::vector<std::string>{"typed", "", "lines"}));
    ASSERT_TRUE(memo.SaveToFile(dir / "body.txt"));
    EXPECT_EQ(pvtest::ReadFile(dir / "body.txt"), "typed\r\n\r\nlines\r\n");
    pvtest::WriteFile(dir / "body.txt", "edited outside\n");
    ASSERT_TRUE(memo.LoadFromFile(dir / "body.txt"));
    EXPECT_EQ(memo.Lines(), std::vector<std::string>{"edited outside"});
    EXPECT_FALSE(memo.Modified());
    EXPECT_FALSE(memo.LoadFromFile(dir / "missing.txt"));
    EXPECT_EQ(memo.Lines(), std::vector<std::string>{"edited outside"});
    EXPECT_FALSE(memo.SaveToFile(dir / "no/dir/body.txt"));
    EXPECT_EQ(pvtest::Entries(dir.Path()), std::vector<std::string>{"body.txt"});
}

TEST(UiFocus, ExitThenEnterAndRefusalKeepsTheFocus) {
    SettingsForm f;
    ASSERT_TRUE(f.edHost.SetFocus());
    EXPECT_TRUE(f.edHost.Focused());
    ASSERT_TRUE(f.spinPort.SetFocus());
    EXPECT_EQ(f.log, (std::vector<std::string>{"enter edHost", "exit edHost", "enter spinPort"}));

    // The field check: focus itself again and cancel silently.
    f.edPollDir.SetFocus();
    f.log.clear();
    f.edPollDir.OnExit = [&](TObject *) {
        f.log.push_back("exit edPollDir");
        f.edPollDir.SetFocus();
        throw EAbort();
    };
    EXPECT_FALSE(f.edHost.SetFocus());
    EXPECT_EQ(f.ActiveControl(), &f.edPollDir);
    EXPECT_EQ(f.log, std::vector<std::string>{"exit edPollDir"});

    // A refused exit also stops the click that would have moved the focus.
    f.Show();
    f.log.clear();
    EXPECT_FALSE(f.btnPoll.UserClick());
    EXPECT_EQ(f.log, std::vector<std::string>{"exit edPollDir"});

    // Refusing by focusing itself without raising works the same.
    f.edPollDir.OnExit = [&](TObject *) { f.edPollDir.SetFocus(); };
    EXPECT_FALSE(f.spinPort.SetFocus());
    EXPECT_TRUE(f.edPollDir.Focused());

    // An exit handler may send the focus elsewhere.
    f.log.clear();
    f.edPollDir.OnExit = [&](TObject *) { f.cboxVerbose.SetFocus(); };
    EXPECT_FALSE(f.spinPort.SetFocus());
    EXPECT_TRUE(f.cboxVerbose.Focused());
    EXPECT_EQ(f.log, std::vector<std::string>{"enter cboxVerbose"});

    // Other errors pass through with the focus kept.
    f.cboxVerbose.OnExit = [](TObject *) { throw Exception("INI not writable"); };
    EXPECT_THROW(f.edHost.SetFocus(), Exception);
    EXPECT_TRUE(f.cboxVerbose.Focused());
    f.cboxVerbose.OnExit = nullptr;

    f.log.clear();
    ASSERT_TRUE(f.btnPoll.UserClick());
    EXPECT_EQ(f.log, (std::vector<std::string>{"enter btnPoll", "click btnPoll"}));
}

TEST(UiFocus, DisabledHiddenAndForeignControlsAreRefused) {
    SettingsForm f;
    f.Show();
    f.group.SetEnabled(false); // the settings are greyed out while a job runs
    EXPECT_FALSE(f.edHost.SetFocus());
    EXPECT_FALSE(f.cboxVerbose.UserClick());
    EXPECT_FALSE(f.cboxVerbose.Checked());
    EXPECT_FALSE(f.edHost.UserSetText("typed"));
    f.group.SetEnabled(true);
    f.edHost.SetVisible(false);
    EXPECT_FALSE(f.edHost.SetFocus());
    EXPECT_FALSE(f.label.SetFocus()) << "labels take no focus";
    TEdit stray;
    EXPECT_FALSE(f.FocusControl(&stray));
    EXPECT_EQ(f.ActiveControl(), nullptr);

    // Program clicks ignore Enabled, like the program's own calls.
    f.btnPoll.SetEnabled(false);
    f.btnPoll.Click();
    EXPECT_EQ(f.log.back(), "click btnPoll");

    // A focused control that goes away leaves no dangling focus.
    auto *temp = new TEdit("temp");
    temp->SetParent(&f);
    ASSERT_TRUE(temp->SetFocus());
    delete temp;
    EXPECT_EQ(f.ActiveControl(), nullptr);
    EXPECT_TRUE(f.edPollDir.SetFocus());
    EXPECT_EQ(f.Controls().size(), 3u);
}

TEST(UiForm, CloseQueryCloseActionsModalAndSysCommand) {
    TForm f("frmAuth");
    std::vector<std::string> log;
    bool allow = false;
    f.OnShow = [&](TObject *) { log.push_back("show"); };
    f.OnCloseQuery = [&](TObject *, bool &can) {
        log.push_back("query");
        can = allow;
    };
    f.OnClose = [&](TObject *, TCloseAction &a) {
        log.push_back("close");
        a = caFree;
    };
    f.OnRelease = [&](TObject *) { log.push_back("release"); };
    f.OnDestroy = [&](TObject *) { log.push_back("destroy"); };

    f.ShowModal();
    EXPECT_TRUE(f.Visible());
    EXPECT_TRUE(f.Modal());
    EXPECT_FALSE(f.Close());
    EXPECT_TRUE(f.Visible());

    TButton ok("btnOK");
    ok.SetParent(&f);
    ok.SetModalResult(mrOk);
    ok.OnClick = [&](TObject *) { log.push_back("ok clicked"); };
    allow = true;
    ok.Click();
    EXPECT_FALSE(f.Visible());
    EXPECT_FALSE(f.Modal());
    EXPECT_EQ(f.ModalResult(), mrOk);
    EXPECT_EQ(f.LastCloseAction(), caFree);
    f.Destroy();
    f.Destroy();
    EXPECT_EQ(log, (std::vector<std::string>{"show", "query", "ok clicked", "query", "close",
                                             "release", "destroy"}));

    TForm main("frmMain");
    std::vector<std::uint32_t> commands;
    main.OnSysCommand = [&](TObject *, std::uint32_t cmd, bool &handled) {
        commands.push_back(cmd);
        if ((cmd & 0xFFF0) == SC_MINIMIZE) {
            main.Hide();
            handled = true;
        }
    };
    main.Show();
    main.SysCommand(SC_MINIMIZE);
    EXPECT_FALSE(main.Visible());
    EXPECT_EQ(main.WindowState(), wsNormal);
    main.SysCommand(SC_MAXIMIZE);
    EXPECT_EQ(main.WindowState(), wsMaximized);
    main.SysCommand(SC_CLOSE); // no handler: closes (hides) the form
    EXPECT_EQ(main.LastCloseAction(), caHide);
    EXPECT_EQ(commands.size(), 3u);
}

TEST(UiModel, ViewNotificationsMenusAndStatusBar) {
    TEdit e("edTo");
    std::vector<TChange> changes;
    e.ViewNotify = [&](TControl *c, TChange what) {
        EXPECT_EQ(c, &e);
        changes.push_back(what);
    };
    e.SetText("a");
    e.SetText("a");
    e.SetEnabled(false);
    e.SetHint("Destination e-mail address");
    e.SetBounds(1, 2, 3, 4);
    e.SetColor(clBtnFace);
    EXPECT_EQ(changes, (std::vector<TChange>{TChange::Text, TChange::Enabled, TChange::Hint,
                                             TChange::Bounds, TChange::Color}));

    TStatusBar bar("StatusBar1");
    bar.AddPanel(50);
    bar.AddPanel(50);
    bar.SetPanelText(1, "Nothing to do");
    bar.SetPanelText(5, "ignored");
    EXPECT_EQ(bar.PanelText(1), "Nothing to do");
    EXPECT_EQ(bar.PanelText(5), "");

    TPopupMenu popup("Popup");
    TMenuItem run("RUN1", "Start  &Timer");
    TMenuItem sep("N1", "-");
    popup.Add(&run);
    popup.Add(&sep);
    int runs = 0;
    run.OnClick = [&](TObject *) { ++runs; };
    run.SetEnabled(false);
    EXPECT_FALSE(run.UserClick());
    run.Click();
    run.SetEnabled(true);
    EXPECT_TRUE(run.UserClick());
    EXPECT_FALSE(sep.UserClick());
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(popup.Find("RUN1"), &run);
    EXPECT_EQ(popup.Find("nope"), nullptr);
}

TEST(DialogService, ScriptedRecordsAndAnswersAsTold) {
    TScriptedDialogs script;
    TDialogService *before = SetDialogService(&script);
    script.QueueMessageResult(IDCANCEL);
    script.QueueInput(false);
    script.QueueInput(true, "mail.zip");
    script.QueueBrowse(true, "/srv/outgoing");
    script.QueueShellOpenResult(false);

    EXPECT_EQ(MessageDlg("Postvane is currently proccesing a job. Do you realy want to exit now?",
                         TMsgIcon::Warning, {IDYES, IDCANCEL}),
              IDCANCEL);
    EXPECT_EQ(MessageBox("Only directory entries are allowed", "Postvane", MB_OK), IDOK);
    std::string zip = "Package.zip";
    EXPECT_FALSE(InputQuery("ZIP File Name ", "ZIP file name, must end on '.zip'", zip));
    EXPECT_EQ(zip, "Package.zip");
    EXPECT_TRUE(InputQuery("ZIP File Name ", "ZIP file name, must end on '.zip'", zip));
    EXPECT_EQ(zip, "mail.zip");
    TBrowseRequest req;
    req.Title = "Select a directory";
    req.InitialDir = "/tmp/";
    std::string folder;
    EXPECT_TRUE(BrowseForFolder(req, folder));
    EXPECT_EQ(folder, "/srv/outgoing");
    EXPECT_FALSE(ShellOpen("/opt/postvane/postvane.log"));
    EXPECT_TRUE(ShellOpen("readme.txt")) << "empty queue: opened";
    EXPECT_FALSE(BrowseForFolder(req, folder)) << "empty queue: cancelled";

    const auto &r = script.Records();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0].Request.Icon, TMsgIcon::Warning);
    EXPECT_EQ(r[0].Request.Buttons, (std::vector<int>{IDYES, IDCANCEL}));
    EXPECT_EQ(r[0].Result, IDCANCEL);
    EXPECT_EQ(r[2].Kind, TDialogRecord::Input);
    EXPECT_EQ(r[3].Value, "Package.zip") << "the prefilled text is recorded";
    EXPECT_EQ(r[4].Prompt, "Select a directory");
    EXPECT_EQ(r[4].Value, "/tmp/");
    EXPECT_EQ(r[5].Value, "/opt/postvane/postvane.log");
    EXPECT_EQ(script.MessageTexts(),
              (std::vector<std::string>{
                  "Postvane is currently proccesing a job. Do you realy want to exit now?",
                  "Only directory entries are allowed"}));

    // A live handler decides while the box is up.
    script.OnMessage = [](const TMessageRequest &m) { return m.Text == "retry?" ? IDRETRY : IDOK; };
    EXPECT_EQ(MessageBox("retry?", "", MB_RETRYCANCEL), IDRETRY);

    EXPECT_EQ(SetDialogService(before), &script);
    EXPECT_NE(&Dialogs(), &script);
}

TEST(DialogService, HeadlessTakesDefaultsAndPrints) {
    std::FILE *out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    THeadlessDialogs headless(out);
    TDialogService *before = SetDialogService(&headless);

    EXPECT_EQ(MessageBox("Exit now?", "Postvane", MB_YESNO | MB_ICONWARNING), IDYES);
    EXPECT_EQ(MessageBox("Exit now?", "Postvane", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(MessageBox("Sure?", "Postvane", MB_OKCANCEL), IDOK);
    EXPECT_EQ(MessageBox("x", "", MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
    EXPECT_EQ(MessageBox("x", "", MB_OK | MB_DEFBUTTON3), IDOK) << "default past the buttons";
    EXPECT_EQ(
        MessageDlg("Postvane is currently proccesing a job.", TMsgIcon::Warning, {IDYES, IDCANCEL}),
        IDYES);
    std::string value = "Package.zip";
    EXPECT_FALSE(InputQuery("ZIP File Name ", "ZIP file name, must end on '.zip'", value));
    EXPECT_EQ(value, "Package.zip");
    std::string folder = "/keep";
    EXPECT_FALSE(BrowseForFolder(TBrowseRequest{}, folder));
    EXPECT_EQ(folder, "/keep");
    EXPECT_FALSE(ShellOpen("https://example.org/"));
    SetDialogService(before);

    std::rewind(out);
    std::string text;
    char buf[512];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, out))
        text.append(buf, n);
    std::fclose(out);
    EXPECT_NE(text.find("[Postvane] Exit now?\n"), std::string::npos) << text;
    EXPECT_NE(text.find("answered: Yes"), std::string::npos) << text;
    EXPECT_NE(text.find("ZIP file name, must end on '.zip'"), std::string::npos);
    EXPECT_NE(text.find("https://example.org/"), std::string::npos);

    TMessageRequest r = MakeMessageRequest("t", "c", MB_ABORTRETRYIGNORE | MB_ICONQUESTION);
    EXPECT_EQ(r.Buttons, (std::vector<int>{IDABORT, IDRETRY, IDIGNORE}));
    EXPECT_EQ(r.DefaultButton, IDABORT);
    EXPECT_EQ(r.Icon, TMsgIcon::Question);
}
