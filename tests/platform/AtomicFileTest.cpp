#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

using namespace pv;
using pvtest::Entries;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

unsigned ModeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int TempsIn(const std::string &dir) {
    int n = 0;
    for (const std::string &name : Entries(dir))
        n += IsAtomicTempName(name);
    return n;
}

} // namespace

TEST(AtomicWrite, ModesOfNewAndReplacedFilesAndRefusedTargets) {
    pvtest::TempDir dir;
    const std::string f = dir / "f.ini";
    TAtomicWrite fresh;
    fresh.Mode = 0640;
    ASSERT_TRUE(AtomicWriteFile(f, "one", fresh)) << LastErrorText();
    EXPECT_EQ(ReadFile(f), "one");
    EXPECT_EQ(ModeOf(f), 0640u);

    ASSERT_EQ(chmod(f.c_str(), 0604), 0);
    ASSERT_TRUE(AtomicWriteFile(f, "two", fresh));
    EXPECT_EQ(ReadFile(f), "two");
    EXPECT_EQ(ModeOf(f), 0604u) << "a replaced file keeps its mode";

    TAtomicWrite given;
    given.Mode = 0444;
    given.KeepMode = false;
    ASSERT_TRUE(AtomicWriteFile(f, "three", given));
    EXPECT_EQ(ModeOf(f), 0444u);

    // Read-only now: refused even for root, and left alone.
    EXPECT_FALSE(AtomicWriteFile(f, "four"));
    EXPECT_EQ(GetLastError(), EACCES);
    EXPECT_EQ(ReadFile(f), "three");

    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
    EXPECT_FALSE(AtomicWriteFile(dir / "sub", "x"));
    EXPECT_EQ(GetLastError(), EISDIR);
    EXPECT_FALSE(AtomicWriteFile(dir / "missing/f", "x"));
    EXPECT_EQ(GetLastError(), ENOENT);
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"f.ini", "sub"}));
}

TEST(AtomicWrite, FailIfExistsNeverReplacesEvenAFileThatAppearsMeanwhile) {
    pvtest::TempDir dir;
    TAtomicWrite exclusive;
    exclusive.FailIfExists = true;
    const std::string f = dir / "report.txt";
    ASSERT_TRUE(AtomicWriteFile(f, "mine", exclusive));
    EXPECT_FALSE(AtomicWriteFile(f, "again", exclusive));
    EXPECT_EQ(GetLastError(), EEXIST);
    EXPECT_EQ(ReadFile(f), "mine");

    // A dangling link holds the name too.
    ASSERT_EQ(symlink("nowhere", (dir / "link").c_str()), 0);
    EXPECT_FALSE(AtomicWriteFile(dir / "link", "x", exclusive));
    EXPECT_EQ(GetLastError(), EEXIST);

    const std::string late = dir / "late.txt";
    bool ok = AtomicWriteFile(
        late,
        [&](int fd) {
            WriteFile(late, "someone else's");
            return write(fd, "ours", 4) == 4;
        },
        exclusive);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), EEXIST);
    EXPECT_EQ(ReadFile(late), "someone else's");
    EXPECT_EQ(TempsIn(dir.Path()), 0);
}

TEST(AtomicWrite, AFailingWriterLeavesTheTargetAsItWasAndNoTemporary) {
    pvtest::TempDir dir;
    const std::string f = dir / "keep.ini";
    WriteFile(f, "old");
    for (bool exclusive : {false, true}) {
        TAtomicWrite how;
        how.FailIfExists = exclusive;
        const std::string target = exclusive ? dir / "new.ini" : f;
        bool ok = AtomicWriteFile(
            target,
            [](int fd) {
                if (write(fd, "half", 4) != 4)
                    return false;
                return FailWith(ENOSPC);
            },
            how);
        EXPECT_FALSE(ok);
        EXPECT_EQ(LastErrorText(), "No space left on device");
    }
    EXPECT_EQ(ReadFile(f), "old");
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"keep.ini"});
}

TEST(AtomicLeftovers, OnlyDeadWritersFilesOfThePatternGo) {
    pvtest::TempDir dir;
    const std::string p = kAtomicTempPrefix;
    const std::vector<std::string> others = {p + "abc",          p + "abcdefg", p + "abc-ef",
                                             "x" + p + "abcdef", ".ini.abcdef", "plain"};
    for (const std::string &name : others)
        WriteFile(dir / name, "x");
    ASSERT_EQ(mkdir((dir / (p + "Dir123")).c_str(), 0700), 0);
    ASSERT_EQ(symlink("plain", (dir / (p + "Link12")).c_str()), 0);
    WriteFile(dir / (p + "aB3xY9"), "left behind");
    WriteFile(dir / (p + "Q1w2E3"), "left behind too");
    ASSERT_EQ(chmod((dir / (p + "Q1w2E3")).c_str(), 0400), 0);

    // A live writer's temporary stays while it writes.
    int duringWrite = -1;
    ASSERT_TRUE(AtomicWriteFile(dir / "busy", [&](int fd) {
        duringWrite = RemoveAtomicLeftovers(dir.Path());
        return write(fd, "done", 4) == 4;
    }));
    EXPECT_EQ(duringWrite, 2);
    EXPECT_EQ(ReadFile(dir / "busy"), "done");

    EXPECT_EQ(RemoveAtomicLeftovers(dir.Path()), 0);
    for (const std::string &name : others)
        EXPECT_TRUE(FileExists(dir / name)) << name;
    EXPECT_TRUE(DirectoryExists(dir / (p + "Dir123")));
    struct stat st;
    EXPECT_EQ(lstat((dir / (p + "Link12")).c_str(), &st), 0);
    EXPECT_EQ(TempsIn(dir.Path()), 2) << "the directory and the link are not removed";

    EXPECT_EQ(RemoveAtomicLeftovers(dir / "missing"), -1);
    EXPECT_EQ(GetLastError(), ENOENT);
}
