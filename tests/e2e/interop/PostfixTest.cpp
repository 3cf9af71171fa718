// Whole jobs against a loopback postfix of their own delivering to a Maildir
// (and dovecot's SASL for AUTH), started by tests/support/postfix_server.sh:
// a real MTA must accept what the program sends. Skipped when the packages
// are not installed.
#include "tests/e2e/E2eSupport.h"

namespace pv::e2e {
namespace {

class Postfix : public Job {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "postfix needs root to run an instance of its own";
        Job::SetUp();
        // The daemons run as postfix and must reach their directory.
        chmod(dir_.Path().c_str(), 0755);
    }
    void TearDown() override {
        if (started_)
            Shell(Quoted(SupportPath("postfix_server.sh")) + " stop " + Quoted(dir_ / "postfix") +
                  " > /dev/null 2>&1");
        Job::TearDown();
    }

    // 0 started, 77 not installed, else failed.
    int StartPostfix(const std::string &sasl = "") {
        const int rc =
            Shell(Quoted(SupportPath("postfix_server.sh")) + " start " + Quoted(dir_ / "postfix") +
                  (sasl.empty() ? "" : " --sasl " + Quoted(sasl)) + " > " + Quoted(dir_ / "ready") +
                  " 2> " + Quoted(dir_ / "errors"));
        started_ = true;
        const std::string ready = ReadFileText(dir_ / "ready");
        if (rc == 0 && ready.rfind("READY ", 0) == 0)
            Set("HostPort", std::to_string(std::stoi(ready.substr(6))));
        return rc;
    }
    std::string Errors() const { return ReadFileText(dir_ / "errors"); }

    // The messages in the Maildir, waiting for count of them.
    std::vector<std::string> Delivered(std::size_t count) {
        const std::string box = dir_ / "postfix/mail/catchall/new";
        std::vector<std::string> paths;
        for (int waited = 0; waited <= 20000; waited += 100) {
            paths.clear();
            for (const std::string &n : Files(box))
                paths.push_back(box + "/" + n);
            if (paths.size() >= count)
                break;
            usleep(100000);
        }
        return paths;
    }
    std::string MailLog() const { return ReadFileText(dir_ / "postfix/maillog"); }

    std::string Attachments(const std::vector<std::string> &names) {
        std::string list;
        for (const std::string &n : names)
            list += (list.empty() ? "" : ", ") + std::string("{\"path\": ") + JsonString(Orig(n)) +
                    ", \"filename\": " + JsonString(n) + "}";
        return "{\"raw_headers\": {\"From\": \"\\\"Postvane\\\" <postvane@example.org>\", "
               "\"To\": \"joe@example.org\", \"Subject\": \"Nightly files\"}, "
               "\"multipart\": true, \"attachments\": [" +
               list + "]}";
    }

    bool started_ = false;
};

#define START_POSTFIX(...)                                                                         \
    do {                                                                                           \
        const int rc = StartPostfix(__VA_ARGS__);                                                  \
        if (rc == 77)                                                                              \
            GTEST_SKIP() << "postfix or dovecot is not installed: " << Errors();                   \
        ASSERT_EQ(rc, 0) << Errors();                                                              \
    } while (0)

TEST_F(Postfix, AllFilesInOneMail) {
    Put("a.txt", "first\r\n");
    Put("b.txt", RandomBytes(2 * 1000 * 1000 + 7, 4));
    Set("Delete", "1");
    START_POSTFIX();
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(), JobLog({">File(s) sent:", "|\t" + Poll() + "a.txt", "|\t" + Poll() + "b.txt",
                             "|2 File(s) in send list.", "|2 File(s) with 1 Mail(s) sent",
                             "! Deleting Files"}));
    const auto mails = Delivered(1);
    ASSERT_EQ(mails.size(), 1u) << MailLog();
    EXPECT_EQ(Check(mails[0], Attachments({"a.txt", "b.txt"})), "OK");
    EXPECT_TRUE(Files(Poll()).empty());
}

TEST_F(Postfix, OneMailPerFile) {
    for (const char *n : {"a.txt", "b.txt", "c.txt"})
        Put(n, std::string("contents of ") + n + "\r\n");
    Set("SingleFilePerMail", "1");
    START_POSTFIX();
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(), JobLog({">File sent: " + Poll() + "a.txt", ">File sent: " + Poll() + "b.txt",
                             ">File sent: " + Poll() + "c.txt", "|3 File(s) in send list.",
                             "|3 File(s) with 3 Mail(s) sent"}));
    const auto mails = Delivered(3);
    ASSERT_EQ(mails.size(), 3u) << MailLog();
    // The Maildir does not keep the order of arrival.
    for (const char *n : {"a.txt", "b.txt", "c.txt"}) {
        int found = 0;
        for (const auto &m : mails)
            found += Check(m, Attachments({n})) == "OK" ? 1 : 0;
        EXPECT_EQ(found, 1) << n;
    }
}

TEST_F(Postfix, AuthLoginThroughDovecot) {
    Put("a.txt", "authenticated\r\n");
    Set("Authentication", "2");
    Set("UserName", "joe");
    Set("Password", "\xF3\xB3\xE3\xF2\xE5\xF4"); // "s3cret", stored scrambled
    START_POSTFIX("joe:s3cret");
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(), JobLog({">File(s) sent:", "|\t" + Poll() + "a.txt", "|1 File(s) in send list.",
                             "|1 File(s) with 1 Mail(s) sent"}));
    const auto mails = Delivered(1);
    ASSERT_EQ(mails.size(), 1u) << MailLog();
    EXPECT_EQ(Check(mails[0], Attachments({"a.txt"})), "OK");
    EXPECT_NE(MailLog().find("sasl_username=joe"), std::string::npos) << MailLog();

    // A wrong password: postfix's refusal in the log, nothing delivered.
    Set("Password", "\xF7\xF2\xEF\xEE\xE7"); // "wrong"
    Set("Delete", "1");
    ASSERT_EQ(Run(), 1) << Output();
    const auto log = Log();
    ASSERT_EQ(log.size(), 19u) << testing::PrintToString(log);
    const std::string refusal = log[12].substr(2);
    EXPECT_EQ(refusal.rfind("535 5.7.8 ", 0), 0u) << refusal;
    EXPECT_EQ(std::vector<std::string>(log.begin() + 9, log.end()),
              JobLog({"! " + refusal, "|1 File(s) in send list.", "|0 File(s) with 0 Mail(s) sent",
                      "|Following 1 File(s) failed:", "|\t" + Poll() + "a.txt - " + refusal}));
    // Refused at AUTH: nothing can be on its way to the Maildir.
    EXPECT_EQ(Files(dir_ / "postfix/mail/catchall/new").size(), 1u);
    EXPECT_TRUE(InPoll("a.txt"));
}

} // namespace
} // namespace pv::e2e
