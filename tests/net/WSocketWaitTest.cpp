// The message pumps and waiting operations of TWSocket: quits, the
// synchronous wait, Flush and WaitForClose.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"

namespace pv {
namespace {

using test::WSocketTest;

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

TEST_F(WSocketTest, FlushAndWaitForClose) {
    test::RawListener l;
    TWSocket s;
    int peer = ConnectTo(s, l);
    const std::size_t size = 4 << 20;
    std::string received;
    // The peer reads everything, then closes its side: the socket's own
    // close is abortive and would cut off bytes still unread.
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
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

} // namespace
} // namespace pv
