// Line mode of TWSocket against a plain peer on 127.0.0.1: lines cut across
// reads, partial reads by the handler, the limit on unterminated bytes, the
// last line at close, switching the mode inside the handler, editing and
// echo, and handlers that do not read.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"
#include "tests/support/DialogScript.h"

namespace pv {
namespace {

using test::PumpFor;
using test::PumpUntil;
using test::WSocketTest;

class LineMode : public WSocketTest {
  protected:
    void SetUp() override {
        peer = ConnectTo(s, listener);
        ASSERT_GE(peer, 0);
        s.SetLineMode(true);
        s.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            log.push_back("closed " + std::to_string(e));
        };
    }
    void TearDown() override {
        s.OnDataAvailable = nullptr;
        s.Abort();
        ::close(peer);
    }
    // A handler that reads each line whole.
    void ReadLines() {
        s.OnDataAvailable = [this](TObject *, std::uint16_t) {
            log.push_back("line " + test::Escape(s.ReceiveStr()));
        };
    }

    // What the socket sent back.
    std::string Echoed(std::size_t n) {
        std::string data(n, '\0');
        const ssize_t got = ::recv(peer, data.data(), n, MSG_WAITALL);
        data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return data;
    }

    test::RawListener listener;
    TWSocket s;
    int peer = -1;
    std::vector<std::string> log;
};

TEST_F(LineMode, LinesCutAcrossReads) {
    ReadLines();
    test::SendAll(peer, "AB\r");
    ASSERT_TRUE(PumpUntil([&] { return s.HeldCount() == 3; }));
    EXPECT_TRUE(log.empty());
    test::SendAll(peer, "\nCD\r\nE");
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 2; }));
    EXPECT_EQ(log, (std::vector<std::string>{"line AB\\r\\n", "line CD\\r\\n"}));
    // Another terminator, and a terminator split inside it.
    s.LineEnd = "<END>";
    test::SendAll(peer, "FG<EN");
    ASSERT_TRUE(PumpUntil([&] { return s.HeldCount() == 6; }));
    test::SendAll(peer, "D>");
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 3; }));
    EXPECT_EQ(log.back(), "line EFG<END>");
}

TEST_F(LineMode, HandlerReadingPartOfALineIsCalledUntilItIsRead) {
    std::vector<int> counts;
    std::string got;
    s.OnDataAvailable = [&](TObject *, std::uint16_t) {
        counts.push_back(s.RcvdCount());
        char buf[3];
        const int n = s.Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    };
    test::SendAll(peer, "abcdefgh\r\nxy\r\n");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 14; }));
    EXPECT_EQ(got, "abcdefgh\r\nxy\r\n");
    EXPECT_EQ(counts, (std::vector<int>{10, 7, 4, 1, 4, 1}));
    EXPECT_EQ(s.ReadCount(), 14);
}

TEST_F(LineMode, UnterminatedBytesBeyondTheLimit) {
    ReadLines();
    std::vector<int> reported;
    bool keepOnce = true;
    s.OnLineLimitExceeded = [&](TObject *, int n, bool &clear) {
        reported.push_back(n);
        EXPECT_TRUE(clear);
        EXPECT_EQ(n, s.HeldCount());
        if (keepOnce)
            clear = false; // kept: the event comes again with the next bytes
        keepOnce = false;
    };
    test::SendAll(peer, std::string(70000, 'x'));
    ASSERT_TRUE(PumpUntil([&] { return !reported.empty(); }));
    EXPECT_GT(reported[0], 65536);
    EXPECT_LE(reported[0], 70000);
    PumpFor(50);
    if (s.HeldCount() > 0) { // the first event came before all had arrived
        test::SendAll(peer, "y");
        ASSERT_TRUE(PumpUntil([&] { return reported.size() == 2; }));
    }
    EXPECT_EQ(s.HeldCount(), 0);
    test::SendAll(peer, "after\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !log.empty(); }));
    EXPECT_EQ(log, std::vector<std::string>{"line after\\r\\n"});
    // Without a limit the bytes are held.
    s.LineLimit = 0;
    test::SendAll(peer, std::string(70000, 'z'));
    ASSERT_TRUE(PumpUntil([&] { return s.HeldCount() == 70000; }));
    EXPECT_EQ(reported.size(), keepOnce ? 1u : 2u);
}

TEST_F(LineMode, BytesWithoutTerminatorAreTheLastLineAtClose) {
    ReadLines();
    test::SendAll(peer, "one\r\nXYZ");
    ::shutdown(peer, SHUT_WR);
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 3; }));
    EXPECT_EQ(log, (std::vector<std::string>{"line one\\r\\n", "line XYZ", "closed 0"}));
    EXPECT_EQ(s.HeldCount(), 0);
}

TEST_F(LineMode, SwitchedOffInsideTheHandlerTheRestComesRawInOrder) {
    std::string got;
    int depth = 0, nested = 0, rawCalls = 0;
    s.OnDataAvailable = [&](TObject *, std::uint16_t) {
        if (++depth > 1)
            ++nested;
        if (s.LineMode()) {
            char buf[2];
            got.append(buf, static_cast<std::size_t>(s.Receive(buf, 2)));
            s.SetLineMode(false);
        } else {
            ++rawCalls;
            got += s.ReceiveStr();
        }
        --depth;
    };
    test::SendAll(peer, "abcdef\r\nghi\r\njkl");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 16; }));
    test::SendAll(peer, "mno");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 19; }));
    EXPECT_EQ(got, "abcdef\r\nghi\r\njklmno");
    EXPECT_EQ(nested, 0);
    EXPECT_GE(rawCalls, 1);
}

TEST_F(LineMode, SwitchedOnAgainTheHeldBytesAreLines) {
    s.OnDataAvailable = [&](TObject *, std::uint16_t) {
        if (s.LineMode()) {
            const std::string line = s.ReceiveStr();
            log.push_back("line " + test::Escape(line));
            if (line == "one\r\n")
                s.SetLineMode(false);
        } else {
            char buf[2];
            const int n = s.Receive(buf, 2);
            log.push_back("raw " + std::string(buf, static_cast<std::size_t>(n)));
            s.SetLineMode(true);
        }
    };
    test::SendAll(peer, "one\r\ntwo\r\nthree\r\n");
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 4; }));
    PumpFor(20);
    EXPECT_EQ(log, (std::vector<std::string>{"line one\\r\\n", "raw tw", "line o\\r\\n",
                                             "line three\\r\\n"}));
}

TEST_F(LineMode, EditingAndEcho) {
    s.LineEdit = true;
    s.LineEcho = true;
    ReadLines();
    test::SendAll(peer, "ab");
    ASSERT_TRUE(PumpUntil([&] { return s.HeldCount() == 2; }));
    // The backspace takes a character of the earlier read.
    test::SendAll(peer, "\bc\td\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !log.empty(); }));
    EXPECT_EQ(log, std::vector<std::string>{"line ac      d\\r\\n"});
    EXPECT_EQ(Echoed(15), "ab\b \bc      d\r\n");
    // Echo alone sends the bytes back as they came.
    s.LineEdit = false;
    test::SendAll(peer, "x\by\r\n");
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 2; }));
    EXPECT_EQ(log.back(), "line x\\x08y\\r\\n");
    EXPECT_EQ(Echoed(5), "x\by\r\n");
}

TEST_F(LineMode, HandlersThatDoNotRead) {
    // One that reads nothing is not called for ever: the line waits.
    int calls = 0;
    s.OnDataAvailable = [&](TObject *, std::uint16_t) { ++calls; };
    test::SendAll(peer, "first\r\n");
    ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
    PumpFor(50);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s.RcvdCount(), 7);
    // It is offered again with the next bytes.
    ReadLines();
    test::SendAll(peer, "second\r\n");
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 2; }));
    EXPECT_EQ(log, (std::vector<std::string>{"line first\\r\\n", "line second\\r\\n"}));
    // Without a handler lines are dropped, the last one at the close too.
    s.OnDataAvailable = nullptr;
    test::SendAll(peer, "dropped\r\nlast");
    ::shutdown(peer, SHUT_WR);
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 3; }));
    EXPECT_EQ(log.back(), "closed 0");
}

} // namespace
} // namespace pv
