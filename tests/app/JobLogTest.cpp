#include "AppFixture.h"

namespace pv::test {
namespace {

using JobLog = AppFixture;

TEST_F(JobLog, AppendsToTheExistingLogAndOpensItInTheViewer) {
    WriteFile(LogPath(), "earlier\r\n");
    TfrmMain &f = Start();
    f.WriteLog("next", true);
    const std::vector<std::string> lines = CrLfLines(Log());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_EQ(Unstamped(lines[1]), "next");

    f.btnLog.Click();
    ASSERT_EQ(dialogs_.Records().size(), 1u);
    EXPECT_EQ(dialogs_.Records()[0].Kind, TDialogRecord::Open);
    EXPECT_EQ(dialogs_.Records()[0].Value, LogPath());
}

TEST_F(JobLog, LogThatCannotBeCreatedEndsTheProgram) {
    ASSERT_EQ(symlink((Dir() + "missing/Postvane.log").c_str(), LogPath().c_str()), 0);
    TfrmMain &f = Start();
    EXPECT_TRUE(app_.Terminated());
    EXPECT_TRUE(f.Failed());
    EXPECT_FALSE(f.LogOpen());
    ASSERT_EQ(dialogs_.MessageTexts().size(), 1u);
    const std::string text = dialogs_.MessageTexts()[0];
    EXPECT_EQ(text.rfind("EFCreateError: ", 0), 0u) << text;
    EXPECT_NE(text.find(LogPath()), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("\r\nApplication will terminate.\r\n"));
    EXPECT_TRUE(FileExists(Ini())); // the settings were written before
}

TEST_F(JobLog, LogHeldByAnotherInstanceEndsTheProgram) {
    WriteFile(LogPath(), "");
    TFileStream other(LogPath(), fmOpenReadWrite | fmShareDenyWrite);
    TfrmMain &f = Start();
    EXPECT_TRUE(f.Failed());
    ASSERT_EQ(dialogs_.MessageTexts().size(), 1u);
    EXPECT_NE(dialogs_.MessageTexts()[0].find("being used by another process"), std::string::npos);
}

} // namespace
} // namespace pv::test
