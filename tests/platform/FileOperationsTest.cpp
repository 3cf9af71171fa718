#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "tests/platform/FullDisk.h"
#include "tests/support/TempDir.h"

using namespace pv;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

bool HasArchive(const std::string &path) {
    std::uint32_t a = GetFileAttributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_ARCHIVE);
}

} // namespace

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

// What a scan of a directory others can write to relies on: a link put in
// place of a file is refused, not followed to its target.
TEST(FileCopy, LinksRefusedWhenAsked) {
    pvtest::TempDir dir;
    WriteFile(dir / "secret", "not for mailing");
    ASSERT_EQ(symlink((dir / "secret").c_str(), (dir / "link").c_str()), 0);
    EXPECT_FALSE(CopyFile(dir / "link", dir / "copy", true, false));
    EXPECT_EQ(GetLastError(), ELOOP);
    EXPECT_FALSE(FileExists(dir / "copy"));
    EXPECT_TRUE(CopyFile(dir / "link", dir / "copy", true)); // followed by default
    EXPECT_EQ(ReadFile(dir / "copy"), "not for mailing");

    EXPECT_EQ(FileOpen(dir / "link", fmOpenRead | fmShareDenyWrite | fmNoFollow), -1);
    EXPECT_EQ(GetLastError(), ELOOP);
    const int fd = FileOpen(dir / "secret", fmOpenRead | fmShareDenyWrite | fmNoFollow);
    EXPECT_GE(fd, 0);
    FileClose(fd);
}

TEST(FileCopy, FullDiskLeavesNothingBehind) {
    bool ran = pvtest::ForEachFullDisk(100000, [](pvtest::FullDisk &disk, const std::string &dir) {
        SCOPED_TRACE(disk.Name());
        const std::string src = dir + "big";
        WriteFile(src, std::string(300000, 'b'));
        WriteFile(dir + "b", "old content");
        int e1 = 0, e2 = 0;
        bool exclusive = disk.Run([&] {
            bool r = CopyFile(src, dir + "a", true);
            e1 = GetLastError();
            return r;
        });
        bool replace = disk.Run([&] {
            bool r = CopyFile(src, dir + "b", false);
            e2 = GetLastError();
            return r;
        });
        EXPECT_FALSE(exclusive);
        EXPECT_EQ(e1, disk.Error());
        EXPECT_FALSE(replace);
        EXPECT_EQ(e2, disk.Error());
        EXPECT_EQ(ReadFile(dir + "b"), "old content");
        EXPECT_EQ(pvtest::Entries(dir), (std::vector<std::string>{"b", "big"}));
    });
    if (!ran)
        GTEST_SKIP() << "neither a tmpfs nor a file size limit can make a disk full here";
}

// A backup copy killed half-way once left a truncated file under the backup's
// name, which the next job took for a finished backup.
TEST(FileCopy, AKilledCopyLeavesNoPartFileUnderTheTargetName) {
    pvtest::TempDir dir;
    const std::string src = dir / "report.txt";
    WriteFile(src, std::string(300000, 'r'));
    ASSERT_TRUE(CreateDirectory(dir / "Backup"));
    const std::string backup = dir / "Backup/";
    for (bool failIfExists : {true, false})
        ASSERT_TRUE(pvtest::KilledWhileWriting(
            100000, [&] { CopyFile(src, backup + "report.txt", failIfExists); }));
    EXPECT_FALSE(FileExists(backup + "report.txt"));
    EXPECT_EQ(pvtest::Entries(backup).size(), 2u);
    EXPECT_EQ(RemoveAtomicLeftovers(backup), 2);
    EXPECT_TRUE(pvtest::Entries(backup).empty());
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
