// Whole jobs with the [TLS] section against aiosmtpd over STARTTLS and TLS
// from the first byte, with the test's own certificates: what the log says,
// and that nothing goes in plain text when TLS cannot be had.
#include "tests/e2e/E2eSupport.h"
#include "tests/support/SocksProxy.h"
#include "tests/support/TlsCerts.h"

namespace pv::e2e {
namespace {

using test::CertDir;
using test::CertFile;

class TlsJob : public Job {
  protected:
    void SetUp() override {
        Job::SetUp();
        ASSERT_FALSE(CertDir().empty()) << "make_certs.sh failed";
    }
    // tests/support/smtp_server.py with TLS ("starttls" or "implicit") and
    // the given certificate, requiring AUTH as user:secret (after STARTTLS:
    // aiosmtpd does not see TLS from the first byte as TLS).
    void StartTlsServer(const std::string &mode, const std::string &cert = "server",
                        bool auth = true) {
        ASSERT_EQ(mkdir(Spool().c_str(), 0755), 0);
        std::vector<std::string> argv = {
            kPython, SupportPath("smtp_server.py"), "--spool", Spool(), "--users", "user:secret"};
        if (auth)
            argv.push_back("--auth-required");
        if (auth && mode == "starttls")
            argv.push_back("--auth-require-tls");
        if (!mode.empty())
            argv.insert(argv.end(), {"--tls", mode, "--tls-cert", CertFile(cert + ".pem"),
                                     "--tls-key", CertFile(cert + ".key")});
        ASSERT_TRUE(server_.Start(argv)) << server_.ErrorLog();
        ini_["HostPort"] = std::to_string(server_.Port());
    }
    void LogOnAs(const std::string &user, const std::string &password) {
        Set("Authentication", "2");
        Set("UserName", user);
        std::string scrambled = password;
        for (char &c : scrambled)
            c = static_cast<char>(c ^ 0x80);
        Set("Password", scrambled);
    }
    std::string Attachment(const std::string &name) const {
        return "{\"path\": " + JsonString(Orig(name)) + ", \"filename\": " + JsonString(name) + "}";
    }
    void Tls(const std::string &lines) { extraIni_ = "[TLS]\r\n" + lines; }
    // The test CA beside the program, named by a relative CAFile.
    void TrustTestCa() { WriteFileText(Prog() + "/ca.pem", ReadFileText(CertFile("ca.pem"))); }
    // The log lines (without stamps) that start with one of the prefixes.
    std::vector<std::string> LogLines(std::initializer_list<const char *> prefixes) const {
        std::vector<std::string> out;
        for (const std::string &line : Log())
            for (const char *p : prefixes)
                if (line.rfind(p, 0) == 0) {
                    out.push_back(line);
                    break;
                }
        return out;
    }
};

TEST_F(TlsJob, StartTlsThenAuthLogin) {
    Put("a.txt", "first file\r\n");
    Put("b.txt", RandomBytes(70001, 3));
    StartTlsServer("starttls");
    LogOnAs("user", "secret");
    TrustTestCa();
    Tls("SMTP=StartTLS\r\nCAFile=ca.pem\r\n");
    Set("VerboseLogging", "1");
    ASSERT_EQ(Run(), 0) << Output();
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(Envelope(mails[0]),
              R"({"mail_from": "postvane@example.org", "rcpt_tos": ["joe@example.org"], )"
              R"("login": "user", "tls": "TLSv1.3"})");
    EXPECT_EQ(Check(mails[0], "{\"attachments\": [" + Attachment("a.txt") + ", " +
                                  Attachment("b.txt") + "]}"),
              "OK");

    // The security chosen, the greeting again over TLS, and what was agreed.
    const auto lines = LogLines({">TLS", ">EHLO", ">STARTTLS", "<220", ">AUTH", ">MAIL"});
    ASSERT_EQ(lines.size(), 9u) << Output();
    EXPECT_EQ(lines[0], ">TLS: STARTTLS, certificate checked against ca.pem");
    EXPECT_EQ(lines[1], "<220 postvane.test Python SMTP 1.4.3");
    EXPECT_EQ(lines[2], ">EHLO " + HostName());
    EXPECT_EQ(lines[3], ">STARTTLS");
    EXPECT_EQ(lines[4], "<220 Ready to start TLS");
    EXPECT_EQ(lines[5], ">EHLO " + HostName());
    EXPECT_EQ(lines[6].rfind(">TLS: TLSv1.3, TLS_", 0), 0u) << lines[6];
    EXPECT_EQ(lines[7], ">AUTH LOGIN");
    EXPECT_EQ(lines[8], ">MAIL FROM:<postvane@example.org>");
}

TEST_F(TlsJob, FromTheFirstByte) {
    Put("a.txt", "first file\r\n");
    StartTlsServer("implicit");
    LogOnAs("user", "secret");
    Tls("SMTP=tls\r\nCAFile=" + CertFile("ca.pem") + "\r\nPOP3=none\r\nVerify=1\r\n");
    ASSERT_EQ(Run(), 0) << Output();
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(Envelope(mails[0]).find(R"("tls": "TLSv1.3")"), std::string::npos);
}

TEST_F(TlsJob, AServerWithoutStartTlsGetsNothing) {
    Put("a.txt", "stays\r\n");
    StartTlsServer("");
    LogOnAs("user", "secret");
    Tls("SMTP=starttls\r\n");
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(Log(),
              JobLog({"! 500 The server does not offer STARTTLS.", "|1 File(s) in send list.",
                      "|0 File(s) with 0 Mail(s) sent", "|Following 1 File(s) failed:",
                      "|\t" + Poll() + "a.txt - 500 The server does not offer STARTTLS."}));
}

TEST_F(TlsJob, ACertificateTheSystemDoesNotTrust) {
    Put("a.txt", "stays\r\n");
    StartTlsServer("starttls");
    LogOnAs("user", "secret");
    Tls("SMTP=starttls\r\n");
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_TRUE(Received().empty());
    const std::string error = "Winsock err #12002 TLS certificate not trusted";
    EXPECT_EQ(Log(), JobLog({"! " + error,
                             "! TLS: certificate verify failed: unable to get local issuer "
                             "certificate",
                             "|1 File(s) in send list.", "|0 File(s) with 0 Mail(s) sent",
                             "|Following 1 File(s) failed:", "|\t" + Poll() + "a.txt - " + error}));
    EXPECT_NE(Output().find("job failed"), std::string::npos) << Output();
}

TEST_F(TlsJob, BadSettingsEndTheJobBeforeAnythingIsSent) {
    Put("a.txt", "stays\r\n");
    StartTlsServer("starttls");
    LogOnAs("user", "secret");
    const struct {
        std::string tls, error;
    } cases[] = {
        {"SMTP=starttsl\r\n",
         "Invalid value 'starttsl' for SMTP in section [TLS]: none, starttls or tls"},
        {"SMTP=starttls\r\nVerify=yes\r\n",
         "Invalid value 'yes' for Verify in section [TLS]: 1 or 0"},
        {"SMTP=starttls\r\nCAFile=missing.pem\r\n",
         "Cannot load the CA file '" + Prog() + "/missing.pem': "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tls);
        Tls(c.tls);
        std::remove((Prog() + "/Postvane.log").c_str());
        ASSERT_EQ(Run(), 1) << Output();
        const auto lines = Log();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[3].rfind("! " + c.error, 0), 0u) << lines[3];
        EXPECT_TRUE(Received().empty());
        EXPECT_EQ(Files(Poll()), std::vector<std::string>{"a.txt"});
    }
}

// POP3 before SMTP over TLS, then the SMTP session.
class TlsPop3Job : public TlsJob {
  protected:
    void SetUp() override {
        TlsJob::SetUp();
        Put("a.txt", "first file\r\n");
        LogOnAs("joe", "secret");
        Set("Authentication", "1");
        Set("Pop3Host", "127.0.0.1");
        Set("VerboseLogging", "1");
        StartTlsServer("starttls", "server", false);
    }
    void StartPop3(std::vector<std::string> options) {
        std::vector<std::string> argv = {kPython, SupportPath("pop3_server.py"), "--log",
                                         dir_ / "pop3.commands"};
        argv.insert(argv.end(), options.begin(), options.end());
        ASSERT_TRUE(pop3_.Start(argv)) << pop3_.ErrorLog();
        Set("Pop3Port", std::to_string(pop3_.Port()));
    }
    std::string Pop3Commands() const { return ReadFileText(dir_ / "pop3.commands"); }

    PeerProcess pop3_;
};

TEST_F(TlsPop3Job, StlsThenStartTls) {
    StartPop3({"--tls", "stls", "--tls-cert", CertFile("server.pem"), "--tls-key",
               CertFile("server.key")});
    Tls("POP3=stls\r\nSMTP=starttls\r\nCAFile=" + CertFile("ca.pem") + "\r\n");
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Received().size(), 1u);
    pop3_.Stop();
    EXPECT_EQ(Pop3Commands(), "CONNECT\nSTLS\nTLS\nUSER joe\nPASS secret\nQUIT\n");
    const auto lines = LogLines({">TLS", "> STLS", "> USER", "> PASS", ">STARTTLS"});
    ASSERT_EQ(lines.size(), 8u) << Output();
    EXPECT_EQ(lines[0], ">TLS: STLS, certificate checked against " + CertFile("ca.pem"));
    EXPECT_EQ(lines[1], "> STLS");
    EXPECT_EQ(lines[2].rfind(">TLS: TLSv1.3, TLS_", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "> USER joe");
    EXPECT_EQ(lines[4], "> PASS *******");
    EXPECT_EQ(lines[5], ">TLS: STARTTLS, certificate checked against " + CertFile("ca.pem"));
    EXPECT_EQ(lines[6], ">STARTTLS");
    EXPECT_EQ(lines[7].rfind(">TLS: TLSv1.3, TLS_", 0), 0u) << lines[7];
}

TEST_F(TlsPop3Job, APop3ServerWithoutStlsGetsNoPasswordAndTheJobEnds) {
    StartPop3({});
    Tls("POP3=stls\r\n");
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Files(Poll()), std::vector<std::string>{"a.txt"});
    pop3_.Stop();
    // A refused logon is aborted, not quit.
    EXPECT_EQ(Pop3Commands(), "CONNECT\nSTLS\n");
    const auto lines = LogLines({"! "});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("! -ERR ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "! Authentication failed at host: 127.0.0.1");
}

TEST_F(TlsPop3Job, FromTheFirstByteWithACertificateForAnotherName) {
    StartPop3({"--tls", "implicit", "--tls-cert", CertFile("other.pem"), "--tls-key",
               CertFile("other.key")});
    Tls("POP3=tls\r\nCAFile=" + CertFile("ca.pem") + "\r\n");
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_TRUE(Received().empty());
    const auto lines = LogLines({"! "});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "! Winsock err #12005 TLS certificate is for another host name");
    EXPECT_EQ(lines[1],
              "! TLS: certificate verify failed: IP address mismatch (expected 127.0.0.1)");
    EXPECT_EQ(lines[2], "! Authentication failed at host: 127.0.0.1");
}

TEST_F(TlsPop3Job, ThroughTheProxyBothSessionsAreEncrypted) {
    test::SocksProxy proxy;
    const auto status = proxy.Start({"microsocks"});
    if (status == test::SocksProxy::Missing)
        GTEST_SKIP() << proxy.Why();
    ASSERT_EQ(status, test::SocksProxy::Started) << proxy.Why();
    StartPop3({"--tls", "implicit", "--tls-cert", CertFile("server.pem"), "--tls-key",
               CertFile("server.key")});
    // The certificates name the mail servers, not the proxy.
    extraIni_ = "[Proxy]\r\nServer=127.0.0.1\r\nPort=" + proxy.Port() +
                "\r\n[TLS]\r\nPOP3=tls\r\nSMTP=starttls\r\nCAFile=" + CertFile("ca.pem") + "\r\n";
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Received().size(), 1u);
    pop3_.Stop();
    EXPECT_EQ(Pop3Commands(), "CONNECT\nTLS\nUSER joe\nPASS secret\nQUIT\n");
    const std::string through = ">Connecting through SOCKS 5 proxy 127.0.0.1:" + proxy.Port();
    const auto lines = LogLines({">Connecting through", ">TLS", ">STARTTLS"});
    ASSERT_EQ(lines.size(), 7u) << Output();
    EXPECT_EQ(lines[0],
              ">TLS: from the first byte, certificate checked against " + CertFile("ca.pem"));
    EXPECT_EQ(lines[1], through);
    EXPECT_EQ(lines[2].rfind(">TLS: TLSv1.3, TLS_", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], ">TLS: STARTTLS, certificate checked against " + CertFile("ca.pem"));
    EXPECT_EQ(lines[4], through);
    EXPECT_EQ(lines[5], ">STARTTLS");
    EXPECT_EQ(lines[6].rfind(">TLS: TLSv1.3, TLS_", 0), 0u) << lines[6];
}

} // namespace
} // namespace pv::e2e
