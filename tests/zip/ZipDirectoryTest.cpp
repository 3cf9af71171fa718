// Opening archives and reading their directories: archives made by Debian's
// zip and Python's zipfile, archives built byte by byte, and hostile ones.
#include <gtest/gtest.h>

#include <random>

#include "ZipTestSupport.h"
#include "platform/Application.h"
#include "platform/ScriptedDialogs.h"
#include "zip/Zip.h"

using namespace pv;
using namespace pv::ziptest;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

class ZipDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        Application().Title = "Postvane";
        SetDialogService(&dialogs);
    }
    void TearDown() override { SetDialogService(nullptr); }

    // The message of the ZipException that opening path raises ("" if none).
    std::string OpenError(const std::string &path) {
        try {
            zip.SetFileName(path);
        } catch (const ZipException &e) {
            return e.what();
        }
        return "";
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto &e : zip.Entries())
            names.push_back(e.FileName);
        return names;
    }

    pvtest::TempDir dir;
    TScriptedDialogs dialogs;
    TZip zip;
};

TEST_F(ZipDirectory, MissingArchiveIsCreatedEmptyAndClosingResets) {
    std::string path = dir / "new.zip";
    int changes = 0;
    zip.OnContentsChanged = [&](TObject *sender) {
        EXPECT_EQ(sender, &zip);
        ++changes;
    };
    zip.Password = "secret";
    zip.SetFileName(path);
    EXPECT_EQ(ReadFile(path), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    EXPECT_TRUE(zip.Entries().empty());
    EXPECT_EQ(zip.EndPosition(), 0);
    EXPECT_TRUE(zip.Password.empty());
    EXPECT_EQ(changes, 1);

    zip.SetFileName("");
    EXPECT_EQ(zip.EndPosition(), -1);
    EXPECT_EQ(zip.FileName(), "");
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(dialogs.Records().empty());
}

TEST_F(ZipDirectory, FailuresToReachOrCreateTheArchive) {
    EXPECT_EQ(OpenError(dir / "no/such/dir/a.zip"),
              "Unable to create \n\"" + dir.Path() + "no/such/dir/a.zip\"");
    EXPECT_FALSE(FileExists(dir / "no"));
    EXPECT_EQ(OpenError(dir.Path()), "Unable to create \n\"" + dir.Path() + "\"");

    zip.VolumeQuery = [](const std::string &, TVolumeInfo &) { return false; };
    EXPECT_EQ(OpenError(dir / "a.zip"), "Unable to access the selected drive!");
    EXPECT_FALSE(FileExists(dir / "a.zip"));
}

// Stored and deflated members, a directory, names with "/", a comment.
TEST_F(ZipDirectory, ReadsArchivesOfDebiansZip) {
    std::string text = LogText(50000);
    WriteFile(dir / "report.txt", text);
    CreateDirectory(dir / "sub");
    WriteFile(dir / "sub/data.bin", NoiseBytes(3000));
    std::string out;
    ASSERT_EQ(Shell("cd " + dir.Path() + " && echo 'Weekly files' | zip -q -z -r arch.zip " +
                        "report.txt sub && zip -q -0 arch.zip sub/data.bin",
                    &out),
              0)
        << out;

    zip.SetFileName(dir / "arch.zip");
    EXPECT_EQ(Names(), (std::vector<std::string>{"report.txt", "sub\\", "sub\\data.bin"}));
    EXPECT_EQ(zip.ZipComment, "Weekly files");
    EXPECT_FALSE(zip.OemNames());
    const auto &report = zip.Entries()[0];
    EXPECT_EQ(report.CompressionMethod(), 8);
    EXPECT_EQ(report.UncompressedSize(), text.size());
    EXPECT_LT(report.CompressedSize(), text.size() / 2);
    EXPECT_EQ(report.Crc32(), Crc32(text));
    EXPECT_EQ(zip.Entries()[2].CompressionMethod(), 0);
    EXPECT_EQ(zip.Entries()[2].UncompressedSize(), 3000u);
    EXPECT_FALSE(report.Encrypted);
    EXPECT_EQ(zip.EndPosition(),
              static_cast<std::int64_t>(ReadFile(dir / "arch.zip").size()) - 22 - 12);

    // Behind a self-extracting stub, offsets adjusted or not.
    std::string stub = "#!/bin/sh\necho self-extracting\nexit 0\n" + NoiseBytes(70000, 7);
    WriteFile(dir / "sfx.bin", stub + ReadFile(dir / "arch.zip"));
    zip.SetFileName(dir / "sfx.bin");
    EXPECT_EQ(Names().size(), 3u);
    ASSERT_EQ(Shell("cd " + dir.Path() + " && cp sfx.bin sfx2.zip && zip -q -A sfx2.zip", &out), 0)
        << out;
    zip.SetFileName(dir / "sfx2.zip");
    EXPECT_EQ(Names(), (std::vector<std::string>{"report.txt", "sub\\", "sub\\data.bin"}));
    EXPECT_EQ(zip.ZipComment, "Weekly files");
}

TEST_F(ZipDirectory, ReadsArchivesOfPythonsZipfile) {
    WriteFile(dir / "a.txt", "alpha\n");
    WriteFile(dir / "b.log", LogText(20000));
    std::string out;
    ASSERT_EQ(Shell(ZipfileTool() + " make " + dir / "py.zip" + " --comment 'from python'" +
                        " --stored a.txt=" + dir / "a.txt" + " --deflated logs/2024/b.log=" +
                        dir / "b.log" + " --deflated 'caf\xc3\xa9.txt'=" + dir / "a.txt",
                    &out),
              0)
        << out;
    zip.SetFileName(dir / "py.zip");
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt", "logs\\2024\\b.log", "caf\xc3\xa9.txt"}));
    EXPECT_EQ(zip.ZipComment, "from python");
    EXPECT_EQ(zip.Entries()[0].CompressionMethod(), 0);
    EXPECT_EQ(zip.Entries()[1].CompressionMethod(), 8);
    EXPECT_EQ(zip.Entries()[1].UncompressedSize(), 20000u);
}

// Names and comments of archives made on DOS or Windows are in the OEM code
// page, unless an entry says it is UTF-8.
TEST_F(ZipDirectory, OemNamesAreConverted) {
    RawEntry dos{"DOCS/caf\x82.txt", "x", "r\x82sum\x82", "", 0x0014};
    RawEntry utf8{"na\xc3\xafve.txt", "y", "", "", 0x0014, 0x0800};
    WriteFile(dir / "dos.zip", BuildArchive({dos, utf8}, "\x82t\x82").Bytes);
    zip.SetFileName(dir / "dos.zip");
    EXPECT_TRUE(zip.OemNames());
    EXPECT_EQ(Names(), (std::vector<std::string>{"DOCS\\caf\xc3\xa9.txt", "na\xc3\xafve.txt"}));
    EXPECT_EQ(zip.Entries()[0].FileComment, "r\xc3\xa9sum\xc3\xa9");
    EXPECT_EQ(zip.ZipComment, "\xc3\xa9t\xc3\xa9");

    // NTFS counts as OEM only with version 5.0; Unix never.
    for (auto [madeBy, oem] :
         {std::pair{0x0B32, true}, {0x0B14, false}, {0x0614, true}, {0x0314, false}}) {
        RawEntry e{"caf\x82", "", "", "", static_cast<std::uint16_t>(madeBy)};
        WriteFile(dir / "v.zip", BuildArchive({e}).Bytes);
        zip.SetFileName(dir / "v.zip");
        EXPECT_EQ(zip.OemNames(), oem) << std::hex << madeBy;
        EXPECT_EQ(zip.Entries()[0].FileName, oem ? "caf\xc3\xa9" : "caf\x82") << madeBy;
    }
}

TEST_F(ZipDirectory, EndRecordIsFoundWithinTheScanWindowOnly) {
    RawEntry e{"a.txt", "data"};
    std::string longest(65535 - 22, 'c');
    WriteFile(dir / "full.zip", BuildArchive({e}, longest).Bytes);
    zip.SetFileName(dir / "full.zip");
    ASSERT_EQ(Names(), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(zip.ZipComment, longest);

    WriteFile(dir / "over.zip", BuildArchive({e}, longest + "c").Bytes);
    EXPECT_EQ(OpenError(dir / "over.zip"),
              "\"" + dir / "over.zip" + "\"\nis not a valid Zip file.");

    // A comment that itself looks like an end record: the last one wins.
    RawArchive inner = BuildArchive({e});
    std::string tail = inner.Bytes.substr(inner.EndRecord, 22);
    WriteFile(dir / "trick.zip", BuildArchive({e, e}, tail).Bytes);
    EXPECT_EQ(OpenError(dir / "trick.zip"), "Error reading CentralFileHeader.");
}

TEST_F(ZipDirectory, HostileArchivesRaiseTheDesignedErrors) {
    const std::string notValid = "\"%s\"\nis not a valid Zip file.";
    const std::string badHeader = "Error reading CentralFileHeader.";
    auto check = [&](const std::string &name, const std::string &bytes, const std::string &want) {
        WriteFile(dir / name, bytes);
        std::string expect = want;
        if (auto at = expect.find("%s"); at != std::string::npos)
            expect.replace(at, 2, dir / name);
        EXPECT_EQ(OpenError(dir / name), expect) << name;
        EXPECT_TRUE(zip.Entries().empty()) << name;
    };
    check("empty.zip", "", notValid);
    check("short.zip", std::string("PK\x05\x06", 4) + std::string(17, '\0'), notValid);
    check("noise.zip", NoiseBytes(100000, 3), notValid);

    RawArchive good = BuildArchive({{"a.txt", "alpha"}, {"dir/b.txt", "beta"}}, "note");
    auto patched = [&](std::size_t at, std::uint32_t value, int width) {
        std::string b = good.Bytes;
        width == 2 ? Put16(b, at, static_cast<std::uint16_t>(value)) : Put32(b, at, value);
        return b;
    };
    const std::size_t end = good.EndRecord, cd = good.CentralDirectory;
    check("disk.zip", patched(end + 4, 1001, 2), notValid);
    check("cddisk.zip", patched(end + 6, 1001, 2), notValid);
    // Central directory larger than what precedes the end record, or not where it is said to be.
    check("size.zip", patched(end + 12, 0xFFFFFF00, 4), badHeader);
    check("size2.zip", patched(end + 12, static_cast<std::uint32_t>(cd - 10), 4), badHeader);
    // More entries announced than stored; fewer on this disk than in total.
    check("count.zip", patched(end + 10, 3, 2), badHeader);
    check("count64.zip", patched(end + 10, 0xFFFF, 2), badHeader);
    check("signature.zip", patched(cd, 0x02014B51, 4), badHeader);
    // The last name runs past the end of the file.
    RawArchive last = BuildArchive({{"a.txt", "alpha"}});
    std::string cut = last.Bytes.substr(0, last.EndRecord);
    Put16(cut, last.CentralDirectory + 28, 0xFFFF);
    check("name.zip",
          cut + Le32(0x06054B50) + Le16(0) + Le16(0) + Le16(1) + Le16(1) +
              Le32(static_cast<std::uint32_t>(cut.size() - last.CentralDirectory)) + Le32(0) +
              Le16(0),
          badHeader);
    // A comment length beyond the file leaves the comment empty.
    zip.SetFileName("");
    WriteFile(dir / "comment.zip", patched(end + 20, 0xFFFF, 2));
    zip.SetFileName(dir / "comment.zip");
    EXPECT_EQ(Names().size(), 2u);
    EXPECT_EQ(zip.ZipComment, "");
    // Entries on this disk that disagree with the total: the total counts.
    WriteFile(dir / "ondisk.zip", patched(end + 8, 1, 2));
    zip.SetFileName(dir / "ondisk.zip");
    EXPECT_EQ(Names().size(), 2u);
}

// Random damage to a valid archive: every reading either succeeds or raises
// ZipException, and never reads outside what it read (the sanitizer build
// checks that).
TEST_F(ZipDirectory, DamagedArchivesNeverCrash) {
    RawArchive good =
        BuildArchive({{"a.txt", "alpha", "first"},
                      {"b/c.txt", LogText(300), "", "\x55\x54\x05\x00\x01\x00\x00\x00\x00"}},
                     "comment");
    std::mt19937 rng(42);
    int failures = 0;
    for (int round = 0; round < 800; ++round) {
        std::string b = good.Bytes;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < flips; ++k) {
            // Mostly the directory and the end record, where the reader looks.
            std::size_t at =
                rng() % 3 ? good.CentralDirectory + rng() % (b.size() - good.CentralDirectory)
                          : rng() % b.size();
            b[at] = static_cast<char>(rng() % 4 ? rng() : (rng() % 2 ? 0xFF : 0));
        }
        if (rng() % 8 == 0)
            b.resize(rng() % b.size());
        WriteFile(dir / "fuzz.zip", b);
        try {
            zip.SetFileName(dir / "fuzz.zip");
        } catch (const ZipException &) {
            ++failures;
        }
    }
    EXPECT_GT(failures, 50);
}

// Disks of a spanned set are asked for; Cancel ends the reading quietly.
TEST_F(ZipDirectory, SpannedDisksAreAskedFor) {
    std::string label = "PKBACK# 002";
    zip.VolumeQuery = [&](const std::string &, TVolumeInfo &info) {
        info.Removable = true;
        info.Label = label;
        return true;
    };
    WriteFile(dir / "part.zip", NoiseBytes(1000));
    dialogs.QueueMessageResult(IDCANCEL);
    EXPECT_EQ(OpenError(dir / "part.zip"), "");
    ASSERT_EQ(dialogs.MessageTexts(),
              std::vector<std::string>{"This is [ Disk 2 ] of a multiple disk Zip file.\nInsert "
                                       "the last disk of the Zip file before pressing [ OK ] to "
                                       "continue ..."});
    EXPECT_EQ(dialogs.Records()[0].Request.Caption, "Postvane");
    EXPECT_TRUE(zip.Entries().empty());

    // The last disk holds the end record, the directory starts on disk 2:
    // the user swaps disks until the right one is in.
    RawArchive a = BuildArchive({{"a.txt", "alpha"}});
    std::string b = a.Bytes;
    Put16(b, a.EndRecord + 4, 3);
    Put16(b, a.EndRecord + 6, 2);
    Put32(b, a.EndRecord + 16, static_cast<std::uint32_t>(a.CentralDirectory));
    WriteFile(dir / "last.zip", b);
    label = "PKBACK# 003";
    dialogs.Clear();
    dialogs.OnMessage = [&](const TMessageRequest &) {
        label = "PKBACK# 002";
        return IDOK;
    };
    zip.SetFileName(dir / "last.zip");
    EXPECT_EQ(Names(), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(dialogs.MessageTexts(),
              std::vector<std::string>{"Insert [ Disk 2 ] of the Zip file into the floppy "
                                       "drive\nbefore pressing [ OK ] to continue ..."});
    // Without a user (the default answer) nobody is asked for ever.
    dialogs.OnMessage = nullptr;
    label = "PKBACK# 003";
    zip.SetFileName(dir / "last.zip");
    EXPECT_TRUE(zip.Entries().empty());
    EXPECT_EQ(dialogs.Records().back().Request.DefaultButton, IDCANCEL);
}

} // namespace
