// The main window's own handlers without a display: the end of the desktop
// session, the folder browser and the documents it opens, and message text
// that cannot be saved. (On a desktop: tests/gui/MainWindowTest.cpp.)
#include "AppFixture.h"
#include "app/FrmAbout.h"
#include "host/Session.h"

#include <sys/stat.h>

namespace pv::test {
namespace {

const std::string kBusyQuestion =
    "Postvane is currently proccesing a job. Do you realy want to exit now?";

using MainWindowModel = AppFixture;

TEST_F(MainWindowModel, TheSessionsEndAsksWhileAJobRuns) {
    TfrmMain &f = Start();
    app_.ProcessMessages(); // the helper's start-up check: no service switch
    ASSERT_FALSE(f.ServiceHelper1.ServiceActive());
    EXPECT_TRUE(Session().QueryEnd());
    EXPECT_TRUE(dialogs_.Records().empty());

    Job(f).Busy = true;
    dialogs_.QueueMessageResult(IDCANCEL);
    EXPECT_FALSE(Session().QueryEnd());
    dialogs_.QueueMessageResult(IDYES);
    EXPECT_TRUE(Session().QueryEnd());
    EXPECT_EQ(dialogs_.MessageTexts(), (std::vector<std::string>{kBusyQuestion, kBusyQuestion}));
}

TEST_F(MainWindowModel, InServiceModeTheSessionEndsWithoutAQuestion) {
    TfrmMain &f = Start();
    f.ServiceHelper1.CommandLine = {"/service"};
    app_.ProcessMessages();
    ASSERT_TRUE(f.ServiceHelper1.ServiceActive());
    Job(f).Busy = true;
    EXPECT_TRUE(Session().QueryEnd());
    EXPECT_TRUE(dialogs_.Records().empty());
    EXPECT_TRUE(Job(f).NoCloseQuery);
    // The program lives on, and asks again from now on.
    Session().End(true);
    EXPECT_FALSE(Application().Terminated());
    EXPECT_FALSE(Job(f).NoCloseQuery);
    dialogs_.QueueMessageResult(IDCANCEL);
    EXPECT_FALSE(f.Close());
    EXPECT_EQ(dialogs_.MessageTexts(), std::vector<std::string>{kBusyQuestion});
}

TEST_F(MainWindowModel, TheFolderBrowserAndTheDocumentsItOpens) {
    TfrmMain &f = Start();
    const std::string before = f.edPollDir.Text();
    ASSERT_TRUE(CreateDirectory(Dir() + "chosen"));
    dialogs_.QueueBrowse(false);
    f.SpeedButton1.Click();
    EXPECT_EQ(f.edPollDir.Text(), before);
    dialogs_.QueueBrowse(true, Dir() + "chosen");
    f.SpeedButton1.Click();
    ASSERT_EQ(dialogs_.Records().size(), 2u);
    const TDialogRecord &r = dialogs_.Records()[1];
    EXPECT_EQ(r.Kind, TDialogRecord::Browse);
    EXPECT_EQ(r.Caption, "Browse for Folder");
    EXPECT_EQ(r.Prompt, "Select a directory");
    EXPECT_EQ(r.Value, before); // where it starts
    EXPECT_EQ(f.edPollDir.Text(), Dir() + "chosen/");
    EXPECT_EQ(IniValue("PollDir"), Dir() + "chosen/");
    EXPECT_EQ(f.ActiveControl(), &f.edPollDir);

    dialogs_.Clear();
    f.btnReadme.Click();
    f.Image1.Click();
    ASSERT_EQ(dialogs_.Records().size(), 2u);
    EXPECT_EQ(dialogs_.Records()[0].Value, "readme.txt"); // in the current directory
    EXPECT_EQ(dialogs_.Records()[1].Value, kWebAddress);
}

// A message text that cannot be written stays in the editor, still marked as
// changed: the editor's focus does not replace it by the older file, and the
// next exit writes it.
TEST_F(MainWindowModel, MessageTextThatCannotBeSavedIsKept) {
    TfrmMain &f = Start();
    const std::string body = Dir() + "body.txt";
    ASSERT_EQ(unlink(body.c_str()), 0);
    ASSERT_EQ(mkdir(body.c_str(), 0700), 0); // no file can take its place
    ASSERT_TRUE(f.Memo1.SetFocus());
    f.Memo1.SetText("new text");
    f.Memo1.SetModified(true);
    f.Memo1.DblClick();
    ASSERT_EQ(f.Memo1.Height(), 173);
    ASSERT_TRUE(f.edHost.SetFocus());
    ASSERT_EQ(dialogs_.MessageTexts().size(), 1u);
    EXPECT_EQ(dialogs_.MessageTexts()[0].rfind("The message text could not be saved to " + body, 0),
              0u);
    EXPECT_TRUE(f.Memo1.Modified());
    EXPECT_EQ(f.Memo1.Height(), 21); // back in its place all the same

    ASSERT_EQ(rmdir(body.c_str()), 0);
    WriteFile(body, "older text\r\n");
    ASSERT_TRUE(f.Memo1.SetFocus());
    EXPECT_EQ(f.Memo1.Text(), "new text\r\n");
    ASSERT_TRUE(f.edHost.SetFocus());
    EXPECT_EQ(ReadFile(body), "new text\r\n");
    EXPECT_FALSE(f.Memo1.Modified());
}

} // namespace
} // namespace pv::test
