// TWSocket against real sockets on 127.0.0.1: lookups, the client session
// sequence, closing and errors, the server side, UDP and the message-driven
// operations.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <poll.h>

#include "net/WSocket.h"
#include "tests/net/NetTest.h"
#include "tests/support/LoopGuard.h"

namespace pv {
namespace {

using test::PumpFor;
using test::PumpUntil;

const char *StateName(TSocketState s) {
    static const char *names[] = {"invalid",   "opened",    "bound",     "connecting", "socks",
                                  "connected", "accepting", "listening", "closed"};
    return names[s];
}

// Records every event of a socket as text, in order.
struct Recorder {
    std::vector<std::string> log;
    void Attach(TCustomWSocket &s) {
        s.OnChangeState = [this](TObject *, TSocketState, TSocketState n) {
            log.push_back(std::string("state ") + StateName(n));
        };
        s.OnSessionConnected = [this](TObject *, std::uint16_t e) {
            log.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            log.push_back("closed " + std::to_string(e));
        };
        s.OnDnsLookupDone = [this](TObject *, std::uint16_t e) {
            log.push_back("dns " + std::to_string(e));
        };
    }
    int Count(const std::string &entry) const {
        return static_cast<int>(std::count(log.begin(), log.end(), entry));
    }
    bool Has(const std::string &entry) const { return Count(entry) > 0; }
};

std::string ErrorOf(const std::function<void()> &f) {
    try {
        f();
    } catch (const ESocketException &e) {
        return e.Message();
    }
    return "(no exception)";
}

class WSocketTest : public ::testing::Test {
  protected:
    test::LoopGuard guard{20};

    // Connects s to the listener and returns the accepted peer descriptor.
    int ConnectTo(TWSocket &s, test::RawListener &l) {
        bool connected = false;
        auto previous = s.OnSessionConnected;
        s.OnSessionConnected = [&, previous](TObject *o, std::uint16_t e) {
            connected = true;
            if (previous)
                previous(o, e);
        };
        s.SetAddr("127.0.0.1");
        s.SetPort(l.Port());
        s.Connect();
        EXPECT_TRUE(PumpUntil([&] { return connected; }));
        s.OnSessionConnected = previous;
        return l.Accept();
    }
};

// --- lookups ---------------------------------------------------------------

TEST_F(WSocketTest, DottedLookupCompletesInsideTheCall) {
    TWSocket s;
    int calls = 0;
    std::uint16_t err = 99;
    s.OnDnsLookupDone = [&](TObject *, std::uint16_t e) {
        ++calls;
        err = e;
    };
    s.DnsLookup("127.000.0.01");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"127.0.0.1"});

    // All ones is no usable dotted answer: it takes the asynchronous road.
    calls = 0;
    s.DnsLookup("255.255.255.255");
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(PumpUntil([&] { return calls == 1; }));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(s.DnsResult(), "255.255.255.255");

    EXPECT_EQ(ErrorOf([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
    // With OnError the call goes on and reports WSAEINVAL.
    int errors = 0;
    s.OnError = [&](TObject *) { ++errors; };
    calls = 0;
    s.DnsLookup("");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(err, WSAEINVAL);
}

TEST_F(WSocketTest, HostsFileNameCompletesLaterExactlyOnce) {
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.DnsLookup("localhost");
    EXPECT_TRUE(r.log.empty()); // never inside the call
    EXPECT_TRUE(PumpUntil([&] { return r.Has("dns 0"); }));
    PumpFor(200);
    EXPECT_EQ(r.log, std::vector<std::string>{"dns 0"});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(WSAPendingAsyncRequests(), 0u);
}

TEST_F(WSocketTest, CancelledLookupReportsOnceAndDropsTheResult) {
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(r.log, std::vector<std::string>{"dns 10004"});
    s.CancelDnsLookup(); // nothing pending: nothing happens
    // The worker finishes meanwhile; its result must not surface.
    PumpFor(500);
    EXPECT_EQ(r.log, std::vector<std::string>{"dns 10004"});
    EXPECT_TRUE(s.DnsResult().empty());
    EXPECT_EQ(WSAPendingAsyncRequests(), 0u);

    // A socket destroyed with its lookup pending reports nothing.
    {
        TWSocket gone;
        gone.OnDnsLookupDone = [&](TObject *, std::uint16_t) { r.log.push_back("gone"); };
        gone.DnsLookup("localhost");
    }
    PumpFor(200);
    EXPECT_EQ(r.Count("gone"), 0);
    EXPECT_EQ(WSAPendingAsyncRequests(), 0u);

    // A new lookup started while an old one runs reports only itself.
    s.DnsLookup("localhost");
    s.DnsLookup("localhost");
    EXPECT_TRUE(PumpUntil([&] { return r.Count("dns 0") == 1; }));
    PumpFor(300);
    EXPECT_EQ(r.Count("dns 0"), 1);
}

TEST_F(WSocketTest, ReverseLookupOfLoopback) {
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.ReverseDnsLookup("127.0.0.1");
    EXPECT_TRUE(PumpUntil([&] { return !r.log.empty(); }));
    EXPECT_EQ(r.log, std::vector<std::string>{"dns 0"});
    EXPECT_FALSE(s.DnsResult().empty());
    EXPECT_EQ(ErrorOf([&] { s.ReverseDnsLookup(""); }), "ReverseDnsLookup: Invalid host name.");
}

// --- the client session ----------------------------------------------------

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
        pollfd reset{static_cast<int>(s.HSocket()), POLLIN, 0}; // the reset has arrived
        ASSERT_EQ(poll(&reset, 1, 10000), 1);
        std::string big(100000, 'q');
        s.Send(big.data(), static_cast<int>(big.size()));
        PumpUntil([&] { return s.State() == wsClosed; });
        PumpFor(100);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(r.Count("closed 10054"), 1);
        EXPECT_EQ(r.Count("closed 0"), 0);
    }
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

// --- server side, UDP ------------------------------------------------------

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

// --- message pumps and waits ------------------------------------------------

TEST_F(WSocketTest, PumpsStopAtTheirQuit) {
    TWSocket s;
    s.MultiThreaded = true;
    PostMessage(s.Handle(), WM_QUIT, 0, 0);
    s.MessageLoop();
    EXPECT_TRUE(s.Terminated());

    // A quit ends a pass of ProcessMessages; what follows it waits.
    int later = 0;
    HWND w = CreateWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == WM_USER)
            ++later;
        return 0;
    });
    PostMessage(s.Handle(), WM_QUIT, 0, 0);
    PostMessage(w, WM_USER, 0, 0);
    s.ProcessMessages();
    EXPECT_EQ(later, 0);
    s.ProcessMessages();
    EXPECT_EQ(later, 1);

    // The thread's own quit is left for the outer loop as well.
    PostQuitMessage(3);
    s.ProcessMessages();
    MSG msg;
    ASSERT_TRUE(PeekMessage(msg, true));
    EXPECT_EQ(msg.message, WM_QUIT);
    DestroyWindow(w);
}

TEST_F(WSocketTest, WaitUntilReadyEndsOnItsFlagOrAQuit) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    bool done = false;
    s.OnSessionClosed = [&](TObject *, std::uint16_t) { done = true; };
    EXPECT_EQ(s.RunAndWait(done, [&] { s.CloseDelayed(); }), 0);
    EXPECT_EQ(s.State(), wsClosed);
    // The application's pump hands a quit for the window to the window.
    bool never = false;
    EXPECT_EQ(s.RunAndWait(never, [&] { PostMessage(s.Handle(), WM_QUIT, 0, 0); }), 12001);
    ::close(peer);
}

// --- waiting operations ----------------------------------------------------

TEST_F(WSocketTest, FlushAndWaitForClose) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    const std::size_t size = 4 << 20;
    std::string received;
    std::atomic<bool> sending{false};
    // The peer reads everything, then closes its side: the socket's own
    // close is abortive and would cut off bytes still unread.
    std::thread reader([&] {
        sending.wait(false); // until the send is seen to be partial
        char buf[65536];
        while (received.size() < size) {
            ssize_t n = ::recv(peer, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            received.append(buf, static_cast<std::size_t>(n));
        }
        ::shutdown(peer, SHUT_WR);
    });
    std::string big(size, 'f');
    s.Send(big.data(), static_cast<int>(big.size()));
    EXPECT_FALSE(s.AllSent()); // more than the kernel takes at once
    sending = true;
    sending.notify_one();
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    std::string got;
    int closes = 0;
    s.OnDataAvailable = [&](TObject *, std::uint16_t) { got += s.ReceiveStr(); };
    s.OnSessionClosed = [&](TObject *, std::uint16_t) { ++closes; };
    s.WaitForClose();
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(s.State(), wsClosed);
    reader.join();
    EXPECT_EQ(received.size(), size);
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
