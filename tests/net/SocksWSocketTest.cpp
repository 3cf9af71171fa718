// The SOCKS layer's configuration: what it refuses before connecting, the
// lookup it leaves to the proxy, a proxy that cannot be reached, and that a
// proxy connect leaves nothing behind for a later direct one.
#include <string>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"

namespace pv {
namespace {

using test::ErrorOf;
using test::PumpUntil;
using test::WSocketTest;

TEST_F(WSocketTest, SocksSettingsAreCheckedAndFixedWhileConnected) {
    TWSocket s;
    EXPECT_EQ(s.SocksLevel(), "5");
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetSocksServer(" 127.0.0.1 ");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");

    // A proxy that accepts and says nothing: the socket stays negotiating.
    test::RawListener proxy;
    s.SetSocksPort(proxy.Port());
    s.SetSocksLevel("5");
    s.SetAddr("127.0.0.1");
    s.SetPort("25");
    bool socksConnected = false;
    s.OnSocksConnected = [&](TObject *, std::uint16_t) { socksConnected = true; };
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return socksConnected; }));
    EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel("4"); }), "Can't change socks level if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksPort("1"); }), "Can't change socks port if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksServer("x"); }), "Can't change socks server if not closed");
    int peer = proxy.Accept();
    char greeting[3] = {};
    EXPECT_EQ(::recv(peer, greeting, sizeof greeting, MSG_WAITALL), 3);
    EXPECT_EQ(std::string(greeting, 3), std::string("\x05\x01\x00", 3));
    s.Abort();
    ::close(peer);
}

TEST_F(WSocketTest, SocksRefusesWhatItCannotCarryBeforeConnecting) {
    TWSocket s;
    test::Recorder r;
    r.Attach(s);
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(test::ClosedPort());
    s.SetAddr(std::string(256, 'a'));
    s.SetPort("25");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: Host name too long for socks server");
    s.SetAddr(std::string(255, 'a'));
    s.SocksAuthentication = socksAuthenticateUsercode;
    s.SocksPassword = std::string(256, 'p');
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: Socks user code or password too long");
    s.SetSocksLevel("4A");
    s.SocksUsercode = std::string("jo\0e", 4);
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: Zero byte in socks user code or host name");
    s.SocksUsercode = "joe";
    s.SetProto("udp");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }),
              "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }), "Listening is not supported thru socks server");
    // The core's own checks come first.
    s.SetProto("tcp");
    s.SetPort("");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_TRUE(r.log.empty());
}

TEST_F(WSocketTest, SocksLeavesTheLookupToTheProxyWhenAsked) {
    TWSocket s;
    std::vector<std::string> done;
    s.OnDnsLookupDone = [&](TObject *, std::uint16_t e) { done.push_back(std::to_string(e)); };
    s.SetSocksServer("127.0.0.1");
    s.SocksRemoteLookup = true;
    s.DnsLookup("mail.invalid");
    EXPECT_EQ(done, std::vector<std::string>{"0"}); // inside the call
    EXPECT_EQ(s.DnsResult(), "mail.invalid");
    // Level 4 carries an address: the name is looked up here.
    done.clear();
    s.SetSocksLevel("4");
    s.DnsLookup("localhost");
    EXPECT_TRUE(done.empty());
    ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }));
    EXPECT_EQ(done, std::vector<std::string>{"0"});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
}

TEST_F(WSocketTest, SocksProxyNotReachableIsAFailedConnect) {
    TWSocket s;
    test::Recorder r;
    r.Attach(s);
    int socksConnected = -1;
    s.OnSocksConnected = [&](TObject *, std::uint16_t e) { socksConnected = e; };
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(test::ClosedPort());
    s.SetAddr("127.0.0.1");
    s.SetPort("25");
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }));
    EXPECT_EQ(socksConnected, 10061);
    EXPECT_EQ(r.log,
              (std::vector<std::string>{"state opened", "state connecting", "state connected",
                                        "connected 10061", "state closed", "closed 0"}));
}

TEST_F(WSocketTest, ProxyConnectThatFailsLeavesNothingForADirectOne) {
    test::RawListener target;
    TWSocket s;
    s.SetSocksServer(std::string(300, 'p')); // refused without a lookup
    s.SetSocksPort("1080");
    s.SetAddr("127.0.0.1");
    s.SetPort(target.Port());
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }).rfind("connect: WSocketResolveHost", 0), 0u);
    s.SetSocksServer("");
    bool connected = false;
    s.OnSessionConnected = [&](TObject *, std::uint16_t e) { connected = e == 0; };
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    int peer = target.Accept();
    EXPECT_GE(peer, 0);
    s.Close();
    ::close(peer);
}

} // namespace
} // namespace pv
