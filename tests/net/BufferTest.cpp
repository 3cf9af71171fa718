// The send buffer and the block arithmetic of the send queue.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/Buffer.h"
#include "net/WSocket.h"

namespace pv {
namespace {

std::vector<int> Fill(const TCustomWSocket &s) {
    std::vector<int> v;
    for (const auto &b : s.BufferList())
        v.push_back(b->WrCount());
    return v;
}

TEST(Buffer, WritePeekRemove) {
    TBuffer b(10);
    EXPECT_EQ(b.Peek().second, 0);
    EXPECT_EQ(b.Peek().first, nullptr);
    EXPECT_EQ(b.Write("abcdefgh", 8), 8);
    EXPECT_EQ(b.Write("XYZ", 3), 2); // only the free space
    EXPECT_EQ(b.Write("Q", 1), 0);
    EXPECT_EQ(b.Remove(3), 3);
    auto [p, n] = b.Peek();
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(n)), "defghXY");
    EXPECT_EQ(b.Remove(100), 7);
    // Drained: both counts back to 0, and the block fills from its start.
    EXPECT_EQ(b.WrCount(), 0);
    EXPECT_EQ(b.RdCount(), 0);
    EXPECT_EQ(b.Remove(1), 0);
    EXPECT_EQ(b.Write("0123456789", 10), 10);
}

TEST(Buffer, SizesAndResizeKeepData) {
    EXPECT_EQ(TBuffer(0).Size(), 1514);
    EXPECT_EQ(TBuffer(-5).Size(), 1514);
    TBuffer b(8);
    b.Write("abcdef", 6);
    b.Remove(2);
    b.SetSize(16);
    EXPECT_EQ(b.Size(), 16);
    auto [p, n] = b.Peek();
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(n)), "cdef");
    // Shrinking below the stored bytes keeps what fits, never more.
    b.SetSize(4);
    EXPECT_EQ(b.WrCount(), 4);
    auto [q, m] = b.Peek();
    EXPECT_EQ(std::string(q, static_cast<std::size_t>(m)), "cd");
}

TEST(SendQueue, BlockArithmetic) {
    TWSocket s;
    EXPECT_EQ(s.BufSize(), 1460);
    std::string data(3000, 'x');
    s.PutDataInSendBuffer(data.data(), 3000);
    EXPECT_EQ(Fill(s), (std::vector<int>{1460, 1460, 80}));
    s.PutDataInSendBuffer(data.data(), 0);
    s.PutDataInSendBuffer(data.data(), -1);
    EXPECT_EQ(Fill(s), (std::vector<int>{1460, 1460, 80}));

    // 1400 stored, part of it already sent: 100 more give 60 + 40.
    s.DeleteBufferedData();
    s.PutDataInSendBuffer(data.data(), 1400);
    s.BufferList().front()->Remove(900);
    s.PutDataInSendBuffer(data.data(), 100);
    EXPECT_EQ(Fill(s), (std::vector<int>{1460, 40}));
    EXPECT_EQ(s.BufferList().front()->Unsent(), 560);

    // A drained only block is reused from its start.
    s.DeleteBufferedData();
    s.PutDataInSendBuffer("abc", 3);
    s.BufferList().front()->Remove(3);
    s.PutDataInSendBuffer("defg", 4);
    ASSERT_EQ(s.BufferList().size(), 1u);
    auto [p, n] = s.BufferList().front()->Peek();
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(n)), "defg");
    EXPECT_EQ(s.BufferList().front()->RdCount(), 0);
}

} // namespace
} // namespace pv
