// TLS on the socket against Python's TLS server (tests/support/tls_peer.py)
// with the test's own certificates: the handshake on the socket's events,
// plain bytes both ways above it, and every way a handshake fails.
#include <memory>
#include <string>
#include <vector>

#include "net/TlsContext.h"
#include "net/TlsErrors.h"
#include "tests/net/WSocketFixture.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/TlsCerts.h"

namespace pv::test {
namespace {

const char *kPython = "/usr/bin/python3";

class TlsPeer {
  public:
    TlsPeer(const std::string &mode, const std::string &cert, std::vector<std::string> more = {}) {
        std::vector<std::string> argv = {kPython,
                                         SupportPath("tls_peer.py"),
                                         mode,
                                         "--cert",
                                         CertFile(cert + ".pem"),
                                         "--key",
                                         CertFile(cert + ".key"),
                                         "--transcript",
                                         dir / "transcript"};
        argv.insert(argv.end(), more.begin(), more.end());
        started = peer.Start(argv);
    }
    std::string Port() const { return std::to_string(peer.Port()); }
    // What the peer wrote, once it has ended.
    std::string Transcript() {
        peer.Wait(5000);
        return ReadFileText(dir / "transcript");
    }

    TempDir dir;
    PeerProcess peer;
    bool started = false;
};

class TlsSocket : public WSocketTest {
  protected:
    void SetUp() override {
        ASSERT_FALSE(CertDir().empty()) << "make_certs.sh failed";
        rec.Attach(socket);
        socket.OnTlsHandshakeDone = [this](TObject *, std::uint16_t e) {
            rec.log.push_back("tls " + std::to_string(e));
        };
        socket.OnDataAvailable = [this](TObject *, std::uint16_t) {
            char buf[1000];
            const int n = socket.Receive(buf, readSize);
            if (n > 0)
                received.append(buf, static_cast<std::size_t>(n));
        };
    }

    // Connects with TLS from the first byte, trusting the test CA.
    void ConnectTls(TlsPeer &peer) {
        if (!socket.TlsContext)
            socket.TlsContext = std::make_shared<TTlsContext>(true, CertFile("ca.pem"));
        socket.TlsOnConnect = true;
        socket.SetAddr("127.0.0.1");
        socket.SetPort(peer.Port());
        socket.Connect();
        ASSERT_TRUE(PumpUntil([&] {
            return std::any_of(rec.log.begin(), rec.log.end(),
                               [](const std::string &e) { return e.rfind("connected", 0) == 0; });
        }));
    }

    // Events since the first "state connected".
    std::vector<std::string> Events() const {
        std::vector<std::string> out;
        bool on = false;
        for (const auto &e : rec.log) {
            on = on || e == "state connected";
            if (on && e != "state connected")
                out.push_back(e);
        }
        return out;
    }

    TWSocket socket;
    Recorder rec;
    std::string received;
    int readSize = 1000;
};

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i % 251);
    return s;
}

TEST_F(TlsSocket, FromTheFirstByteBothWaysThenACleanEnd) {
    TlsPeer peer("echo", "server");
    ASSERT_TRUE(peer.started) << peer.peer.ErrorLog();
    int dataSent = 0;
    socket.OnDataSent = [&](TObject *, std::uint16_t) { ++dataSent; };
    ConnectTls(peer);
    // The session counts as connected only after the handshake.
    EXPECT_EQ(Events(), (std::vector<std::string>{"tls 0", "connected 0"}));
    EXPECT_TRUE(socket.TlsActive());
    EXPECT_EQ(socket.TlsProtocol().rfind("TLSv1.", 0), 0u) << socket.TlsProtocol();
    EXPECT_FALSE(socket.TlsCipher().empty());

    // More than the queue's 64 pieces per write, in sends of odd sizes.
    const std::string data = Pattern(3 * 1000 * 1000 + 7);
    for (std::size_t at = 0; at < data.size(); at += 99991)
        socket.Send(data.data() + at,
                    static_cast<int>(std::min<std::size_t>(99991, data.size() - at)));
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= data.size(); }, 20000))
        << received.size();
    EXPECT_TRUE(received == data);
    EXPECT_TRUE(PumpUntil([&] { return dataSent > 0; }));
    EXPECT_TRUE(socket.AllSent());

    socket.Close();
    EXPECT_EQ(rec.Count("closed 0"), 1);
    EXPECT_FALSE(socket.TlsActive());
    EXPECT_EQ(peer.Transcript(), "TLS " + std::string("TLSv1.3") + "\nCLOSE clean\n");
}

TEST_F(TlsSocket, DecryptedBytesAHandlerLeftComeWithAReadEventOfTheirOwnThenTheEnd) {
    TlsPeer peer("echo", "server", {"--send", "200000"});
    ASSERT_TRUE(peer.started) << peer.peer.ErrorLog();
    // One small read per event: the rest of each record waits decrypted,
    // where the system cannot report it.
    socket.ComponentOptions.Include(wsoNoReceiveLoop);
    readSize = 333;
    ConnectTls(peer);
    ASSERT_TRUE(PumpUntil([&] { return rec.Has("closed 0"); }, 10000)) << received.size();
    EXPECT_EQ(received.size(), 200000u);
    EXPECT_TRUE(received == Pattern(200000));
    EXPECT_EQ(socket.State(), wsClosed);
    // The server's close_notify was answered at once: it closed then.
    EXPECT_EQ(peer.Transcript(), "TLS TLSv1.3\nCLOSE answered\n");
}

TEST_F(TlsSocket, DecryptedBytesLeftWhenPausedComeAfterResume) {
    TlsPeer peer("echo", "server");
    ASSERT_TRUE(peer.started) << peer.peer.ErrorLog();
    socket.ComponentOptions.Include(wsoNoReceiveLoop);
    readSize = 100;
    ConnectTls(peer);
    // The first small read leaves the rest of the record decrypted; the
    // handler pauses, and the read event posted for the rest finds the
    // socket paused.
    socket.OnDataAvailable = [this](TObject *, std::uint16_t) {
        char buf[1000];
        const int n = socket.Receive(buf, readSize);
        if (n > 0)
            received.append(buf, static_cast<std::size_t>(n));
        if (received.size() == 100)
            socket.Pause();
    };
    const std::string line = Pattern(900);
    socket.Send(line.data(), static_cast<int>(line.size()));
    ASSERT_TRUE(PumpUntil([&] { return socket.Paused(); })) << received.size();
    PumpFor(200);
    EXPECT_EQ(received.size(), 100u);
    socket.Resume();
    EXPECT_TRUE(PumpUntil([&] { return received.size() >= line.size(); })) << received.size();
    EXPECT_TRUE(received == line);
    socket.Close();
}

TEST_F(TlsSocket, StartTlsAfterPlainLines) {
    TlsPeer peer("starttls", "server");
    ASSERT_TRUE(peer.started) << peer.peer.ErrorLog();
    EXPECT_NE(ErrorOf([&] { socket.StartTls(); }).find("10057"), std::string::npos);

    socket.TlsContext = std::make_shared<TTlsContext>(true, CertFile("ca.pem"));
    socket.SetAddr("127.0.0.1");
    socket.SetPort(peer.Port());
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return rec.Has("connected 0"); }));
    socket.SendStr("hello\r\n");
    ASSERT_TRUE(PumpUntil([&] { return received == "plain: hello\r\n"; }));
    received.clear();
    socket.SendStr("STARTTLS\r\n");
    ASSERT_TRUE(PumpUntil([&] { return received == "GO\r\n"; }));
    EXPECT_FALSE(socket.TlsActive());

    socket.StartTls();
    EXPECT_TRUE(socket.TlsHandshaking());
    EXPECT_EQ(ErrorOf([&] { socket.StartTls(); }), "TLS already started");
    ASSERT_TRUE(PumpUntil([&] { return rec.Has("tls 0"); }));
    EXPECT_TRUE(socket.TlsActive());
    // Sent while the handshake ran: it waits for it, then goes encrypted.
    received.clear();
    socket.SendStr("secret\r\n");
    ASSERT_TRUE(PumpUntil([&] { return received == "secret\r\n"; }));
    EXPECT_EQ(rec.Count("connected 0"), 1);
    socket.Close();
    EXPECT_EQ(peer.Transcript(), "TLS TLSv1.3\nCLOSE clean\n");
}

TEST_F(TlsSocket, WhatIsQueuedWhenTheHandshakeStartsIsRefused) {
    TlsPeer peer("starttls", "server");
    ASSERT_TRUE(peer.started) << peer.peer.ErrorLog();
    socket.SetAddr("127.0.0.1");
    socket.SetPort(peer.Port());
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return rec.Has("connected 0"); }));
    socket.PutDataInSendBuffer("STARTTLS\r\n", 10);
    EXPECT_EQ(ErrorOf([&] { socket.StartTls(); }), "Cannot start TLS while data waits to be sent");
    EXPECT_FALSE(socket.TlsHandshaking());
    socket.Abort();
}

struct CertCase {
    const char *name;
    const char *serverCert;
    const char *caFile; // "" for the system's trust store
    bool verify;
    const char *hostName; // "" for the address
    int error;
};

class TlsCertificates : public TlsSocket, public ::testing::WithParamInterface<CertCase> {};

TEST_P(TlsCertificates, HandshakeOutcome) {
    const CertCase &c = GetParam();
    TlsPeer peer("echo", c.serverCert);
    ASSERT_TRUE(peer.started) << peer.peer.ErrorLog();
    socket.TlsContext =
        std::make_shared<TTlsContext>(c.verify, *c.caFile ? CertFile(c.caFile) : std::string());
    socket.TlsHostName = c.hostName;
    ConnectTls(peer);
    const std::string e = std::to_string(c.error);
    if (c.error == 0) {
        EXPECT_EQ(Events(), (std::vector<std::string>{"tls 0", "connected 0"}));
        socket.SendStr("ping");
        EXPECT_TRUE(PumpUntil([&] { return received == "ping"; }));
        socket.Close();
        return;
    }
    // As a failed connect: the error, then the socket closes itself.
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"tls " + e, "connected " + e, "state closed", "closed 0"}));
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_NE(socket.TlsErrorText().find("certificate verify failed"), std::string::npos)
        << socket.TlsErrorText();
    EXPECT_FALSE(TlsErrorDesc(c.error).empty());
    EXPECT_EQ(SocketErrorDesc(c.error), TlsErrorDesc(c.error));
}

INSTANTIATE_TEST_SUITE_P(
    Checks, TlsCertificates,
    ::testing::Values(CertCase{"TrustedByTheCAFile", "server", "ca.pem", true, "", 0},
                      CertCase{"DnsNameOfTheCertificate", "server", "ca.pem", true, "localhost", 0},
                      CertCase{"NotInTheSystemTrustStore", "server", "", true, "",
                               WSATLS_UNTRUSTED},
                      CertCase{"SelfSigned", "selfsigned", "ca.pem", true, "", WSATLS_UNTRUSTED},
                      CertCase{"Expired", "expired", "ca.pem", true, "", WSATLS_EXPIRED},
                      CertCase{"NotYetValid", "future", "ca.pem", true, "", WSATLS_NOT_YET_VALID},
                      CertCase{"ForAnotherName", "other", "ca.pem", true, "", WSATLS_HOST_MISMATCH},
                      CertCase{"AnotherDnsName", "server", "ca.pem", true, "mail.example.org",
                               WSATLS_HOST_MISMATCH},
                      CertCase{"SelfSignedUnchecked", "selfsigned", "", false, "", 0},
                      CertCase{"ExpiredUnchecked", "expired", "ca.pem", false, "", 0}),
    [](const ::testing::TestParamInfo<CertCase> &info) { return std::string(info.param.name); });

struct ServerCase {
    const char *name;
    const char *mode;
    const char *maxVersion;
    int error;
};

class TlsServerFaults : public TlsSocket, public ::testing::WithParamInterface<ServerCase> {};

TEST_P(TlsServerFaults, HandshakeFails) {
    const ServerCase &c = GetParam();
    std::vector<std::string> more;
    if (*c.maxVersion)
        more = {"--max-version", c.maxVersion};
    TlsPeer peer(c.mode, "server", more);
    ASSERT_TRUE(peer.started) << peer.peer.ErrorLog();
    ConnectTls(peer);
    const std::string e = std::to_string(c.error);
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"tls " + e, "connected " + e, "state closed", "closed 0"}))
        << socket.TlsErrorText();
    EXPECT_FALSE(socket.TlsErrorText().empty());
    EXPECT_TRUE(received.empty()) << received;
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsServerFaults,
    ::testing::Values(ServerCase{"HangsUpInTheHandshake", "drop", "", WSATLS_CLOSED},
                      ServerCase{"AnswersInPlainText", "plain", "", WSATLS_NOT_TLS},
                      ServerCase{"OffersOnlyOlderVersions", "echo", "1.1", WSATLS_VERSION}),
    [](const ::testing::TestParamInfo<ServerCase> &info) { return std::string(info.param.name); });

TEST(TlsContextTest, ACAFileThatCannotBeLoadedIsNamed) {
    TempDir dir;
    WriteFileText(dir / "junk.pem", "not a certificate\n");
    for (const std::string &file : {dir / "missing.pem", dir / "junk.pem"}) {
        try {
            TTlsContext context(true, file);
            ADD_FAILURE() << file << " was loaded";
        } catch (const ESocketException &E) {
            EXPECT_EQ(E.Message().rfind("Cannot load the CA file '" + file + "': ", 0), 0u)
                << E.Message();
        }
    }
}

} // namespace
} // namespace pv::test
