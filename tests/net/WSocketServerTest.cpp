// The server side and UDP: a listening TWSocket accepting another, datagrams
// both ways, broadcast and multicast options.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"

namespace pv {
namespace {

using test::ErrorOf;
using test::PumpUntil;
using test::WSocketTest;

TEST_F(WSocketTest, ListeningSocketAcceptsAnotherTWSocket) {
    TWSocket server, client;
    std::unique_ptr<TWSocket> conn;
    std::string serverGot, clientGot;
    int serverClosed = 0;
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.OnSessionAvailable = [&](TObject *, std::uint16_t e) {
        EXPECT_EQ(e, 0);
        SOCKET h = server.Accept();
        conn = std::make_unique<TWSocket>();
        conn->OnDataAvailable = [&](TObject *, std::uint16_t) {
            serverGot += conn->ReceiveStr();
            if (serverGot == "ping\r\n")
                conn->SendStr("pong\r\n");
        };
        conn->OnSessionClosed = [&](TObject *, std::uint16_t) { ++serverClosed; };
        conn->Dup(h);
    };
    server.Listen();
    EXPECT_EQ(server.State(), wsListening);
    std::string port = server.GetXPort();
    ASSERT_NE(port, "error");
    EXPECT_NE(port, "0");

    client.OnDataAvailable = [&](TObject *, std::uint16_t) { clientGot += client.ReceiveStr(); };
    client.OnSessionConnected = [&](TObject *, std::uint16_t e) {
        EXPECT_EQ(e, 0);
        client.SendStr("ping\r\n");
    };
    client.SetAddr("localhost"); // resolved by Connect itself
    client.SetPort(port);
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return clientGot == "pong\r\n"; }));
    EXPECT_EQ(conn->State(), wsConnected);
    EXPECT_EQ(conn->PeerAddr(), "127.0.0.1");
    EXPECT_EQ(conn->PeerPort(), client.GetXPort());
    EXPECT_EQ(ErrorOf([&] { client.Accept(); }),
              "Error 10022 in function not a listening socket\r\nInvalid argument");
    client.Close();
    ASSERT_TRUE(PumpUntil([&] { return serverClosed == 1; }));
    server.Close();
    EXPECT_EQ(server.State(), wsClosed);
}

TEST_F(WSocketTest, UdpSendToAndReceiveFrom) {
    TWSocket server, client;
    std::string serverGot, clientGot;
    server.SetProto("udp");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.OnDataAvailable = [&](TObject *, std::uint16_t) {
        char buf[512];
        sockaddr_in from{};
        int len = sizeof from;
        int n = server.ReceiveFrom(buf, sizeof buf, from, len);
        if (n <= 0)
            return;
        serverGot.assign(buf, static_cast<std::size_t>(n));
        server.SendTo(from, len, "pong", 4);
    };
    server.Listen();
    EXPECT_EQ(server.State(), wsConnected);
    std::string port = server.GetXPort();

    client.SetProto("udp");
    client.SetAddr("127.0.0.1");
    client.SetPort(port);
    client.OnDataAvailable = [&](TObject *, std::uint16_t) { clientGot += client.ReceiveStr(); };
    client.Connect();
    EXPECT_EQ(client.State(), wsConnected);
    EXPECT_EQ(client.SendStr("ping"), 4);
    ASSERT_TRUE(PumpUntil([&] { return clientGot == "pong"; }));
    EXPECT_EQ(serverGot, "ping");
    client.Close();
    server.Close();
}

TEST_F(WSocketTest, UdpBroadcastAndMulticastOptions) {
    TWSocket s;
    s.SetProto("udp");
    s.SetAddr("255.255.255.255");
    s.SetPort("9");
    s.Connect();
    int on = 0, len = sizeof on;
    ASSERT_EQ(winsock::getsockopt(s.HSocket(), SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_EQ(on, 1);
    s.Close();

    s.SetProto("udp");
    s.SetAddr("239.1.2.3");
    s.SetPort("9");
    s.SetLocalAddr("127.0.0.1");
    s.MultiCast = true;
    s.MultiCastIpTTL = 4;
    s.Connect();
    int ttl = 0;
    len = sizeof ttl;
    ASSERT_EQ(winsock::getsockopt(s.HSocket(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len), 0);
    EXPECT_EQ(ttl, 4);
    in_addr iface{};
    len = sizeof iface;
    ASSERT_EQ(winsock::getsockopt(s.HSocket(), IPPROTO_IP, IP_MULTICAST_IF, &iface, &len), 0);
    EXPECT_EQ(iface.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_NE(s.LocalPort(), "0"); // the port actually bound
    s.Close();
}

} // namespace
} // namespace pv
