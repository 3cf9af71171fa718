#include "app/FileList.h"
#include "AppFixture.h"
#include "app/Settings.h"

namespace pv::test {
namespace {

TEST(FilesTable, CursorFieldsAndSizes) {
    TFilesTable t;
    EXPECT_TRUE(t.Eof());
    EXPECT_THROW(t.FieldByName("Error").SetAsString("x"), EDatabaseError); // not editing
    EXPECT_THROW(t.FieldByName("Nope"), EDatabaseError);
    EXPECT_THROW(t.Edit(), EDatabaseError);

    for (int i = 0; i < 3; ++i) {
        t.Append();
        t.FieldByName("filename").SetAsString("/p/" + std::to_string(i));
        t.Post();
    }
    t.First();
    EXPECT_EQ(t.FieldByName("FILENAME").AsString(), "/p/0");
    EXPECT_TRUE(t.FieldByName("Index").IsNull()); // until attachments are prepared
    EXPECT_FALSE(t.FieldByName("Sent").AsBoolean());
    t.Next();
    auto mark = t.GetBookmark();
    t.Edit();
    t.FieldByName("FileName").SetAsString(std::string(300, 'f'));
    t.FieldByName("Error").SetAsString(std::string(200, 'e'));
    t.FieldByName("ZFileName").SetAsString(std::string(256, 'z'));
    t.FieldByName("Index").SetAsInteger(4);
    EXPECT_EQ(t.Current().FileName, "/p/1"); // stored only by Post
    t.Next();                                // which moving does
    t.GotoBookmark(mark);
    EXPECT_EQ(t.Current().FileName.size(), TFilesTable::FileNameSize);
    EXPECT_EQ(t.Current().Error.size(), TFilesTable::ErrorSize);
    EXPECT_EQ(t.Current().ZFileName.size(), TFilesTable::ZFileNameSize);
    EXPECT_EQ(t.FieldByName("INDEX").AsInteger(), 4);

    EXPECT_TRUE(t.Locate("FileName", "/p/2"));
    EXPECT_EQ(t.GetBookmark(), 2u);
    EXPECT_FALSE(t.Locate("FileName", "/p/9"));
    EXPECT_EQ(t.GetBookmark(), 2u);
    t.Next();
    t.Next();
    EXPECT_TRUE(t.Eof());
    t.EmptyTable();
    EXPECT_TRUE(t.IsEmpty() && t.Eof());
}

class FileList : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        poll_ = Dir() + "poll/";
        ASSERT_TRUE(CreateDirectory(poll_));
    }
    void Scan(const std::string &selection, const std::string &pollDir = "") {
        Form().edPollDir.SetText(pollDir.empty() ? poll_ : pollDir);
        Form().edExtensions.SetText(selection);
        Form().ScanPollDir();
    }
    std::vector<std::string> Names() {
        std::vector<std::string> out;
        for (const auto &r : Form().tblFiles.Rows())
            out.push_back(r.FileName.substr(r.FileName.rfind('/') + 1));
        return out;
    }
    void Touch(const std::string &name, const std::string &data = "x") {
        WriteFile(poll_ + name, data);
    }
    std::string poll_;
};

TEST_F(FileList, SelectionPatternsPickExactlyTheMatchingFiles) {
    Start();
    for (const char *n : {"a.txt", "b.txte", "c.log", ".hidden.txt", "README"})
        Touch(n);
    ASSERT_TRUE(CreateDirectory(poll_ + "sub.txt"));
    Scan("*.txt");
    EXPECT_EQ(Names(), (std::vector<std::string>{".hidden.txt", "a.txt"}));
    EXPECT_EQ(Form().tblFiles.Rows()[1].FileName, poll_ + "a.txt");
    Scan("*.TXT;A*");
    EXPECT_EQ(Names(), (std::vector<std::string>{".hidden.txt", "a.txt"}));
    Scan(" c.log ; *.txt");
    EXPECT_EQ(Names(), (std::vector<std::string>{"c.log", ".hidden.txt", "a.txt"}));
    // An empty piece between semicolons matches every file.
    Scan("c.log;;*.txt;");
    EXPECT_EQ(Names(),
              (std::vector<std::string>{"c.log", ".hidden.txt", "README", "a.txt", "b.txte"}));
    Scan("*.*");
    EXPECT_EQ(Names().size(), 4u); // README has no dot
}

TEST_F(FileList, ArchiveOptionFollowsTheArchiveBit) {
    SetArchiveStateFile(Dir() + "archive.state");
    TfrmMain &f = Start();
    Touch("a.txt");
    Touch("b.txt");
    f.cboxArchive.SetChecked(true);
    ASSERT_TRUE(ClearArchiveBit(poll_ + "a.txt"));
    Scan("*.txt");
    EXPECT_EQ(Names(), std::vector<std::string>{"b.txt"});
    Touch("a.txt", "changed");
    Scan("*.txt");
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt", "b.txt"}));
    SetArchiveStateFile(pv::AppDir() + "archive.state");
}

TEST_F(FileList, FileHeldExclusivelyIsListedWithTheSharingError) {
    TfrmMain &f = Start();
    Touch("a.txt");
    Touch("b.txt");
    {
        TFileStream holder(poll_ + "a.txt", fmOpenReadWrite | fmShareExclusive);
        Scan("*.txt");
    }
    ASSERT_EQ(f.tblFiles.RecordCount(), 2u);
    EXPECT_EQ(f.tblFiles.Rows()[0].Error,
              "The process cannot access the file because it is being used by another process.");
    EXPECT_EQ(f.tblFiles.Rows()[1].Error, "");
    EXPECT_EQ(CheckFileOpen(poll_ + "a.txt"), ""); // free again
    EXPECT_NE(CheckFileOpen(poll_ + "gone.txt"), "");

    f.tblFiles.First();
    EXPECT_TRUE(f.NextPendingFile());
    EXPECT_EQ(f.tblFiles.GetBookmark(), 1u);
    EXPECT_EQ(f.PendingCount(), 1);
    f.tblFiles.Edit();
    f.tblFiles.FieldByName("Sent").SetAsBoolean(true);
    f.tblFiles.Post();
    EXPECT_EQ(f.SentCount(), 1);
    EXPECT_EQ(f.PendingCount(), 0);
    EXPECT_EQ(f.tblFiles.GetBookmark(), 1u); // counting leaves the cursor alone
    EXPECT_FALSE(f.NextPendingFile());
    EXPECT_TRUE(f.tblFiles.Eof());
}

TEST_F(FileList, PollDirFieldHoldingAFileScansItsDirectory) {
    TfrmMain &f = Start();
    Touch("a.txt");
    Touch("b.log");
    Scan("", poll_ + "a.txt");
    EXPECT_EQ(f.edPollDir.Text(), poll_);
    EXPECT_EQ(f.edExtensions.Text(), "a.txt");
    EXPECT_EQ(Names(), std::vector<std::string>{"a.txt"});
    Scan("*.log", poll_ + "a.txt");
    EXPECT_EQ(f.edExtensions.Text(), "*.log;a.txt");
    Scan("*.log;", poll_ + "a.txt");
    EXPECT_EQ(f.edExtensions.Text(), "*.log;a.txt");
    EXPECT_EQ(Names(), (std::vector<std::string>{"b.log", "a.txt"}));
}

TEST_F(FileList, VanishedPollDirEmptiesTheListAndSaysSo) {
    TfrmMain &f = Start();
    Touch("a.txt");
    Scan("*.txt");
    ASSERT_EQ(f.tblFiles.RecordCount(), 1u);
    Scan("*.txt", Dir() + "gone/");
    EXPECT_TRUE(f.tblFiles.IsEmpty());
    Scan("*.txt", " ");
    EXPECT_TRUE(f.tblFiles.IsEmpty());
    EXPECT_EQ(LogTexts(),
              (std::vector<std::string>{"! Poll directory not found: " + Dir() + "gone/",
                                        "! No poll directory set"}));
}

TEST_F(FileList, SymbolicLinksAreLeftOutAndSaidSoWhenVerbose) {
    TfrmMain &f = Start();
    WriteFile(Dir() + "postvane.ini.txt", "Password=secret");
    Touch("a.txt");
    ASSERT_EQ(symlink((Dir() + "postvane.ini.txt").c_str(), (poll_ + "out.txt").c_str()), 0);
    ASSERT_EQ(symlink((poll_ + "a.txt").c_str(), (poll_ + "in.txt").c_str()), 0);
    ASSERT_EQ(symlink((poll_ + "gone").c_str(), (poll_ + "dangling.txt").c_str()), 0);
    ASSERT_EQ(symlink(Dir().c_str(), (poll_ + "dir.txt").c_str()), 0);
    Scan("*.txt");
    EXPECT_EQ(Names(), std::vector<std::string>{"a.txt"});
    EXPECT_TRUE(LogTexts().empty()); // said only when verbose

    f.cboxVerbose.SetChecked(true);
    Scan("*.txt;OUT*");
    EXPECT_EQ(Names(), std::vector<std::string>{"a.txt"});
    // Once per link, whatever number of patterns it matches.
    EXPECT_EQ(LogTexts(),
              (std::vector<std::string>{"! Skipped symbolic link: " + poll_ + "in.txt",
                                        "! Skipped symbolic link: " + poll_ + "out.txt"}));
    EXPECT_EQ(CheckFileOpen(poll_ + "out.txt"), "Too many levels of symbolic links");
}

// In a directory others can write to (like /tmp) only the user's own files
// are selected, and none with a second name elsewhere.
TEST_F(FileList, SharedDirectorySelectsOnlyTheUsersOwnFiles) {
    TfrmMain &f = Start();
    f.cboxVerbose.SetChecked(true);
    Touch("own.txt");
    Touch("theirs.txt");
    WriteFile(Dir() + "secret", "x");
    ASSERT_EQ(link((Dir() + "secret").c_str(), (poll_ + "hard.txt").c_str()), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown((poll_ + "theirs.txt").c_str(), 65534, 65534), 0);
    }

    // Only the owner may write: every file of it counts, hard links too.
    ASSERT_EQ(chmod(poll_.c_str(), 0755), 0);
    Scan("*.txt");
    EXPECT_EQ(Names(), (std::vector<std::string>{"hard.txt", "own.txt", "theirs.txt"}));
    EXPECT_TRUE(LogTexts().empty());

    for (mode_t mode : {01777, 0775}) {
        ASSERT_EQ(chmod(poll_.c_str(), mode), 0);
        Scan("*.txt");
        std::vector<std::string> kept = {"own.txt"};
        std::vector<std::string> said = {"! Skipped file with more than one link in a shared "
                                         "directory: " +
                                         poll_ + "hard.txt"};
        if (root)
            said.push_back("! Skipped file of another user in a shared directory: " + poll_ +
                           "theirs.txt");
        else
            kept.push_back("theirs.txt"); // without root no file of another user can be made
        EXPECT_EQ(Names(), kept) << std::oct << mode;
        EXPECT_EQ(LogTexts(), said) << std::oct << mode;
        WriteFile(LogPath(), "");
    }
}

TEST_F(FileList, LongPathsAreCutToTheFieldSize) {
    TfrmMain &f = Start();
    std::string deep = poll_;
    while (deep.size() < 250)
        deep += "dddddddddddddddddddd/";
    ASSERT_TRUE(CreateDirPath(deep));
    WriteFile(deep + "a.txt", "x");
    Scan("*.txt", deep);
    ASSERT_EQ(f.tblFiles.RecordCount(), 1u);
    EXPECT_EQ(f.tblFiles.Rows()[0].FileName, (deep + "a.txt").substr(0, 255));
}

} // namespace
} // namespace pv::test
