// Adding files through the library: what the archive holds afterwards (read
// back by unzip and Python's zipfile), the events, the refusals, and that a
// cancelled or failed add leaves the archive exactly as it was and no
// temporary file behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "ZipTestSupport.h"
#include "platform/Application.h"
#include "platform/ScriptedDialogs.h"
#include "zip/Zip.h"

using namespace pv;
using namespace pv::ziptest;
using pvtest::Entries;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

class ZipAdd : public ::testing::Test {
  protected:
    void SetUp() override {
        Application().Title = "Postvane";
        SetDialogService(&dialogs);
        // Backups go to a temporary directory of the test's own.
        const char *old = std::getenv("TMPDIR");
        oldTmp = old ? old : "";
        hadTmp = old != nullptr;
        setenv("TMPDIR", tmp.Path().c_str(), 1);
        zip.DllDirectory = LibraryDir();
        zip.ShowProgressDialog = false;
        CreateDirectory(dir / "in");
    }
    void TearDown() override {
        SetDialogService(nullptr);
        hadTmp ? setenv("TMPDIR", oldTmp.c_str(), 1) : unsetenv("TMPDIR");
        EXPECT_TRUE(Entries(tmp.Path()).empty()) << "backup left behind";
    }

    // A file under in/ with the given content; its path.
    std::string Input(const std::string &name, const std::string &data) {
        WriteFile(dir / ("in/" + name), data);
        return dir / ("in/" + name);
    }
    std::string AddError() {
        try {
            zip.Add(false);
        } catch (const ZipException &e) {
            return e.what();
        }
        return "";
    }

    pvtest::TempDir dir, tmp;
    std::string oldTmp;
    bool hadTmp = false;
    TScriptedDialogs dialogs;
    TZip zip;
};

TEST_F(ZipAdd, PackedFilesReadBackByteForByte) {
    std::string a = Input("report.txt", LogText(300000));
    std::string b = Input("noise.bin", NoiseBytes(2500000));
    std::string c = Input("empty.dat", "");
    std::string d = Input("caf\xc3\xa9 menu.txt", "soup\n");
    std::string archive = dir / "out/pack.zip";
    CreateDirectory(dir / "out");
    zip.SetFileName(archive);
    zip.FileSpecs = {a, b, c, d};
    EXPECT_EQ(zip.Add(false), 4);
    EXPECT_TRUE(zip.FileSpecs.empty());
    EXPECT_TRUE(dialogs.Records().empty());

    std::vector<std::string> names;
    for (const auto &e : zip.Entries())
        names.push_back(e.FileName);
    EXPECT_EQ(names, (std::vector<std::string>{"report.txt", "noise.bin", "empty.dat",
                                               "caf\xc3\xa9 menu.txt"}));
    EXPECT_EQ(zip.Entries()[0].CompressionMethod(), 8);
    EXPECT_LT(zip.Entries()[0].CompressedSize(), 300000u / 4);
    EXPECT_EQ(zip.Entries()[1].Crc32(), Crc32(ReadFile(b)));

    std::string out;
    EXPECT_EQ(Shell("unzip -t " + archive, &out), 0) << out;
    EXPECT_NE(out.find("No errors detected"), std::string::npos) << out;
    EXPECT_EQ(Shell(ZipfileTool() + " verify " + archive + " report.txt=" + a + " noise.bin=" + b +
                        " empty.dat=" + c + " 'caf\xc3\xa9 menu.txt'='" + d + "'",
                    &out),
              0)
        << out;
    // Nothing else in the archive's directory: the library's temporary is gone.
    EXPECT_EQ(Entries(dir / "out"), std::vector<std::string>{"pack.zip"});

    // Adding again: a file of the same name replaces its entry, others stay;
    // the comment survives.
    std::string a2 = Input("report.txt", "replaced\n");
    zip.ZipComment = "kept";
    zip.FileSpecs = {a2};
    EXPECT_EQ(zip.Add(false), 1);
    EXPECT_EQ(zip.Entries().size(), 4u);
    EXPECT_EQ(zip.ZipComment, "kept");
    EXPECT_EQ(Shell(ZipfileTool() + " verify " + archive + " report.txt=" + a2 + " noise.bin=" + b +
                        " empty.dat=" + c + " 'caf\xc3\xa9 menu.txt'='" + d + "'",
                    &out),
              0)
        << out;
    EXPECT_EQ(Shell("unzip -t " + archive, &out), 0) << out;
}

TEST_F(ZipAdd, EventsFollowTheBatch) {
    std::string small = Input("small.txt", "hello\n");
    const std::int32_t bigSize = 5 * 1024 * 1024 + 123, total = bigSize + 6;
    std::string big = Input("big.bin", NoiseBytes(bigSize));
    zip.SetFileName(dir / "ev.zip");
    std::vector<std::string> log;
    std::int64_t bigProgress = 0, steps = 0;
    zip.OnZEDBeginFileEvent = [&](TObject *sender, const std::string &name, std::int32_t size,
                                  std::int32_t count, std::int32_t total) {
        EXPECT_EQ(sender, &zip);
        log.push_back("begin " + ExtractFileName(name) + " " + std::to_string(size) + " " +
                      std::to_string(count) + " " + std::to_string(total));
    };
    zip.OnZEDProgressEvent = [&](TObject *, const std::string &name, std::int32_t bytes,
                                 std::int32_t batchBytes) {
        EXPECT_EQ(batchBytes, total);
        EXPECT_LE(bytes, 1 << 20) << "progress steps small enough to cancel quickly";
        if (ExtractFileName(name) == "big.bin") {
            bigProgress += bytes;
            ++steps;
        }
    };
    zip.OnZEDEndBatchEvent = [&](TObject *, std::int32_t skipped, std::int32_t count,
                                 std::int32_t total) {
        log.push_back("end " + std::to_string(skipped) + " " + std::to_string(count) + " " +
                      std::to_string(total));
    };
    zip.FileSpecs = {small, big};
    EXPECT_EQ(zip.Add(false), 2);
    const std::string t = std::to_string(total);
    EXPECT_EQ(log, (std::vector<std::string>{"begin small.txt 6 2 " + t,
                                             "begin big.bin " + std::to_string(bigSize) + " 2 " + t,
                                             "end 0 2 " + t}));
    EXPECT_EQ(bigProgress, bigSize);
    EXPECT_EQ(steps, 6);
    EXPECT_EQ(zip.BatchCount(), 2);
    EXPECT_EQ(zip.TotalBytesInBatch(), total);
}

// Cancelled from a progress handler, as the job engine does when the
// program is closing, and from the progress window's button.
TEST_F(ZipAdd, CancelLeavesTheArchiveAsItWas) {
    std::string first = Input("first.txt", "first\n");
    std::string big = Input("big.bin", NoiseBytes(4 * 1024 * 1024));
    std::string archive = dir / "c.zip";
    zip.SetFileName(archive);
    zip.FileSpecs = {first};
    ASSERT_EQ(zip.Add(false), 1);
    const std::string before = ReadFile(archive);

    int progress = 0;
    zip.OnZEDProgressEvent = [&](TObject *sender, const std::string &, std::int32_t, std::int32_t) {
        if (++progress == 2)
            static_cast<TZip *>(sender)->Cancel = true;
    };
    zip.FileSpecs = {big};
    EXPECT_EQ(zip.Add(false), 0);
    EXPECT_EQ(progress, 2) << "no callback acts after the cancel";
    EXPECT_TRUE(zip.Cancel);
    EXPECT_EQ(ReadFile(archive), before);
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"c.zip", "in"}));
    EXPECT_EQ(zip.Entries().size(), 1u);

    // The window: there during the add only, Cancel hides it and stops.
    zip.ShowProgressDialog = true;
    bool shown = false;
    zip.OnZEDProgressEvent = [&](TObject *, const std::string &, std::int32_t, std::int32_t) {
        TProgressForm *form = zip.ProgressForm();
        ASSERT_NE(form, nullptr);
        shown = form->Visible();
        EXPECT_EQ(form->Caption(), "Postvane");
        EXPECT_EQ(form->ClientWidth(), 300);
        EXPECT_EQ(form->Bar.Max(), 65535);
        EXPECT_EQ(form->Label.Caption(), big);
        EXPECT_EQ(form->Label.Left(), 10);
        EXPECT_EQ(form->CancelButton.Caption(), "&Cancel");
        EXPECT_EQ(form->CancelButton.Left(), (300 - form->CancelButton.Width()) / 2);
        form->CancelButton.Click();
        EXPECT_FALSE(form->Visible());
    };
    zip.FileSpecs = {big};
    EXPECT_EQ(zip.Add(false), 0);
    EXPECT_TRUE(shown);
    EXPECT_EQ(zip.ProgressForm(), nullptr);
    EXPECT_EQ(ReadFile(archive), before);
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"c.zip", "in"}));
}

TEST_F(ZipAdd, ProgressWindowFollowsTheBytes) {
    std::string big = Input("big.bin", NoiseBytes(3 * 1024 * 1024));
    zip.SetFileName(dir / "p.zip");
    zip.ShowProgressDialog = true;
    std::vector<int> positions;
    zip.OnZEDProgressEvent = [&](TObject *, const std::string &, std::int32_t, std::int32_t) {
        positions.push_back(zip.ProgressForm()->Bar.Position());
    };
    zip.FileSpecs = {big};
    ASSERT_EQ(zip.Add(false), 1);
    // The bar is updated after the event: each event sees the previous step.
    ASSERT_EQ(positions.size(), 3u);
    EXPECT_EQ(positions[0], 0);
    EXPECT_EQ(positions[1], 21845);
    EXPECT_EQ(positions[2], 43690);
}

TEST_F(ZipAdd, RefusalsShowWhyAndLeaveTheLibraryUnloaded) {
    zip.UnloadDll();
    std::string a = Input("a.txt", "a");
    zip.FileSpecs = {a};
    EXPECT_EQ(zip.Add(false), 0);
    zip.SetFileName(dir / "r.zip");
    zip.FileSpecs.clear();
    zip.RootDir = dir.Path();
    EXPECT_EQ(zip.Add(false), 0);
    EXPECT_TRUE(zip.RootDir.empty());

    // An archive whose end record is on a disk of a spanned set.
    std::string spanned = std::string("PK\x05\x06", 4) + Le16(1) + std::string(16, '\0');
    WriteFile(dir / "span.zip", spanned);
    zip.SetFileName(dir / "span.zip");
    zip.FileSpecs = {a};
    EXPECT_EQ(zip.Add(false), 0);
    EXPECT_EQ(zip.FileSpecs, std::vector<std::string>{a});
    EXPECT_EQ(ReadFile(dir / "span.zip"), spanned);

    EXPECT_EQ(dialogs.MessageTexts(),
              (std::vector<std::string>{
                  "A Zip file must be openned or created before\nAdding, Deleting or Extracting "
                  "files.",
                  "No files have been selected.",
                  "Cannot Add, Delete or Extract from a multiple disk Zip file...\nMerge this Zip "
                  "file onto the hard disk before retrying."}));
    for (const auto &r : dialogs.Records()) {
        EXPECT_EQ(r.Request.Caption, "Postvane");
        EXPECT_EQ(r.Request.Icon, TMsgIcon::Information);
    }
    EXPECT_FALSE(TZip::DllLoaded());
}

TEST_F(ZipAdd, FailuresRaiseAndRestoreTheArchive) {
    std::string a = Input("a.txt", "alpha\n");
    std::string archive = dir / "f.zip";
    zip.SetFileName(archive);
    zip.FileSpecs = {a};
    ASSERT_EQ(zip.Add(false), 1);
    const std::string before = ReadFile(archive);

    // The library cannot be loaded: the designed error, nothing touched.
    zip.UnloadDll();
    zip.DllDirectory = dir / "in";
    zip.FileSpecs = {a};
    EXPECT_EQ(AddError(), "Unable to load \"libzipdll.so\".");
    EXPECT_EQ(zip.FileSpecs, std::vector<std::string>{a});
    EXPECT_FALSE(TZip::DllLoaded());
    zip.DllDirectory = LibraryDir();

    // A file that cannot be packed: the archive would lack it.
    std::string b = Input("b.txt", "beta\n");
    zip.FileSpecs = {b, dir / "in/missing.txt"};
    EXPECT_EQ(AddError(), "1 of the selected files could not be added to \n\"" + archive +
                              "\":\nSkipping \"" + dir / "in/missing.txt" +
                              "\": No such file or directory");
    EXPECT_EQ(ReadFile(archive), before);
    EXPECT_EQ(zip.Entries().size(), 1u);
    EXPECT_EQ(zip.SkippedCount(), 1);

    // The library fails: the archive was replaced by something else meanwhile.
    WriteFile(archive, "not an archive at all, but longer than twenty-two bytes");
    zip.FileSpecs = {b};
    std::string error = AddError();
    EXPECT_EQ(error.rfind("Unable to add files to \n\"" + archive + "\":\nCannot open", 0), 0u)
        << error;
    EXPECT_EQ(ReadFile(archive), "not an archive at all, but longer than twenty-two bytes");

    // A handler that raises: the exception reaches the caller, the add is
    // stopped and undone, FileSpecs keeps its paths.
    zip.SetFileName(archive + ".2");
    zip.FileSpecs = {b};
    zip.OnZEDBeginFileEvent = [](TObject *, const std::string &, std::int32_t, std::int32_t,
                                 std::int32_t) { throw std::runtime_error("handler failed"); };
    const std::string empty = ReadFile(archive + ".2");
    EXPECT_THROW(
        try { zip.Add(false); } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "handler failed");
            throw;
        },
        std::runtime_error);
    EXPECT_EQ(zip.FileSpecs, std::vector<std::string>{b});
    EXPECT_EQ(ReadFile(archive + ".2"), empty);
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"f.zip", "f.zip.2", "in"}));
}

// Relative specs under RootDir, names kept with their directories when the
// option that drops them is off, the working directory given back, and the
// trace of the library's messages.
TEST_F(ZipAdd, RootDirAndStoredPaths) {
    CreateDirectory(dir / "in/sub");
    Input("sub/x.txt", "x\n");
    std::string cwd = std::filesystem::current_path();
    zip.SetFileName(dir / "root.zip");
    zip.AddOptions = ZipBit(3); // relative specs under RootDir, directories kept
    zip.RootDir = dir / "in";
    zip.FileSpecs = {"sub/x.txt"};
    zip.Trace = true; // the library's messages go beside the program
    const std::string trace = ChangeFileExt(ExeName(), ".trace");
    EXPECT_EQ(zip.Add(false), 1);
    EXPECT_EQ(ReadFile(trace), "  adding: sub/x.txt\r\n");
    DeleteFile(trace);
    EXPECT_TRUE(zip.RootDir.empty());
    EXPECT_EQ(std::filesystem::current_path(), cwd);
    ASSERT_EQ(zip.Entries().size(), 1u);
    EXPECT_EQ(zip.Entries()[0].FileName, "sub\\x.txt");
    std::string out;
    EXPECT_EQ(
        Shell(ZipfileTool() + " verify " + dir / "root.zip" + " sub/x.txt=" + dir / "in/sub/x.txt",
              &out),
        0)
        << out;
}

} // namespace
