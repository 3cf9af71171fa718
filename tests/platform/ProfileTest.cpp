#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "tests/platform/FullDisk.h"
#include "tests/support/TempDir.h"

using namespace pv;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

const std::string kHandWritten = "; settings written by hand\r\n"
                                 "[Other]\r\n"
                                 "Host=wrong.example\r\n"
                                 "\r\n"
                                 "[setup]\n"
                                 "  HOST  =   mail.example.org   \n"
                                 "Unknown=keep me\r\n"
                                 ";Port=1\r\n"
                                 "Port=2525\r\n"
                                 "port=9999\r\n"
                                 "Subject=\"  quoted, blanks kept  \"\r\n"
                                 "Single='x'\r\n"
                                 "Half=\"only one\r\n"
                                 "Mixed=\"a'\r\n"
                                 "Empty=\r\n"
                                 "\r\n"
                                 "[MimeTypes]\r\n"
                                 ".pdf=application/pdf\r\n"
                                 ".PDF=ignored/second\r\n"
                                 ".txt = text/plain\r\n";

} // namespace

TEST(ProfileRead, HandWrittenFileWithWindowsSemantics) {
    pvtest::TempDir dir;
    const std::string ini = dir / "p.ini";
    WriteFile(ini, kHandWritten);

    EXPECT_EQ(GetPrivateProfileString("SETUP", "Host", "def", ini), "mail.example.org");
    EXPECT_EQ(GetPrivateProfileString("Setup", "port", "def", ini), "2525"); // first match wins
    EXPECT_EQ(GetPrivateProfileString("SETUP", "Subject", "", ini), "  quoted, blanks kept  ");
    EXPECT_EQ(GetPrivateProfileString("SETUP", "Single", "", ini), "x");
    EXPECT_EQ(GetPrivateProfileString("SETUP", "Half", "", ini), "\"only one");
    EXPECT_EQ(GetPrivateProfileString("SETUP", "Mixed", "", ini), "\"a'");
    EXPECT_EQ(GetPrivateProfileString("SETUP", "Empty", "def", ini), "");
    EXPECT_EQ(GetPrivateProfileString("SETUP", "Missing", "def", ini), "def");
    EXPECT_EQ(GetPrivateProfileString("SETUP", ";Port", "def", ini), "def"); // a comment
    EXPECT_EQ(GetPrivateProfileString("Nope", "Host", "def", ini), "def");
    EXPECT_EQ(GetPrivateProfileString("Other", "Host", "", ini), "wrong.example");

    auto mime = GetPrivateProfileSection("mimetypes", ini);
    ASSERT_EQ(mime.size(), 2u);
    EXPECT_EQ(mime[0], (std::pair<std::string, std::string>{".pdf", "application/pdf"}));
    EXPECT_EQ(mime[1], (std::pair<std::string, std::string>{".txt", "text/plain"}));
    EXPECT_EQ(GetPrivateProfileString("MimeTypes", ".PdF", "", ini), "application/pdf");
}

TEST(ProfileRead, MissingOrUnreadableFilesGiveDefaults) {
    pvtest::TempDir dir;
    EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", dir / "none.ini"), "dflt");
    EXPECT_EQ(GetPrivateProfileInt("S", "K", 42, dir / "none.ini"), 42);
    EXPECT_TRUE(GetPrivateProfileSection("S", dir / "none.ini").empty());
    // A directory where the file should be.
    ASSERT_EQ(mkdir((dir / "d.ini").c_str(), 0700), 0);
    EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", dir / "d.ini"), "dflt");
}

TEST(ProfileRead, Integers) {
    pvtest::TempDir dir;
    const std::string ini = dir / "n.ini";
    WriteFile(ini, "[N]\nDec=596\nHex=0x1F\nHexUpper=0XFF\nDollar=$10\nNeg=-3\nJunk=12abc\n"
                   "Blank=\nHuge=99999999999\nSpaced=  7  \nBareHex=0x\n");
    EXPECT_EQ(GetPrivateProfileInt("N", "Dec", 0, ini), 596);
    EXPECT_EQ(GetPrivateProfileInt("N", "Hex", 0, ini), 31);
    EXPECT_EQ(GetPrivateProfileInt("N", "HexUpper", 0, ini), 255);
    EXPECT_EQ(GetPrivateProfileInt("N", "Dollar", 0, ini), 16);
    EXPECT_EQ(GetPrivateProfileInt("N", "Neg", 0, ini), -3);
    EXPECT_EQ(GetPrivateProfileInt("N", "Junk", 5, ini), 5);
    EXPECT_EQ(GetPrivateProfileInt("N", "Blank", 5, ini), 5);
    EXPECT_EQ(GetPrivateProfileInt("N", "Huge", 5, ini), 5);
    EXPECT_EQ(GetPrivateProfileInt("N", "Spaced", 5, ini), 7);
    EXPECT_EQ(GetPrivateProfileInt("N", "BareHex", 5, ini), 5);
    EXPECT_EQ(GetPrivateProfileInt("N", "Missing", 5, ini), 5);
}

TEST(ProfileWrite, KeepsEveryOtherLineByteForByte) {
    pvtest::TempDir dir;
    const std::string ini = dir / "p.ini";
    WriteFile(ini, kHandWritten);

    WritePrivateProfileString("SETUP", "port", "25", ini);  // replaces the first Port line
    WritePrivateProfileString("setup", "NewKey", "v", ini); // appended inside the section
    WritePrivateProfileString("Fresh", "A", "1", ini);      // new section at the end
    WritePrivateProfileString("other", "Host", "h2", ini);  // in the first section

    std::string expected = kHandWritten;
    auto replace = [&](const std::string &from, const std::string &to) {
        auto at = expected.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        expected.replace(at, from.size(), to);
    };
    replace("Port=2525\r\n", "Port=25\r\n");
    replace("Empty=\r\n", "Empty=\r\nNewKey=v\r\n");
    replace("Host=wrong.example\r\n", "Host=h2\r\n");
    expected += "[Fresh]\r\nA=1\r\n";
    EXPECT_EQ(ReadFile(ini), expected);

    EXPECT_EQ(GetPrivateProfileString("SETUP", "Port", "", ini), "25");
    EXPECT_EQ(GetPrivateProfileString("SETUP", "NewKey", "", ini), "v");
    EXPECT_EQ(GetPrivateProfileString("FRESH", "a", "", ini), "1");
    EXPECT_EQ(pvtest::Entries(dir.Path()), std::vector<std::string>{"p.ini"}); // no temp left
}

TEST(ProfileWrite, UnterminatedLastLineAndLfFiles) {
    pvtest::TempDir dir;
    const std::string ini = dir / "p.ini";
    WriteFile(ini, "[S]\nA=1\nB=2"); // no final line end
    WritePrivateProfileString("S", "C", "3", ini);
    EXPECT_EQ(ReadFile(ini), "[S]\nA=1\nB=2\nC=3\n");
    WriteFile(ini, "[S]\nA=1");
    WritePrivateProfileString("T", "X", "y", ini);
    EXPECT_EQ(ReadFile(ini), "[S]\nA=1\n[T]\nX=y\n");
    WritePrivateProfileString("S", "A", "one", ini);
    EXPECT_EQ(ReadFile(ini), "[S]\nA=one\n[T]\nX=y\n");
}

TEST(ProfileWrite, KeepsTheFilesLineEndStyle) {
    pvtest::TempDir dir;
    const std::string ini = dir / "p.ini";
    // Replacing, appending to a section, adding a section: the file's own style.
    for (std::string eol : {"\n", "\r\n"}) {
        WriteFile(ini, "; hand-made" + eol + "[S]" + eol + "A=1" + eol + eol + "[U]" + eol + "Z=9");
        WritePrivateProfileString("S", "A", "2", ini);
        WritePrivateProfileString("S", "B", "3", ini);
        WritePrivateProfileString("T", "X", "y", ini);
        WritePrivateProfileString("U", "Z", "8", ini);
        EXPECT_EQ(ReadFile(ini), "; hand-made" + eol + "[S]" + eol + "A=2" + eol + "B=3" + eol +
                                     eol + "[U]" + eol + "Z=8" + eol + "[T]" + eol + "X=y" + eol);
    }
    // Without a line end yet, and in a new file: CR LF.
    WriteFile(ini, "[S]");
    WritePrivateProfileString("S", "A", "1", ini);
    EXPECT_EQ(ReadFile(ini), "[S]\r\nA=1\r\n");
    WritePrivateProfileString("N", "K", "v", dir / "new.ini");
    EXPECT_EQ(ReadFile(dir / "new.ini"), "[N]\r\nK=v\r\n");
    // Mixed: a replaced line keeps its own end, new lines take the first line's.
    WriteFile(ini, "[S]\nA=1\r\nB=2\n");
    WritePrivateProfileString("S", "A", "one", ini);
    WritePrivateProfileString("S", "C", "3", ini);
    EXPECT_EQ(ReadFile(ini), "[S]\nA=one\r\nB=2\nC=3\n");
}

TEST(ProfileWrite, NewFileModeAndKeptMode) {
    pvtest::TempDir dir;
    const std::string ini = dir / "new.ini";
    WritePrivateProfileString("SETUP", "Password", "secret", ini);
    EXPECT_EQ(ReadFile(ini), "[SETUP]\r\nPassword=secret\r\n");
    struct stat st;
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    ASSERT_EQ(chmod(ini.c_str(), 0640), 0);
    WritePrivateProfileString("SETUP", "Password", "other", ini);
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ProfileWrite, ThroughASymbolicLink) {
    pvtest::TempDir dir;
    WriteFile(dir / "real.ini", "[S]\r\nA=1\r\n");
    ASSERT_EQ(symlink("real.ini", (dir / "link.ini").c_str()), 0);
    WritePrivateProfileString("S", "A", "2", dir / "link.ini");
    struct stat st;
    ASSERT_EQ(lstat((dir / "link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(dir / "real.ini"), "[S]\r\nA=2\r\n");
}

TEST(ProfileWrite, RefusedWritesRaiseNamingTheFileAndChangeNothing) {
    pvtest::TempDir dir;
    const std::string ini = dir / "ro.ini";
    WriteFile(ini, "[S]\r\nA=1\r\n");
    ASSERT_EQ(chmod(ini.c_str(), 0444), 0);
    try {
        WritePrivateProfileString("S", "A", "2", ini);
        FAIL() << "no error for a read-only file";
    } catch (const EProfileError &e) {
        EXPECT_NE(std::string(e.what()).find(ini), std::string::npos) << e.what();
        EXPECT_STREQ(e.ClassName(), "EProfileError");
    }
    // Unchanged values are refused as well: the file is read-only all the same.
    EXPECT_THROW(WritePrivateProfileString("S", "A", "1", ini), EProfileError);
    EXPECT_EQ(ReadFile(ini), "[S]\r\nA=1\r\n");

    ASSERT_EQ(mkdir((dir / "d.ini").c_str(), 0700), 0);
    EXPECT_THROW(WritePrivateProfileString("S", "A", "1", dir / "d.ini"), EProfileError);
    EXPECT_THROW(WritePrivateProfileString("S", "A", "1", dir / "no/such/dir.ini"), Exception);

    // Values that would break the file's lines.
    ASSERT_EQ(chmod(ini.c_str(), 0644), 0);
    EXPECT_THROW(WritePrivateProfileString("S", "A", "x\r\nB=injected", ini), EProfileError);
    EXPECT_THROW(WritePrivateProfileString("S", "A", std::string("x\0y", 3), ini), EProfileError);
    EXPECT_THROW(WritePrivateProfileString("S", "K=V", "x", ini), EProfileError);
    EXPECT_THROW(WritePrivateProfileString("S]", "A", "x", ini), EProfileError);
    EXPECT_THROW(WritePrivateProfileString("", "A", "x", ini), EProfileError);
    EXPECT_EQ(ReadFile(ini), "[S]\r\nA=1\r\n");
    EXPECT_EQ(pvtest::Entries(dir.Path()), (std::vector<std::string>{"d.ini", "ro.ini"}));
}

TEST(ProfileWrite, BinaryBytesAndVeryLongLinesSurvive) {
    pvtest::TempDir dir;
    const std::string ini = dir / "b.ini";
    std::string binary("Blob=\x00\xff\x80\x01 tail", 15);
    std::string longLine = "Long=" + std::string(1 << 20, 'x');
    std::string content = "[S]\r\n" + binary + "\r\n" + longLine + "\r\nA=1\r\n";
    WriteFile(ini, content);

    EXPECT_EQ(GetPrivateProfileString("S", "A", "", ini), "1");
    EXPECT_EQ(GetPrivateProfileString("S", "Long", "", ini).size(), 1u << 20);
    EXPECT_EQ(GetPrivateProfileString("S", "Blob", "", ini), binary.substr(5));

    // Bit-7 bytes in a value (a scrambled password) go in and come back out.
    std::string scrambled = "\xf0\xe1\xf3\xf3";
    WritePrivateProfileString("S", "A", scrambled, ini);
    EXPECT_EQ(GetPrivateProfileString("S", "A", "", ini), scrambled);
    std::string expected = "[S]\r\n" + binary + "\r\n" + longLine + "\r\nA=" + scrambled + "\r\n";
    EXPECT_EQ(ReadFile(ini), expected);
}

TEST(ProfileWrite, AFullDiskOrAKillLeavesTheFileAsItWasAndNoTemporary) {
    const std::string content = "[SETUP]\r\nBody=" + std::string(150000, 'b') + "\r\nA=1\r\n";
    bool ran = pvtest::ForEachFullDisk(65536, [&](pvtest::FullDisk &disk, const std::string &dir) {
        SCOPED_TRACE(disk.Name());
        const std::string ini = dir + "p.ini";
        WriteFile(ini, content);
        std::string error;
        disk.Run([&] {
            try {
                WritePrivateProfileString("SETUP", "A", "2", ini);
            } catch (const EProfileError &e) {
                error = e.what();
            }
        });
        EXPECT_EQ(error, "Unable to write to " + ini + ": " + SysErrorMessage(disk.Error()));
        EXPECT_EQ(ReadFile(ini), content);
        EXPECT_EQ(pvtest::Entries(dir), std::vector<std::string>{"p.ini"});
    });
    if (!ran)
        GTEST_SKIP() << "neither a tmpfs nor a file size limit can make a disk full here";

    // Killed in the middle: the old file stands, the temporary is recognised.
    pvtest::TempDir dir;
    const std::string ini = dir / "p.ini";
    WriteFile(ini, content);
    ASSERT_TRUE(pvtest::KilledWhileWriting(
        65536, [&] { WritePrivateProfileString("SETUP", "A", "2", ini); }));
    EXPECT_EQ(ReadFile(ini), content);
    EXPECT_EQ(pvtest::Entries(dir.Path()).size(), 2u);
    EXPECT_EQ(RemoveAtomicLeftovers(dir.Path()), 1);
    EXPECT_EQ(pvtest::Entries(dir.Path()), std::vector<std::string>{"p.ini"});
}

TEST(ProfileWrite, EveryValueAndNameReadsBackAsWritten) {
    pvtest::TempDir dir;
    const std::string ini = dir / "p.ini";
    WriteFile(ini, "[SETUP]\r\nHost=a\r\n");
    // Quotes or blanks around a value would be taken off when it is read:
    // such a value goes inside one more pair; others are written as they are.
    for (const std::string value :
         {"\"Daily\" report \"x\"", "'single'", "  spaced  ", "\"", "a \"b\"", "\"\""}) {
        WritePrivateProfileString("SETUP", "Subject", value, ini);
        EXPECT_EQ(GetPrivateProfileString("SETUP", "Subject", "", ini), value);
    }
    WritePrivateProfileString("SETUP", "Subject", "plain", ini);
    EXPECT_EQ(ReadFile(ini), "[SETUP]\r\nHost=a\r\nSubject=plain\r\n");

    // Names count without blanks around them, in reading and writing alike.
    WritePrivateProfileString(" SETUP\t", "\tHost ", "b", ini);
    EXPECT_EQ(GetPrivateProfileString("SETUP ", " host", "", ini), "b");
    EXPECT_EQ(ReadFile(ini), "[SETUP]\r\nHost=b\r\nSubject=plain\r\n");
}

TEST(ProfileWrite, ALoneCrEndingTheFileJoinsNoWrittenLine) {
    pvtest::TempDir dir;
    const std::string ini = dir / "p.ini";
    WriteFile(ini, "[A]\nk=1\r");
    WritePrivateProfileString("A", "j", "2", ini);
    EXPECT_EQ(ReadFile(ini), "[A]\nk=1\r\nj=2\n");
    WriteFile(ini, "[A]\nk=1\r");
    WritePrivateProfileString("B", "j", "2", ini);
    EXPECT_EQ(ReadFile(ini), "[A]\nk=1\r\n[B]\nj=2\n");
    // Writing what is stored already leaves the file alone.
    WriteFile(ini, "[A]\nk=1\r");
    WritePrivateProfileString("A", "k", "1", ini);
    EXPECT_EQ(ReadFile(ini), "[A]\nk=1\r");
}
