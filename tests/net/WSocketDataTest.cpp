// Data through TWSocket: sending and OnDataSent, receiving with and without
// a handler, data and close together, and a bulk transfer both ways.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"

namespace pv {
namespace {

using test::ErrorOf;
using test::PumpFor;
using test::PumpUntil;
using test::WSocketTest;

TEST_F(WSocketTest, SendWhenNotConnected) {
    TWSocket s;
    EXPECT_EQ(ErrorOf([&] { s.SendStr("x"); }),
              "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(s.LastError(), 10057);
    int errors = 0;
    s.OnError = [&](TObject *) { ++errors; };
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10057);
}

TEST_F(WSocketTest, DataSentIsPostedNeverInsideSend) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    PumpFor(50); // the first write event after the connect
    bool inSend = false;
    int sent = 0, sentInside = 0, bytesReported = 0;
    s.OnDataSent = [&](TObject *, std::uint16_t) {
        ++sent;
        if (inSend)
            ++sentInside;
    };
    s.OnSendData = [&](TObject *, int n) { bytesReported += n; };
    inSend = true;
    EXPECT_EQ(s.SendStr("hello"), 5);
    inSend = false;
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(bytesReported, 5);
    EXPECT_TRUE(s.AllSent());
    ASSERT_TRUE(PumpUntil([&] { return sent == 1; }));
    PumpFor(50);
    EXPECT_EQ(sent, 1);
    EXPECT_EQ(sentInside, 0);
    EXPECT_EQ(s.SendStr(""), 0);
    s.Close();
    ::close(peer);
}

TEST_F(WSocketTest, SendFromInsideOnSendDataSendsEachByteOnce) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    PumpFor(50);
    int more = 3;
    s.OnSendData = [&](TObject *, int) {
        if (more-- > 0)
            s.SendStr("+");
    };
    EXPECT_EQ(s.SendStr("abc"), 3);
    PumpFor(50);
    // Read before the close: the default linger makes it abortive.
    std::string got;
    char buf[64];
    for (ssize_t n; (n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(got, "abc+++");
    s.Close();
    ::close(peer);
}

TEST_F(WSocketTest, DataAndCloseTogetherDeliverEveryByteFirst) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    std::string payload;
    for (int i = 0; i < 100000; ++i)
        payload.push_back(static_cast<char>('a' + i % 26));
    test::SendAll(peer, payload);
    ::close(peer); // data and FIN are both waiting before anything is pumped

    std::string got;
    std::string atClose;
    int closes = 0;
    s.OnDataAvailable = [&](TObject *, std::uint16_t) {
        char buf[1000]; // several passes per event
        int n = s.Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    };
    s.OnSessionClosed = [&](TObject *, std::uint16_t e) {
        ++closes;
        atClose = got;
        EXPECT_EQ(e, 0);
    };
    ASSERT_TRUE(PumpUntil([&] { return closes > 0; }));
    PumpFor(100);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(atClose.size(), payload.size());
    EXPECT_TRUE(atClose == payload);
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(WSocketTest, UnreadDataIsDiscardedWithoutHandler) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    int closes = 0;
    s.OnSessionClosed = [&](TObject *, std::uint16_t) { ++closes; };
    test::SendAll(peer, std::string(5000, 'z'));
    PumpFor(150);
    EXPECT_EQ(s.RcvdCount(), 0); // read and dropped
    EXPECT_EQ(s.ReadCount(), 0); // but not counted as read
    ::close(peer);
    ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
}

TEST_F(WSocketTest, ExceptionInDataHandlerStopsOnlyThatDelivery) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    int bg = 0, calls = 0;
    std::string got;
    s.OnBgException = [&](TObject *, const std::exception &, bool &) { ++bg; };
    s.OnDataAvailable = [&](TObject *, std::uint16_t) {
        char c[8];
        int n = s.Receive(c, calls == 0 ? 1 : 8);
        if (n > 0)
            got.append(c, static_cast<std::size_t>(n));
        if (calls++ == 0)
            throw ESocketException("handler failed");
    };
    test::SendAll(peer, "abcdef");
    ASSERT_TRUE(PumpUntil([&] { return got == "abcdef"; }));
    EXPECT_GE(calls, 2);
    EXPECT_EQ(bg, 0);
    EXPECT_EQ(s.State(), wsConnected);
    test::SendAll(peer, "gh");
    ASSERT_TRUE(PumpUntil([&] { return got == "abcdefgh"; }));
    s.Close();
    ::close(peer);
}

// --- bulk transfer ---------------------------------------------------------

std::uint8_t PatternByte(std::uint64_t i, std::uint64_t seed) {
    std::uint64_t x = (i + seed) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<std::uint8_t>(x >> 17);
}

// One end of the transfer: sends its pattern in 64 KB pieces whenever the
// queue has emptied, and checks every byte that arrives against the peer's.
struct BulkEnd {
    TWSocket &sock;
    std::uint64_t sendSeed, recvSeed, total;
    std::uint64_t sent = 0, received = 0;
    bool corrupt = false;
    bool sawBacklog = false;
    int readSize;

    void SendMore() {
        if (sent >= total)
            return;
        char chunk[65536];
        int n = static_cast<int>(std::min<std::uint64_t>(sizeof chunk, total - sent));
        for (int i = 0; i < n; ++i)
            chunk[i] =
                static_cast<char>(PatternByte(sent + static_cast<std::uint64_t>(i), sendSeed));
        sent += static_cast<std::uint64_t>(sock.Send(chunk, n));
        if (!sock.AllSent())
            sawBacklog = true;
    }
    void Attach() {
        // Each event reads one piece only: the peer's sends then block.
        sock.ComponentOptions = {wsoNoReceiveLoop};
        sock.OnDataSent = [this](TObject *, std::uint16_t) { SendMore(); };
        sock.OnDataAvailable = [this](TObject *, std::uint16_t) {
            char buf[16384];
            int n = sock.Receive(buf, readSize);
            for (int i = 0; i < n; ++i)
                if (static_cast<std::uint8_t>(buf[i]) != PatternByte(received + i, recvSeed))
                    corrupt = true;
            if (n > 0)
                received += static_cast<std::uint64_t>(n);
        };
    }
};

TEST_F(WSocketTest, FiftyMegabytesBothWaysWithASlowReader) {
    const std::uint64_t total = 50ull << 20;
    TWSocket server, client;
    std::unique_ptr<TWSocket> conn;
    std::unique_ptr<BulkEnd> serverEnd;
    BulkEnd clientEnd{client, 1, 2, total, 0, 0, false, false, 16384};
    clientEnd.Attach();
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.OnSessionAvailable = [&](TObject *, std::uint16_t) {
        SOCKET h = server.Accept();
        conn = std::make_unique<TWSocket>();
        serverEnd.reset(new BulkEnd{*conn, 2, 1, total, 0, 0, false, false, 4096});
        serverEnd->Attach();
        conn->Dup(h); // its first write event starts the sending
    };
    server.Listen();
    client.SetAddr("127.0.0.1");
    client.SetPort(server.GetXPort());
    client.Connect(); // the first write event after the connect starts it
    ASSERT_TRUE(PumpUntil(
        [&] { return serverEnd && clientEnd.received == total && serverEnd->received == total; },
        60000));
    EXPECT_FALSE(clientEnd.corrupt);
    EXPECT_FALSE(serverEnd->corrupt);
    EXPECT_EQ(clientEnd.sent, total);
    EXPECT_EQ(serverEnd->sent, total);
    EXPECT_TRUE(clientEnd.sawBacklog);
    EXPECT_TRUE(serverEnd->sawBacklog);
    PumpFor(100);
    EXPECT_EQ(clientEnd.received, total); // nothing duplicated afterwards
    EXPECT_EQ(serverEnd->received, total);
    client.Close();
    conn->Close();
    server.Close();
}

} // namespace
} // namespace pv
