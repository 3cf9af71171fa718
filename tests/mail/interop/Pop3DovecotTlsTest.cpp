// The POP3 client over TLS against a loopback dovecot of its own with the
// test's certificates (tests/support/dovecot_pop3.sh --tls): STLS on the POP3
// port, TLS from the first byte on the pop3s port, and a refused name.
// Skipped when dovecot's POP3 server is not installed.
#include <unistd.h>

#include "net/TlsErrors.h"
#include "tests/mail/Pop3TestSupport.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/TlsCerts.h"

namespace pv::test {
namespace {

class Pop3DovecotTls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(CertDir().empty()) << "make_certs.sh failed";
        const std::string cmd = "'" + SupportPath("dovecot_pop3.sh") + "' start '" + dir.Path() +
                                "' 'joe:s3cret pass' --tls '" + CertFile("server.pem") + "' '" +
                                CertFile("server.key") + "' > '" + (dir / "ready") + "' 2> '" +
                                (dir / "errors") + "'";
        const int rc = std::system(cmd.c_str());
        const int status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 1;
        if (status == 77)
            GTEST_SKIP() << "dovecot-pop3d is not installed (scripts/install-deps.sh --interop)";
        const std::string ready = ReadFileText(dir / "ready");
        ASSERT_TRUE(status == 0 && ready.rfind("READY ", 0) == 0)
            << ReadFileText(dir / "errors") << ReadFileText(dir / "dovecot.log");
        started = true;
        port = ready.substr(6, ready.find('\n') - 6);
        pop3sPort = ReadFileText(dir / "pop3s.port");
        pop3sPort = pop3sPort.substr(0, pop3sPort.find('\n'));
        client.Host = "127.0.0.1";
        client.UserName = "joe";
        client.PassWord = "s3cret pass";
        client.TlsContext = std::make_shared<TTlsContext>(true, CertFile("ca.pem"));
    }
    void TearDown() override {
        if (!started)
            return;
        const std::string cmd =
            "'" + SupportPath("dovecot_pop3.sh") + "' stop '" + dir.Path() + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    std::string Run(void (TCustomPop3Cli::*request)()) {
        return rec.Run([&] { (client.*request)(); });
    }

    LoopGuard guard{60};
    TempDir dir;
    bool started = false;
    std::string port, pop3sPort;
    TPop3Cli client;
    Pop3Recorder rec{client};
};

TEST_F(Pop3DovecotTls, StlsThenUserAndPass) {
    client.Port = port;
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Stls), "Stls 0");
    EXPECT_EQ(client.TlsProtocol(), "TLSv1.3");
    EXPECT_EQ(Run(&TCustomPop3Cli::User), "User 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Pass), "Pass 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Stat), "Stat 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
    EXPECT_NE(ReadFileText(dir / "dovecot.log").find("TLS"), std::string::npos);
}

TEST_F(Pop3DovecotTls, ApopFromTheFirstByte) {
    client.Port = pop3sPort;
    client.ImplicitTls = true;
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_TRUE(client.TlsActive());
    EXPECT_EQ(Run(&TCustomPop3Cli::APop), "APop 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
}

TEST_F(Pop3DovecotTls, ACertificateOfAnUntrustedIssuerEndsTheSessionBeforeTheLogon) {
    client.Port = port;
    client.Host = "localhost";
    client.TlsContext = std::make_shared<TTlsContext>(true, CertFile("selfsigned.pem"));
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Stls), "Stls " + std::to_string(WSATLS_UNTRUSTED));
    EXPECT_TRUE(RunLoopUntil([&] { return !client.Connected(); }, 5000));
    EXPECT_EQ(ReadFileText(dir / "dovecot.log").find("Login: user=<joe>"), std::string::npos);
}

} // namespace
} // namespace pv::test
