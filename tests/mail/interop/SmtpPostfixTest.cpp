// The SMTP client against a loopback postfix of its own (and dovecot for
// AUTH), started by tests/support/postfix_server.sh. Skipped when the daemon
// packages are not installed.
#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "tests/mail/SmtpTestSupport.h"
#include "tests/support/LoopGuard.h"

namespace pv::test {
namespace {

class PostfixPeer {
  public:
    // 0 started, 77 not installed, else failed (Log() tells why).
    explicit PostfixPeer(const std::string &sasl = "") {
        const std::string cmd = "'" + SupportPath("postfix_server.sh") + "' start '" + dir.Path() +
                                "'" + (sasl.empty() ? "" : " --sasl '" + sasl + "'") + " > '" +
                                (dir / "ready") + "' 2> '" + (dir / "errors") + "'";
        const int rc = std::system(cmd.c_str());
        status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 1;
        const std::string ready = ReadFileText(dir / "ready");
        if (status == 0 && ready.rfind("READY ", 0) == 0)
            port = std::stoi(ready.substr(6));
    }
    ~PostfixPeer() {
        const std::string cmd =
            "'" + SupportPath("postfix_server.sh") + "' stop '" + dir.Path() + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    std::string Log() const { return ReadFileText(dir / "errors"); }

    // The delivered messages, waiting up to the given time for count of them.
    std::vector<std::string> Delivered(std::size_t count, int ms = 15000) {
        std::vector<std::string> paths;
        for (int waited = 0; waited <= ms; waited += 100) {
            paths.clear();
            const std::string box = dir / "mail/catchall/new";
            if (DIR *d = opendir(box.c_str())) {
                while (dirent *e = readdir(d))
                    if (e->d_name[0] != '.')
                        paths.push_back(box + "/" + e->d_name);
                closedir(d);
            }
            if (paths.size() >= count)
                break;
            usleep(100000);
        }
        return paths;
    }

    TempDir dir;
    int status = 1;
    int port = 0;
};

std::string Check(const std::string &message, const std::string &expect, const TempDir &dir) {
    WriteFileText(dir / "expect.json", expect);
    const std::string cmd = std::string(kPython) + " '" + SupportPath("check_mail.py") + "' '" +
                            message + "' '" + (dir / "expect.json") + "' > '" +
                            (dir / "check.out") + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    std::string out = ReadFileText(dir / "check.out");
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return rc == 0 ? out : out + " (exit " + std::to_string(rc) + ")";
}

class SmtpPostfix : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "postfix needs root to run an instance of its own";
    }
    void Configure(TSmtpCli &c, int port) {
        c.Host = "127.0.0.1";
        c.Port = std::to_string(port);
        c.Allow8bitChars = false;
        c.FoldHeaders = true;
        c.WrapMessageText = true;
        c.CharSet = "ISO-8859-1";
        c.FromName = "sender@example.org";
        c.HdrFrom = "Sender <sender@example.org>";
        c.HdrTo = "Joe <joe@example.org>";
        c.HdrSubject = "through postfix";
        c.RcptName = {"joe@example.org"};
        c.MailMessage = {"Hello through postfix.", ".dot line"};
    }
};

TEST_F(SmtpPostfix, PlainSessionWithAttachments) {
    PostfixPeer postfix;
    if (postfix.status == 77)
        GTEST_SKIP() << postfix.Log();
    ASSERT_EQ(postfix.status, 0) << postfix.Log();
    LoopGuard guard(50);
    TempDir files;
    std::mt19937 gen(7);
    std::string big(3 * 1000 * 1000 + 1, '\0');
    for (auto &c : big)
        c = static_cast<char>(gen());
    std::ofstream(files / "data.bin", std::ios::binary) << big;
    std::ofstream(files / "small.txt", std::ios::binary) << std::string(55, 'x');

    TSmtpCli client;
    Recorder rec(client);
    Configure(client, postfix.port);
    client.SetEmailFiles({files / "data.bin", files / "small.txt"});
    SessionDriver session(client, rec, false, 2);
    ASSERT_TRUE(session.Run(40000));
    EXPECT_TRUE(session.errors.empty()) << session.errors[0];
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpQuit, 0}));

    const auto delivered = postfix.Delivered(2);
    ASSERT_EQ(delivered.size(), 2u) << ReadFileText(postfix.dir / "maillog");
    for (const auto &message : delivered)
        EXPECT_EQ(Check(message,
                        R"({
            "raw_headers": {"From": "\"Sender\" <sender@example.org>",
                            "To": "\"Joe\" <joe@example.org>", "Subject": "through postfix"},
            "multipart": true,
            "text": {"content": "Hello through postfix.\r\n.dot line\r\n", "cte": "7bit"},
            "attachments": [{"path": )" +
                            JsonString(files / "data.bin") +
                            R"(, "filename": "data.bin"},
                            {"path": )" +
                            JsonString(files / "small.txt") +
                            R"(, "filename": "small.txt",
                             "content_type": "text/plain"}]})",
                        files),
                  "OK");
}

TEST_F(SmtpPostfix, AuthThroughDovecot) {
    PostfixPeer postfix("joe:pass word");
    if (postfix.status == 77)
        GTEST_SKIP() << postfix.Log();
    ASSERT_EQ(postfix.status, 0) << postfix.Log();
    LoopGuard guard(50);
    TSmtpCli client;
    Recorder rec(client);
    Configure(client, postfix.port);
    client.Username = "joe";
    client.Password = "pass word";
    std::size_t sent = 0;
    for (TSmtpAuthType type : {smtpAuthLogin, smtpAuthPlain, smtpAuthCramMD5, smtpAuthAutoSelect}) {
        SCOPED_TRACE(static_cast<int>(type));
        client.AuthType = type;
        rec.done.clear();
        SessionDriver session(client, rec, true);
        ASSERT_TRUE(session.Run());
        EXPECT_TRUE(session.errors.empty()) << session.errors[0];
        ASSERT_EQ(rec.done.size(), 7u);
        EXPECT_EQ(rec.done[2], (DoneEvent{smtpAuth, 0}));
        EXPECT_EQ(postfix.Delivered(++sent).size(), sent);
    }
    // Without logging on, the recipient is refused.
    rec.done.clear();
    SessionDriver none(client, rec, false);
    ASSERT_TRUE(none.Run());
    EXPECT_EQ(rec.done[3].Rq, smtpRcptTo);
    EXPECT_EQ(rec.done[3].Code, 554);
}

} // namespace
} // namespace pv::test
