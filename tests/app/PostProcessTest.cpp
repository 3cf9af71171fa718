// After the mail: what is copied to Backup, what is deleted, and what a
// failed or killed copy leaves, with a file list as a job leaves it.
#include "AppFixture.h"

#include <sys/file.h>

namespace pv::test {
namespace {

class PostProcess : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        poll_ = Dir() + "poll/";
        outside_ = Dir() + "outside/";
        ASSERT_TRUE(CreateDirectory(poll_));
        ASSERT_TRUE(CreateDirectory(outside_));
    }
    // The form (started once) with the given files in the poll directory,
    // each sent by an accepted mail that carried it as it is now.
    TfrmMain &Sent(const std::vector<std::string> &names, bool backup, bool del) {
        TfrmMain &f = form_ ? Form() : Start();
        f.edPollDir.SetText(poll_);
        f.cboxBackup.SetChecked(backup);
        f.cboxDelete.SetChecked(del);
        f.tblFiles.EmptyTable();
        for (const std::string &n : names) {
            if (!FileExists(poll_ + n))
                WriteFile(poll_ + n, "content of " + n);
            f.tblFiles.Append();
            f.tblFiles.FieldByName("FileName").SetAsString(poll_ + n);
            f.tblFiles.FieldByName("Sent").SetAsBoolean(true);
            f.tblFiles.Post();
            TFileStamp stamp;
            EXPECT_TRUE(GetFileStamp(poll_ + n, stamp));
            f.tblFiles.SetStamp(stamp);
        }
        return f;
    }
    void Finish(TfrmMain &f) {
        f.BackupSentFiles();
        f.DeleteSentFiles();
    }
    std::string Backup() const { return poll_ + "Backup/"; }

    std::string poll_, outside_;
};

TEST_F(PostProcess, DeletesOnlyFilesWhoseCopyExists) {
    TfrmMain &f = Sent({"a.txt", "b.txt"}, true, true);
    // Without a copy made in this job nothing goes, whatever the reason.
    f.DeleteSentFiles();
    EXPECT_TRUE(FileExists(poll_ + "a.txt") && FileExists(poll_ + "b.txt"));

    f.cboxVerbose.SetChecked(true);
    WriteFile(LogPath(), "");
    Finish(f);
    EXPECT_EQ(pvtest::Entries(poll_), std::vector<std::string>{"Backup"});
    EXPECT_EQ(ReadFile(Backup() + "a.txt"), "content of a.txt");
    EXPECT_EQ(ReadFile(Backup() + "b.txt"), "content of b.txt");
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"! Copy files to " + Backup(), "! a.txt->a.txt",
                                                    "! b.txt->b.txt", "! Deleting Files",
                                                    "! Delete-> " + poll_ + "a.txt",
                                                    "! Delete-> " + poll_ + "b.txt"}));
}

// A job killed while copying leaves a temporary file in Backup; the next job
// removes it, but not one that a running copy still holds.
TEST_F(PostProcess, UnfinishedCopiesOfAKilledJobAreRemovedByTheNext) {
    ASSERT_TRUE(CreateDirectory(Backup()));
    const std::string left = Backup() + kAtomicTempPrefix + "a1B2c3";
    const std::string held = Backup() + kAtomicTempPrefix + "zzzzzz";
    WriteFile(left, "half a cop");
    WriteFile(held, "being written");
    const int fd = open(held.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    TfrmMain &f = Sent({}, true, false);
    f.BackupSentFiles();
    close(fd);
    EXPECT_FALSE(FileExists(left));
    EXPECT_TRUE(FileExists(held));
    EXPECT_EQ(LogTexts(),
              std::vector<std::string>{"! Unfinished copies removed from " + poll_ + "Backup: 1"});
}

// A file replaced by a link after the scan: the link's target is not read,
// unmarked, copied or deleted, and neither is the link.
TEST_F(PostProcess, FileReplacedByALinkIsLeftAlone) {
    SetArchiveStateFile(Dir() + "archive.state");
    TfrmMain &f = Sent({"a.txt"}, true, true);
    f.cboxArchive.SetChecked(true);
    WriteFile(outside_ + "secret", "content of a.txt"); // even the same size
    ASSERT_EQ(unlink((poll_ + "a.txt").c_str()), 0);
    ASSERT_EQ(symlink((outside_ + "secret").c_str(), (poll_ + "a.txt").c_str()), 0);
    f.tblFiles.First();
    f.ClearArchiveBits();
    Finish(f);
    EXPECT_NE(GetFileAttributes(outside_ + "secret") & FILE_ATTRIBUTE_ARCHIVE, 0u);
    EXPECT_EQ(LogTexts(),
              (std::vector<std::string>{"! Copy files to " + Backup(),
                                        "! Error copy file to backup: " + poll_ +
                                            "a.txt - Too many levels of symbolic links"}));
    EXPECT_TRUE(pvtest::Entries(Backup()).empty());
    struct stat st;
    EXPECT_EQ(lstat((poll_ + "a.txt").c_str(), &st), 0);
    EXPECT_TRUE(FileExists(outside_ + "secret"));
    SetArchiveStateFile(pv::AppDir() + "archive.state");
}

// Copies never leave the poll directory, and in a shared one they go only
// into a Backup of the user's own.
TEST_F(PostProcess, BackupThatIsALinkOrAnotherUsersIsRefused) {
    ASSERT_EQ(symlink(outside_.c_str(), (poll_ + "Backup").c_str()), 0);
    TfrmMain &f = Sent({"a.txt"}, true, true);
    Finish(f);
    EXPECT_TRUE(pvtest::Entries(outside_).empty());
    EXPECT_TRUE(FileExists(poll_ + "a.txt"));
    EXPECT_EQ(LogTexts().back(), "! Error copy file to backup: " + poll_ +
                                     "a.txt - Backup directory is a symbolic link");
    if (geteuid() != 0)
        GTEST_SKIP() << "a Backup of another user needs root to make";

    ASSERT_EQ(unlink((poll_ + "Backup").c_str()), 0);
    ASSERT_TRUE(CreateDirectory(poll_ + "Backup"));
    ASSERT_EQ(chown((poll_ + "Backup").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(poll_.c_str(), 01777), 0);
    Sent({"a.txt"}, true, true);
    Finish(Form());
    EXPECT_TRUE(pvtest::Entries(Backup()).empty());
    EXPECT_TRUE(FileExists(poll_ + "a.txt"));
    EXPECT_EQ(LogTexts().back(), "! Error copy file to backup: " + poll_ +
                                     "a.txt - Backup directory belongs to another user");
    // Where only the user may write, whoever made Backup is trusted.
    ASSERT_EQ(chmod(poll_.c_str(), 0755), 0);
    Sent({"a.txt"}, true, true);
    Finish(Form());
    EXPECT_EQ(pvtest::Entries(Backup()), std::vector<std::string>{"a.txt"});
    EXPECT_FALSE(FileExists(poll_ + "a.txt"));
}

TEST(StartUp, LeftoversOfAKilledSettingsWriterAreRemoved) {
    pvtest::TempDir dir;
    const std::string left = dir / (std::string(kAtomicTempPrefix) + "Q9w8E7");
    pvtest::WriteFile(left, "[SETUP]\r\nHost=half");
    pvtest::WriteFile(dir / ".postvane-tmp-notours", "kept"); // not the pattern
    TApplication app;
    TScriptedDialogs dialogs;
    TDialogService *previous = SetDialogService(&dialogs);
    {
        LoopGuard guard(40, LoopGuard::FakeClock);
        TfrmMain f(dir.Path(), app);
        EXPECT_FALSE(FileExists(left));
        EXPECT_TRUE(FileExists(dir / ".postvane-tmp-notours"));
    }
    SetDialogService(previous);
}

} // namespace
} // namespace pv::test
