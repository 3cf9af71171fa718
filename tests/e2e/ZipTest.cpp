// Zipped jobs against the aiosmtpd server: the archives the mails carry and
// what they hold, the text that names them, the originals backed up and
// deleted, no archive left in Temp, and a program directory without its ZIP
// library.
#include "tests/e2e/E2eSupport.h"

#include <sys/file.h>

namespace pv::e2e {
namespace {

class Zipping : public Job {
  protected:
    void SetUp() override {
        Job::SetUp();
        Set("ZipCompression", "1");
    }
    void TearDown() override {
        if (lockFd_ >= 0)
            close(lockFd_);
        Job::TearDown();
    }

    std::string Temp() const { return Prog() + "/Temp/"; }

    // Another program holds the file to itself (works for root too).
    void Lock(const std::string &name) {
        lockFd_ = open((Poll() + name).c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(lockFd_, 0);
        ASSERT_EQ(flock(lockFd_, LOCK_EX), 0);
    }

    // An archive as the mail should carry it: its name and the originals of
    // its entries, in order.
    std::string Archive(const std::string &name, const std::vector<std::string> &files) {
        std::string entries;
        for (const std::string &f : files)
            entries +=
                (entries.empty() ? "[" : ", [") + JsonString(f) + ", " + JsonString(Orig(f)) + "]";
        return "{\"filename\": " + JsonString(name) + ", \"entries\": [" + entries + "]}";
    }
    // check_zip_mail.py: "OK" or why not.
    std::string CheckArchives(const std::string &message,
                              const std::vector<std::string> &archives) {
        std::string list;
        for (const std::string &a : archives)
            list += (list.empty() ? "" : ", ") + a;
        const std::string file = dir_ / ("zipexpect" + std::to_string(++zipChecks_) + ".json");
        WriteFileText(file, "{\"archives\": [" + list + "]}");
        const std::string out = dir_ / "zipcheck.out";
        const int rc =
            Shell(std::string(kPython) + " " + Quoted(SourcePath("tests/e2e/check_zip_mail.py")) +
                  " " + Quoted(message) + " " + Quoted(file) + " > " + Quoted(out) + " 2>&1");
        std::string text = ReadFileText(out);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return rc == 0 ? text : text + " (exit " + std::to_string(rc) + ")";
    }
    std::string CheckText(const std::string &message, const std::string &body) {
        return Check(message, "{\"text\": {\"content\": " + JsonString(body) + "}}");
    }

    int lockFd_ = -1;
    int zipChecks_ = 0;
};

TEST_F(Zipping, OneArchivePerFileThenTheOriginalsBackedUpAndDeleted) {
    Put("a.txt", "first file\r\nline two\r\n");
    Put("b.txt", RandomBytes(200001, 4));
    Set("SingleFilePerMail", "1");
    Set("AppendFileNames", "1");
    Set("Backup", "1");
    Set("Delete", "1");
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(),
              JobLog({">File sent: " + Temp() + "a.txt.zip", ">File sent: " + Temp() + "b.txt.zip",
                      "|2 File(s) in send list.", "|2 File(s) with 2 Mail(s) sent",
                      "! Copy files to " + Poll() + "Backup/", "! Deleting Files"}));
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(CheckArchives(mails[0], {Archive("a.txt.zip", {"a.txt"})}), "OK");
    EXPECT_EQ(CheckArchives(mails[1], {Archive("b.txt.zip", {"b.txt"})}), "OK");
    EXPECT_EQ(CheckText(mails[0], BodyText({"a.txt.zip"}, true)), "OK");
    EXPECT_EQ(CheckText(mails[1], BodyText({"b.txt.zip"}, true)), "OK");
    EXPECT_EQ(Commands(), "HELO\nMAIL FROM:<postvane@example.org>\nRCPT TO:<joe@example.org>\n"
                          "DATA\nMAIL FROM:<postvane@example.org>\nRCPT TO:<joe@example.org>\n"
                          "DATA\nQUIT\n");
    // The originals, not the archives, are backed up and deleted.
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"Backup"});
    EXPECT_EQ(Files(Poll() + "Backup"), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(ReadFileText(Poll() + "Backup/b.txt"), ReadFileText(Orig("b.txt")));
    EXPECT_TRUE(Files(Temp()).empty());
}

TEST_F(Zipping, AllInOneArchiveNamedFromZipFileNameAndListedAlone) {
    Put("a.txt", "alpha\r\n");
    Put("b.txt", "held by another program");
    Put("c.txt", RandomBytes(30000, 5));
    Lock("b.txt");
    Set("ZIPFileName", "files.dat");
    Set("AppendFileNames", "1");
    Set("Delete", "1");
    StartServer();
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_EQ(Log(),
              JobLog({">File(s) packed in files.zip:", "|\t" + Poll() + "a.txt",
                      "|\t" + Poll() + "c.txt", "|3 File(s) in send list.",
                      "|2 File(s) with 1 Mail(s) sent", "|Following 1 File(s) failed:",
                      "|\t" + Poll() +
                          "b.txt - The process cannot access the file because it is being used "
                          "by another process.",
                      "! Deleting Files"}));
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    // The file that failed its open test is not in the archive.
    EXPECT_EQ(CheckArchives(mails[0], {Archive("files.zip", {"a.txt", "c.txt"})}), "OK");
    EXPECT_EQ(CheckText(mails[0], BodyText({"files.zip"}, true)), "OK");
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"b.txt"});
    EXPECT_TRUE(Files(Temp()).empty());
    // The corrected name is saved when the program closes.
    EXPECT_NE(ReadFileText(Prog() + "/postvane.ini").find("ZIPFileName=files.zip\r\n"),
              std::string::npos);
}

TEST_F(Zipping, RefusedMailLeavesTheOriginalsAndNoArchive) {
    Put("a.txt", "alpha\r\n");
    Put("b.txt", "beta\r\n");
    Set("Backup", "1");
    Set("Delete", "1");
    Set("Archive", "1");
    StartServer({"--refuse-data-nth", "1"});
    ASSERT_EQ(Run(), 1) << Output();
    const std::string refused = "554 5.6.0 Message refused";
    EXPECT_EQ(Log(),
              JobLog({"! " + refused, "|2 File(s) in send list.", "|0 File(s) with 0 Mail(s) sent",
                      "|Following 2 File(s) failed:", "|\t" + Poll() + "a.txt - " + refused,
                      "|\t" + Poll() + "b.txt - " + refused}));
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "a.txt", "b.txt"}));
    EXPECT_TRUE(Files(Poll() + "Backup").empty());
    EXPECT_TRUE(Files(Temp()).empty());

    // Still marked for sending: the next job packs and sends both.
    ASSERT_EQ(Run(), 0) << Output();
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(CheckArchives(Received()[0], {Archive("Package.zip", {"a.txt", "b.txt"})}), "OK");
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"Backup"});
    EXPECT_TRUE(Files(Temp()).empty());
}

TEST_F(Zipping, WithoutTheZipLibraryTheProgramEndsAndDeletesNothing) {
    Put("a.txt", "alpha\r\n");
    Set("Delete", "1");
    ASSERT_EQ(unlink((Prog() + "/libzipdll.so").c_str()), 0);
    StartServer();
    EXPECT_EQ(Run(), 2) << Output();
    const std::string cannot = "ZipDll.DLL cannot be loaded!";
    EXPECT_NE(Output().find(cannot), std::string::npos) << Output();
    EXPECT_NE(Output().find("Application will terminate."), std::string::npos) << Output();
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "Timer On");
    EXPECT_NE(log[1].find(cannot), std::string::npos) << log[1];
    EXPECT_EQ(Commands(), ""); // never connected
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"a.txt"});
}

} // namespace
} // namespace pv::e2e
