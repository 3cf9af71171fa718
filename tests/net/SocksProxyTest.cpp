// TWSocket through real SOCKS proxies on 127.0.0.1 to a plain server:
// microsocks for level 5 with and without user name and password, and
// python3-twisted's server for levels 4 and 4A.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"
#include "tests/support/SocksProxy.h"

namespace pv {
namespace {

using test::SocksProxy;
using test::WSocketTest;

// A socket that records its events and collects what arrives.
struct Client {
    TWSocket s;
    std::vector<std::string> events;
    std::string got;
    bool done = false; // OnSessionConnected came

    Client() {
        s.OnSocksConnected = [this](TObject *, std::uint16_t e) {
            events.push_back("socks-connected " + std::to_string(e));
        };
        s.OnSocksAuthState = [this](TObject *, TSocksAuthState a) {
            static const char *names[] = {"start", "success", "failure", "not-required"};
            events.push_back(std::string("socks-auth ") + names[a]);
        };
        s.OnSocksError = [this](TObject *, int e, const std::string &m) {
            events.push_back("socks-error " + std::to_string(e) + " " + m);
        };
        s.OnSessionConnected = [this](TObject *, std::uint16_t e) {
            events.push_back("connected " + std::to_string(e));
            done = true;
        };
        s.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            events.push_back("closed " + std::to_string(e));
        };
        s.OnDataSent = [this](TObject *, std::uint16_t) {
            if (!done)
                events.push_back("sent before connected");
        };
        s.OnDataAvailable = [this](TObject *, std::uint16_t) { got += s.ReceiveStr(); };
        s.SetTimeout(10000);
    }

    // Connects through the proxy to 127.0.0.1:port, waiting synchronously.
    int Connect(const std::string &proxyPort, const std::string &port,
                const std::string &addr = "127.0.0.1") {
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(proxyPort);
        s.SetAddr(addr);
        s.SetPort(port);
        return s.RunAndWait(done, [this] { s.Connect(); });
    }

    // After a connect: a line from the server, a line back.
    void Trade(test::RawListener &server) {
        int peer = server.Accept();
        ASSERT_GE(peer, 0);
        test::SendAll(peer, "220 through the proxy\r\n");
        EXPECT_TRUE(test::PumpUntil([&] { return got == "220 through the proxy\r\n"; })) << got;
        s.SendStr("QUIT\r\n");
        char buf[6] = {};
        EXPECT_EQ(::recv(peer, buf, sizeof buf, MSG_WAITALL), 6);
        EXPECT_EQ(std::string(buf, 6), "QUIT\r\n");
        ::close(peer);
        EXPECT_TRUE(test::PumpUntil([&] { return s.State() == wsClosed; }));
    }
};

// The proxy of a test, or the reason to skip it.
#define START_PROXY(proxy, ...)                                                                    \
    do {                                                                                           \
        const auto status = (proxy).Start({__VA_ARGS__});                                          \
        if (status == SocksProxy::Missing)                                                         \
            GTEST_SKIP() << (proxy).Why();                                                         \
        ASSERT_EQ(status, SocksProxy::Started) << (proxy).Why();                                   \
    } while (0)

TEST_F(WSocketTest, Level5ThroughMicrosocks) {
    SocksProxy proxy;
    START_PROXY(proxy, "microsocks");
    test::RawListener server;
    Client c;
    ASSERT_EQ(c.Connect(proxy.Port(), server.Port()), 0);
    EXPECT_EQ(c.events, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
    EXPECT_FALSE(c.s.SocksBoundAddr().empty());
    EXPECT_FALSE(c.s.SocksBoundPort().empty());
    c.Trade(server);
    EXPECT_EQ(c.events.back(), "closed 0");
}

TEST_F(WSocketTest, Level5WithUserAndPasswordThroughMicrosocks) {
    SocksProxy proxy;
    START_PROXY(proxy, "microsocks", "--user", "joe", "--password", "s3cret pass");
    test::RawListener server;
    {
        Client c;
        c.s.SocksAuthentication = socksAuthenticateUsercode;
        c.s.SocksUsercode = "joe";
        c.s.SocksPassword = "s3cret pass";
        ASSERT_EQ(c.Connect(proxy.Port(), server.Port()), 0);
        EXPECT_EQ(c.events, (std::vector<std::string>{"socks-connected 0", "socks-auth start",
                                                      "socks-auth success", "connected 0"}));
        c.Trade(server);
    }
    {
        Client c;
        c.s.SocksAuthentication = socksAuthenticateUsercode;
        c.s.SocksUsercode = "joe";
        c.s.SocksPassword = "wrong";
        ASSERT_EQ(c.Connect(proxy.Port(), server.Port()), 0);
        EXPECT_TRUE(test::PumpUntil([&] { return c.s.State() == wsClosed; }));
        EXPECT_EQ(c.events,
                  (std::vector<std::string>{"socks-connected 0", "socks-auth start",
                                            "socks-error 20015 socks authentication failed",
                                            "connected 20015", "closed 20015"}));
    }
    {
        // Without credentials the proxy accepts no method.
        Client c;
        ASSERT_EQ(c.Connect(proxy.Port(), server.Port()), 0);
        EXPECT_TRUE(test::PumpUntil([&] { return c.s.State() == wsClosed; }));
        EXPECT_EQ(c.events, (std::vector<std::string>{
                                "socks-connected 0",
                                "socks-error 20003 authentification method not acceptable",
                                "connected 20003", "closed 20003"}));
    }
}

TEST_F(WSocketTest, Level4And4AThroughTwisted) {
    SocksProxy proxy;
    START_PROXY(proxy, "socks4", "--reject-user", "mallory");
    test::RawListener server;
    {
        Client c;
        c.s.SetSocksLevel("4");
        c.s.SocksUsercode = "joe";
        ASSERT_EQ(c.Connect(proxy.Port(), server.Port()), 0);
        EXPECT_EQ(c.events, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
        c.Trade(server);
    }
    {
        // The proxy resolves the name.
        Client c;
        c.s.SetSocksLevel("4A");
        ASSERT_EQ(c.Connect(proxy.Port(), server.Port(), "localhost"), 0);
        EXPECT_EQ(c.events, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
        c.Trade(server);
    }
    {
        Client c;
        c.s.SetSocksLevel("4");
        c.s.SocksUsercode = "mallory";
        ASSERT_EQ(c.Connect(proxy.Port(), server.Port()), 0);
        EXPECT_TRUE(test::PumpUntil([&] { return c.s.State() == wsClosed; }));
        EXPECT_EQ(c.events, (std::vector<std::string>{
                                "socks-connected 0", "socks-error 20016 request rejected or failed",
                                "connected 20016", "closed 20016"}));
    }
}

} // namespace
} // namespace pv
