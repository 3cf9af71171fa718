// Loading the library, and the library itself called directly with what a
// careless or hostile caller might pass: it answers with -1 and a message,
// never with a crash.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>

#include <cstring>
#include <random>

#include "ZipTestSupport.h"
#include "platform/Application.h"
#include "zip/Zip.h"

using namespace pv;
using namespace pv::ziptest;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

TEST(ZipLoad, OnlyAUsableLibraryIsLoaded) {
    TZip zip;
    zip.UnloadDll();
    zip.DllDirectory = FakeLibraryDir("old"); // reports 159
    EXPECT_FALSE(zip.LoadDll());
    EXPECT_FALSE(TZip::DllLoaded());
    zip.DllDirectory = FakeLibraryDir("noexec");
    EXPECT_FALSE(zip.LoadDll());
    EXPECT_FALSE(TZip::DllLoaded());
    zip.DllDirectory = "/nonexistent";
    EXPECT_FALSE(zip.LoadDll());
    zip.DllDirectory = ""; // the program's directory, where the tests have none
    EXPECT_FALSE(zip.LoadDll());

    zip.DllDirectory = LibraryDir();
    EXPECT_TRUE(zip.LoadDll());
    EXPECT_TRUE(TZip::DllLoaded());
    zip.DllDirectory = "/nonexistent"; // loaded once for the process
    EXPECT_TRUE(zip.LoadDll());
    {
        TZip other;
        EXPECT_TRUE(TZip::DllLoaded());
    } // destroying any TZip unloads
    EXPECT_FALSE(TZip::DllLoaded());
}

// Calls the built library directly, collecting what it reports.
class ZipDll : public ::testing::Test {
  protected:
    void SetUp() override {
        handle = dlopen((LibraryDir() + "/" ZIPDLL_FILE_NAME).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        exec = reinterpret_cast<TZipDllExec>(dlsym(handle, "ZipDllExec"));
        auto version = reinterpret_cast<TGetZipDllVersion>(dlsym(handle, "GetZipDllVersion"));
        ASSERT_TRUE(exec && version);
        EXPECT_GE(version(), 160u);
        std::memset(&params, 0, sizeof params);
        params.Caller = this;
        params.Version = ZIPDLL_INTERFACE_VERSION;
        params.Callback = &ZipDll::Callback;
        params.Adding = ZIPDLL_TRUE;
        params.JunkDirs = ZIPDLL_TRUE;
        archive = dir / "t.zip";
        params.ArchiveName = archive.c_str();
    }
    void TearDown() override {
        if (handle)
            dlclose(handle);
    }

    static std::int32_t Callback(TZipCallbackInfo *info) {
        auto *self = static_cast<ZipDll *>(info->Caller);
        EXPECT_EQ(info->Text[sizeof info->Text - 1], '\0');
        self->codes.push_back(info->ActionCode);
        if (info->ActionCode == zacMessage)
            self->messages.push_back(info->Text);
        return self->stopAt == info->ActionCode ? -1 : 0;
    }
    std::int32_t Exec(const std::vector<std::string> &files) {
        std::vector<TZipFileSpec> specs(files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            std::memset(&specs[i], 0, sizeof specs[i]);
            specs[i].FileSpec = files[i].c_str();
            specs[i].RootDir = "";
        }
        params.SpecCount = static_cast<std::int32_t>(files.size());
        params.Specs = specs.data();
        return exec(&params);
    }

    pvtest::TempDir dir;
    void *handle = nullptr;
    TZipDllExec exec = nullptr;
    TZipExecParams params;
    std::string archive;
    std::vector<int> codes;
    std::vector<std::string> messages;
    int stopAt = -1;
};

TEST_F(ZipDll, CarelessCallsAreRefused) {
    EXPECT_EQ(exec(nullptr), -1);

    params.Version = 159;
    EXPECT_EQ(Exec({}), -1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Interface version 159 is not supported (160 or later is)");
    params.Version = ZIPDLL_INTERFACE_VERSION;

    params.ArchiveName = nullptr;
    EXPECT_EQ(Exec({}), -1);
    params.ArchiveName = "";
    EXPECT_EQ(Exec({}), -1);
    params.ArchiveName = archive.c_str();

    params.SpecCount = -3;
    params.Specs = nullptr;
    EXPECT_EQ(exec(&params), -1);
    params.SpecCount = 2;
    EXPECT_EQ(exec(&params), -1);

    params.Removing = ZIPDLL_TRUE;
    EXPECT_EQ(Exec({dir / "x"}), -1);
    params.Removing = ZIPDLL_FALSE;
    EXPECT_FALSE(FileExists(archive));

    // Specs without a text, or naming what cannot be packed, are skipped.
    WriteFile(dir / "ok.txt", "ok");
    CreateDirectory(dir / "sub");
    std::vector<TZipFileSpec> specs(4);
    std::memset(specs.data(), 0, specs.size() * sizeof specs[0]);
    std::string ok = dir / "ok.txt", sub = dir / "sub", fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    specs[1].FileSpec = ok.c_str();
    specs[2].FileSpec = sub.c_str();
    specs[3].FileSpec = fifo.c_str();
    params.SpecCount = 4;
    params.Specs = specs.data();
    messages.clear();
    codes.clear();
    EXPECT_EQ(exec(&params), 1);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), zacSkipped), 3);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1], "Skipping \"" + sub + "\": not a regular file");

    // No callback at all is fine too; an overlong name is cut in the record.
    params.Callback = nullptr;
    std::string longName(1000, 'n');
    EXPECT_EQ(Exec({ok}), 1);
    params.Callback = &ZipDll::Callback;
    messages.clear();
    EXPECT_EQ(Exec({dir / longName}), 0);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].size(), ZIPDLL_TEXT_SIZE - 1);
}

TEST_F(ZipDll, StopAnswerEndsTheCallWithoutTouchingTheArchive) {
    WriteFile(dir / "a.bin", NoiseBytes(3 << 20));
    for (int code : {zacBatchCount, zacBeginFile, zacProgress}) {
        stopAt = code;
        codes.clear();
        EXPECT_EQ(Exec({dir / "a.bin"}), 0) << code;
        EXPECT_FALSE(FileExists(archive)) << code;
        EXPECT_EQ(std::count(codes.begin(), codes.end(), code), 1) << "nothing after the stop";
        EXPECT_EQ(pvtest::Entries(dir.Path()), std::vector<std::string>{"a.bin"});
    }
}

// Archives damaged at random are refused or updated, never a crash, and a
// refused one is left as it was.
TEST_F(ZipDll, DamagedArchivesNeverCrashIt) {
    WriteFile(dir / "in.txt", LogText(5000));
    RawArchive good = BuildArchive({{"a.txt", LogText(2000), "c"}, {"d/b.txt", "beta"}}, "x");
    std::mt19937 rng(7);
    int refused = 0;
    for (int round = 0; round < 150; ++round) {
        std::string b = good.Bytes;
        for (int k = 0; k < 3; ++k)
            b[rng() % b.size()] = static_cast<char>(rng());
        WriteFile(archive, b);
        std::int32_t n = Exec({dir / "in.txt"});
        if (n < 0) {
            ++refused;
            EXPECT_EQ(ReadFile(archive), b);
        }
    }
    EXPECT_GT(refused, 10);
}

} // namespace
