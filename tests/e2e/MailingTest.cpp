// Jobs against the aiosmtpd server: what the mails carry, what the log says,
// and which files are left afterwards.
#include "tests/e2e/E2eSupport.h"

#include <sys/file.h>

namespace pv::e2e {
namespace {

class Mailing : public Job {
  protected:
    // Three files of different kinds: text, binary, empty.
    void PutThree() {
        Put("a.txt", "first file\r\nline two\r\n");
        Put("b.txt", RandomBytes(10001, 1));
        Put("c.txt", "");
    }
    std::string Attachment(const std::string &name, const std::string &type = "") {
        std::string a =
            "{\"path\": " + JsonString(Orig(name)) + ", \"filename\": " + JsonString(name);
        if (!type.empty())
            a += ", \"content_type\": " + JsonString(type);
        return a + "}";
    }
    static std::string Text(const std::string &body) {
        return "\"text\": {\"content\": " + JsonString(body) +
               ", \"cte\": \"7bit\", \"content_type\": \"text/plain\", \"charset\": "
               "\"ISO-8859-2\"}";
    }
};

const char *kXMailer = "Postvane Freeware - Harlwick Software - https://postvane.example.org/"
                       "\tUse of this software as a transport for the dissemination of SPAM"
                       "\tis prohibited!";

TEST_F(Mailing, ThreeFilesInOneMail) {
    PutThree();
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(), JobLog({">File(s) sent:", "|\t" + Poll() + "a.txt", "|\t" + Poll() + "b.txt",
                             "|\t" + Poll() + "c.txt", "|3 File(s) in send list.",
                             "|3 File(s) with 1 Mail(s) sent"}));
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(Envelope(mails[0]),
              R"({"mail_from": "postvane@example.org", "rcpt_tos": ["joe@example.org"], )"
              R"("login": null})");
    EXPECT_EQ(
        Check(mails[0], "{\"raw_headers\": {\"From\": \"\\\"Postvane\\\" "
                        "<postvane@example.org>\", \"To\": \"joe@example.org\", "
                        "\"Subject\": \"Nightly files\", \"X-Mailer\": " +
                            JsonString(kXMailer) +
                            "}, \"absent_headers\": [\"Cc\", \"Bcc\"], \"multipart\": true, " +
                            Text(BodyText()) + ", \"attachments\": [" + Attachment("a.txt") + ", " +
                            Attachment("b.txt") + ", " + Attachment("c.txt") + "]}"),
        "OK");
    // Without Delete, Backup or Archive the files stay as they were.
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
    EXPECT_EQ(Commands(), "HELO\nMAIL FROM:<postvane@example.org>\nRCPT TO:<joe@example.org>\n"
                          "DATA\nQUIT\n");
}

TEST_F(Mailing, ThreeFilesInThreeMailsOverOneConnection) {
    PutThree();
    Set("SingleFilePerMail", "1");
    Set("AppendFileNames", "1");
    Set("Delete", "1");
    Set("VerboseLogging", "1");
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(),
              JobLog(Cat({VerboseHelo(),
                          VerboseMail(1),
                          {">File sent: " + Poll() + "a.txt"},
                          VerboseMail(2),
                          {">File sent: " + Poll() + "b.txt"},
                          VerboseMail(3),
                          {">File sent: " + Poll() + "c.txt"},
                          VerboseQuit(),
                          {"|3 File(s) in send list.", "|3 File(s) with 3 Mail(s) sent",
                           "! Deleting Files", "! Delete-> " + Poll() + "a.txt",
                           "! Delete-> " + Poll() + "b.txt", "! Delete-> " + Poll() + "c.txt"}})));
    const std::string mail = "MAIL FROM:<postvane@example.org>\nRCPT TO:<joe@example.org>\nDATA\n";
    EXPECT_EQ(Commands(), "HELO\n" + mail + mail + mail + "QUIT\n");
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 3u);
    const char *names[] = {"a.txt", "b.txt", "c.txt"};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Check(mails[i], "{\"raw_headers\": {\"X-Mailer\": " + JsonString(kXMailer) +
                                      "}, \"multipart\": true, " +
                                      Text(BodyText({names[i]}, true)) + ", \"attachments\": [" +
                                      Attachment(names[i]) + "], \"raw_lacks\": [\"Bcc:\"]}"),
                  "OK")
            << names[i];
    EXPECT_TRUE(Files(Poll()).empty());
}

TEST_F(Mailing, SecondOfThreeMailsRefusedAtData) {
    PutThree();
    Set("SingleFilePerMail", "1");
    Set("Delete", "1");
    StartServer({"--refuse-data-nth", "2"});
    ASSERT_EQ(Run(), 1) << Output();
    const std::string refused = "554 5.6.0 Message refused";
    EXPECT_EQ(Log(), JobLog({">File sent: " + Poll() + "a.txt", "! " + refused,
                             "|3 File(s) in send list.", "|1 File(s) with 1 Mail(s) sent",
                             "|Following 2 File(s) failed:", "|\t" + Poll() + "b.txt - " + refused,
                             "|\t" + Poll() + "c.txt - " + refused, "! Deleting Files"}));
    EXPECT_EQ(Received().size(), 1u);
    // Only the accepted file is deleted; the refused one and the one after it
    // wait for the next job.
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"b.txt", "c.txt"}));
}

TEST_F(Mailing, RefusedMailDeletesNothing) {
    PutThree();
    Set("Delete", "1");
    Set("Backup", "1");
    StartServer({"--refuse-data-nth", "1"});
    ASSERT_EQ(Run(), 1) << Output();
    const std::string refused = "554 5.6.0 Message refused";
    EXPECT_EQ(
        Log(),
        JobLog({"! " + refused, "|3 File(s) in send list.", "|0 File(s) with 0 Mail(s) sent",
                "|Following 3 File(s) failed:", "|\t" + Poll() + "a.txt - " + refused,
                "|\t" + Poll() + "b.txt - " + refused, "|\t" + Poll() + "c.txt - " + refused}));
    EXPECT_TRUE(Received().empty());
    // The backup directory is made, but nothing is copied or deleted.
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "a.txt", "b.txt", "c.txt"}));
    EXPECT_TRUE(Files(Poll() + "Backup").empty());
}

TEST_F(Mailing, RecipientsOfToAndCcInTheEnvelopeBccOnlyThere) {
    Put("a.txt", "x");
    Set("To", "Joe Bloggs <joe@example.org>, ann@example.org");
    Set("Cc", "\"Carl, the boss\" <carl@example.org>");
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(Envelope(mails[0]), R"({"mail_from": "postvane@example.org", "rcpt_tos": )"
                                  R"(["joe@example.org", "ann@example.org", "carl@example.org"], )"
                                  R"("login": null})");
    EXPECT_EQ(Check(mails[0],
                    R"({"raw_headers": {"To": "\"Joe Bloggs\" <joe@example.org>,ann@example.org",
                                  "Cc": "\"Carl, the boss\" <carl@example.org>"},
                                  "absent_headers": ["Bcc"]})"),
              "OK");

    // A Bcc reaches the envelope only.
    Set("Bcc", "Secret <secret@example.org>;");
    ASSERT_EQ(Run(), 0) << Output();
    mails = Received();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_NE(Envelope(mails[1]).find(R"("carl@example.org", "secret@example.org"])"),
              std::string::npos)
        << Envelope(mails[1]);
    EXPECT_EQ(Check(mails[1], R"({"absent_headers": ["Bcc"], "raw_lacks": ["secret@"]})"), "OK");
}

TEST_F(Mailing, AuthLoginLogsOnAndKeepsThePasswordOutOfTheLog) {
    Put("a.txt", "x");
    Set("Authentication", "2");
    Set("UserName", "joe");
    Set("Password", "\xF3\xE5\xE3\xF2\xE5\xF4"); // "secret", stored scrambled
    Set("VerboseLogging", "1");
    StartServer({"--users", "joe:secret", "--auth-required"});
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(),
              JobLog(Cat({{"<220 postvane.test Python SMTP 1.4.3", ">EHLO " + HostName(),
                           "<250-postvane.test", "<250-SIZE 33554432", "<250-8BITMIME",
                           "<250-AUTH CRAM-MD5 CRAM-SHA1 LOGIN PLAIN", "<250 HELP", ">AUTH LOGIN",
                           "<334 VXNlciBOYW1lAA==", ">am9l", "<334 UGFzc3dvcmQA", ">*******",
                           "<235 2.7.0 Authentication successful"},
                          VerboseMail(1),
                          {">File(s) sent:", "|\t" + Poll() + "a.txt"},
                          VerboseQuit(),
                          {"|1 File(s) in send list.", "|1 File(s) with 1 Mail(s) sent"}})));
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(Envelope(mails[0]).find(R"("login": "joe")"), std::string::npos);
}

TEST_F(Mailing, WrongPasswordSendsAndDeletesNothing) {
    Put("a.txt", "x");
    Put("b.txt", "y");
    Set("Authentication", "2");
    Set("UserName", "joe");
    Set("Password", "\xF7\xF2\xEF\xEE\xE7"); // "wrong"
    Set("Delete", "1");
    StartServer({"--users", "joe:secret", "--auth-required"});
    ASSERT_EQ(Run(), 1) << Output();
    const std::string refusal = "535 5.7.8 Authentication credentials invalid";
    EXPECT_EQ(Log(),
              JobLog({"! " + refusal, "|2 File(s) in send list.", "|0 File(s) with 0 Mail(s) sent",
                      "|Following 2 File(s) failed:", "|\t" + Poll() + "a.txt - " + refusal,
                      "|\t" + Poll() + "b.txt - " + refusal}));
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Commands(), "EHLO\nAUTH LOGIN\nQUIT\n");
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(Mailing, ContentTypesFromTheIniAndTheListOfFileNames) {
    Put("report.pdf", RandomBytes(3000, 2));
    Put("table.CSV", "a;b\r\n1;2\r\n");
    Put("notes", "no extension\r\n");
    Put("data.bin", RandomBytes(55, 3));
    Set("FileSelection", "report.pdf;table.csv;notes;data.bin");
    Set("AppendFileNames", "1");
    extraIni_ = "[MimeTypes]\r\n.pdf=application/pdf\r\n.csv = text/csv\r\n.bin=\r\n";
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    // Keys are compared without regard to case; an empty value counts as none.
    EXPECT_EQ(
        Check(mails[0], "{" + Text(BodyText({"report.pdf", "table.CSV", "notes", "data.bin"})) +
                            ", \"attachments\": [" + Attachment("report.pdf", "application/pdf") +
                            ", " + Attachment("table.CSV", "text/csv") + ", " +
                            Attachment("notes", "application/octet-stream") + ", " +
                            Attachment("data.bin", "application/octet-stream") + "]}"),
        "OK");
}

TEST_F(Mailing, BackupTwiceKeepsBothCopies) {
    Put("report.txt", "monday\r\n");
    Put("README", "no extension\r\n");
    Set("FileSelection", "report.txt;README");
    Set("Backup", "1");
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    Put("report.txt", "tuesday\r\n");
    Set("VerboseLogging", "1");
    ASSERT_EQ(Run(), 0) << Output();
    const std::string backup = Poll() + "Backup/";
    EXPECT_EQ(Log(), Cat({JobLog({">File(s) sent:", "|\t" + Poll() + "report.txt",
                                  "|\t" + Poll() + "README", "|2 File(s) in send list.",
                                  "|2 File(s) with 1 Mail(s) sent", "! Copy files to " + backup}),
                          JobLog(Cat({VerboseHelo(),
                                      VerboseMail(2),
                                      {">File(s) sent:", "|\t" + Poll() + "report.txt",
                                       "|\t" + Poll() + "README"},
                                      VerboseQuit(),
                                      {"|2 File(s) in send list.", "|2 File(s) with 1 Mail(s) sent",
                                       "! Copy files to " + backup, "! report.txt->report[1].txt",
                                       "! README->README[1]"}}))}));
    EXPECT_EQ(Files(backup),
              (std::vector<std::string>{"README", "README[1]", "report.txt", "report[1].txt"}));
    EXPECT_EQ(ReadFileText(backup + "report.txt"), "monday\r\n");
    EXPECT_EQ(ReadFileText(backup + "report[1].txt"), "tuesday\r\n");
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "README", "report.txt"}));
}

TEST_F(Mailing, FailedBackupKeepsTheFile) {
    Put("a.txt", "x");
    Put("b.txt", "y");
    Put("Backup", "a file where the directory should be");
    Set("Backup", "1");
    Set("Delete", "1");
    Set("VerboseLogging", "1");
    StartServer();
    ASSERT_EQ(Run(), 1) << Output();
    // The counts were written before the copies failed; nothing is deleted.
    EXPECT_EQ(
        Log(),
        JobLog(Cat({VerboseHelo(),
                    VerboseMail(1),
                    {">File(s) sent:", "|\t" + Poll() + "a.txt", "|\t" + Poll() + "b.txt"},
                    VerboseQuit(),
                    {"|2 File(s) in send list.", "|2 File(s) with 1 Mail(s) sent",
                     "! Copy files to " + Poll() + "Backup/",
                     "! Error copy file to backup: " + Poll() + "a.txt - Not a directory",
                     "! Error copy file to backup: " + Poll() + "b.txt - Not a directory"}})));
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "a.txt", "b.txt"}));
}

TEST_F(Mailing, ArchiveOneFilePerMailUnmarksExactlyTheAcceptedFiles) {
    PutThree();
    Set("Archive", "1");
    Set("SingleFilePerMail", "1");
    StartServer({"--refuse-data-nth", "2"});
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_EQ(Received().size(), 1u);
    // The file whose mail failed and the one after it are sent by the next job.
    ASSERT_EQ(Run(), 0) << Output();
    ASSERT_EQ(Received().size(), 3u);
    EXPECT_EQ(Check(Received()[1], "{\"attachments\": [" + Attachment("b.txt") + "]}"), "OK");
    EXPECT_EQ(Check(Received()[2], "{\"attachments\": [" + Attachment("c.txt") + "]}"), "OK");
    // Nothing is left to send until a file changes.
    ASSERT_EQ(Run(), 0) << Output();
    Put("a.txt", "changed\r\n");
    ASSERT_EQ(Run(), 0) << Output();
    ASSERT_EQ(Received().size(), 4u);
    EXPECT_EQ(Check(Received()[3], "{\"attachments\": [" + Attachment("a.txt") + "]}"), "OK");

    const std::string refused = "554 5.6.0 Message refused";
    const std::vector<std::string> idle = {"Timer On", ">PVN v1.4.6 - Job started ",
                                           "Nothing to do", ">Job finished", "|"};
    EXPECT_EQ(Log(),
              Cat({JobLog({">File sent: " + Poll() + "a.txt", "! " + refused,
                           "|3 File(s) in send list.", "|1 File(s) with 1 Mail(s) sent",
                           "|Following 2 File(s) failed:", "|\t" + Poll() + "b.txt - " + refused,
                           "|\t" + Poll() + "c.txt - " + refused}),
                   JobLog({">File sent: " + Poll() + "b.txt", ">File sent: " + Poll() + "c.txt",
                           "|2 File(s) in send list.", "|2 File(s) with 2 Mail(s) sent"}),
                   idle,
                   JobLog({">File sent: " + Poll() + "a.txt", "|1 File(s) in send list.",
                           "|1 File(s) with 1 Mail(s) sent"})}));
}

// A writer does not lock the file it writes: one that changes after its mail
// was built is neither deleted nor unmarked, so the next job sends it again.
TEST_F(Mailing, FileChangedAfterItWasMailedIsKeptAndSentAgain) {
    Put("a.txt", "steady\r\n");
    Put("b.txt", "growing\r\n");
    Set("Archive", "1");
    Set("Delete", "1");
    Set("VerboseLogging", "1");
    StartServer({"--append-at-data", Poll() + "b.txt"});
    ASSERT_EQ(Run(), 0) << Output();
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Check(Received()[0], R"({"raw_contains": ["Z3Jvd2luZw0K"]})"), "OK"); // "growing\r\n"
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"b.txt"});
    EXPECT_EQ(ReadFileText(Poll() + "b.txt"), "growing\r\nwritten after it was mailed\r\n");

    Keep("b.txt");
    ASSERT_EQ(Run(), 0) << Output();
    ASSERT_EQ(Received().size(), 2u);
    EXPECT_EQ(Check(Received()[1], "{\"attachments\": [" + Attachment("b.txt") + "]}"), "OK");
    EXPECT_TRUE(Files(Poll()).empty());
    EXPECT_EQ(
        Log(),
        Cat({JobLog(Cat(
                 {VerboseHelo(),
                  VerboseMail(1),
                  {">File(s) sent:", "|\t" + Poll() + "a.txt", "|\t" + Poll() + "b.txt"},
                  VerboseQuit(),
                  {"|2 File(s) in send list.", "|2 File(s) with 1 Mail(s) sent", "! Deleting Files",
                   "! Delete-> " + Poll() + "a.txt", "! Error delete->  " + Poll() + "b.txt"}})),
             JobLog(Cat({VerboseHelo(),
                         VerboseMail(2),
                         {">File(s) sent:", "|\t" + Poll() + "b.txt"},
                         VerboseQuit(),
                         {"|1 File(s) in send list.", "|1 File(s) with 1 Mail(s) sent",
                          "! Deleting Files", "! Delete-> " + Poll() + "b.txt"}}))}));
}

TEST_F(Mailing, FileDeletedBetweenScanAndSend) {
    PutThree();
    Set("SingleFilePerMail", "1");
    // Gone when the second mail is built.
    StartServer({"--delete-at-data", Poll() + "b.txt"});
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_EQ(Log(),
              JobLog({">File sent: " + Poll() + "a.txt", ">File sent: " + Poll() + "c.txt",
                      "|3 File(s) in send list.", "|2 File(s) with 2 Mail(s) sent",
                      "|Following 1 File(s) failed:", "|\t" + Poll() + "b.txt - File not found"}));
    ASSERT_EQ(Received().size(), 2u);
    EXPECT_EQ(Check(Received()[1], "{\"attachments\": [" + Attachment("c.txt") + "]}"), "OK");
}

TEST_F(Mailing, FileVanishingBeforeItIsReadLeavesTheOthersInTheMail) {
    PutThree();
    Set("Delete", "1");
    // Gone after the mail was built, before its attachments are read.
    StartServer({"--delete-at-rcpt", Poll() + "b.txt"});
    ASSERT_EQ(Run(), 1) << Output();
    const std::string error = "Cannot open file \"" + Poll() + "b.txt\". No such file or directory";
    EXPECT_EQ(Log(), JobLog({">File(s) sent:", "|\t" + Poll() + "a.txt", "|\t" + Poll() + "c.txt",
                             "|3 File(s) in send list.", "|2 File(s) with 1 Mail(s) sent",
                             "|Following 1 File(s) failed:", "|\t" + Poll() + "b.txt - " + error,
                             "! Deleting Files"}));
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Check(Received()[0], "{\"attachments\": [" + Attachment("a.txt") + ", " +
                                       Attachment("c.txt") + "]}"),
              "OK");
}

TEST_F(Mailing, AttachmentThatCannotBeOpenedFailsOnlyItsOwnMail) {
    PutThree();
    Set("SingleFilePerMail", "1");
    Set("Archive", "1");
    Set("Delete", "1");
    // Taken from us after the first mail, while the second is being built.
    StartServer({"--lock-at-data", Poll() + "b.txt"});
    ASSERT_EQ(Run(), 1) << Output();
    const std::string error = ("Cannot open file \"" + Poll() +
                               "b.txt\". The process cannot access the file because it is being "
                               "used by another process.")
                                  .substr(0, 128);
    // The mail goes out without it; the files of the other mails stay sent.
    EXPECT_EQ(Log(), JobLog({">File sent: " + Poll() + "a.txt", ">File sent: " + Poll() + "b.txt",
                             ">File sent: " + Poll() + "c.txt", "|3 File(s) in send list.",
                             "|2 File(s) with 3 Mail(s) sent", "|Following 1 File(s) failed:",
                             "|\t" + Poll() + "b.txt - " + error, "! Deleting Files"}));
    ASSERT_EQ(Received().size(), 3u);
    EXPECT_EQ(Check(Received()[1], R"({"multipart": true, "attachments": []})"), "OK");
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"b.txt"});

    // Still marked for sending once it can be read.
    server_.Stop();
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Check(Received()[0], "{\"attachments\": [" + Attachment("b.txt") + "]}"), "OK");
    EXPECT_TRUE(Files(Poll()).empty());
}

TEST_F(Mailing, FileThatCannotBeReadIsListedNotSent) {
    PutThree();
    Set("Delete", "1");
    // Another program holds b.txt to itself (works for root too).
    const int fd = open((Poll() + "b.txt").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::vector<std::string> failed = {
        "|\t" + Poll() +
        "b.txt - The process cannot access the file because it is being used by "
        "another process."};
    const bool root = geteuid() == 0;
    if (!root) {
        Put("d.txt", "unreadable");
        ASSERT_EQ(chmod((Poll() + "d.txt").c_str(), 0), 0);
        failed.push_back("|\t" + Poll() + "d.txt - Permission denied");
    }
    StartServer();
    ASSERT_EQ(Run(), 1) << Output();
    close(fd);
    const std::string n = root ? "3" : "4";
    const std::string f = root ? "1" : "2";
    EXPECT_EQ(Log(),
              JobLog(Cat({{">File(s) sent:", "|\t" + Poll() + "a.txt", "|\t" + Poll() + "c.txt",
                           "|" + n + " File(s) in send list.", "|2 File(s) with 1 Mail(s) sent",
                           "|Following " + f + " File(s) failed:"},
                          failed,
                          {"! Deleting Files"}})));
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Check(Received()[0], "{\"attachments\": [" + Attachment("a.txt") + ", " +
                                       Attachment("c.txt") + "]}"),
              "OK");
    EXPECT_TRUE(InPoll("b.txt"));
}

} // namespace
} // namespace pv::e2e
