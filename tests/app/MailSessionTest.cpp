// The mail session's bookkeeping inside the program: error texts and the rows
// they fail, the result lines, the client's header and content-type hooks,
// attachments and message text, backup names, and a job cut short by the end
// of the program.
#include "../support/PeerProcess.h"
#include "AppFixture.h"

namespace pv::test {
namespace {

class MailSession : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        poll_ = Dir() + "poll/";
        ASSERT_TRUE(CreateDirectory(poll_));
    }
    // Rows as a scan would leave them, with what the session made of them.
    struct Row {
        std::string name, error;
        bool sent;
    };
    void Rows(TfrmMain &f, const std::vector<Row> &rows) {
        f.tblFiles.EmptyTable();
        for (const auto &r : rows) {
            f.tblFiles.Append();
            f.tblFiles.FieldByName("FileName").SetAsString(r.name);
            f.tblFiles.FieldByName("Error").SetAsString(r.error);
            f.tblFiles.FieldByName("Sent").SetAsBoolean(r.sent);
            f.tblFiles.Post();
        }
        f.tblFiles.First();
    }
    static std::vector<std::string> Errors(const TfrmMain &f) {
        std::vector<std::string> e;
        for (const auto &r : f.tblFiles.Rows())
            e.push_back(r.Error);
        return e;
    }
    std::string poll_;
};

TEST_F(MailSession, ErrorTextsByCodeAndKind) {
    TfrmMain &f = Start();
    struct Case {
        int code, kind;
        const char *text;
    } cases[] = {
        {0, 0, "Unknown error"},
        {550, 0, "Unknown error"}, // no reply of the session to quote
        {10061, 0, "Winsock err #10061 Connection refused"},
        {10004, 0, "Winsock err #10004 Interrupted system call"},
        {11001, 0, "Winsock err #11001 Host not found"},
        {20000, 0, "Unknown error"},
        {20005, 0, "Socks err #20005 connection not allowed by ruleset"}, // through [Proxy]
        {20599, 0, "Unknown error"},
        {20600, 0, "Invalid RFC response"},
        {10061, 1, "EThing: given text"},
        {0, 2, "Unknown request type"},
        {0, 3, "Application terminated"},
        {10054, 4, "Disconnected by remote peer"},
    };
    std::vector<std::string> expected;
    for (const Case &c : cases) {
        f.RecordError(smtpQuit, c.code, "EThing: given text", c.kind);
        EXPECT_EQ(Job(f).ResultText, c.text) << c.code << "/" << c.kind;
        expected.push_back(std::string("! ") + c.text);
    }
    // A timed-out session says so whatever failed.
    Job(f).TimedOut = true;
    f.RecordError(smtpQuit, 10061, "", 0);
    EXPECT_EQ(Job(f).ResultText, "Error: 426 Timeout");
    expected.push_back("! Error: 426 Timeout");
    // The end of the program wins over everything.
    app_.Terminate();
    f.RecordError(smtpQuit, 10061, "", 1);
    EXPECT_EQ(Job(f).ResultText, "Job aborted");
    expected.push_back("! Job aborted");
    EXPECT_EQ(LogTexts(), expected);
}

TEST_F(MailSession, AnErrorFailsTheFileInProgressAndAllLaterOnes) {
    TfrmMain &f = Start();
    const std::vector<Row> rows = {{"/p/sent", "", true},
                                   {"/p/missing", "File not found", false},
                                   {"/p/current", "", false},
                                   {"/p/later", "", false}};
    // All in one: from the first row, every row not sent.
    Rows(f, rows);
    f.tblFiles.Next();
    f.RecordError(smtpData, 0, "", 0);
    EXPECT_EQ(Errors(f),
              (std::vector<std::string>{"", "Unknown error", "Unknown error", "Unknown error"}));
    EXPECT_EQ(f.tblFiles.GetBookmark(), 1u);

    // One file per mail: from the file of the mail in progress on.
    f.cboxSingleFilePerMail.SetChecked(true);
    Rows(f, rows);
    f.tblFiles.Next();
    f.tblFiles.Next();
    f.RecordError(smtpRcptTo, 0, "", 2);
    EXPECT_EQ(Errors(f), (std::vector<std::string>{"", "File not found", "Unknown request type",
                                                   "Unknown request type"}));

    // The end of the session fails no file.
    Rows(f, rows);
    f.RecordError(smtpQuit, 0, "", 0);
    EXPECT_EQ(Errors(f), (std::vector<std::string>{"", "File not found", "", ""}));
}

TEST_F(MailSession, ResultLinesListEveryFailedFile) {
    TfrmMain &f = Start();
    Rows(f, {{"/p/a", "", true},
             {"/p/b", "Cannot open file", true}, // its mail went out without it
             {"/p/c", "554 refused", false}});
    Job(f).MailCount = 2;
    f.LogJobResults();
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{
                              "<unstamped> 3 File(s) in send list.",
                              "<unstamped> 1 File(s) with 2 Mail(s) sent",
                              "<unstamped> Following 2 File(s) failed:",
                              "<unstamped> \t/p/b - Cannot open file",
                              "<unstamped> \t/p/c - 554 refused",
                          }));
    EXPECT_EQ(Job(f).ResultText, "1 File(s) sent, 2 File(s) failed.");

    // With nothing sent the error of the session stays the result.
    Rows(f, {{"/p/c", "554 refused", false}});
    Job(f).ResultText = "554 refused";
    f.LogJobResults();
    EXPECT_EQ(Job(f).ResultText, "554 refused");
}

TEST_F(MailSession, XMailerHeaderIsReplacedWithinTheBuffer) {
    TfrmMain &f = Start();
    const std::string own = "X-Mailer: Postvane Freeware - Harlwick Software - "
                            "https://postvane.example.org/\r\n\tUse of this software as a "
                            "transport for the dissemination of SPAM\r\n\tis prohibited!";
    std::vector<char> buf(1024, 'z');
    std::snprintf(buf.data(), buf.size(), "x-MAILER: Some Component V2.38");
    f.SmtpHeaderLine(&f.Smtp, buf.data(), 1024);
    EXPECT_EQ(std::string(buf.data()), own);

    std::snprintf(buf.data(), buf.size(), "X-Mailer: short buffer");
    f.SmtpHeaderLine(&f.Smtp, buf.data(), 20);
    EXPECT_EQ(std::string(buf.data()), own.substr(0, 19));

    for (const char *other : {"Subject: X-Mailer: no", "X-Mailer", "From: a@b"}) {
        std::snprintf(buf.data(), buf.size(), "%s", other);
        f.SmtpHeaderLine(&f.Smtp, buf.data(), 1024);
        EXPECT_EQ(std::string(buf.data()), other);
    }
}

TEST_F(MailSession, ContentTypeIsReadFromTheIniForEveryAttachment) {
    WriteIni("PollDir=" + poll_ + "\r\n");
    TfrmMain &f = Start();
    auto type = [&](std::string name) {
        std::string t = "text/plain";
        f.SmtpAttachContentType(&f.Smtp, 0, name, t);
        return t;
    };
    EXPECT_EQ(type("report.pdf"), "application/octet-stream");
    WritePrivateProfileString("MimeTypes", ".pdf", "application/pdf", Ini());
    EXPECT_EQ(type("report.pdf"), "application/pdf");
    EXPECT_EQ(type("REPORT.PDF"), "application/pdf");
    EXPECT_EQ(type("pdf"), "application/octet-stream");
    EXPECT_EQ(type("report.pdf.txt"), "application/octet-stream");
}

TEST_F(MailSession, AttachmentsAndTextOfTheMails) {
    WriteIni("PollDir=" + poll_ + "\r\nFileSelection=*.txt\r\nAppendFileNames=1\r\n");
    WriteFile(poll_ + "a.txt", "a");
    WriteFile(poll_ + "c.txt", "c");
    TfrmMain &f = Start();
    f.ScanPollDir();
    ASSERT_EQ(f.tblFiles.RecordCount(), 2u);
    // b.txt was listed and is gone by now.
    f.tblFiles.First();
    f.tblFiles.Append();
    f.tblFiles.FieldByName("FileName").SetAsString(poll_ + "b.txt");
    f.tblFiles.Post();

    f.tblFiles.First();
    f.PrepareAttachments();
    f.BuildMessageText();
    EXPECT_EQ(f.Smtp.EmailFiles(), (std::vector<std::string>{poll_ + "a.txt", poll_ + "c.txt"}));
    const auto &rows = f.tblFiles.Rows();
    EXPECT_EQ(rows[0].Index, 0);
    EXPECT_EQ(rows[1].Index, 1);
    EXPECT_EQ(rows[2].Error, "File not found");
    ASSERT_TRUE(rows[0].Stamp.has_value());
    EXPECT_EQ(rows[0].Stamp->Size, 1);
    const std::string rule(72, '-');
    const std::string trailer =
        "Sent by 'Postvane Freeware V.1.4.6' - https://postvane.example.org/";
    EXPECT_EQ(
        f.Smtp.MailMessage,
        (std::vector<std::string>{"Sample message text **double click to zoom in**", "", "", rule,
                                  "File(s) attached:", "a.txt", "c.txt", "", "", rule, trailer}));

    // One file per mail: the next one that is still there.
    f.cboxSingleFilePerMail.SetChecked(true);
    f.cboxFilenames.SetChecked(false);
    f.tblFiles.First();
    f.tblFiles.Edit();
    f.tblFiles.FieldByName("Sent").SetAsBoolean(true);
    f.tblFiles.Post();
    f.tblFiles.First();
    std::remove((poll_ + "c.txt").c_str());
    f.PrepareAttachments();
    EXPECT_TRUE(f.Smtp.EmailFiles().empty());
    EXPECT_EQ(f.tblFiles.Rows()[1].Error, "File not found");
    EXPECT_TRUE(f.tblFiles.Eof());
    f.BuildMessageText();
    EXPECT_EQ(f.Smtp.MailMessage,
              (std::vector<std::string>{"Sample message text **double click to zoom in**", "", "",
                                        rule, trailer}));
}

TEST(BackupName, FreeNameBeforeTheExtension) {
    pvtest::TempDir tmp;
    const std::string dir = tmp.Path();
    EXPECT_EQ(UniqueFileName(dir + "report.txt", ".txt"), dir + "report.txt");
    WriteFile(dir + "report.txt", "");
    EXPECT_EQ(UniqueFileName(dir + "report.txt", ".txt"), dir + "report[1].txt");
    WriteFile(dir + "report[1].txt", "");
    EXPECT_EQ(UniqueFileName(dir + "report.txt", ".txt"), dir + "report[2].txt");
    WriteFile(dir + "README", "");
    EXPECT_EQ(UniqueFileName(dir + "README", ""), dir + "README[1]");
    // A directory of that name is as taken as a file.
    ASSERT_TRUE(CreateDirectory(dir + "notes.d"));
    EXPECT_EQ(UniqueFileName(dir + "notes.d", ".d"), dir + "notes[1].d");
}

// Runs the loop until done() holds, also after the application was told to
// terminate (whose quit message ends the ordinary loops).
bool Pump(const std::function<bool()> &done, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        MSG msg;
        while (PeekMessage(msg, true))
            if (msg.message != WM_QUIT)
                DispatchMessage(msg);
        WaitMessageTimeout(20);
    }
    return true;
}

TEST_F(MailSession, EndOfTheProgramAbortsTheJob) {
    PeerProcess server;
    const std::string spool = Dir() + "spool";
    ASSERT_TRUE(server.Start({"/usr/bin/python3", SupportPath("smtp_server.py"), "--spool", spool}))
        << server.ErrorLog();
    WriteIni("PollDir=" + poll_ + "\r\nFileSelection=*.txt\r\nHost=127.0.0.1\r\nHostPort=" +
             std::to_string(server.Port()) +
             "\r\nTo=joe@example.org\r\nCc=\r\nBcc=\r\nDelete=1\r\n");
    WriteFile(poll_ + "a.txt", "a");
    TfrmMain &f = Start(false);
    // The program is told to end while the greeting is answered.
    auto command = f.Smtp.OnCommand;
    f.Smtp.OnCommand = [&](TObject *s, const std::string &m) {
        command(s, m);
        if (m.rfind("HELO ", 0) == 0)
            app_.Terminate();
    };
    f.btnPoll.Click();
    ASSERT_TRUE(Pump([&] { return !Job(f).Busy; }, 10000));
    EXPECT_EQ(
        LogTexts(),
        (std::vector<std::string>{
            ">PVN v1.4.6 - Job started ", ">Connecting to SMTP host 127.0.0.1", "! Job aborted",
            "<unstamped> 1 File(s) in send list.", "<unstamped> 0 File(s) with 0 Mail(s) sent",
            "<unstamped> Following 1 File(s) failed:",
            "<unstamped> \t" + poll_ + "a.txt - Job aborted", ">Job finished", ""}));
    EXPECT_TRUE(FileExists(poll_ + "a.txt"));
    EXPECT_FALSE(f.Smtp.Connected());
}

// Run once: the settings cannot be written as the window closes after the
// session. That is the program's error, not the session's: it ends the
// program instead of keeping it running with the timer re-armed.
TEST_F(MailSession, FailureAtTheEndOfTheJobReachesTheApplication) {
    PeerProcess server;
    const std::string spool = Dir() + "spool";
    ASSERT_TRUE(server.Start({"/usr/bin/python3", SupportPath("smtp_server.py"), "--spool", spool}))
        << server.ErrorLog();
    WriteIni("PollDir=" + poll_ + "\r\nFileSelection=*.txt\r\nHost=127.0.0.1\r\nHostPort=" +
             std::to_string(server.Port()) +
             "\r\nTo=joe@example.org\r\nCc=\r\nBcc=\r\nRunOnceExit=1\r\n");
    WriteFile(poll_ + "a.txt", "a");
    TfrmMain &f = Start(false);
    auto command = f.Smtp.OnCommand;
    f.Smtp.OnCommand = [&](TObject *s, const std::string &m) {
        command(s, m);
        if (m == "QUIT") {
            ASSERT_EQ(std::rename(Ini().c_str(), (Ini() + ".away").c_str()), 0);
            ASSERT_TRUE(CreateDirectory(Ini()));
        }
    };
    f.btnPoll.Click();
    // Exceptions take the application's road, as in the program's loop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!app_.Terminated() && std::chrono::steady_clock::now() < deadline) {
        app_.ProcessMessages();
        WaitMessageTimeout(20);
    }
    ASSERT_TRUE(app_.Terminated());
    EXPECT_TRUE(f.Failed());
    std::vector<std::string> log = LogTexts();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], ">Job finished");
    EXPECT_EQ(log[log.size() - 2], "");
    EXPECT_EQ(log.back().rfind("EProfileError: Unable to write to ", 0), 0u) << log.back();
    EXPECT_EQ(std::count(log.begin(), log.end(), "<unstamped> 1 File(s) in send list."), 1);
    ASSERT_EQ(dialogs_.MessageTexts().size(), 1u);
}

} // namespace
} // namespace pv::test
