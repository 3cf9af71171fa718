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

// A name or a reply from outside cannot end its line or forge another.
TEST_F(JobLog, ControlCharactersAreWrittenVisibly) {
    TfrmMain &f = Start();
    f.WriteLog("! Delete-> /p/a\r\n01/01/2024 00:00:00 ! forged\x01\x1B[2J\x7F", true);
    f.WriteLog("\t/p/b\tc\xC3\xA9\\x41 - error", false); // the leading TAB is the log's own
    f.WriteLog("\t", false);
    f.cboxVerbose.SetChecked(true);
    f.SMTPResponse(nullptr, "250 ok\rX\nY");
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{
                              "! Delete-> /p/a\\r\\n01/01/2024 00:00:00 ! forged\\x01\\x1B[2J\\x7F",
                              "<unstamped> \t/p/b\\tc\xC3\xA9\\x41 - error", "<unstamped> \t",
                              "<250 ok\\rX\\nY"}));
    EXPECT_EQ(EscapeLogText(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(EscapeLogText("\x1F \x80\xFF"), "\\x1F \x80\xFF");
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
