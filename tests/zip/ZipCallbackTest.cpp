// The callback's answers to the questions of extraction and password entry,
// which the library would ask of an extracting caller: the texts shown and
// what goes back in the record.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/Application.h"
#include "platform/ScriptedDialogs.h"
#include "zip/Zip.h"

using namespace pv;

namespace {

class ZipCallback : public ::testing::Test {
  protected:
    void SetUp() override {
        Application().Title = "Postvane";
        SetDialogService(&dialogs);
    }
    void TearDown() override { SetDialogService(nullptr); }

    std::int32_t Call(int code, std::int32_t number, const std::string &text = "",
                      std::int32_t flag = 0) {
        std::memset(&info, 0, sizeof info);
        info.Caller = &zip;
        info.ActionCode = code;
        info.Number = number;
        info.AnswerFlag = flag;
        std::strncpy(info.Text, text.c_str(), sizeof info.Text - 1);
        return TZip::LibraryCallback(&info);
    }
    const TMessageRequest &LastBox() const { return dialogs.Records().back().Request; }

    TScriptedDialogs dialogs;
    TZip zip;
    TZipCallbackInfo info;
};

TEST_F(ZipCallback, PasswordRequests) {
    dialogs.QueueInput(true, "s3cret");
    EXPECT_EQ(Call(zacPassword, 3, "/data/in/report.txt"), 0);
    ASSERT_EQ(dialogs.Records().size(), 1u);
    EXPECT_EQ(dialogs.Records()[0].Caption, "Postvane");
    EXPECT_EQ(dialogs.Records()[0].Prompt, "A new password is required for \"report.txt\"");
    EXPECT_EQ(dialogs.Records()[0].Value, "");
    EXPECT_STREQ(info.Text, "s3cret");
    EXPECT_EQ(info.AnswerFlag, 1);
    EXPECT_EQ(info.Number, 2);

    // No answer: go on with the other files, or stop.
    dialogs.Clear();
    dialogs.QueueInput(false);
    dialogs.QueueMessageResult(IDYES);
    EXPECT_EQ(Call(zacPassword, 1, "x", 1), 0);
    EXPECT_EQ(dialogs.Records()[0].Prompt, "Password is invalid, please retry ...");
    EXPECT_EQ(LastBox().Text, "No password was entered so the file will not be extracted...\nDo "
                              "you wish to continue extracting other files?");
    EXPECT_EQ(LastBox().Icon, TMsgIcon::Question);
    EXPECT_EQ(info.AnswerFlag, 0);
    EXPECT_EQ(info.Number, 0);
    EXPECT_FALSE(zip.Cancel);
    dialogs.QueueInput(true, "");
    dialogs.QueueMessageResult(IDNO);
    EXPECT_EQ(Call(zacPassword, 1, "x"), -1);
    EXPECT_TRUE(zip.Cancel);

    // Once cancelled, nothing is asked any more.
    dialogs.Clear();
    EXPECT_EQ(Call(zacPassword, 3, "y"), -1);
    EXPECT_TRUE(dialogs.Records().empty());
}

TEST_F(ZipCallback, CrcErrorQuestion) {
    dialogs.QueueMessageResult(IDYES);
    EXPECT_EQ(Call(zacCrcError, 0, "a.txt"), 0);
    EXPECT_EQ(LastBox().Text,
              "\"a.txt\" may be corrupted (CRC error).\nExtract this file anyway? ...");
    EXPECT_EQ(LastBox().Buttons, (std::vector<int>{IDYES, IDNO, IDCANCEL}));
    EXPECT_EQ(LastBox().DefaultButton, IDNO);
    EXPECT_EQ(info.AnswerFlag, 1);
    dialogs.QueueMessageResult(IDNO);
    EXPECT_EQ(Call(zacCrcError, 0, "a.txt", 1), 0);
    EXPECT_EQ(info.AnswerFlag, 0);
    dialogs.QueueMessageResult(IDCANCEL);
    EXPECT_EQ(Call(zacCrcError, 0, "a.txt"), -1);
}

TEST_F(ZipCallback, OverwriteDependsOnExtractOptions) {
    zip.ExtractOptions = 0; // always overwrite
    EXPECT_EQ(Call(zacOverwrite, 0, "f", 0), 0);
    EXPECT_EQ(info.Number, 1);
    zip.ExtractOptions = ZipBit(0); // overwrite older files only
    Call(zacOverwrite, 5, "f", 1);
    EXPECT_EQ(info.Number, 1);
    Call(zacOverwrite, 5, "f", 0);
    EXPECT_EQ(info.Number, 0);
    EXPECT_TRUE(dialogs.Records().empty());

    zip.ExtractOptions = ZipBit(3); // ask
    dialogs.QueueMessageResult(IDYES);
    Call(zacOverwrite, 0, "old.txt", 1);
    EXPECT_EQ(info.Number, 1);
    EXPECT_EQ(LastBox().Text,
              "\"old.txt\" is older than the zipped file.\nOverwrite this file? ...");
    EXPECT_EQ(LastBox().Icon, TMsgIcon::Information);
    dialogs.QueueMessageResult(IDNO);
    Call(zacOverwrite, 1, "new.txt", 0);
    EXPECT_EQ(info.Number, 0);
    EXPECT_EQ(LastBox().Text, "\"new.txt\" is the same age or newer than the zipped file.\nDo you "
                              "really want to overwrite this file? ...");
    EXPECT_EQ(LastBox().Icon, TMsgIcon::Error);
    EXPECT_EQ(LastBox().DefaultButton, IDNO);
    dialogs.QueueMessageResult(IDCANCEL);
    EXPECT_EQ(Call(zacOverwrite, 1, "new.txt", 0), -1);
    EXPECT_EQ(info.Number, 0);
    EXPECT_TRUE(zip.Cancel);
}

} // namespace
