// The SMTP client over TLS against a loopback postfix of its own with the
// test's certificates (STARTTLS, and TLS from the first byte), logging on
// through dovecot, which postfix allows only over TLS. Skipped when the
// daemon packages are not installed.
#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "mail/AuthResponses.h"
#include "net/TlsErrors.h"
#include "tests/mail/SmtpTestSupport.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/TlsCerts.h"

namespace pv::test {
namespace {

class TlsPostfix {
  public:
    // status: 0 started, 77 not installed, else failed (Log() tells why).
    TlsPostfix(const std::string &cert, bool wrapper) {
        const std::string cmd = "'" + SupportPath("postfix_server.sh") + "' start '" + dir.Path() +
                                "' --sasl 'joe:pass word' --tls '" + CertFile(cert + ".pem") +
                                "' '" + CertFile(cert + ".key") + "'" +
                                (wrapper ? " --wrapper" : "") + " > '" + (dir / "ready") +
                                "' 2> '" + (dir / "errors") + "'";
        const int rc = std::system(cmd.c_str());
        status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 1;
        const std::string ready = ReadFileText(dir / "ready");
        if (status == 0 && ready.rfind("READY ", 0) == 0)
            port = ready.substr(6, ready.find('\n') - 6);
    }
    ~TlsPostfix() {
        const std::string cmd =
            "'" + SupportPath("postfix_server.sh") + "' stop '" + dir.Path() + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    std::string Log() const { return ReadFileText(dir / "errors"); }

    // The one delivered message, waited for.
    std::string Delivered() {
        const std::string box = dir / "mail/catchall/new";
        for (int waited = 0; waited <= 15000; waited += 100) {
            if (DIR *d = opendir(box.c_str())) {
                std::string found;
                while (dirent *e = readdir(d))
                    if (e->d_name[0] != '.')
                        found = box + "/" + e->d_name;
                closedir(d);
                if (!found.empty())
                    return found;
            }
            usleep(100000);
        }
        return "";
    }

    TempDir dir;
    int status = 1;
    std::string port;
};

class SmtpPostfixTls : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "postfix needs root to run an instance of its own";
        ASSERT_FALSE(CertDir().empty()) << "make_certs.sh failed";
        client.Host = "127.0.0.1";
        client.FromName = "sender@example.org";
        client.HdrFrom = "Sender <sender@example.org>";
        client.HdrTo = "joe@example.org";
        client.HdrSubject = "through postfix over TLS";
        client.RcptName = {"joe@example.org"};
        client.MailMessage = {"Hello over TLS."};
        client.Username = "joe";
        client.Password = "pass word";
        client.AuthType = smtpAuthLogin;
        client.TlsContext = std::make_shared<TTlsContext>(true, CertFile("ca.pem"));
    }

    // EHLO, STARTTLS (unless from the first byte), AUTH LOGIN, one mail,
    // QUIT; a failure ends it with QUIT while connected.
    bool Session() {
        bool finished = false;
        rec.then = [&](TSmtpRequest rq, int code) {
            if (code != 0) {
                errors.push_back(client.ErrorMessage());
                if (rq != smtpQuit && client.Connected())
                    client.Quit();
                else
                    finished = true;
                return;
            }
            switch (rq) {
            case smtpConnect:
                client.Ehlo();
                break;
            case smtpEhlo:
                mechanismsBeforeTls = client.OfferedMechanisms();
                if (client.ImplicitTls)
                    client.Auth();
                else
                    client.StartTls();
                break;
            case smtpStartTls:
                client.Auth();
                break;
            case smtpAuth:
                client.MailFrom();
                break;
            case smtpMailFrom:
                client.RcptTo();
                break;
            case smtpRcptTo:
                client.Data();
                break;
            case smtpData:
                client.Quit();
                break;
            default:
                finished = true;
                break;
            }
        };
        rec.Call([&] { client.Connect(); });
        return RunLoopUntil([&] { return finished; }, 40000);
    }

    LoopGuard guard{100};
    TSmtpCli client;
    Recorder rec{client};
    std::vector<std::string> errors;
    std::vector<std::string> mechanismsBeforeTls;
};

TEST_F(SmtpPostfixTls, StartTlsThenAuthThroughDovecot) {
    TlsPostfix postfix("server", false);
    if (postfix.status == 77)
        GTEST_SKIP() << postfix.Log();
    ASSERT_EQ(postfix.status, 0) << postfix.Log();
    TempDir files;
    std::mt19937 gen(5);
    std::string data(2 * 1000 * 1000 + 3, '\0');
    for (auto &c : data)
        c = static_cast<char>(gen());
    std::ofstream(files / "data.bin", std::ios::binary) << data;
    client.SetEmailFiles({files / "data.bin"});
    client.Port = postfix.port;
    ASSERT_TRUE(Session());
    EXPECT_TRUE(errors.empty()) << errors[0];
    // postfix offers AUTH only once the session is encrypted.
    EXPECT_TRUE(mechanismsBeforeTls.empty());
    EXPECT_TRUE(HasAuthMechanism(client.OfferedMechanisms(), "LOGIN"));
    const std::string message = postfix.Delivered();
    ASSERT_FALSE(message.empty()) << ReadFileText(postfix.dir / "maillog");
    EXPECT_NE(ReadFileText(message).find("(using TLSv1.3 with cipher"), std::string::npos);
    WriteFileText(files / "expect.json",
                  "{\"attachments\": [{\"path\": " + JsonString(files / "data.bin") +
                      ", \"filename\": \"data.bin\"}]}");
    const std::string cmd = std::string(kPython) + " '" + SupportPath("check_mail.py") + "' '" +
                            message + "' '" + (files / "expect.json") + "' > '" + (files / "out") +
                            "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << ReadFileText(files / "out");
}

TEST_F(SmtpPostfixTls, FromTheFirstByte) {
    TlsPostfix postfix("server", true);
    if (postfix.status == 77)
        GTEST_SKIP() << postfix.Log();
    ASSERT_EQ(postfix.status, 0) << postfix.Log();
    client.Port = postfix.port;
    client.ImplicitTls = true;
    ASSERT_TRUE(Session());
    EXPECT_TRUE(errors.empty()) << errors[0];
    EXPECT_EQ(rec.done.size(), 7u); // Connect, EHLO, AUTH, MAIL, RCPT, DATA, QUIT
    const std::string message = postfix.Delivered();
    ASSERT_FALSE(message.empty()) << ReadFileText(postfix.dir / "maillog");
    EXPECT_NE(ReadFileText(message).find("(using TLSv1.3 with cipher"), std::string::npos);
}

TEST_F(SmtpPostfixTls, ACertificateForAnotherNameEndsTheSessionBeforeAuth) {
    TlsPostfix postfix("other", false);
    if (postfix.status == 77)
        GTEST_SKIP() << postfix.Log();
    ASSERT_EQ(postfix.status, 0) << postfix.Log();
    client.Port = postfix.port;
    ASSERT_TRUE(Session());
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpStartTls, WSATLS_HOST_MISMATCH}));
    ASSERT_FALSE(rec.commands.empty());
    EXPECT_EQ(rec.commands.back(), "STARTTLS");
}

} // namespace
} // namespace pv::test
