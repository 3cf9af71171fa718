// TWSocket through danted, started from a configuration of its own on a
// high loopback port: levels 4 and 5, and a connection its ruleset refuses.
// Skipped when the dante-server package is not installed.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"
#include "tests/support/SocksProxy.h"

namespace pv {
namespace {

using test::SocksProxy;

class Danted : public test::WSocketTest {
  protected:
    void SetUp() override {
        // Connections to the blocked listener's port are refused by the ruleset.
        const auto status = proxy.Start({"danted", "--block-port", blocked.Port()});
        if (status == SocksProxy::Missing)
            GTEST_SKIP() << proxy.Why();
        ASSERT_EQ(status, SocksProxy::Started) << proxy.Why();
        s.OnSocksConnected = [this](TObject *, std::uint16_t e) {
            events.push_back("socks-connected " + std::to_string(e));
        };
        s.OnSocksError = [this](TObject *, int e, const std::string &m) {
            events.push_back("socks-error " + std::to_string(e) + " " + m);
        };
        s.OnSessionConnected = [this](TObject *, std::uint16_t e) {
            events.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            events.push_back("closed " + std::to_string(e));
        };
        s.OnDataAvailable = [this](TObject *, std::uint16_t) { got += s.ReceiveStr(); };
    }

    // Connects through danted at the given level; true once the session is up.
    bool Connect(const std::string &level, const std::string &port) {
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(proxy.Port());
        s.SetSocksLevel(level);
        s.SetAddr("127.0.0.1");
        s.SetPort(port);
        s.Connect();
        return test::PumpUntil(
            [&] { return !events.empty() && events.back() != "socks-connected 0"; }, 10000);
    }

    // A line each way with the server, then the server closes.
    void Trade() {
        int peer = server.Accept();
        ASSERT_GE(peer, 0);
        test::SendAll(peer, "hello\r\n");
        EXPECT_TRUE(test::PumpUntil([&] { return got == "hello\r\n"; })) << got;
        s.SendStr("bye\r\n");
        char buf[5] = {};
        EXPECT_EQ(::recv(peer, buf, sizeof buf, MSG_WAITALL), 5);
        EXPECT_EQ(std::string(buf, 5), "bye\r\n");
        ::close(peer);
        EXPECT_TRUE(test::PumpUntil([&] { return s.State() == wsClosed; })) << proxy.DantedLog();
    }

    test::RawListener server, blocked;
    SocksProxy proxy;
    TWSocket s;
    std::vector<std::string> events;
    std::string got;
};

TEST_F(Danted, Level5) {
    ASSERT_TRUE(Connect("5", server.Port())) << proxy.DantedLog();
    EXPECT_EQ(events, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
    EXPECT_EQ(s.SocksBoundAddr(), "127.0.0.1");
    Trade();
    EXPECT_EQ(events.back(), "closed 0");
}

TEST_F(Danted, Level4) {
    ASSERT_TRUE(Connect("4", server.Port())) << proxy.DantedLog();
    EXPECT_EQ(events, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
    Trade();
}

TEST_F(Danted, RulesetRefusal) {
    ASSERT_TRUE(Connect("5", blocked.Port())) << proxy.DantedLog();
    ASSERT_TRUE(test::PumpUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(events,
              (std::vector<std::string>{"socks-connected 0",
                                        "socks-error 20005 connection not allowed by ruleset",
                                        "connected 20005", "closed 20005"}))
        << proxy.DantedLog();
    // Level 4 has one code for every refusal.
    events.clear();
    ASSERT_TRUE(Connect("4", blocked.Port())) << proxy.DantedLog();
    ASSERT_TRUE(test::PumpUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(events, (std::vector<std::string>{"socks-connected 0",
                                                "socks-error 20016 request rejected or failed",
                                                "connected 20016", "closed 20016"}));
}

} // namespace
} // namespace pv
