// The SMTP client over TLS: STARTTLS and TLS from the first byte against
// aiosmtpd with the test's own certificates, the certificate checks as a
// session meets them, and the faults of tests/support/tls_fault_server.py.
#include <cctype>
#include <fstream>
#include <random>

#include "net/TlsErrors.h"
#include "tests/mail/SmtpTestSupport.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/SocksProxy.h"
#include "tests/support/TlsCerts.h"

namespace pv::test {
namespace {

enum class Security { Plain, StartTls, Implicit };

// The server's options for a certificate ("server", "expired" ...).
std::vector<std::string> TlsServer(Security security, const std::string &cert,
                                   std::vector<std::string> more = {}) {
    std::vector<std::string> options;
    if (security != Security::Plain)
        options = {"--tls",      security == Security::Implicit ? "implicit" : "starttls",
                   "--tls-cert", CertFile(cert + ".pem"),
                   "--tls-key",  CertFile(cert + ".key")};
    options.insert(options.end(), more.begin(), more.end());
    return options;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

// The message as the server got it, without what differs from one session
// to the next (the boundary's number and the date).
std::string Comparable(std::string message) {
    const std::string boundary = "Multipart Boundary ";
    for (auto at = message.find(boundary); at != std::string::npos;
         at = message.find(boundary, at + 1)) {
        const auto digits = at + boundary.size();
        auto end = digits;
        while (end < message.size() && end - digits < 10 &&
               std::isdigit(static_cast<unsigned char>(message[end])))
            ++end;
        if (end - digits == 10)
            message.replace(digits, 10, "N");
    }
    const std::string date = "\r\nDate: ";
    if (const auto at = message.find(date); at != std::string::npos) {
        const auto value = at + date.size();
        message.replace(value, message.find('\r', value) - value, "D");
    }
    return message;
}

class SmtpTls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(CertDir().empty()) << "make_certs.sh failed";
        client.Host = "127.0.0.1";
        client.FromName = "sender@example.org";
        client.HdrFrom = "Sender <sender@example.org>";
        client.HdrTo = "joe@example.org";
        client.HdrSubject = "Over TLS";
        client.RcptName = {"joe@example.org"};
        client.MailMessage = {"Files follow.", ".a line with a dot"};
        client.Username = "user";
        client.Password = "secret";
        client.TlsContext = std::make_shared<TTlsContext>(true, CertFile("ca.pem"));
    }

    // The job engine's order with TLS: Connect, EHLO, STARTTLS (which greets
    // again), AUTH LOGIN, MAIL FROM, RCPT TO, DATA, QUIT; a failure leads to
    // QUIT while connected. True once the session is over.
    bool Session(bool startTls, bool auth = true) {
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
                if (startTls)
                    client.StartTls();
                else if (auth)
                    client.Auth();
                else
                    client.MailFrom();
                break;
            case smtpStartTls:
                if (auth)
                    client.Auth();
                else
                    client.MailFrom();
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
        client.AuthType = smtpAuthLogin;
        rec.Call([&] { client.Connect(); });
        return RunLoopUntil([&] { return finished; }, 50000);
    }

    // What came after the given command (to see that nothing did).
    std::vector<std::string> CommandsAfter(const std::string &command) const {
        auto it = std::find(rec.commands.begin(), rec.commands.end(), command);
        if (it == rec.commands.end())
            return {"(" + command + " never sent)"};
        return {it + 1, rec.commands.end()};
    }

    LoopGuard guard{115};
    TSmtpCli client;
    Recorder rec{client};
    std::vector<std::string> errors;
};

TEST_F(SmtpTls, TheSameBytesArriveInPlainTextAfterStartTlsAndFromTheFirstByte) {
    TempDir files;
    std::ofstream(files / "data.bin", std::ios::binary) << RandomBytes(300000, 7);
    client.SetEmailFiles({files / "data.bin"});
    const std::string users = "--users=user:secret";
    std::vector<std::string> messages;
    for (Security security : {Security::Plain, Security::StartTls, Security::Implicit}) {
        SCOPED_TRACE(static_cast<int>(security));
        RealSmtpPeer server(TlsServer(security, "server", {users, "--auth-required"}));
        ASSERT_TRUE(server.started) << server.peer.ErrorLog();
        client.Port = server.Port();
        client.ImplicitTls = security == Security::Implicit;
        rec.commands.clear();
        ASSERT_TRUE(Session(security == Security::StartTls));
        ASSERT_TRUE(errors.empty()) << errors[0];
        const std::string tls = security == Security::Plain ? "" : ", \"tls\": \"TLSv1.3\"";
        EXPECT_EQ(server.Envelope(1), "{\"mail_from\": \"sender@example.org\", \"rcpt_tos\": "
                                      "[\"joe@example.org\"], \"login\": \"user\"" +
                                          tls + "}");
        EXPECT_EQ(
            server.Check(1, "{\"attachments\": [{\"path\": " + JsonString(files / "data.bin") +
                                ", \"filename\": \"data.bin\"}]}"),
            "OK");
        messages.push_back(Comparable(server.Message(1)));
        if (security == Security::StartTls) {
            // RFC 3207: a new EHLO over TLS before anything else.
            ASSERT_GE(rec.commands.size(), 4u);
            EXPECT_EQ(rec.commands[1], "STARTTLS");
            EXPECT_EQ(rec.commands[2].rfind("EHLO ", 0), 0u);
            EXPECT_EQ(rec.commands[3], "AUTH LOGIN");
            EXPECT_TRUE(client.OfferedMechanisms().size() > 0);
        }
    }
    EXPECT_TRUE(messages[0] == messages[1]);
    EXPECT_TRUE(messages[0] == messages[2]);
}

TEST_F(SmtpTls, ATwentyMegabyteAttachmentOverStartTls) {
    TempDir files;
    std::ofstream(files / "big.bin", std::ios::binary) << RandomBytes(20 * 1000 * 1000, 11);
    client.SetEmailFiles({files / "big.bin"});
    RealSmtpPeer server(TlsServer(Security::StartTls, "server"));
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    client.Port = server.Port();
    ASSERT_TRUE(Session(true, false));
    ASSERT_TRUE(errors.empty()) << errors[0];
    EXPECT_EQ(server.Check(1, "{\"attachments\": [{\"path\": " + JsonString(files / "big.bin") +
                                  ", \"filename\": \"big.bin\"}]}"),
              "OK");
}

struct CertCase {
    const char *name;
    const char *serverCert;
    bool verify;
    const char *caFile; // "" for the system's trust store
    int error;          // of the STARTTLS request; 0 when the mail goes
};

std::ostream &operator<<(std::ostream &os, const CertCase &c) {
    return os << c.name;
}

class SmtpTlsCertificates : public SmtpTls, public ::testing::WithParamInterface<CertCase> {};

TEST_P(SmtpTlsCertificates, RefusedWithAClearTextAndNothingSent) {
    const CertCase &c = GetParam();
    RealSmtpPeer server(TlsServer(Security::StartTls, c.serverCert));
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    client.Port = server.Port();
    client.TlsContext =
        std::make_shared<TTlsContext>(c.verify, *c.caFile ? CertFile(c.caFile) : std::string());
    ASSERT_TRUE(Session(true, false));
    if (c.error == 0) {
        EXPECT_TRUE(errors.empty()) << errors[0];
        EXPECT_EQ(server.Check(1, "{}"), "OK");
        return;
    }
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpStartTls, c.error}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "500 " + TlsErrorDesc(c.error) + ": " + client.Socket().TlsErrorText() +
                             " (Winsock error #" + std::to_string(c.error) + ")");
    EXPECT_NE(client.Socket().TlsErrorText().find("certificate"), std::string::npos);
    EXPECT_TRUE(CommandsAfter("STARTTLS").empty());
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(server.Message(1).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Checks, SmtpTlsCertificates,
    ::testing::Values(CertCase{"ForAnotherName", "other", true, "ca.pem", WSATLS_HOST_MISMATCH},
                      CertCase{"SelfSigned", "selfsigned", true, "ca.pem", WSATLS_UNTRUSTED},
                      CertCase{"Expired", "expired", true, "ca.pem", WSATLS_EXPIRED},
                      CertCase{"PrivateCaNotInTheSystemStore", "server", true, "",
                               WSATLS_UNTRUSTED},
                      CertCase{"ForAnotherNameUnchecked", "other", false, "", 0},
                      CertCase{"SelfSignedUnchecked", "selfsigned", false, "", 0},
                      CertCase{"ExpiredUnchecked", "expired", false, "", 0},
                      CertCase{"SelfSignedNamedAsTheCA", "selfsigned", true, "selfsigned.pem", 0}),
    [](const ::testing::TestParamInfo<CertCase> &info) { return std::string(info.param.name); });

TEST_F(SmtpTls, FromTheFirstByteARefusedCertificateFailsTheConnect) {
    RealSmtpPeer server(TlsServer(Security::Implicit, "expired"));
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    client.Port = server.Port();
    client.ImplicitTls = true;
    ASSERT_TRUE(Session(false, false));
    EXPECT_EQ(rec.done, (std::vector<DoneEvent>{{smtpConnect, WSATLS_EXPIRED}}));
    EXPECT_EQ(rec.connected, std::vector<int>{});
    EXPECT_TRUE(rec.commands.empty());
    EXPECT_EQ(errors[0].rfind("500 TLS certificate expired: certificate verify failed: ", 0), 0u)
        << errors[0];
}

TEST_F(SmtpTls, AServerWithoutStartTlsGetsNothingInPlainText) {
    RealSmtpPeer server;
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    client.Port = server.Port();
    ASSERT_TRUE(Session(true));
    EXPECT_FALSE(client.StartTlsOffered());
    EXPECT_EQ(rec.done, (std::vector<DoneEvent>{
                            {smtpConnect, 0}, {smtpEhlo, 0}, {smtpStartTls, 500}, {smtpQuit, 0}}));
    EXPECT_EQ(errors, std::vector<std::string>{"500 The server does not offer STARTTLS."});
    ASSERT_EQ(rec.commands.size(), 2u);
    EXPECT_EQ(rec.commands[1], "QUIT");
    EXPECT_TRUE(server.Message(1).empty());
}

TEST_F(SmtpTls, ThroughASocksProxyTheHandshakeRunsOverTheTunnel) {
    SocksProxy proxy;
    const auto status = proxy.Start({"microsocks"});
    if (status == SocksProxy::Missing)
        GTEST_SKIP() << proxy.Why();
    ASSERT_EQ(status, SocksProxy::Started) << proxy.Why();
    for (Security security : {Security::StartTls, Security::Implicit}) {
        SCOPED_TRACE(static_cast<int>(security));
        RealSmtpPeer server(TlsServer(security, "server"));
        ASSERT_TRUE(server.started) << server.peer.ErrorLog();
        client.Port = server.Port();
        client.ImplicitTls = security == Security::Implicit;
        client.Socket().SetSocksServer("127.0.0.1");
        client.Socket().SetSocksPort(proxy.Port());
        ASSERT_TRUE(Session(security == Security::StartTls, false));
        EXPECT_TRUE(errors.empty()) << errors[0];
        EXPECT_NE(server.Envelope(1).find(R"("tls": "TLSv1.3")"), std::string::npos);
    }
}

// The scripted peer of tests/support/tls_fault_server.py.
class FaultPeer {
  public:
    explicit FaultPeer(const std::string &mode) {
        started = peer.Start({kPython, SupportPath("tls_fault_server.py"), mode, "--cert",
                              CertFile("server.pem"), "--key", CertFile("server.key"),
                              "--transcript", dir / "transcript"});
    }
    std::string Transcript() {
        peer.Wait(5000);
        return ReadFileText(dir / "transcript");
    }
    TempDir dir;
    PeerProcess peer;
    bool started = false;
};

TEST_F(SmtpTls, BytesAfterTheReadyReplyAreNeverTakenAsAReply) {
    FaultPeer server("inject");
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    client.Port = std::to_string(server.peer.Port());
    ASSERT_TRUE(Session(true, false));
    EXPECT_TRUE(errors.empty()) << errors[0];
    for (const std::string &r : rec.responses)
        EXPECT_EQ(r.find("injected"), std::string::npos) << r;
    EXPECT_NE(std::find(rec.display.begin(), rec.display.end(),
                        "! 25 byte(s) after the STARTTLS reply discarded"),
              rec.display.end());
    const std::string t = server.Transcript();
    // The second EHLO came over TLS and waited for its own reply.
    EXPECT_NE(t.find("C: STARTTLS\nTLS TLSv1.3\nC: EHLO "), std::string::npos) << t;
    EXPECT_NE(t.find("C: DATA\nC: QUIT\n"), std::string::npos) << t;
}

struct FaultCase {
    const char *name;
    const char *mode;
    int error;
};

std::ostream &operator<<(std::ostream &os, const FaultCase &c) {
    return os << c.name;
}

class SmtpTlsFaults : public SmtpTls, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SmtpTlsFaults, TheHandshakeFailsAndNothingIsSent) {
    const FaultCase &c = GetParam();
    FaultPeer server(c.mode);
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    client.Port = std::to_string(server.peer.Port());
    ASSERT_TRUE(Session(true, false));
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpStartTls, c.error}));
    EXPECT_TRUE(CommandsAfter("STARTTLS").empty());
    for (const std::string &r : rec.responses)
        EXPECT_EQ(r.find("injected"), std::string::npos) << r;
    EXPECT_EQ(errors.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, SmtpTlsFaults,
    ::testing::Values(FaultCase{"PlainBytesAfterTheHandshakeBegan", "inject-late", WSATLS_NOT_TLS},
                      FaultCase{"HangsUpInTheHandshake", "drop", WSATLS_CLOSED}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

} // namespace
} // namespace pv::test
