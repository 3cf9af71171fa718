// The authentication dialog and the main window's "Authentication" box: which
// groups each type enables, the help text, and what closing the dialog or
// unchecking the box stores.
#include "app/FrmAuth.h"
#include "AppFixture.h"

namespace pv::test {
namespace {

class FrmAuth : public AppFixture {
  protected:
    // Enabled and painted as an editable control, or neither.
    static bool Editable(const TControl &c) { return c.Color() == clWindow; }
    static bool Greyed(const TControl &c) { return c.Color() == clBtnFace; }
};

TEST_F(FrmAuth, EachTypeEnablesItsGroups) {
    TfrmMain &f = Start();
    f.btnAuth.Click();
    TfrmAuth &d = *f.frmAuth();

    struct Expect {
        int type;
        bool pop3, account;
    };
    for (const Expect e :
         {Expect{1, true, true}, Expect{2, false, true}, Expect{0, false, false}}) {
        SCOPED_TRACE(e.type);
        d.rgAuthType.SetItemIndex(e.type);
        EXPECT_EQ(d.GroupBox1.Enabled(), e.pop3);
        EXPECT_EQ(d.cbApop.Enabled(), e.pop3);
        EXPECT_TRUE(e.pop3 ? Editable(d.edHost) && Editable(d.spinPort)
                           : Greyed(d.edHost) && Greyed(d.spinPort));
        EXPECT_EQ(d.GroupBox2.Enabled(), e.account);
        EXPECT_TRUE(e.account ? Editable(d.edUser) && Editable(d.edPwd)
                              : Greyed(d.edUser) && Greyed(d.edPwd));
    }

    d.button1.Click();
    ASSERT_EQ(dialogs_.MessageTexts().size(), 1u);
    const std::string help = dialogs_.MessageTexts()[0];
    EXPECT_EQ(help, kAuthHelpText);
    // Its line breaks are LF CR pairs.
    EXPECT_EQ(help.rfind("SMTP Authentication represents most common authentication type in use "
                         "today.\n\rPostvane detects",
                         0),
              0u);
    EXPECT_TRUE(help.ends_with("otherwise authentication would fail!"));
    d.btnOK.Click();
    app_.ProcessMessages();
    EXPECT_EQ(f.frmAuth(), nullptr);
}

TEST_F(FrmAuth, OpensOnLoadWithTheStoredTypeAndClosesIntoTheMainWindow) {
    WriteIni("Authentication=2\r\n");
    TfrmMain &f = Start();
    // Loading at start-up checks the box without opening the dialog.
    EXPECT_TRUE(f.cboxAuth.Checked());
    EXPECT_EQ(f.frmAuth(), nullptr);
    f.btnAuth.Click();
    TfrmAuth &d = *f.frmAuth();
    EXPECT_EQ(d.rgAuthType.ItemIndex(), 2);
    EXPECT_TRUE(d.GroupBox2.Enabled());
    EXPECT_FALSE(d.GroupBox1.Enabled());

    // "None" and close: the box is unchecked (without reopening the dialog)
    // and Authentication=0 stored.
    d.rgAuthType.SetItemIndex(0);
    d.Close();
    app_.ProcessMessages();
    EXPECT_EQ(f.frmAuth(), nullptr);
    EXPECT_FALSE(f.cboxAuth.Checked());
    EXPECT_FALSE(f.btnAuth.Enabled());
    EXPECT_EQ(IniValue("Authentication"), "0");
}

TEST_F(FrmAuth, CheckingTheBoxOpensTheDialogUncheckingSwitchesOff) {
    TfrmMain &f = Start();
    EXPECT_FALSE(f.btnAuth.Enabled());
    f.cboxAuth.SetChecked(true);
    // The dialog reloads the file, which still says "none": the box shows
    // that until the dialog closes with a type.
    ASSERT_NE(f.frmAuth(), nullptr);
    EXPECT_FALSE(f.cboxAuth.Checked());
    EXPECT_TRUE(f.frmAuth()->Visible());
    f.frmAuth()->rgAuthType.SetItemIndex(1);
    f.frmAuth()->edHost.SetText("pop.example.org");
    f.frmAuth()->btnOK.Click();
    app_.ProcessMessages();
    EXPECT_EQ(IniValue("Authentication"), "1");
    EXPECT_TRUE(f.cboxAuth.Checked());
    EXPECT_TRUE(f.btnAuth.Enabled());

    // Unchecking stores the switch at once; the account stays.
    f.cboxAuth.SetChecked(false);
    EXPECT_EQ(f.frmAuth(), nullptr);
    EXPECT_FALSE(f.btnAuth.Enabled());
    EXPECT_EQ(IniValue("Authentication"), "0");
    EXPECT_EQ(IniValue("Pop3Host"), "pop.example.org");
}

} // namespace
} // namespace pv::test
