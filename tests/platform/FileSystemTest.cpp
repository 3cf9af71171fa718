#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

using namespace pv;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

const std::string kSharing =
    "The process cannot access the file because it is being used by another process.";

bool HasArchive(const std::string &path) {
    std::uint32_t a = GetFileAttributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_ARCHIVE);
}

// Moves the mtime so a rewrite within the same clock tick still counts as a change.
void Touch(const std::string &path, long secondsAhead) {
    struct timespec t[2];
    clock_gettime(CLOCK_REALTIME, &t[0]);
    t[0].tv_sec += secondsAhead;
    t[1] = t[0];
    utimensat(AT_FDCWD, path.c_str(), t, 0);
}

// Runs the archive-bit life cycle against whatever store is configured.
void ArchiveCycle(const std::string &dir) {
    const std::string f = dir + "data.txt";
    WriteFile(f, "first");
    EXPECT_TRUE(HasArchive(f)) << "a new file is due";

    ASSERT_TRUE(ClearArchiveBit(f)) << LastErrorText();
    EXPECT_FALSE(HasArchive(f));
    EXPECT_EQ(GetFileAttributes(f), FILE_ATTRIBUTE_NORMAL);

    WriteFile(f, "second"); // any change makes it due again
    Touch(f, 5);
    EXPECT_TRUE(HasArchive(f));

    // Cleared for a remembered state that no longer holds: stays due.
    TFileStamp before;
    ASSERT_TRUE(GetFileStamp(f, before));
    WriteFile(f, "third, longer");
    ASSERT_TRUE(ClearArchiveBit(f, before));
    EXPECT_TRUE(HasArchive(f));
    TFileStamp now;
    ASSERT_TRUE(GetFileStamp(f, now));
    ASSERT_TRUE(ClearArchiveBit(f, now));
    EXPECT_FALSE(HasArchive(f));

    ASSERT_TRUE(SetArchiveBit(f));
    EXPECT_TRUE(HasArchive(f));

    // Reading the attributes and writing them back with the bit inverted.
    std::uint32_t a = GetFileAttributes(f);
    ASSERT_TRUE(SetFileAttributes(f, a ^ FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(HasArchive(f));
    ASSERT_TRUE(SetFileAttributes(f, GetFileAttributes(f) ^ FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(HasArchive(f));

    // A different file under the same name is new.
    ASSERT_TRUE(ClearArchiveBit(f));
    std::string content = ReadFile(f);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    ASSERT_EQ(unlink(f.c_str()), 0);
    WriteFile(f, content);
    struct timespec t[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, f.c_str(), t, 0);
    EXPECT_TRUE(HasArchive(f));
}

} // namespace

TEST(FileAttributes, ReadOnlyHiddenDirectoryAndMissing) {
    pvtest::TempDir dir;
    WriteFile(dir / "plain", "x");
    WriteFile(dir / ".hidden", "x");
    WriteFile(dir / "ro", "x");
    ASSERT_EQ(chmod((dir / "ro").c_str(), 0444), 0);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);

    EXPECT_EQ(GetFileAttributes(dir / "plain"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributes(dir / ".hidden"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributes(dir / "ro"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributes(dir / "sub"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributes(dir / "sub/"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributes(dir.Path() + "."), FILE_ATTRIBUTE_DIRECTORY); // not hidden

    EXPECT_EQ(GetFileAttributes(dir / "missing"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ENOENT);
    EXPECT_EQ(LastErrorText(), "No such file or directory");

    // Read-only can be set and taken away again.
    ASSERT_TRUE(SetFileAttributes(dir / "plain", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributes(dir / "plain"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(SetFileAttributes(dir / "plain", FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributes(dir / "plain"), FILE_ATTRIBUTE_ARCHIVE);
}

TEST(ArchiveBit, ExtendedAttributeLifeCycle) {
    pvtest::TempDir dir;
    SetArchiveStateFile(dir / "unused.state");
    ArchiveCycle(dir.Path());
    char buf[64];
    ASSERT_TRUE(ClearArchiveBit(dir / "data.txt"));
    EXPECT_GT(getxattr((dir / "data.txt").c_str(), "user.postvane.archived", buf, sizeof buf), 0);
    EXPECT_FALSE(FileExists(dir / "unused.state"));
    SetArchiveStateFile("");
}

TEST(ArchiveBit, StateFileLifeCycleAndPruning) {
    pvtest::TempDir dir;
    const std::string state = dir / "archive.state";
    SetArchiveStateFile(state, true);
    ArchiveCycle(dir.Path());
    EXPECT_TRUE(FileExists(state));

    WriteFile(dir / "gone.txt", "x");
    ASSERT_TRUE(ClearArchiveBit(dir / "gone.txt"));
    EXPECT_NE(ReadFile(state).find("gone.txt"), std::string::npos);
    ASSERT_EQ(unlink((dir / "gone.txt").c_str()), 0);
    ASSERT_TRUE(SetArchiveBit(dir / "data.txt")); // any rewrite drops records of lost files
    EXPECT_EQ(ReadFile(state).find("gone.txt"), std::string::npos);

    // A name with a line break does not break the record file.
    const std::string odd = dir / "two\nlines";
    WriteFile(odd, "x");
    ASSERT_TRUE(ClearArchiveBit(odd));
    EXPECT_FALSE(HasArchive(odd));
    ASSERT_TRUE(ClearArchiveBit(dir / "data.txt"));
    EXPECT_FALSE(HasArchive(odd));
    EXPECT_FALSE(HasArchive(dir / "data.txt"));
    SetArchiveStateFile("");
}

TEST(DirectorySearch, MatchesCaseInsensitivelyWithoutDirectories) {
    pvtest::TempDir dir;
    for (const char *n : {"a.txt", "B.TXT", "b.txte", ".hidden.txt", "img101.bmp", "img10.bmp"})
        WriteFile(dir / n, n);
    ASSERT_EQ(mkdir((dir / "dir.txt").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "pipe.txt").c_str(), 0600), 0);
    ASSERT_EQ(symlink("a.txt", (dir / "link.txt").c_str()), 0);

    auto names = [](const std::vector<TSearchRec> &v) {
        std::vector<std::string> r;
        for (const auto &e : v)
            r.push_back(e.Name);
        return r;
    };
    bool ok = false;
    auto txt = FindFiles(dir.Path(), "*.TXT", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(names(txt), (std::vector<std::string>{".hidden.txt", "B.TXT", "a.txt", "link.txt"}));
    ASSERT_EQ(txt.size(), 4u);
    EXPECT_EQ(txt[0].Attr, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(txt[2].Size, 5);

    EXPECT_EQ(names(FindFiles(dir.Path(), "IMG10?.bmp")), std::vector<std::string>{"img101.bmp"});
    EXPECT_EQ(FindFiles(dir.Path().substr(0, dir.Path().size() - 1), "*.*").size(), 7u);
    EXPECT_TRUE(FindFiles(dir.Path(), "nothing*").empty());

    FindFiles(dir / "missing", "*", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), ENOENT);
}

TEST(DirectorySearch, MaskMatching) {
    EXPECT_TRUE(MatchesMask("*.txt", "a.TXT"));
    EXPECT_FALSE(MatchesMask("*.txt", "b.txte"));
    EXPECT_TRUE(MatchesMask("*.wa?", "x.wav"));
    EXPECT_FALSE(MatchesMask("*.wa?", "x.wa"));
    EXPECT_TRUE(MatchesMask("a*b*c", "aXXbYYbZZc"));
    EXPECT_FALSE(MatchesMask("a*b*c", "aXXbYYbZZ"));
    EXPECT_TRUE(MatchesMask("", "anything"));
    EXPECT_TRUE(MatchesMask("*.*", "Makefile"));
    EXPECT_FALSE(MatchesWildcard("*.*", "Makefile"));
    EXPECT_TRUE(MatchesWildcard("*.*", "a.b"));
    EXPECT_TRUE(MatchesMask("*", ""));
    EXPECT_FALSE(MatchesMask("?", ""));
    // Non-ASCII bytes compare exactly.
    EXPECT_TRUE(MatchesMask("\xc3\xa9*", "\xc3\xa9t\xc3\xa9"));
    EXPECT_FALSE(MatchesMask("\xc3\xa9*", "\xc3\x89t\xc3\xa9"));
    // Many stars against a long name stay fast.
    EXPECT_FALSE(MatchesMask("*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

TEST(SharingModes, LocksConflictBetweenTwoOpens) {
    pvtest::TempDir dir;
    const std::string f = dir / "log.txt";
    WriteFile(f, "x");

    // The log: read/write, others may read but not write.
    int log = FileOpen(f, fmOpenReadWrite | fmShareDenyWrite);
    ASSERT_GE(log, 0) << LastErrorText();
    EXPECT_EQ(FileOpen(f, fmOpenReadWrite | fmShareDenyWrite), -1);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(LastErrorText(), kSharing);
    EXPECT_EQ(FileOpen(f, fmOpenRead | fmShareDenyWrite), -1);
    // The scan's test open shares everything and so gets through.
    int probe = FileOpen(f, fmOpenRead | fmShareDenyNone);
    EXPECT_GE(probe, 0);
    FileClose(probe);
    try {
        TFileStream s(f, fmOpenReadWrite | fmShareExclusive);
        FAIL() << "opened a locked file";
    } catch (const EFOpenError &e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + f + "\". " + kSharing);
    }
    FileClose(log);

    // Readers that deny writers share with each other, not with a writer.
    int r1 = FileOpen(f, fmOpenRead | fmShareDenyWrite);
    int r2 = FileOpen(f, fmOpenRead | fmShareDenyWrite);
    EXPECT_GE(r1, 0);
    EXPECT_GE(r2, 0);
    EXPECT_EQ(FileOpen(f, fmOpenWrite | fmShareDenyWrite), -1);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFile(f)) << "deleted a file held open";
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    FileClose(r1);
    FileClose(r2);
    int w = FileOpen(f, fmOpenWrite | fmShareExclusive);
    EXPECT_GE(w, 0);
    FileClose(w);
}

TEST(SharingModes, OpenFailuresCarryTheSystemText) {
    pvtest::TempDir dir;
    EXPECT_EQ(FileOpen(dir / "missing", fmOpenRead | fmShareDenyNone), -1);
    EXPECT_EQ(LastErrorText(), "No such file or directory");
    EXPECT_EQ(FileOpen(dir.Path(), fmOpenRead | fmShareDenyNone), -1);
    EXPECT_EQ(GetLastError(), EISDIR);

    // Read-only means no writing, whoever asks; reading stays possible.
    WriteFile(dir / "ro", "keep");
    ASSERT_EQ(chmod((dir / "ro").c_str(), 0444), 0);
    EXPECT_EQ(FileOpen(dir / "ro", fmOpenWrite | fmShareDenyNone), -1);
    EXPECT_EQ(GetLastError(), EACCES);
    EXPECT_THROW(TFileStream(dir / "ro", fmCreate | fmShareExclusive), EFCreateError);
    EXPECT_EQ(ReadFile(dir / "ro"), "keep");
    int r = FileOpen(dir / "ro", fmOpenRead | fmShareDenyWrite);
    EXPECT_GE(r, 0);
    FileClose(r);

    // A FIFO must not hang an open for reading.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    int fifo = FileOpen(dir / "fifo", fmOpenRead | fmShareDenyNone);
    FileClose(fifo);

    WriteFile(dir / "exists", "x");
    EXPECT_THROW(TFileStream(dir / "exists", fmCreateNew | fmShareExclusive), EFCreateError);
    EXPECT_EQ(GetLastError(), EEXIST);
}

TEST(SharingModes, CreateTruncatesOnlyOnceTheLockIsHeld) {
    pvtest::TempDir dir;
    const std::string f = dir / "held";
    WriteFile(f, "precious");
    int held = FileOpen(f, fmOpenReadWrite | fmShareExclusive);
    ASSERT_GE(held, 0);
    EXPECT_THROW(TFileStream(f, fmCreate | fmShareExclusive), EFCreateError);
    EXPECT_EQ(ReadFile(f), "precious");
    FileClose(held);
    { TFileStream s(f, fmCreate | fmShareExclusive); }
    EXPECT_EQ(ReadFile(f), "");
}

TEST(FileStreamTest, BufferedReadsMatchWritesAcrossSeeks) {
    pvtest::TempDir dir;
    const std::string f = dir / "s.bin";
    std::string pattern;
    for (int i = 0; i < 200000; ++i)
        pattern += static_cast<char>(i * 7 + i / 251);
    {
        TFileStream s(f, fmCreate | fmShareExclusive);
        s.Write(pattern.substr(0, 100000));
        s.Write(pattern.substr(100000));
        EXPECT_EQ(s.Size(), 200000);
        EXPECT_EQ(s.Position(), 200000);
    }
    TFileStream s(f, fmOpenReadWrite | fmShareDenyWrite);
    std::string back;
    char buf[70001];
    std::size_t chunks[] = {1, 4095, 70001, 13, 65536, 3};
    for (int round = 0; back.size() < pattern.size(); ++round) {
        std::size_t n = s.Read(buf, chunks[round % 6]);
        ASSERT_GT(n, 0u);
        back.append(buf, n);
    }
    EXPECT_EQ(back, pattern);
    EXPECT_EQ(s.Read(buf, 10), 0u);

    // Writing in the middle of buffered data is seen by the next read.
    s.Seek(10, soFromBeginning);
    char b4[4];
    s.ReadBuffer(b4, 4);
    s.Seek(10, soFromBeginning);
    s.Write("WXYZ", 4);
    s.Seek(-4, soFromCurrent);
    s.ReadBuffer(b4, 4);
    EXPECT_EQ(std::string(b4, 4), "WXYZ");
    EXPECT_EQ(s.Seek(0, soFromEnd), 200000);
    s.Write("end");
    EXPECT_EQ(s.Size(), 200003);
    EXPECT_THROW(s.ReadBuffer(b4, 4), EReadError);
    s.SetSize(5);
    EXPECT_EQ(s.Position(), 5);
    EXPECT_EQ(s.Seek(-1, soFromBeginning), -1);
    EXPECT_EQ(s.Position(), 5);
}

TEST(FileCopy, ExclusiveTargetPreservedTimesAndNoPartialTarget) {
    pvtest::TempDir dir;
    const std::string src = dir / "report.txt";
    WriteFile(src, "report body");
    ASSERT_EQ(chmod(src.c_str(), 0640), 0);
    struct timespec t[2] = {{1000000000, 0}, {1234567890, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, src.c_str(), t, 0), 0);

    ASSERT_TRUE(CopyFile(src, dir / "copy.txt", true)) << LastErrorText();
    EXPECT_EQ(ReadFile(dir / "copy.txt"), "report body");
    struct stat st;
    ASSERT_EQ(stat((dir / "copy.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(HasArchive(dir / "copy.txt")) << "a copy is a new file";

    WriteFile(dir / "taken.txt", "old");
    EXPECT_FALSE(CopyFile(src, dir / "taken.txt", true));
    EXPECT_EQ(GetLastError(), EEXIST);
    EXPECT_EQ(ReadFile(dir / "taken.txt"), "old");
    ASSERT_TRUE(CopyFile(src, dir / "taken.txt", false));
    EXPECT_EQ(ReadFile(dir / "taken.txt"), "report body");

    ASSERT_EQ(chmod((dir / "taken.txt").c_str(), 0444), 0);
    EXPECT_FALSE(CopyFile(src, dir / "taken.txt", false));
    EXPECT_EQ(GetLastError(), EACCES);

    EXPECT_FALSE(CopyFile(dir / "missing", dir / "x", true));
    EXPECT_EQ(GetLastError(), ENOENT);
    EXPECT_FALSE(FileExists(dir / "x"));
    EXPECT_FALSE(CopyFile(src, dir / "no/dir/x", true));
    EXPECT_FALSE(CopyFile(dir.Path(), dir / "x", true));
    EXPECT_EQ(GetLastError(), EISDIR);
    EXPECT_FALSE(FileExists(dir / "x"));
}

TEST(FileCopy, FullDiskLeavesNothingBehind) {
    pvtest::TempDir dir;
    const std::string src = dir / "big";
    WriteFile(src, std::string(300000, 'b'));
    // A file size limit stands in for a full disk: writes beyond it fail.
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool exclusive = CopyFile(src, dir / "a", true);
    int e1 = GetLastError();
    WriteFile(dir / "b", "old content");
    bool replace = CopyFile(src, dir / "b", false);
    int e2 = GetLastError();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(exclusive);
    EXPECT_EQ(e1, EFBIG);
    EXPECT_FALSE(replace);
    EXPECT_EQ(e2, EFBIG);
    EXPECT_EQ(ReadFile(dir / "b"), "old content");
    EXPECT_EQ(pvtest::Entries(dir.Path()), (std::vector<std::string>{"b", "big"}));
}

TEST(FileOperations, DeleteCreateRenameAndTemp) {
    pvtest::TempDir dir;
    WriteFile(dir / "f", "x");
    WriteFile(dir / "ro", "x");
    ASSERT_EQ(chmod((dir / "ro").c_str(), 0444), 0);
    EXPECT_FALSE(DeleteFile(dir / "ro"));
    EXPECT_EQ(GetLastError(), EACCES);
    EXPECT_TRUE(FileExists(dir / "ro"));
    EXPECT_TRUE(DeleteFile(dir / "f"));
    EXPECT_FALSE(FileExists(dir / "f"));
    EXPECT_FALSE(DeleteFile(dir / "f"));
    EXPECT_EQ(LastErrorText(), "No such file or directory");

    EXPECT_TRUE(CreateDirectory(dir / "Backup"));
    EXPECT_FALSE(CreateDirectory(dir / "Backup"));
    EXPECT_EQ(GetLastError(), EEXIST);
    EXPECT_TRUE(DirectoryExists(dir / "Backup"));
    EXPECT_TRUE(DirectoryExists(dir / "Backup/"));
    EXPECT_FALSE(FileExists(dir / "Backup"));
    EXPECT_FALSE(DeleteFile(dir / "Backup"));
    EXPECT_FALSE(DirectoryExists(""));
    EXPECT_FALSE(CreateDirectory(dir / "a/b"));

    WriteFile(dir / "one", "1");
    WriteFile(dir / "two", "2");
    EXPECT_FALSE(RenameFile(dir / "one", dir / "two"));
    EXPECT_EQ(ReadFile(dir / "two"), "2");
    EXPECT_TRUE(RenameFile(dir / "one", dir / "three"));
    EXPECT_TRUE(RemoveDirectory(dir / "Backup"));

    const char *saved = std::getenv("TMPDIR");
    std::string keep = saved ? saved : "";
    setenv("TMPDIR", dir.Path().substr(0, dir.Path().size() - 1).c_str(), 1);
    EXPECT_EQ(TempDirectory(), dir.Path());
    std::string tmp = CreateTempFile("zip");
    if (saved)
        setenv("TMPDIR", keep.c_str(), 1);
    else
        unsetenv("TMPDIR");
    ASSERT_FALSE(tmp.empty());
    EXPECT_EQ(tmp.rfind(dir.Path() + "zip", 0), 0u) << tmp;
    struct stat st;
    ASSERT_EQ(stat(tmp.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Paths, PiecesAndProgramDirectory) {
    EXPECT_EQ(ExtractFilePath("/opt/pv/postvane"), "/opt/pv/");
    EXPECT_EQ(ExtractFileName("/opt/pv/postvane"), "postvane");
    EXPECT_EQ(ExtractFileExt("/a.b/file"), "");
    EXPECT_EQ(ExtractFileExt("/a/file.tar.GZ"), ".GZ");
    EXPECT_EQ(ChangeFileExt("/opt/pv.d/postvane", ".ini"), "/opt/pv.d/postvane.ini");
    EXPECT_EQ(ChangeFileExt("/opt/pv/postvane.exe", ".ini"), "/opt/pv/postvane.ini");
    EXPECT_EQ(ChangeFileExt("report.txt", ""), "report");
    std::string app = AppDir();
    ASSERT_FALSE(app.empty());
    EXPECT_EQ(app.back(), '/');
    EXPECT_EQ(ExtractFilePath(ExeName()), app);
    EXPECT_TRUE(FileExists(ExeName()));
    EXPECT_EQ(SysErrorMessage(ERROR_SHARING_VIOLATION), kSharing);
    EXPECT_EQ(SysErrorMessage(ENOSPC), "No space left on device");
}
