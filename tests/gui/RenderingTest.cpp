// A model form as the Qt front end shows it: the model's changes reach the
// widgets, the user's clicks and typing reach the model, and a focus move
// refused by OnExit leaves the focus where it was.
#include "GuiFixture.h"

#include "platform/ui/Ui.h"

namespace pv::test {
namespace {

struct SettingsForm : TForm {
    TGroupBox server{"GroupBox1"};
    TEdit edHost{"edHost"};
    TEdit edFrom{"edFrom"};
    TCheckBox cboxVerbose{"cboxVerbose"};
    TButton btnPoll{"btnPoll"};
    TLabel lbNextPoll{"lbNextPoll"};
    TMemo Memo1{"Memo1"};
    TStatusBar status{"StatusBar1"};
    std::vector<std::string> log;

    SettingsForm() : TForm("frmSettings") {
        SetCaption("Postvane Freeware 1.4.6");
        SetClientSize(385, 300);
        server.SetParent(this);
        server.SetCaption("Server");
        server.SetBounds(8, 8, 260, 90);
        edHost.SetParent(&server);
        edHost.SetBounds(70, 22, 180, 24);
        edHost.SetHint("IP or DNS name of the mail server - required|long help");
        edFrom.SetParent(&server);
        edFrom.SetBounds(70, 54, 180, 24);
        cboxVerbose.SetParent(this);
        cboxVerbose.SetCaption("Verbose");
        cboxVerbose.SetBounds(8, 110, 120, 22);
        btnPoll.SetParent(this);
        btnPoll.SetCaption("&Poll Now");
        btnPoll.SetBounds(280, 12, 90, 28);
        lbNextPoll.SetParent(this);
        lbNextPoll.SetCaption("&Next Poll: Disabled");
        lbNextPoll.SetBounds(8, 140, 200, 20);
        Memo1.SetParent(this);
        Memo1.SetBounds(64, 170, 209, 40);
        Memo1.SetLines({"first line", "second line"});
        status.SetParent(this);
        status.AddPanel(60, "Timer Off");
        status.AddPanel(60, "");

        cboxVerbose.OnClick = [this](TObject *) {
            log.push_back(cboxVerbose.Checked() ? "verbose on" : "verbose off");
        };
        btnPoll.OnClick = [this](TObject *) { log.push_back("poll"); };
        edHost.OnExit = [this](TObject *) {
            log.push_back("exit edHost");
            if (edHost.Text() == "bad")
                throw EAbort(); // the silent cancel: the focus stays
        };
        Memo1.OnDblClick = [this](TObject *) {
            log.push_back("zoom");
            Memo1.SetBounds(4, 8, 273, 120);
        };
    }
};

struct Rendering : GuiTest {
    void SetUp() override {
        StartDesktop();
        if (IsSkipped() || HasFatalFailure())
            return;
        form = std::make_unique<SettingsForm>();
        form->Show();
        ASSERT_TRUE(Until([&] { return View(form->edHost).Visible; }));
    }
    void TearDown() override {
        form.reset();
        GuiTest::TearDown();
    }
    std::unique_ptr<SettingsForm> form;
};

TEST_F(Rendering, TheModelsPropertiesAndTheirChangesShowUp) {
    const TViewState window = View(*form);
    EXPECT_EQ(window.Text, "Postvane Freeware 1.4.6");
    EXPECT_EQ(window.Width, 385);
    EXPECT_EQ(window.Height, 300);
    TViewState host = View(form->edHost);
    EXPECT_EQ(host.Left, 70);
    EXPECT_EQ(host.Width, 180);
    EXPECT_EQ(host.ToolTip, "IP or DNS name of the mail server - required");
    EXPECT_EQ(View(form->lbNextPoll).Text, "Next Poll: Disabled");
    EXPECT_EQ(View(form->btnPoll).Text, "&Poll Now"); // an access key, as buttons show it
    EXPECT_EQ(View(form->Memo1).Text, "first line\nsecond line");
    EXPECT_EQ(View(form->status).Text, "Timer Off|");

    form->btnPoll.SetCaption("&Stop");
    form->btnPoll.SetEnabled(false);
    form->cboxVerbose.SetVisible(false);
    form->server.SetEnabled(false); // its controls with it
    form->status.SetPanelText(1, "Nothing to do");
    form->SetCaption("Changed");
    form->edHost.SetText("smtp.example.org");
    Pump(50);
    EXPECT_EQ(View(form->btnPoll).Text, "&Stop");
    EXPECT_FALSE(View(form->btnPoll).Enabled);
    EXPECT_FALSE(View(form->cboxVerbose).Visible);
    EXPECT_FALSE(View(form->edHost).Enabled);
    EXPECT_EQ(View(form->edHost).Text, "smtp.example.org");
    EXPECT_EQ(View(form->status).Text, "Timer Off|Nothing to do");
    EXPECT_EQ(View(*form).Text, "Changed");

    form->Hide();
    Pump(50);
    EXPECT_FALSE(View(*form).Visible);
    form->Show();
    ASSERT_TRUE(Until([&] { return View(*form).Visible; }));
    EXPECT_TRUE(View(form->btnPoll).Visible);
}

TEST_F(Rendering, ClicksAndTypingReachTheModel) {
    ClickOn(form->cboxVerbose);
    ASSERT_TRUE(Until([&] { return form->cboxVerbose.Checked(); }));
    EXPECT_TRUE(View(form->cboxVerbose).Checked);
    ClickOn(form->btnPoll);
    ASSERT_TRUE(Until([&] { return form->log.size() >= 2; }));
    EXPECT_EQ(form->log, (std::vector<std::string>{"verbose on", "poll"}));

    ClickOn(form->edFrom);
    ASSERT_TRUE(Until([&] { return form->ActiveControl() == &form->edFrom; }));
    Type("admin@example.org");
    ASSERT_TRUE(Until([&] { return form->edFrom.Text() == "admin@example.org"; }));
    EXPECT_TRUE(form->edFrom.Modified());

    // A disabled control takes nothing from the user.
    form->btnPoll.SetEnabled(false);
    ClickOn(form->btnPoll);
    Pump(200);
    EXPECT_EQ(form->log.size(), 2u);

    ClickOn(form->Memo1, 1, 2);
    ASSERT_TRUE(Until([&] { return View(form->Memo1).Height == 120; }));
    EXPECT_EQ(View(form->Memo1).Left, 4);
}

TEST_F(Rendering, AFocusMoveRefusedByOnExitKeepsTheFocusWhereItWas) {
    ClickOn(form->edHost);
    ASSERT_TRUE(Until([&] { return form->ActiveControl() == &form->edHost; }));
    Type("bad");
    ASSERT_TRUE(Until([&] { return form->edHost.Text() == "bad"; }));

    ClickOn(form->edFrom);
    ASSERT_TRUE(Until([&] { return !form->log.empty(); }));
    Pump(200);
    EXPECT_EQ(form->log, (std::vector<std::string>{"exit edHost"}));
    EXPECT_EQ(form->ActiveControl(), &form->edHost);
    EXPECT_TRUE(View(form->edHost).Focused);
    EXPECT_FALSE(View(form->edFrom).Focused);
    // The refused move cost no click elsewhere either.
    ClickOn(form->btnPoll);
    ASSERT_TRUE(Until([&] { return form->log.size() == 2; }));
    Pump(200);
    EXPECT_EQ(form->log, (std::vector<std::string>{"exit edHost", "exit edHost"}));

    form->edHost.SetText("good");
    ClickOn(form->edFrom);
    ASSERT_TRUE(Until([&] { return form->ActiveControl() == &form->edFrom; }));
    EXPECT_TRUE(Until([&] { return View(form->edFrom).Focused; }));
}

} // namespace
} // namespace pv::test
