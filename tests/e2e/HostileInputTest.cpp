// Whole jobs against what a local user of a shared machine can put in the
// poll directory, and against a job killed or starved while it copies to
// Backup: names built to inject SMTP commands, headers or log lines, links
// to files elsewhere, files of other users; a SIGKILL in the middle of the
// backup copies, a full Backup file system.
#include "tests/e2e/E2eSupport.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace pv::e2e {
namespace {

// Names the way a hostile user would make them, and how the log must show them.
const std::string kInjection = "a\r\n.\r\nMAIL FROM:<x@evil.test>\r\nRCPT TO:<y@elsewhere.test>\r\n"
                               "DATA\r\nSubject: forged\r\n\r\nforged\r\n.\r\nz.txt";
const std::string kInjectionLogged = "a\\r\\n.\\r\\nMAIL FROM:<x@evil.test>\\r\\nRCPT "
                                     "TO:<y@elsewhere.test>\\r\\nDATA\\r\\nSubject: "
                                     "forged\\r\\n\\r\\nforged\\r\\n.\\r\\nz.txt";
const std::string kHeader = "b\nX-Forged: yes\n.txt";
const std::string kHeaderLogged = "b\\nX-Forged: yes\\n.txt";
const std::string kTab = "c\td.txt";
const std::string kTabLogged = "c\\td.txt";
const std::string kPlain = "plain.txt";
const std::string kEightBit = "\xC3\xA9t\xC3\xA9.txt"; // "été.txt" in UTF-8

const std::string kEnvelope =
    R"({"mail_from": "postvane@example.org", "rcpt_tos": ["joe@example.org"], "login": null})";
const std::string kOneMail = "MAIL FROM:<postvane@example.org>\nRCPT TO:<joe@example.org>\nDATA\n";

class Hostile : public Job {
  protected:
    void TearDown() override {
        Job::TearDown();
        if (mounted_)
            umount2(mounted_->c_str(), MNT_DETACH);
    }
    std::string Backup() const { return Poll() + "Backup/"; }
    std::string Attachment(const std::string &name) const {
        return "{\"path\": " + JsonString(Orig(name)) + ", \"filename\": " + JsonString(name) + "}";
    }
    // Every name in the directory, hidden ones too.
    static std::vector<std::string> Entries(const std::string &dir) {
        std::vector<std::string> names;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    bool IsLink(const std::string &path) const {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }

    std::optional<std::string> mounted_;
};

// One mail per job (or per file) to exactly the configured recipient,
// whatever the names say; each name decodes back to itself; the log shows
// every name on its own line with its control characters escaped.
TEST_F(Hostile, NamesCannotInjectCommandsHeadersOrLogLines) {
    const std::vector<std::string> names = {kInjection, kHeader, kTab, kPlain, kEightBit};
    const std::vector<std::string> logged = {kInjectionLogged, kHeaderLogged, kTabLogged, kPlain,
                                             kEightBit};
    for (const std::string &n : names)
        Put(n, "content of " + n);
    Set("Charset", "UTF-8");
    Set("Backup", "1");
    Set("Delete", "1");
    Set("VerboseLogging", "1");
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();

    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Envelope(Received()[0]), kEnvelope);
    EXPECT_EQ(Commands(), "HELO\n" + kOneMail + "QUIT\n");
    std::string attachments;
    for (const std::string &n : names)
        attachments += (attachments.empty() ? "" : ", ") + Attachment(n);
    EXPECT_EQ(Check(Received()[0], "{\"attachments\": [" + attachments +
                                       "], \"raw_lacks\": [\"\\nX-Forged\", \"\\r\\n.\\r\\n\", "
                                       "\"MAIL FROM\", \"RCPT TO\"]}"),
              "OK");
    // The plain name is sent as it stands.
    EXPECT_EQ(Check(Received()[0], R"({"raw_contains": ["name=\"plain.txt\""]})"), "OK");

    std::vector<std::string> sent = {">File(s) sent:"}, copied, deleted;
    for (const std::string &l : logged) {
        sent.push_back("|\t" + Poll() + l);
        copied.push_back("! " + l + "->" + l);
        deleted.push_back("! Delete-> " + Poll() + l);
    }
    const std::vector<std::string> firstJob =
        JobLog(Cat({VerboseHelo(),
                    VerboseMail(1),
                    sent,
                    VerboseQuit(),
                    {"|5 File(s) in send list.", "|5 File(s) with 1 Mail(s) sent",
                     "! Copy files to " + Backup()},
                    copied,
                    {"! Deleting Files"},
                    deleted}));
    EXPECT_EQ(Log(), firstJob);
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"Backup"});
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Files(Backup()), sorted);
    for (const std::string &n : names)
        EXPECT_EQ(ReadFileText(Backup() + n), "content of " + n) << JsonString(n);

    // One mail per file, the names listed in the text too.
    for (const std::string &n : names)
        Put(n, "again " + n);
    Set("Backup", "0");
    Set("Delete", "0");
    Set("VerboseLogging", "0");
    Set("SingleFilePerMail", "1");
    Set("AppendFileNames", "1");
    ASSERT_EQ(Run(), 0) << Output();
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 6u);
    EXPECT_EQ(Commands(), "HELO\n" + kOneMail + "QUIT\nHELO\n" + kOneMail + kOneMail + kOneMail +
                              kOneMail + kOneMail + "QUIT\n");
    std::vector<std::string> each;
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(Envelope(mails[i + 1]), kEnvelope);
        EXPECT_EQ(Check(mails[i + 1], "{\"attachments\": [" + Attachment(names[i]) + "]}"), "OK")
            << JsonString(names[i]);
        each.push_back(">File sent: " + Poll() + logged[i]);
    }
    EXPECT_EQ(
        Log(),
        Cat({firstJob,
             JobLog(Cat({each, {"|5 File(s) in send list.", "|5 File(s) with 5 Mail(s) sent"}}))}));
}

// A link to a file elsewhere is never mailed, copied or deleted: not when
// the scan finds it, not when it replaces a file after the scan (before the
// file is read, or after its mail, before the backup).
TEST_F(Hostile, LinksToFilesOutsideAreNotFollowed) {
    WriteIni();
    const std::string secret = dir_ / "outside.ini";
    WriteFileText(secret, ReadFileText(Prog() + "/postvane.ini") + "Password=\xF3\xE5\r\n");
    const std::string secretText = ReadFileText(secret);
    ASSERT_EQ(symlink(secret.c_str(), (Poll() + "settings.txt").c_str()), 0);
    Put("a.txt", "mine");
    Put("b.txt", "mine, a link before it is read");
    Put("c.txt", "mine, a link after its mail");
    Set("Backup", "1");
    Set("Delete", "1");
    Set("VerboseLogging", "1");
    StartServer({"--link-at-rcpt", Poll() + "b.txt", "--link-at-data", Poll() + "c.txt",
                 "--link-target", secret});
    // Files left behind make a failed job.
    ASSERT_EQ(Run(), 1) << Output();

    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Check(Received()[0], "{\"attachments\": [" + Attachment("a.txt") + ", " +
                                       Attachment("c.txt") + "]}"),
              "OK");
    const std::string unread =
        ("Cannot open file \"" + Poll() + "b.txt\". Too many levels of symbolic links")
            .substr(0, 128);
    EXPECT_EQ(Log(),
              Cat({{"Timer On", ">PVN v1.4.6 - Job started ",
                    "! Skipped symbolic link: " + Poll() + "settings.txt",
                    ">Connecting to SMTP host 127.0.0.1"},
                   VerboseHelo(),
                   VerboseMail(1),
                   {">File(s) sent:", "|\t" + Poll() + "a.txt", "|\t" + Poll() + "c.txt"},
                   VerboseQuit(),
                   {"|3 File(s) in send list.", "|2 File(s) with 1 Mail(s) sent",
                    "|Following 1 File(s) failed:", "|\t" + Poll() + "b.txt - " + unread,
                    "! Copy files to " + Backup(), "! a.txt->a.txt",
                    "! Error copy file to backup: " + Poll() +
                        "c.txt - Too many levels of symbolic links",
                    "! Deleting Files", "! Delete-> " + Poll() + "a.txt", ">Job finished", "|"}}));
    EXPECT_EQ(Files(Poll()),
              (std::vector<std::string>{"Backup", "b.txt", "c.txt", "settings.txt"}));
    for (const char *link : {"b.txt", "c.txt", "settings.txt"})
        EXPECT_TRUE(IsLink(Poll() + link)) << link;
    EXPECT_EQ(Entries(Backup()), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(ReadFileText(secret), secretText);
}

// In a directory everybody may write to, like /tmp, a file another user put
// there is not mailed, copied or deleted.
TEST_F(Hostile, OtherUsersFilesInASharedDirectoryAreLeftAlone) {
    if (geteuid() != 0)
        GTEST_SKIP() << "not root: a file of another user cannot be made (chown needs root)";
    ASSERT_EQ(chmod(Poll().c_str(), 01777), 0);
    Put("mine.txt", "mine");
    Put("theirs.txt", "planted by someone else");
    ASSERT_EQ(chown((Poll() + "theirs.txt").c_str(), 65534, 65534), 0);
    Set("Backup", "1");
    Set("Delete", "1");
    Set("VerboseLogging", "1");
    StartServer();
    ASSERT_EQ(Run(), 0) << Output();

    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Check(Received()[0], "{\"attachments\": [" + Attachment("mine.txt") + "]}"), "OK");
    EXPECT_EQ(
        Log(),
        Cat({{"Timer On", ">PVN v1.4.6 - Job started ",
              "! Skipped file of another user in a shared directory: " + Poll() + "theirs.txt",
              ">Connecting to SMTP host 127.0.0.1"},
             VerboseHelo(),
             VerboseMail(1),
             {">File(s) sent:", "|\t" + Poll() + "mine.txt"},
             VerboseQuit(),
             {"|1 File(s) in send list.", "|1 File(s) with 1 Mail(s) sent",
              "! Copy files to " + Backup(), "! mine.txt->mine.txt", "! Deleting Files",
              "! Delete-> " + Poll() + "mine.txt", ">Job finished", "|"}}));
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "theirs.txt"}));
    EXPECT_EQ(ReadFileText(Poll() + "theirs.txt"), "planted by someone else");
    EXPECT_EQ(Entries(Backup()), std::vector<std::string>{"mine.txt"});
}

// Killed while copying the second of three files to Backup (its copy
// written, not yet named): nothing is lost, and the next job clears what the
// killed one left and finishes the work.
TEST_F(Hostile, KilledDuringTheBackupCopyLosesNothing) {
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed: it delivers the SIGKILL at the copy's rename";
    Put("a.txt", RandomBytes(300000, 1));
    Put("b.txt", RandomBytes(300000, 2));
    Put("c.txt", RandomBytes(300000, 3));
    Set("Backup", "1");
    Set("Delete", "1");
    StartServer();
    // SIGKILL when the copy of b.txt is about to get its name.
    const int rc =
        RunUnder({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", Backup() + "b.txt", "-e",
                  "trace=renameat2", "-e", "inject=renameat2:signal=KILL"});
    if (rc != 128 + SIGKILL && Output().find("ptrace") != std::string::npos)
        GTEST_SKIP() << "strace cannot trace here: " << Output();
    ASSERT_EQ(rc, 128 + SIGKILL) << Output();
    ASSERT_EQ(Received().size(), 1u);

    // Every original is still there; Backup holds a's whole copy and b's
    // unnamed one, nothing truncated under a real name.
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "a.txt", "b.txt", "c.txt"}));
    std::vector<std::string> left = Entries(Backup());
    ASSERT_EQ(left.size(), 2u) << ::testing::PrintToString(left);
    EXPECT_EQ(left[0].rfind(".postvane-tmp-", 0), 0u) << left[0];
    EXPECT_EQ(left[1], "a.txt");
    EXPECT_EQ(ReadFileText(Backup() + "a.txt"), ReadFileText(Orig("a.txt")));

    ASSERT_EQ(Run(), 0) << Output();
    ASSERT_EQ(Received().size(), 2u);
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"Backup"});
    EXPECT_EQ(Entries(Backup()), (std::vector<std::string>{"a.txt", "a[1].txt", "b.txt", "c.txt"}));
    for (const char *n : {"a.txt", "b.txt", "c.txt"})
        EXPECT_EQ(ReadFileText(Backup() + n), ReadFileText(Orig(n))) << n;
    EXPECT_EQ(ReadFileText(Backup() + "a[1].txt"), ReadFileText(Orig("a.txt")));
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "! Unfinished copies removed from " + Poll() + "Backup: 1"),
              log.end())
        << ::testing::PrintToString(log);
}

// A Backup that runs full: each failed copy says why, always; its file
// stays; no part of it is left in Backup.
TEST_F(Hostile, FullBackupFileSystemKeepsTheFilesAndSaysWhy) {
    if (geteuid() != 0)
        GTEST_SKIP() << "not root: no tmpfs can be mounted as Backup";
    ASSERT_EQ(mkdir(Backup().c_str(), 0755), 0);
    if (mount("tmpfs", Backup().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") != 0)
        GTEST_SKIP() << "mounting a tmpfs as Backup failed: " << std::strerror(errno);
    mounted_ = Backup();
    Put("a.txt", RandomBytes(40000, 1));
    Put("b.txt", RandomBytes(40000, 2));
    Put("c.txt", RandomBytes(40000, 3));
    Set("Backup", "1");
    Set("Delete", "1");
    StartServer();
    ASSERT_EQ(Run(), 1) << Output(); // the copies failed

    const std::string full = " - No space left on device";
    EXPECT_EQ(Log(), JobLog({">File(s) sent:", "|\t" + Poll() + "a.txt", "|\t" + Poll() + "b.txt",
                             "|\t" + Poll() + "c.txt", "|3 File(s) in send list.",
                             "|3 File(s) with 1 Mail(s) sent", "! Copy files to " + Backup(),
                             "! Error copy file to backup: " + Poll() + "b.txt" + full,
                             "! Error copy file to backup: " + Poll() + "c.txt" + full,
                             "! Deleting Files"}));
    EXPECT_EQ(Files(Poll()), (std::vector<std::string>{"Backup", "b.txt", "c.txt"}));
    EXPECT_EQ(Entries(Backup()), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(ReadFileText(Backup() + "a.txt"), ReadFileText(Orig("a.txt")));
}

} // namespace
} // namespace pv::e2e
