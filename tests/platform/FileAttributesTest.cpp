#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

using namespace pv;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

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
