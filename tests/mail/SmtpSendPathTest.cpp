// The line pump of the Data request against a real server (aiosmtpd): lines
// leave a block at a time, yet the bytes stored are exactly the lines the
// events announced, in their order; the send queue stays below a block
// whatever the message's size; a nested loop or an abort inside an event
// cannot duplicate, reorder or continue lines.
#include <cstring>
#include <fstream>
#include <random>

#include "mail/MimeUtils.h"
#include "tests/mail/SmtpTestSupport.h"
#include "tests/support/LoopGuard.h"

namespace pv::test {
namespace {

constexpr std::size_t kBlock = 64 * 1024;

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

// The message as the server stores it, rebuilt from the OnDisplay lines of
// the Data request: "> " and the dot-stuffing taken off, CR LF after each.
std::string StoredFromDisplay(const std::vector<std::string> &display) {
    std::string stored;
    bool inData = false;
    for (const std::string &m : display) {
        if (m.rfind("< 354", 0) == 0) {
            inData = true;
            continue;
        }
        if (!inData || m.rfind("> ", 0) != 0)
            continue;
        if (m == "> .")
            break;
        std::string line = m.substr(2);
        // A buffer the events saw as one line may hold a header folded
        // over several; each line of it was stuffed on its own.
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = line.find("\r\n", start);
            std::string piece = line.substr(start, end - start);
            if (piece.rfind("..", 0) == 0)
                piece.erase(0, 1);
            stored += piece + "\r\n";
            if (end == std::string::npos)
                break;
            start = end + 2;
        }
    }
    return stored;
}

// The bytes still waiting in the client's send queue.
std::size_t Queued(TSmtpCli &client) {
    std::size_t n = 0;
    for (const auto &b : client.Socket().BufferList())
        n += static_cast<std::size_t>(b->Unsent());
    return n;
}

class SmtpSendPath : public ::testing::Test {
  protected:
    SmtpSendPath() {
        client.Host = "127.0.0.1";
        client.Allow8bitChars = false;
        client.FoldHeaders = true;
        client.WrapMessageText = true;
        client.FromName = "f@example.org";
        client.HdrFrom = "f@example.org";
        client.HdrTo = "r@example.org";
        client.RcptName = {"r@example.org"};
    }

    LoopGuard guard{60};
    TSmtpCli client;
    Recorder rec{client};
};

TEST_F(SmtpSendPath, AttachmentLinesAcrossFileAndSendBlocks) {
    RealSmtpPeer server;
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    client.Port = server.Port();
    client.MailMessage = {"Files."};
    // Sizes around a line, around the reader's block (1240 lines of 54
    // bytes) and over several send blocks.
    const std::size_t fileBlock = 54 * 1240;
    const std::vector<std::size_t> sizes = {
        0, 54, 55, fileBlock - 1, fileBlock, fileBlock + 1, 3 * fileBlock + 55, 500000};
    TempDir files;
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        contents.push_back(RandomBytes(sizes[i], static_cast<unsigned>(i) + 7));
        const std::string path = files / ("f" + std::to_string(i) + ".bin");
        std::ofstream(path, std::ios::binary) << contents.back();
        client.EmailFiles().push_back(path);
    }
    std::size_t maxQueued = 0;
    client.OnDisplay = [&](TObject *, const std::string &m) {
        rec.display.push_back(m);
        maxQueued = std::max(maxQueued, Queued(client));
    };

    SessionDriver session(client, rec, false);
    ASSERT_TRUE(session.Run(40000));
    EXPECT_TRUE(session.errors.empty()) << session.errors[0];
    const std::string stored = server.Message(1);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored, StoredFromDisplay(rec.display)) << "wire and OnDisplay differ";
    EXPECT_LT(maxQueued, kBlock);

    // Each part: 54 bytes a line, then one shorter line (empty when the
    // size is a multiple of 54), then the empty line before the boundary.
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE("file of " + std::to_string(sizes[i]) + " bytes");
        std::string expected;
        const std::string &data = contents[i];
        std::size_t at = 0;
        for (; data.size() - at >= 54; at += 54)
            expected += Base64EncodeText(data.substr(at, 54)) + "\r\n";
        expected += Base64EncodeText(data.substr(at)) + "\r\n\r\n--";
        const std::string head = "filename=\"f" + std::to_string(i) + ".bin\"\r\n\r\n";
        const std::size_t start = stored.find(head);
        ASSERT_NE(start, std::string::npos);
        EXPECT_EQ(stored.compare(start + head.size(), expected.size(), expected), 0);
    }
}

TEST_F(SmtpSendPath, HandlerLinesStayInOrderThroughNestedLoopsAndAbort) {
    RealSmtpPeer server;
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    client.Port = server.Port();
    // About 1.5 MB of lines of every length up to the buffer's, some with a
    // leading dot; numbered so a line out of place shows.
    constexpr int kLines = 3000;
    const auto lineText = [](int n) {
        std::string s = (n % 7 == 0 ? "." : "") + std::to_string(n) + ":";
        s.resize(static_cast<std::size_t>(n * 337 % 1000), static_cast<char>('a' + n % 26));
        return s;
    };
    std::vector<int> asked; // LineNum of every OnGetData
    std::size_t maxQueued = 0;
    client.OnGetData = [&](TObject *, int lineNum, char *buf, int maxLen, bool &more) {
        asked.push_back(lineNum);
        maxQueued = std::max(maxQueued, Queued(client));
        if (lineNum > kLines) {
            more = false;
            return;
        }
        const std::string s = lineText(lineNum);
        ASSERT_LE(s.size(), static_cast<std::size_t>(maxLen));
        std::memcpy(buf, s.c_str(), s.size() + 1);
    };
    // Now and then a nested loop inside the display handler, with the
    // socket's write event due in it; once, an abort in the middle of a block.
    int displayed = 0;
    int abortAt = 0;
    std::size_t askedBeforeAbort = 0;
    client.OnDisplay = [&](TObject *, const std::string &m) {
        rec.display.push_back(m);
        if (m.rfind("> ", 0) != 0 || ++displayed % 450 != 0)
            return;
        if (displayed == abortAt) {
            askedBeforeAbort = asked.size();
            client.Abort();
            return;
        }
        PostMessage(client.Socket().Handle(), WM_SOCKET_EVENT,
                    static_cast<WPARAM>(client.Socket().HSocket()),
                    WSAMAKESELECTREPLY(FD_WRITE, 0));
        RunLoopUntilIdle();
    };

    SessionDriver session(client, rec, false);
    ASSERT_TRUE(session.Run(40000));
    EXPECT_TRUE(session.errors.empty()) << session.errors[0];
    std::vector<int> expectedAsked(kLines + 1);
    for (int i = 0; i <= kLines; ++i)
        expectedAsked[i] = i + 1;
    EXPECT_EQ(asked, expectedAsked);
    EXPECT_LT(maxQueued, kBlock);
    const std::string stored = server.Message(1);
    EXPECT_EQ(stored, StoredFromDisplay(rec.display));
    std::string body;
    for (int n = 1; n <= kLines; ++n)
        body += lineText(n) + "\r\n";
    ASSERT_GE(stored.size(), body.size());
    EXPECT_EQ(stored.substr(stored.size() - body.size()), body);

    // Aborted inside a block: the request ends once, no line is asked for
    // afterwards and the server keeps nothing.
    rec.done.clear();
    rec.display.clear();
    asked.clear();
    displayed = 0;
    abortAt = 1350;
    SessionDriver aborted(client, rec, false);
    ASSERT_TRUE(aborted.Run(40000));
    RunLoopFor(200);
    ASSERT_EQ(rec.done.size(), 5u);
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpData, 10004}));
    EXPECT_EQ(displayed, abortAt) << "lines shown after the abort";
    ASSERT_GT(askedBeforeAbort, 2 * kBlock / 1000) << "not aborted after a few blocks";
    EXPECT_EQ(asked.size(), askedBeforeAbort);
    EXPECT_EQ(client.State(), smtpReady);
    EXPECT_EQ(server.Message(2), "");
}

} // namespace
} // namespace pv::test
