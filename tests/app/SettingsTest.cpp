#include "app/Settings.h"
#include "AppFixture.h"
#include "app/FrmAbout.h"
#include "app/FrmAuth.h"

namespace pv::test {
namespace {

using Settings = AppFixture;

const std::vector<std::string> kOwnedKeys = {"Authentication",
                                             "ZIPFileName",
                                             "PollDir",
                                             "Host",
                                             "HostPort",
                                             "To",
                                             "Cc",
                                             "Bcc",
                                             "From",
                                             "Subject",
                                             "TimeUnit",
                                             "PollInterval",
                                             "Log",
                                             "Backup",
                                             "Delete",
                                             "Archive",
                                             "StartInTimerMode",
                                             "ZipCompression",
                                             "AppendFileNames",
                                             "Charset",
                                             "SingleFilePerMail",
                                             "FileSelection",
                                             "RunOnceExit",
                                             "VerboseLogging"};

std::vector<std::string> KeysOf(const std::string &ini) {
    std::vector<std::string> keys;
    for (const std::string &l : CrLfLines(ini))
        if (auto eq = l.find('='); eq != std::string::npos)
            keys.push_back(l.substr(0, eq));
    return keys;
}

TEST_F(Settings, FirstStartWritesEveryKeyInOrderWithDefaults) {
    TfrmMain &f = Start();
    const std::string ini = ReadFile(Ini());
    EXPECT_EQ(CrLfLines(ini).front(), "[SETUP]");
    EXPECT_EQ(KeysOf(ini), kOwnedKeys); // no account keys without the dialog
    EXPECT_EQ(IniValue("Authentication"), "0");
    EXPECT_EQ(IniValue("ZIPFileName"), "Package.zip");
    EXPECT_EQ(IniValue("PollDir"), "/tmp");
    EXPECT_EQ(IniValue("HostPort"), "25");
    EXPECT_EQ(IniValue("Subject"), "Mail from Postvane");
    EXPECT_EQ(IniValue("TimeUnit"), "M");
    EXPECT_EQ(IniValue("PollInterval"), "2");
    EXPECT_EQ(IniValue("Log"), "1");
    EXPECT_EQ(IniValue("Charset"), "iso-8859-2");
    EXPECT_EQ(IniValue("FileSelection"), "mylog.txt;*.txt;*.wa?;img10?.bmp");
    EXPECT_EQ(IniValue("RunOnceExit"), "0");
    struct stat st {};
    ASSERT_EQ(stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFile(Dir() + "body.txt"), "Sample message text **double click to zoom in**\r\n");
    EXPECT_TRUE(FileExists(LogPath()));
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(DirectoryExists(Dir() + "Temp"));
    EXPECT_EQ(f.TempDir(), Dir() + "Temp/");
    EXPECT_EQ(f.Caption(), "Postvane Freeware 1.4.6");
    EXPECT_EQ(f.lbNextPoll.Caption(), "Disabled");
    EXPECT_EQ(f.StatusBar1.PanelText(0), "Timer Off");
    EXPECT_FALSE(f.Visible());
    ASSERT_NE(f.frmAbout(), nullptr);
    EXPECT_TRUE(f.frmAbout()->Modal());
    EXPECT_EQ(f.frmAbout()->Panel1.Caption().rfind("Postvane Freeware 1.4.6\r\n", 0), 0u);
    EXPECT_TRUE(Job(f).Ready);
}

// The file as the program writes it, byte for byte: keys in the order of
// their writes, new keys appended to the section, every other line kept.
TEST_F(Settings, FileIsWrittenByteForByte) {
    const std::string defaults = "[SETUP]\r\n"
                                 "Authentication=0\r\n"
                                 "ZIPFileName=Package.zip\r\n"
                                 "PollDir=/tmp\r\n"
                                 "Host=smtp.example.com\r\n"
                                 "HostPort=25\r\n"
                                 "To=recipient@example.com\r\n"
                                 "Cc=cc1@example.com;cc2@example.com\r\n"
                                 "Bcc=bcc1@example.com;bcc2@example.com\r\n"
                                 "From=postvane@example.com\r\n"
                                 "Subject=Mail from Postvane\r\n"
                                 "TimeUnit=M\r\n"
                                 "PollInterval=2\r\n"
                                 "Log=1\r\n"
                                 "Backup=0\r\n"
                                 "Delete=0\r\n"
                                 "Archive=0\r\n"
                                 "StartInTimerMode=0\r\n"
                                 "ZipCompression=0\r\n"
                                 "AppendFileNames=0\r\n"
                                 "Charset=iso-8859-2\r\n"
                                 "SingleFilePerMail=0\r\n"
                                 "FileSelection=mylog.txt;*.txt;*.wa?;img10?.bmp\r\n"
                                 "RunOnceExit=0\r\n"
                                 "VerboseLogging=0\r\n";
    TfrmMain &f = Start();
    EXPECT_EQ(ReadFile(Ini()), defaults);

    // The dialog's close appends the account keys in its own order.
    f.btnAuth.Click();
    f.frmAuth()->Close();
    app_.ProcessMessages();
    EXPECT_EQ(ReadFile(Ini()), defaults + "UserName=User or Account\r\n"
                                          "Password=Password\r\n"
                                          "APop=0\r\n"
                                          "Pop3Host=pop3.example.com\r\n"
                                          "Pop3Port=110\r\n");

    // Keys already in the file keep their places and foreign lines stay.
    WriteFile(Ini(), "; kept\r\n[SETUP]\r\nVerboseLogging=1\r\nextra=x\r\nHost= far.example \r\n"
                     "\r\n"
                     "[MimeTypes]\r\n.pdf=application/pdf\r\n");
    form_.reset();
    TfrmMain &g = Start();
    g.btnAuth.Click();
    g.frmAuth()->rgAuthType.SetItemIndex(2);
    g.frmAuth()->edUser.SetText(" user ");
    g.frmAuth()->edPwd.SetText("pw");
    g.frmAuth()->cbApop.SetChecked(true);
    g.frmAuth()->spinPort.SetValue(995);
    g.frmAuth()->Close();
    app_.ProcessMessages();
    g.edTo.SetText(" a@x.org; \"B, C\" <b@x.org> ");
    g.edSubject.SetText("S\xE9"
                        "ance ");
    g.spinPollMin.SetValue(596);
    g.ComboTime.SetItemIndex(0);
    g.ComboCharset.SetItemIndex(g.ComboCharset.IndexOf("Unicode-1-1-UCS-2"));
    g.cboxZip.SetChecked(true);
    g.cboxDelete.SetChecked(true);
    g.SaveSettings();
    EXPECT_EQ(ReadFile(Ini()), "; kept\r\n[SETUP]\r\n"
                               "VerboseLogging=1\r\n"
                               "extra=x\r\n"
                               "Host=far.example\r\n"
                               "Authentication=2\r\n"
                               "ZIPFileName=Package.zip\r\n"
                               "PollDir=/tmp\r\n"
                               "HostPort=25\r\n"
                               "To=a@x.org; \"B, C\" <b@x.org>\r\n"
                               "Cc=cc1@example.com;cc2@example.com\r\n"
                               "Bcc=bcc1@example.com;bcc2@example.com\r\n"
                               "From=postvane@example.com\r\n"
                               "Subject=S\xE9"
                               "ance\r\n"
                               "TimeUnit=S\r\n"
                               "PollInterval=596\r\n"
                               "Log=1\r\n"
                               "Backup=0\r\n"
                               "Delete=1\r\n"
                               "Archive=0\r\n"
                               "StartInTimerMode=0\r\n"
                               "ZipCompression=1\r\n"
                               "AppendFileNames=0\r\n"
                               "Charset=unicode-1-1-ucs-2\r\n"
                               "SingleFilePerMail=0\r\n"
                               "FileSelection=mylog.txt;*.txt;*.wa?;img10?.bmp\r\n"
                               "RunOnceExit=0\r\n"
                               "UserName=user\r\n"
                               "Password=\xF0\xF7\r\n"
                               "APop=1\r\n"
                               "Pop3Host=pop3.example.com\r\n"
                               "Pop3Port=995\r\n"
                               "\r\n"
                               "[MimeTypes]\r\n.pdf=application/pdf\r\n");
}

TEST_F(Settings, SavedValuesLoadBackAndTextsAreTrimmed) {
    TfrmMain &f = Start();
    f.edHost.SetText("  mail.test  ");
    f.spinPort.SetValue(2525);
    f.edTo.SetText("a@x.org; b@x.org ");
    f.edFrom.SetText("\"Me\" <me@x.org>");
    f.edSubject.SetText(" Report ");
    f.ComboTime.SetItemIndex(2);
    f.spinPollMin.SetValue(7);
    f.ComboCharset.SetItemIndex(f.ComboCharset.IndexOf("UTF-8"));
    for (TCheckBox *c :
         {&f.cboxBackup, &f.cboxDelete, &f.cboxArchive, &f.cboxFilenames, &f.cboxSingleFilePerMail})
        c->SetChecked(true);
    f.cboxLogging.SetChecked(false);
    f.edExtensions.SetText(" *.log ");
    f.SaveSettings();
    EXPECT_EQ(IniValue("Host"), "mail.test");
    EXPECT_EQ(IniValue("TimeUnit"), "H");
    EXPECT_EQ(IniValue("Charset"), "utf-8");
    EXPECT_EQ(IniValue("Log"), "0");

    form_.reset();
    TfrmMain &g = Start();
    EXPECT_EQ(g.edHost.Text(), "mail.test");
    EXPECT_EQ(g.spinPort.Value(), 2525);
    EXPECT_EQ(g.edTo.Text(), "a@x.org; b@x.org");
    EXPECT_EQ(g.edFrom.Text(), "\"Me\" <me@x.org>");
    EXPECT_EQ(g.edSubject.Text(), "Report");
    EXPECT_EQ(g.ComboTime.Text(), "H");
    EXPECT_EQ(g.spinPollMin.Value(), 7);
    EXPECT_EQ(g.ComboCharset.Text(), "UTF-8");
    EXPECT_TRUE(g.cboxBackup.Checked() && g.cboxDelete.Checked() && g.cboxArchive.Checked());
    EXPECT_TRUE(g.cboxFilenames.Checked() && g.cboxSingleFilePerMail.Checked());
    EXPECT_FALSE(g.cboxLogging.Checked());
    EXPECT_EQ(g.edExtensions.Text(), "*.log");
}

TEST_F(Settings, LoadRulesForDependentBoxesUnitsAndCharsets) {
    WriteIni("RunOnceExit=1\r\nStartInTimerMode=0\r\nVerboseLogging=1\r\nLog=0\r\n"
             "Charset=UTF-8\r\nTimeUnit=s\r\nAuthentication=2\r\n");
    TfrmMain &f = Start();
    EXPECT_TRUE(f.cboxRunOnce.Checked());
    EXPECT_TRUE(f.cboxPollOnStart.Checked());
    EXPECT_TRUE(f.cboxVerbose.Checked());
    EXPECT_TRUE(f.cboxLogging.Checked());
    EXPECT_EQ(f.ComboCharset.Text(), "UTF-8");
    EXPECT_EQ(IniValue("Charset"), "utf-8");
    EXPECT_EQ(f.ComboTime.Text(), "S");
    EXPECT_TRUE(f.cboxAuth.Checked());
    EXPECT_TRUE(f.btnAuth.Enabled());
    EXPECT_EQ(Held(f).AuthMode, 2);

    WritePrivateProfileString("SETUP", "Charset", "us-ascii", Ini());
    f.LoadSettings();
    EXPECT_EQ(f.ComboCharset.Text(), "ISO-8859-2");
}

// Damaged values take their defaults or limits; junk never stops the program
// and never reaches the file as anything but the program's own keys.
TEST_F(Settings, DamagedValuesAreTamedAndForeignLinesKept) {
    const std::string foreign = "; a comment\r\n"
                                "Unknown=keep me\r\n"
                                "Junk=" +
                                std::string(100000, 'x') + "\x01\xff\r\n";
    WriteIni(foreign +
             "Authentication=abc\r\nHostPort=0x1F\r\nPollInterval=99999\r\n"
             "TimeUnit=X\r\nCharset=klingon\r\nLog=yes\r\nBackup=0x1\r\n"
             "Subject=" +
             std::string(5000, 's') + "\r\nHost=ab" + std::string(1, '\0') + "cd\r\n" +
             "To=x\ry\r\nCc=\x01\xfe\xff z\r\n[MimeTypes]\r\n.pdf=application/pdf\r\n");
    const std::string before = ReadFile(Ini());
    TfrmMain &f = Start();
    EXPECT_FALSE(app_.Terminated());
    EXPECT_EQ(Held(f).AuthMode, 0);
    EXPECT_EQ(f.spinPort.Value(), 31);
    EXPECT_EQ(f.spinPollMin.Value(), 596);
    EXPECT_EQ(f.ComboTime.Text(), "M");
    EXPECT_EQ(f.ComboCharset.Text(), "ISO-8859-2");
    EXPECT_TRUE(f.cboxLogging.Checked());
    EXPECT_TRUE(f.cboxBackup.Checked());
    EXPECT_EQ(f.edSubject.Text().size(), 998u);
    EXPECT_EQ(f.edHost.Text(), "ab");
    EXPECT_EQ(f.edTo.Text(), "x");
    EXPECT_EQ(f.edCC.Text(), "\xfe\xff z");

    const std::string after = ReadFile(Ini());
    EXPECT_NE(after.find(foreign), std::string::npos);
    EXPECT_NE(after.find("[MimeTypes]\r\n.pdf=application/pdf\r\n"), std::string::npos);
    for (const std::string &key : KeysOf(after))
        if (key != "Unknown" && key != "Junk" && key != ".pdf") {
            EXPECT_NE(std::find(kOwnedKeys.begin(), kOwnedKeys.end(), key), kOwnedKeys.end())
                << key;
        }
    EXPECT_EQ(IniValue("PollInterval"), "596");
    EXPECT_EQ(IniValue("Host"), "ab");
    EXPECT_NE(before, after);

    WritePrivateProfileString("SETUP", "PollInterval", "-5", Ini());
    WritePrivateProfileString("SETUP", "HostPort", "99999999999999999999", Ini());
    f.LoadSettings();
    EXPECT_EQ(f.spinPollMin.Value(), 1);
    EXPECT_EQ(f.spinPort.Value(), 25);
}

TEST_F(Settings, UnwritableIniEndsTheProgramWithItsName) {
    ASSERT_EQ(mkdir(Ini().c_str(), 0700), 0);
    TfrmMain &f = Start();
    EXPECT_TRUE(app_.Terminated());
    EXPECT_TRUE(f.Failed());
    ASSERT_EQ(dialogs_.MessageTexts().size(), 1u);
    const std::string text = dialogs_.MessageTexts()[0];
    EXPECT_EQ(text.rfind("EProfileError: ", 0), 0u) << text;
    EXPECT_NE(text.find(Ini()), std::string::npos);
    EXPECT_TRUE(text.ends_with("\r\nApplication will terminate.\r\n")) << text;
}

TEST_F(Settings, AccountKeysAreWrittenOnlyThroughTheDialog) {
    TfrmMain &f = Start();
    f.btnAuth.Click();
    TfrmAuth *d = f.frmAuth();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Caption(), "Authentications");
    EXPECT_EQ(d->edUser.Text(), "User or Account");
    EXPECT_EQ(d->spinPort.Value(), 110);
    EXPECT_EQ(d->rgAuthType.ItemIndex(), 0);
    EXPECT_FALSE(d->GroupBox1.Enabled());
    EXPECT_FALSE(d->GroupBox2.Enabled());
    EXPECT_EQ(IniValue("UserName"), "<missing>");

    d->rgAuthType.SetItemIndex(1);
    EXPECT_TRUE(d->GroupBox1.Enabled() && d->GroupBox2.Enabled());
    d->edUser.SetText(" bob ");
    d->edPwd.SetText("s3cret");
    d->edHost.SetText("pop.test");
    d->spinPort.SetValue(1110);
    d->cbApop.SetChecked(true);
    d->btnOK.Click();
    app_.ProcessMessages();
    EXPECT_EQ(f.frmAuth(), nullptr);
    EXPECT_TRUE(f.cboxAuth.Checked());
    EXPECT_TRUE(f.btnAuth.Enabled());

    std::vector<std::string> keys = KeysOf(ReadFile(Ini()));
    std::vector<std::string> tail(keys.end() - 5, keys.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{"UserName", "Password", "APop", "Pop3Host", "Pop3Port"}));
    EXPECT_EQ(IniValue("UserName"), "bob");
    EXPECT_EQ(IniValue("Password"), ScramblePassword("s3cret"));
    EXPECT_EQ(IniValue("APop"), "1");
    EXPECT_EQ(IniValue("Pop3Port"), "1110");
    EXPECT_EQ(IniValue("Authentication"), "1");

    form_.reset();
    TfrmMain &g = Start();
    EXPECT_EQ(Held(g).Password, "s3cret");
    EXPECT_EQ(Held(g).Pop3Host, "pop.test");
    EXPECT_TRUE(Held(g).APop);
}

// The dialog shows the account as the file has it when it opens.
TEST_F(Settings, DialogShowsTheAccountOfTheFile) {
    TfrmMain &f = Start();
    WriteIni("Authentication=1\r\nUserName= ann \r\nPassword=" + ScramblePassword("pw") +
             "\r\nAPop=1\r\nPop3Host=pop.hand\r\nPop3Port=2110\r\n");
    f.btnAuth.Click();
    TfrmAuth *d = f.frmAuth();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->rgAuthType.ItemIndex(), 1);
    EXPECT_EQ(d->edUser.Text(), "ann");
    EXPECT_EQ(d->edPwd.Text(), "pw");
    EXPECT_TRUE(d->cbApop.Checked());
    EXPECT_EQ(d->edHost.Text(), "pop.hand");
    EXPECT_EQ(d->spinPort.Value(), 2110);
    d->Close();
    app_.ProcessMessages();
}

TEST_F(Settings, PasswordThatCannotReadBackKeepsTheStoredOne) {
    TfrmMain &f = Start();
    f.btnAuth.Click();
    f.frmAuth()->edPwd.SetText("good");
    f.frmAuth()->Close();
    // U+00E0 ends in 0xA0 (a blank once scrambled), U+044A holds 0x8A (a LF).
    for (const std::string pwd : {"bad\xC3\xA0", "b\xD1\x8A"
                                                 "d"}) {
        dialogs_.Clear();
        app_.ProcessMessages();
        f.btnAuth.Click();
        f.frmAuth()->edPwd.SetText(pwd);
        f.frmAuth()->Close();
        EXPECT_EQ(IniValue("Password"), ScramblePassword("good"));
        ASSERT_EQ(dialogs_.MessageTexts().size(), 1u);
        EXPECT_NE(dialogs_.MessageTexts()[0].find("password cannot be stored"), std::string::npos);
        EXPECT_EQ(Held(f).Password, pwd);
    }
    EXPECT_FALSE(f.Failed());
    app_.ProcessMessages();
}

TEST_F(Settings, FieldChecksKeepTheFocusOnBadValues) {
    TfrmMain &f = Start();
    const std::string poll = Dir() + "poll/";
    ASSERT_TRUE(CreateDirectory(poll));

    ASSERT_TRUE(f.edPollDir.SetFocus());
    f.edPollDir.SetText(Dir() + "missing");
    EXPECT_FALSE(f.edHost.SetFocus());
    EXPECT_EQ(f.ActiveControl(), &f.edPollDir);
    EXPECT_EQ(dialogs_.MessageTexts(),
              std::vector<std::string>{"Only directory entries are allowed"});

    f.edPollDir.SetText(poll);
    f.edExtensions.SetText("  ");
    EXPECT_TRUE(f.edHost.SetFocus());
    EXPECT_EQ(f.edPollDir.Text(), poll);
    EXPECT_EQ(f.edExtensions.Text(), "*.*");
    EXPECT_EQ(IniValue("PollDir"), poll);
    f.edPollDir.SetFocus();
    f.edPollDir.SetText("/");
    EXPECT_TRUE(f.edHost.SetFocus());
    EXPECT_EQ(f.edPollDir.Text(), "/");

    dialogs_.Clear();
    f.edFrom.SetFocus();
    f.edFrom.SetText("justaword");
    EXPECT_FALSE(f.edTo.SetFocus());
    EXPECT_EQ(dialogs_.MessageTexts(), std::vector<std::string>{"Field From is invalid"});
    f.edFrom.SetText("John Doe");
    EXPECT_TRUE(f.edTo.SetFocus());
    EXPECT_EQ(f.edFrom.Text(), "\"John\" <Doe>");
    f.edFrom.SetFocus();
    f.edFrom.SetText("  Jane Roe <jane@x.org> ");
    EXPECT_TRUE(f.edTo.SetFocus());
    EXPECT_EQ(IniValue("From"), "\"Jane Roe\" <jane@x.org>");

    f.edExtensions.SetFocus();
    f.edExtensions.SetText("");
    EXPECT_TRUE(f.edTo.SetFocus());
    EXPECT_EQ(IniValue("FileSelection"), "*.*");

    // A hand edit is picked up when the focus enters a settings control.
    f.btnStart.SetFocus();
    WritePrivateProfileString("SETUP", "Host", "changed.example", Ini());
    f.edTo.SetFocus();
    EXPECT_EQ(f.edHost.Text(), "changed.example");
}

TEST_F(Settings, ZipNameDialogInsistsOnAZipName) {
    WriteIni("ZipCompression=1\r\nZIPFileName=x\r\n");
    TfrmMain &f = Start();
    EXPECT_TRUE(dialogs_.Records().empty()); // not during start-up
    f.cboxZip.SetChecked(false);

    dialogs_.QueueInput(true, "abc");
    dialogs_.QueueInput(true, "../evil.zip");
    dialogs_.QueueInput(true, "Out.ZIP");
    f.cboxZip.SetChecked(true);
    ASSERT_EQ(dialogs_.Records().size(), 3u);
    EXPECT_EQ(dialogs_.Records()[0].Caption, "ZIP File Name ");
    EXPECT_EQ(dialogs_.Records()[0].Prompt, "ZIP file name, must end on '.zip'");
    EXPECT_EQ(dialogs_.Records()[0].Value, "Package.zip");
    EXPECT_EQ(dialogs_.Records()[1].Value, "abc");
    EXPECT_EQ(Held(f).ZipName, "Out.ZIP");

    f.cboxZip.SetChecked(false);
    dialogs_.Clear();
    f.cboxZip.SetChecked(true); // cancelled: the name stays
    EXPECT_EQ(dialogs_.Records().at(0).Value, "Out.ZIP");
    EXPECT_EQ(Held(f).ZipName, "Out.ZIP");

    f.cboxZip.SetChecked(false);
    f.cboxSingleFilePerMail.SetChecked(true);
    dialogs_.Clear();
    f.cboxZip.SetChecked(true);
    EXPECT_TRUE(dialogs_.Records().empty());
}

} // namespace
} // namespace pv::test
