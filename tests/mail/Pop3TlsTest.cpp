// The POP3 client over TLS against python3-twisted's POP3 server
// (tests/support/pop3_server.py) with the test's own certificates: STLS
// (RFC 2595) and TLS from the first byte, and that no password goes out in
// plain text when TLS cannot be had.
#include "net/TlsErrors.h"
#include "tests/mail/Pop3TestSupport.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/TlsCerts.h"

namespace pv::test {
namespace {

using Lines = std::vector<std::string>;

class Pop3Tls : public ::testing::Test {
  protected:
    // The server with TLS ("stls", "implicit" or "" for none) and a certificate.
    void Start(const std::string &mode, const std::string &cert = "server", Lines more = {}) {
        ASSERT_FALSE(CertDir().empty()) << "make_certs.sh failed";
        Lines options = {"--log", log.Path() + "/commands"};
        if (!mode.empty())
            options.insert(options.end(), {"--tls", mode, "--tls-cert", CertFile(cert + ".pem"),
                                           "--tls-key", CertFile(cert + ".key")});
        options.insert(options.end(), more.begin(), more.end());
        ASSERT_TRUE(StartPop3Server(server, options)) << server.ErrorLog();
        client.Host = "127.0.0.1";
        client.Port = std::to_string(server.Port());
        client.UserName = "joe";
        client.PassWord = "secret";
        client.TlsContext = std::make_shared<TTlsContext>(true, CertFile("ca.pem"));
        client.ImplicitTls = mode == "implicit";
    }
    std::string Run(void (TCustomPop3Cli::*request)()) {
        return rec.Run([&] { (client.*request)(); });
    }
    // The commands the server received, with "TLS" where the session became
    // encrypted.
    Lines Commands() const {
        Lines lines;
        const std::string text = ReadFileText(log.Path() + "/commands");
        for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }
    bool Displayed(const std::string &text) const {
        return std::find(rec.events.begin(), rec.events.end(), "display " + text) !=
               rec.events.end();
    }

    LoopGuard guard{40};
    TempDir log;
    PeerProcess server;
    TPop3Cli client;
    Pop3Recorder rec{client};
};

TEST_F(Pop3Tls, StlsThenUserAndPass) {
    Start("stls");
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_FALSE(client.TlsActive());
    EXPECT_EQ(Run(&TCustomPop3Cli::Stls), "Stls 0");
    EXPECT_TRUE(client.TlsActive());
    EXPECT_EQ(client.TlsProtocol(), "TLSv1.3");
    EXPECT_EQ(client.ProtocolState(), pop3WaitingUser);
    // Once is enough.
    EXPECT_THROW(client.Stls(), Pop3Exception);
    EXPECT_EQ(client.ErrorMessage(), "-ERR STLS command invalid now");
    EXPECT_EQ(Run(&TCustomPop3Cli::User), "User 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Pass), "Pass 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Stat), "Stat 0");
    EXPECT_EQ(client.MsgCount(), 2);
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
    server.Stop();
    EXPECT_EQ(Commands(),
              (Lines{"CONNECT", "STLS", "TLS", "USER joe", "PASS secret", "STAT", "QUIT"}));
}

TEST_F(Pop3Tls, FromTheFirstByteWithApop) {
    Start("implicit");
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_TRUE(client.TlsActive());
    EXPECT_EQ(Run(&TCustomPop3Cli::APop), "APop 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
    server.Stop();
    const Lines commands = Commands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[1], "TLS");
    EXPECT_EQ(commands[2].rfind("APOP joe ", 0), 0u);
}

TEST_F(Pop3Tls, AServerWithoutStlsGetsNoPassword) {
    Start("");
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Stls), "Stls 500");
    EXPECT_EQ(client.ErrorMessage().rfind("-ERR ", 0), 0u);
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
    server.Stop();
    EXPECT_EQ(Commands(), (Lines{"CONNECT", "STLS", "QUIT"}));
}

TEST_F(Pop3Tls, AnExpiredCertificateEndsTheSessionBeforeTheLogon) {
    Start("stls", "expired");
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Stls), "Stls " + std::to_string(WSATLS_EXPIRED));
    EXPECT_EQ(client.ErrorMessage(), "-ERR TLS certificate expired: certificate verify failed: "
                                     "certificate has expired (Winsock error #12003)");
    EXPECT_TRUE(RunLoopUntil([&] { return !client.Connected(); }, 5000));
    server.Stop();
    EXPECT_EQ(Commands(), (Lines{"CONNECT", "STLS"}));
}

TEST_F(Pop3Tls, ASelfSignedCertificateFailsTheConnectFromTheFirstByte) {
    Start("implicit", "selfsigned");
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect " + std::to_string(WSATLS_UNTRUSTED));
    EXPECT_FALSE(client.Connected());
    server.Stop();
    EXPECT_EQ(Commands(), (Lines{"CONNECT"}));
}

TEST_F(Pop3Tls, BytesAfterTheStlsReplyAreNeverTakenAsAReply) {
    Start("stls", "server", {"--stls-inject"});
    EXPECT_EQ(Run(&TCustomPop3Cli::Connect), "Connect 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Stls), "Stls 0");
    EXPECT_TRUE(Displayed("! 25 byte(s) after the STLS reply discarded"));
    // Had the line been taken, it would answer USER, and PASS would go out
    // before the server's own answer.
    EXPECT_EQ(Run(&TCustomPop3Cli::User), "User 0");
    EXPECT_EQ(client.LastResponse(), "+OK USER accepted, send PASS");
    EXPECT_EQ(Run(&TCustomPop3Cli::Pass), "Pass 0");
    EXPECT_EQ(Run(&TCustomPop3Cli::Quit), "Quit 0");
}

} // namespace
} // namespace pv::test
