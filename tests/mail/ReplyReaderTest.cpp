// The reply reader shared by the line protocols, fed from a scripted byte
// source instead of a socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/ReplyReader.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/PeerProcess.h"

namespace pv::test {
namespace {

// What the socket would have: the chunks as they arrive, each read taking
// what fits.
struct Source {
    std::deque<std::string> chunks;
    int reads = 0;

    TReplyReader::TReceive Receive() {
        return [this](char *buffer, int length) {
            ++reads;
            if (chunks.empty())
                return 0;
            std::string &c = chunks.front();
            const int n = std::min<int>(length, static_cast<int>(c.size()));
            std::memcpy(buffer, c.data(), static_cast<std::size_t>(n));
            c.erase(0, static_cast<std::size_t>(n));
            if (c.empty())
                chunks.pop_front();
            return n;
        };
    }
};

struct Reader {
    explicit Reader(int cut = 0) : reader(4096, cut) {
        reader.OnLine = [this](const std::string &l) {
            lines.push_back(l);
            if (onLine)
                onLine(l);
        };
        reader.OnLineTooLong = [this] { ++tooLong; };
    }
    // The socket reports data as long as some waits.
    void Feed(const std::string &chunk) {
        source.chunks.push_back(chunk);
        for (int i = 0; i < 10 && !source.chunks.empty(); ++i)
            reader.DataAvailable(source.Receive());
    }

    Source source;
    TReplyReader reader;
    std::vector<std::string> lines;
    int tooLong = 0;
    std::function<void(const std::string &)> onLine;
};

TEST(ReplyReader, SplitsLinesAtCrLfAcrossReads) {
    LoopGuard guard;
    Reader r;
    r.Feed("220-one\r\n220 t");
    EXPECT_EQ(r.lines, std::vector<std::string>{"220-one"});
    EXPECT_EQ(r.reader.Held(), 5);
    r.Feed("wo\r");
    r.Feed("\n250 a\n250 b\r\r\n\r\n");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"220-one", "220 two", "250 a\n250 b\r", ""}));
    EXPECT_EQ(r.reader.Held(), 0);

    // A new session drops what the old one left.
    r.Feed("stale");
    const auto mark = r.reader.Session();
    r.reader.Reset();
    EXPECT_TRUE(r.reader.Ended(mark));
    r.Feed("220 fresh\r\n");
    EXPECT_EQ(r.lines.back(), "220 fresh");
}

TEST(ReplyReader, TooLongLinesFailOrAreCut) {
    LoopGuard guard;
    // Without a cut length a line and its CR LF must fit the area.
    Reader smtp;
    smtp.Feed(std::string(4094, 'a') + "\r\n");
    EXPECT_EQ(smtp.lines.size(), 1u);
    smtp.Feed(std::string(4095, 'b') + "\r\n");
    EXPECT_EQ(smtp.tooLong, 1);
    EXPECT_EQ(smtp.lines.size(), 1u);

    // With one, that many bytes without a line end are a line, and the rest
    // of the long line follows as the next.
    Reader pop3(4093);
    pop3.Feed(std::string(5000, 'c') + "\r\n+OK\r\n");
    EXPECT_EQ(pop3.tooLong, 0);
    ASSERT_EQ(pop3.lines.size(), 3u);
    EXPECT_EQ(pop3.lines[0], std::string(4093, 'c'));
    EXPECT_EQ(pop3.lines[1], std::string(907, 'c'));
    EXPECT_EQ(pop3.lines[2], "+OK");
}

TEST(ReplyReader, LinesArrivingInsideAHandlerWaitTheirTurn) {
    LoopGuard guard;
    Reader r;
    // The handler of the first line is still running (a nested loop) when
    // the socket reports more data, twice: the first read fills the area, the
    // second finds no room. Both wait, and the rest is read once the lines
    // before it have made room.
    const std::string big(4090, 'z');
    r.onLine = [&](const std::string &l) {
        if (l != "250-first")
            return;
        r.source.chunks.push_back(big + "\r\n250 last\r\n");
        r.reader.DataAvailable(r.source.Receive());
        r.reader.DataAvailable(r.source.Receive());
        EXPECT_EQ(r.lines.size(), 1u);
    };
    r.source.chunks.push_back("250-first\r\n");
    r.reader.DataAvailable(r.source.Receive()); // one event only
    EXPECT_EQ(r.lines, (std::vector<std::string>{"250-first", big, "250 last"}));
    EXPECT_EQ(r.reader.Held(), 0);
}

TEST(ReplyReader, AbortInsideAHandler) {
    LoopGuard guard;
    // Aborted while the first line is handled: the lines after it belong to
    // the session that ended and are dropped, and once the handler is back
    // the client is told so that it can return to its ready state.
    Reader r;
    int aborted = 0;
    r.reader.OnAborted = [&] { ++aborted; };
    r.onLine = [&](const std::string &l) {
        if (l == "220 hi")
            r.reader.Abort();
    };
    r.Feed("220 hi\r\n250 stale\r\n");
    EXPECT_EQ(r.lines, std::vector<std::string>{"220 hi"});
    EXPECT_EQ(aborted, 1);

    // Also when the handler leaves with an exception.
    r.onLine = [&](const std::string &) {
        r.reader.Abort();
        throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(r.Feed("x\r\n"), std::runtime_error);
    EXPECT_EQ(aborted, 2);

    // A session started after the abort (inside a nested loop) is not reported
    // as aborted, and its lines wait for the outer call.
    r.onLine = [&](const std::string &l) {
        if (l != "old")
            return;
        r.reader.Abort();
        r.reader.Reset();
        r.source.chunks.push_back("220 new\r\n");
        r.reader.DataAvailable(r.source.Receive());
    };
    r.Feed("old\r\nstale\r\n");
    EXPECT_EQ(aborted, 2);
    EXPECT_EQ(r.lines.back(), "220 new");
    EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), "stale"), 0);
}

TEST(ReplyReader, RequestDoneArrivesFromTheQueue) {
    LoopGuard guard;
    TReplyReader reader(4096, 0);
    std::vector<int> done;
    reader.OnRequestDone = [&](int code) { done.push_back(code); };
    reader.PostRequestDone(10004);
    reader.PostRequestDone(0);
    EXPECT_TRUE(done.empty());
    ASSERT_TRUE(RunLoopUntil([&] { return done.size() == 2; }, 2000));
    EXPECT_EQ(done, (std::vector<int>{10004, 0}));
}

} // namespace
} // namespace pv::test
