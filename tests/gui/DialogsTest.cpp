// The dialog service with real dialogs, answered on the screen.
#include "GuiFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/Dialogs.h"

namespace pv::test {
namespace {

struct Dialogs : GuiTest {
    void SetUp() override { StartDesktop(); }
};

TEST_F(Dialogs, MessageBoxesAnswerWithTheButtonsOfTheirFlags) {
    std::thread answer = AnswerWindow("Postvane", {"Return"});
    // The default is the second button: Return answers No.
    EXPECT_EQ(MessageBox("Postvane is currently proccesing a job. Do you realy want to exit now?",
                         "Postvane", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2),
              IDNO);
    answer.join();
    EXPECT_TRUE(Answered());

    answer = AnswerWindow("Confirm", {"Escape"});
    EXPECT_EQ(MessageDlg("Exit?", TMsgIcon::Question, {IDYES, IDCANCEL}), IDCANCEL);
    answer.join();

    answer = AnswerWindow("Error", {"Escape"}); // a lone OK answers Escape too
    EXPECT_EQ(MessageBox("EFOpenError: gone\r\nApplication will terminate.\r\n", "Error",
                         MB_OK | MB_ICONERROR),
              IDOK);
    answer.join();
}

TEST_F(Dialogs, TheInputBoxReturnsWhatWasTypedOrKeepsTheValue) {
    std::string value = "Package.zip";
    std::thread answer =
        AnswerWindow("ZIP file name", {"ctrl+a", "r", "e", "p", "period", "z", "i", "p", "Return"});
    EXPECT_TRUE(InputQuery("ZIP file name", "Name of the archive:", value));
    answer.join();
    EXPECT_EQ(value, "rep.zip");

    answer = AnswerWindow("ZIP file name", {"x", "Escape"});
    EXPECT_FALSE(InputQuery("ZIP file name", "Name of the archive:", value));
    answer.join();
    EXPECT_EQ(value, "rep.zip");
}

TEST_F(Dialogs, TheFolderBrowserStartsAtTheGivenFolderAndReturnsTheChosenOne) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "poll").c_str(), 0700), 0);
    TBrowseRequest request;
    request.Title = "Select a directory";
    request.InitialDir = dir / "poll";
    std::string folder;
    // Accepting at once takes the folder it starts in.
    std::thread answer = AnswerWindow("Browse for Folder", {"Return"}, 500);
    EXPECT_TRUE(BrowseForFolder(request, folder));
    answer.join();
    EXPECT_EQ(folder, dir / "poll");

    answer = AnswerWindow("Browse for Folder", {"Escape"}, 500);
    EXPECT_FALSE(BrowseForFolder(request, folder));
    answer.join();
}

TEST_F(Dialogs, DocumentsAndAddressesGoToTheDesktopsOpener) {
    // An xdg-open of the test's own records what it was asked to open.
    TempDir bin, work;
    const std::string record = bin / "opened";
    WriteFileText(bin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + record + "'\n");
    chmod((bin / "xdg-open").c_str(), 0755);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (bin.Path() + ":" + path).c_str(), 1);
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(work.Path().c_str()), 0);

    EXPECT_TRUE(ShellOpen("readme.txt")); // relative to the current directory
    EXPECT_TRUE(ShellOpen("https://postvane.example.org/"));
    EXPECT_TRUE(Until([&] {
        return ReadFileText(record).find("https://") != std::string::npos &&
               ReadFileText(record).find("readme") != std::string::npos;
    }));
    ASSERT_EQ(chdir(cwd), 0);
    setenv("PATH", path.c_str(), 1);
    // The openers run side by side: either may write first.
    const std::string opened = ReadFileText(record);
    const std::string readme = "file://" + work / "readme.txt" + "\n";
    const std::string address = "https://postvane.example.org/\n";
    EXPECT_TRUE(opened == readme + address || opened == address + readme) << opened;
}

} // namespace
} // namespace pv::test
