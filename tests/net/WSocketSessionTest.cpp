// The client session of TWSocket against plain sockets on 127.0.0.1: the
// event sequence, refused connects, properties while open, resets, closing
// from the queue, background exceptions, pausing.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"

namespace pv {
namespace {

using test::ErrorOf;
using test::PumpFor;
using test::PumpUntil;
using test::Recorder;
using test::WSocketTest;

TEST_F(WSocketTest, ClientSessionRunsTheFullSequence) {
    test::RawListener l;
    TWSocket s;
    Recorder r;
    r.Attach(s);
    int peer = -1;
    std::string received;
    int sent = 0;
    s.OnDataAvailable = [&](TObject *, std::uint16_t) {
        char buf[256];
        int n = s.Receive(buf, sizeof buf);
        if (n > 0)
            received.append(buf, static_cast<std::size_t>(n));
    };
    s.OnDataSent = [&](TObject *, std::uint16_t) { ++sent; };
    s.DnsLookup("localhost");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns 0"); }));
    s.SetAddr(s.DnsResult());
    s.SetProto("tcp");
    s.SetPort(l.Port());
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected 0"); }));
    peer = l.Accept();
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), l.Port());
    EXPECT_EQ(s.GetXAddr(), "127.0.0.1");

    test::SendAll(peer, "220 hello\r\n");
    ASSERT_TRUE(PumpUntil([&] { return received == "220 hello\r\n"; }));
    sent = 0;
    EXPECT_EQ(s.SendStr("QUIT\r\n"), 6);
    ASSERT_TRUE(PumpUntil([&] { return sent == 1; }));
    char buf[16];
    EXPECT_EQ(::recv(peer, buf, sizeof buf, 0), 6);
    ::close(peer);
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }));
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(r.log, (std::vector<std::string>{"dns 0", "state opened", "state connecting",
                                               "state connected", "connected 0", "closed 0",
                                               "state closed"}));
    EXPECT_EQ(s.PeerAddr(), "error");
}

TEST_F(WSocketTest, RefusedConnectThenReconnectNeedsAddrAndPort) {
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(test::ClosedPort());
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    PumpFor(100);
    EXPECT_EQ(r.log,
              (std::vector<std::string>{"state opened", "state connecting", "state connected",
                                        "connected 10061", "state closed", "closed 0"}));
    // Closing forgets the endpoint, though the texts stay.
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort("1");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.SetPort("nosuchservice");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }),
              "connect: WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
    EXPECT_EQ(s.State(), wsClosed);

    // A handler that changes the state under Connect stops it.
    s.SetPort(test::ClosedPort());
    s.OnChangeState = [&](TObject *, TSocketState, TSocketState n) {
        if (n == wsOpened)
            s.Close();
    };
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }),
              "Error 10022 in function Connect (Invalid operation in OnChangeState)\r\n"
              "Invalid argument");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(WSocketTest, PropertiesRefuseChangesWhileOpen) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    EXPECT_NO_THROW(s.SetAddr(" 127.0.0.1 ")); // the same value is accepted
    EXPECT_EQ(ErrorOf([&] { s.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetLocalAddr("1.2.3.4"); }), "Cannot change LocalAddr if not closed");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: Socket already in use");
    EXPECT_EQ(ErrorOf([&] { s.SetSendFlags(2); }), "Invalid SendFlags");
    s.Close();
    ::close(peer);
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
}

TEST_F(WSocketTest, PeerResetIsReportedOnce) {
    test::RawListener l;
    {
        TWSocket s;
        Recorder r;
        r.Attach(s);
        int peer = ConnectTo(s, l);
        s.OnDataAvailable = [&](TObject *, std::uint16_t) {
            char buf[64];
            s.Receive(buf, sizeof buf);
        };
        test::ResetAndClose(peer);
        ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
        PumpFor(100);
        EXPECT_EQ(r.Count("closed 10054"), 1);
        EXPECT_EQ(r.Count("closed 0"), 0);
    }
    {
        // A send that meets the reset closes the socket and reports it.
        TWSocket s;
        Recorder r;
        r.Attach(s);
        int peer = ConnectTo(s, l);
        test::ResetAndClose(peer);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string big(100000, 'q');
        s.Send(big.data(), static_cast<int>(big.size()));
        PumpUntil([&] { return s.State() == wsClosed; });
        PumpFor(100);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(r.Count("closed 10054"), 1);
        EXPECT_EQ(r.Count("closed 0"), 0);
    }
}

TEST_F(WSocketTest, BackgroundExceptionAbortsUnlessKept) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    std::string text;
    bool keep = true;
    s.OnBgException = [&](TObject *, const std::exception &e, bool &canClose) {
        text = e.what();
        canClose = !keep;
    };
    s.PostTestException();
    ASSERT_TRUE(PumpUntil([&] { return !text.empty(); }));
    EXPECT_EQ(text, "Test exception in WSocket");
    EXPECT_EQ(s.State(), wsConnected);
    keep = false;
    text.clear();
    s.PostTestException();
    ASSERT_TRUE(PumpUntil([&] { return !text.empty(); }));
    EXPECT_EQ(s.State(), wsClosed);
    ::close(peer);
}

TEST_F(WSocketTest, CloseDelayedAndReleaseActFromTheQueue) {
    test::RawListener l;
    auto *s = new TWSocket;
    int peer = ConnectTo(*s, l);
    int closes = 0;
    s->OnSessionClosed = [&](TObject *, std::uint16_t) { ++closes; };
    s->CloseDelayed();
    EXPECT_EQ(s->State(), wsConnected);
    ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
    EXPECT_EQ(s->State(), wsClosed);
    std::size_t windows = LiveWindowCount();
    s->Release();
    EXPECT_EQ(LiveWindowCount(), windows);
    ASSERT_TRUE(PumpUntil([&] { return LiveWindowCount() == windows - 1; }));
    ::close(peer);
}

TEST_F(WSocketTest, PauseHoldsEventsUntilResume) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    std::string got;
    s.OnDataAvailable = [&](TObject *, std::uint16_t) {
        char buf[64];
        int n = s.Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    };
    s.Pause();
    test::SendAll(peer, "held");
    PumpFor(150);
    EXPECT_TRUE(got.empty());
    s.Resume();
    ASSERT_TRUE(PumpUntil([&] { return got == "held"; }));
    s.Close();
    ::close(peer);
}

} // namespace
} // namespace pv
