// The packing step with the real ZIP library: which archives are made, what
// they hold, how failures land in the file list, and that no archive
// outlives a failed or cancelled job.
#include "AppFixture.h"

#include <algorithm>
#include <map>

#include <fcntl.h>
#include <sys/file.h>

namespace pv::test {
namespace {

std::uint32_t Crc32(const std::string &data) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

// Bytes of every value, the same each run.
std::string RandomText(std::size_t n) {
    std::string data(n, '\0');
    std::uint32_t seed = 7;
    for (auto &c : data) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return data;
}

// "name size crc" as an archive entry of these bytes shows it.
std::string Entry(const std::string &name, const std::string &data) {
    return name + " " + std::to_string(data.size()) + " " + std::to_string(Crc32(data));
}

class ZipStep : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        poll_ = Dir() + "poll/";
        ASSERT_TRUE(CreateDirectory(poll_));
    }
    void TearDown() override {
        if (lockFd_ >= 0)
            close(lockFd_);
        AppFixture::TearDown();
    }

    // The form, set to pack the poll directory's *.txt files with the
    // library of the build.
    TfrmMain &StartZip(bool single, const std::string &ini = "") {
        WriteIni("PollDir=" + poll_ + "\r\nFileSelection=*.txt\r\nZipCompression=1\r\n" +
                 "SingleFilePerMail=" + (single ? "1" : "0") + "\r\nVerboseLogging=1\r\n" + ini);
        TfrmMain &f = Start();
        f.Zip1.DllDirectory = PV_ZIPDLL_DIR;
        return f;
    }
    void Put(const std::string &name, const std::string &data) {
        WriteFile(poll_ + name, data);
        data_[name] = data;
    }
    // Held by another open file to itself: the scan's open test fails.
    void Lock(const std::string &name) {
        lockFd_ = open((poll_ + name).c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(lockFd_, 0);
        ASSERT_EQ(flock(lockFd_, LOCK_EX), 0);
    }
    std::string Expected(const std::string &name) { return Entry(name, data_[name]); }

    // The entries of an archive in Temp, or why there are none.
    std::vector<std::string> Archive(const std::string &name) {
        const std::string path = Form().TempDir() + name;
        if (!FileExists(path))
            return {"<no " + name + ">"};
        TZip reader;
        reader.SetFileName(path);
        std::vector<std::string> entries;
        for (const auto &e : reader.Entries())
            entries.push_back(e.FileName + " " + std::to_string(e.UncompressedSize()) + " " +
                              std::to_string(e.Crc32()));
        return entries;
    }
    std::vector<std::string> InTemp() const {
        std::vector<std::string> names;
        for (const TSearchRec &r : FindFiles(Form().TempDir(), "*"))
            names.push_back(r.Name);
        std::sort(names.begin(), names.end());
        return names;
    }
    const TfrmMain &Form() const { return *form_; }
    using AppFixture::Form;

    std::vector<std::string> Column(std::string TFilesTable::Record::*field) const {
        std::vector<std::string> out;
        for (const auto &r : Form().tblFiles.Rows())
            out.push_back(r.*field);
        return out;
    }

    std::string poll_;
    std::map<std::string, std::string> data_;
    int lockFd_ = -1;
};

TEST_F(ZipStep, OneArchivePerFileEachHoldingItsFile) {
    Put("a.txt", "alpha\r\n");
    Put("b.txt", std::string(300000, 'b'));
    Put("c.txt", "held by another program");
    Lock("c.txt");
    TfrmMain &f = StartZip(true);
    // A leftover of an aborted program, not a valid archive: replaced.
    WriteFile(f.TempDir() + "a.txt.zip", "left over");
    f.ScanPollDir();
    f.ZipFiles();

    const std::string t = f.TempDir();
    EXPECT_EQ(Column(&TFilesTable::Record::ZFileName),
              (std::vector<std::string>{t + "a.txt.zip", t + "b.txt.zip", ""}));
    EXPECT_EQ(Archive("a.txt.zip"), std::vector<std::string>{Expected("a.txt")});
    EXPECT_EQ(Archive("b.txt.zip"), std::vector<std::string>{Expected("b.txt")});
    EXPECT_EQ(InTemp(), (std::vector<std::string>{"a.txt.zip", "b.txt.zip"}));
    // What was packed is what the steps after sending compare with.
    for (const auto &row : f.tblFiles.Rows()) {
        if (row.ZFileName.empty())
            continue;
        TFileStamp now;
        ASSERT_TRUE(GetFileStamp(row.FileName, now));
        EXPECT_EQ(row.Stamp, now) << row.FileName;
    }
    EXPECT_EQ(LogTexts(), std::vector<std::string>{"! Compressing files"});
    EXPECT_EQ(f.StatusBar1.PanelText(1).rfind("Compressing files - ", 0), 0u);
    EXPECT_EQ(f.Zip1.FileName(), "");
    EXPECT_TRUE(f.Zip1.FileSpecs.empty());

    f.DeleteTempZips();
    EXPECT_TRUE(InTemp().empty());
}

TEST_F(ZipStep, AllInOneArchiveTakesAPlainZipNameAndOnlyPendingFiles) {
    Put("a.txt", "alpha\r\n");
    Put("b.txt", "held");
    Put("c.txt", std::string(70000, 'c'));
    Lock("b.txt");
    // Outside Temp: a name with directories must not reach it.
    WriteFile(Dir() + "outside.zip", "keep me");
    struct Case {
        const char *ini, *archive;
    } cases[] = {{"files.dat", "files.zip"},
                 {"Reports.ZIP", "Reports.ZIP"},
                 {"noext", "noext.zip"},
                 {"../outside.zip", "outside.zip"},
                 {"sub/", "Package.zip"}};
    TfrmMain &f = StartZip(false);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ini);
        WritePrivateProfileString("SETUP", "ZIPFileName", c.ini, Ini());
        f.LoadSettings();
        f.ScanPollDir();
        f.ZipFiles();
        const std::string archive = f.TempDir() + c.archive;
        EXPECT_EQ(Held(f).ZipName, c.archive);
        EXPECT_EQ(Column(&TFilesTable::Record::ZFileName),
                  (std::vector<std::string>{archive, "", archive}));
        EXPECT_EQ(Archive(c.archive),
                  (std::vector<std::string>{Expected("a.txt"), Expected("c.txt")}));
        f.DeleteTempZips();
        EXPECT_TRUE(InTemp().empty());
    }
    EXPECT_EQ(ReadFile(Dir() + "outside.zip"), "keep me");
    // The changed name is what a save stores.
    f.SaveSettings();
    EXPECT_EQ(IniValue("ZIPFileName"), "Package.zip");
}

TEST_F(ZipStep, FailedArchiveOfOneFileFailsOnlyItsRow) {
    Put("a.txt", "alpha");
    Put("b.txt", "vanishes");
    TfrmMain &f = StartZip(true);
    // A name whose archive path the field could not hold: the file's own path
    // just fits.
    const std::size_t room = TFilesTable::FileNameSize - poll_.size();
    ASSERT_EQ(f.TempDir().size(), poll_.size());
    const std::string longName = std::string(room - 6, 'n') + ".txt";
    Put(longName, "long");
    f.ScanPollDir();
    ASSERT_EQ(f.tblFiles.RecordCount(), 3u);
    ASSERT_EQ(unlink((poll_ + "b.txt").c_str()), 0); // gone after the scan
    f.ZipFiles();

    const auto errors = Column(&TFilesTable::Record::Error);
    const auto files = Column(&TFilesTable::Record::FileName);
    ASSERT_EQ(files,
              (std::vector<std::string>{poll_ + "a.txt", poll_ + "b.txt", poll_ + longName}));
    EXPECT_EQ(errors[0], "");
    EXPECT_EQ(errors[1].rfind("1 of the selected files could not be added to \n\"" + f.TempDir() +
                                  "b.txt.zip\"",
                              0),
              0u)
        << errors[1];
    EXPECT_EQ(errors[2], "File name too long");
    EXPECT_EQ(Archive("a.txt.zip"), std::vector<std::string>{Expected("a.txt")});
    EXPECT_EQ(InTemp(), std::vector<std::string>{"a.txt.zip"});
    // Every failure is in the log when it happens, even if nothing is left
    // to send.
    const auto log = LogTexts();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].substr(0, 20), ("! " + errors[1]).substr(0, 20));
    EXPECT_EQ(log[2], "! File name too long");
    EXPECT_EQ(f.PendingCount(), 1);
}

TEST_F(ZipStep, FailedAllInOneArchiveEndsTheProgramAndLeavesNothing) {
    Put("a.txt", "alpha");
    Put("b.txt", "vanishes");
    TfrmMain &f = StartZip(false, "Delete=1\r\nTimeUnit=S\r\nPollInterval=1\r\n");
    // Once the archive is set up, just before the library runs.
    f.Zip1.OnContentsChanged = [&](TObject *) {
        if (!f.Zip1.FileName().empty())
            unlink((poll_ + "b.txt").c_str());
    };
    f.btnStart.Click();
    Advance(1000);
    EXPECT_TRUE(app_.Terminated());
    EXPECT_TRUE(f.Failed());
    EXPECT_NE(Log().find("ZipException: 1 of the selected files could not be added to "),
              std::string::npos)
        << Log();
    EXPECT_EQ(Log().find("Connecting"), std::string::npos);
    EXPECT_TRUE(InTemp().empty());
    EXPECT_TRUE(FileExists(poll_ + "a.txt"));
}

// Closing the program while a file is packed: the library is told to stop,
// stays loaded until its call has returned, and the cut archive is removed.
TEST_F(ZipStep, ClosingWhilePackingCancelsAndLeavesNothing) {
    Put("a.txt", RandomText(3 << 20));
    Put("b.txt", "second");
    TfrmMain &f = StartZip(true, "Delete=1\r\n");
    std::vector<std::string> begun;
    f.Zip1.OnZEDBeginFileEvent = [&](TObject *, const std::string &name, std::int32_t, std::int32_t,
                                     std::int32_t) {
        begun.push_back(name);
        dialogs_.QueueMessageResult(IDYES); // "... Do you realy want to exit now?"
        f.Close();
    };
    f.btnPoll.Click();
    EXPECT_TRUE(app_.Terminated());
    EXPECT_EQ(begun.size(), 1u);
    EXPECT_TRUE(TZip::DllLoaded());
    EXPECT_TRUE(InTemp().empty());
    EXPECT_EQ(Log().find("Connecting"), std::string::npos);
    form_.reset();
    EXPECT_FALSE(TZip::DllLoaded());
    EXPECT_EQ(ReadFile(poll_ + "a.txt"), data_["a.txt"]);
    EXPECT_EQ(ReadFile(poll_ + "b.txt"), "second");
}

} // namespace
} // namespace pv::test
