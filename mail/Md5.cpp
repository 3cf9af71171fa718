#include "mail/Md5.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace pv {

namespace {

// The sine table of RFC 1321: T[i] = floor(2^32 * |sin(i + 1)|).
const std::array<std::uint32_t, 64> &SineTable() {
    static const std::array<std::uint32_t, 64> table = [] {
        std::array<std::uint32_t, 64> t{};
        for (int i = 0; i < 64; ++i)
            t[i] =
                static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
        return t;
    }();
    return table;
}

constexpr int Shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

} // namespace

void TMD5Context::Init() {
    State[0] = 0x67452301;
    State[1] = 0xefcdab89;
    State[2] = 0x98badcfe;
    State[3] = 0x10325476;
    BitCount = 0;
    BlockLen = 0;
    Finished = false;
    Digest.fill(0);
}

void TMD5Context::Transform(const std::uint8_t *Chunk) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t(Chunk[4 * i]) | std::uint32_t(Chunk[4 * i + 1]) << 8 |
               std::uint32_t(Chunk[4 * i + 2]) << 16 | std::uint32_t(Chunk[4 * i + 3]) << 24;
    const auto &t = SineTable();
    std::uint32_t a = State[0], b = State[1], c = State[2], d = State[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        std::uint32_t f;
        int k;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            k = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
            break;
        }
        const std::uint32_t next = b + std::rotl(a + f + x[k] + t[i], Shifts[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    State[0] += a;
    State[1] += b;
    State[2] += c;
    State[3] += d;
}

bool TMD5Context::Update(const void *Data, std::size_t Length) {
    if (Finished || (Data == nullptr && Length != 0))
        return false;
    auto *p = static_cast<const std::uint8_t *>(Data);
    BitCount += std::uint64_t(Length) * 8; // RFC 1321 keeps the length modulo 2^64
    while (Length > 0) {
        const std::size_t n = std::min(Length, sizeof Block - BlockLen);
        std::memcpy(Block + BlockLen, p, n);
        BlockLen += n;
        p += n;
        Length -= n;
        if (BlockLen == sizeof Block) {
            Transform(Block);
            BlockLen = 0;
        }
    }
    return true;
}

TMD5Context::TDigest TMD5Context::Final() {
    if (Finished)
        return Digest;
    const std::uint64_t bits = BitCount;
    std::uint8_t pad[72] = {0x80};
    const std::size_t padLen = BlockLen < 56 ? 56 - BlockLen : 120 - BlockLen;
    for (int i = 0; i < 8; ++i)
        pad[padLen + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    Update(pad, padLen + 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            Digest[4 * i + j] = static_cast<std::uint8_t>(State[i] >> (8 * j));
    Finished = true;
    return Digest;
}

std::string MD5Digest(std::string_view Text) {
    TMD5Context ctx;
    ctx.Update(Text);
    const auto d = ctx.Final();
    return std::string(d.begin(), d.end());
}

std::string MD5HexDigest(std::string_view Text) {
    return DigestToHex(MD5Digest(Text), true);
}

std::string DigestToHex(std::string_view Digest, bool UpperCase) {
    const char *digits = UpperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex;
    hex.reserve(Digest.size() * 2);
    for (unsigned char b : Digest) {
        hex += digits[b >> 4];
        hex += digits[b & 0x0f];
    }
    return hex;
}

} // namespace pv
