#include <sys/stat.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

using namespace pv;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

const std::string kSharing =
    "The process cannot access the file because it is being used by another process.";

} // namespace

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
