#include "mail/Sha1.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace pv {

void TSha1Context::Reset() {
    H[0] = 0x67452301;
    H[1] = 0xEFCDAB89;
    H[2] = 0x98BADCFE;
    H[3] = 0x10325476;
    H[4] = 0xC3D2E1F0;
    BitCount = 0;
    BlockLen = 0;
    Computed = false;
    TooLong = false;
}

void TSha1Context::ProcessBlock() {
    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = std::uint32_t(Block[4 * t]) << 24 | std::uint32_t(Block[4 * t + 1]) << 16 |
               std::uint32_t(Block[4 * t + 2]) << 8 | std::uint32_t(Block[4 * t + 3]);
    for (int t = 16; t < 80; ++t)
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    std::uint32_t a = H[0], b = H[1], c = H[2], d = H[3], e = H[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t temp = std::rotl(a, 5) + f + e + w[t] + k;
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = temp;
    }
    H[0] += a;
    H[1] += b;
    H[2] += c;
    H[3] += d;
    H[4] += e;
    BlockLen = 0;
}

TSha1Status TSha1Context::Input(const void *Data, std::size_t Length) {
    if (Length == 0)
        return Computed ? shaStateError : shaSuccess;
    if (Data == nullptr)
        return shaNull;
    if (Computed)
        return shaStateError;
    // The message length is a 64-bit count of bits.
    constexpr std::uint64_t maxBytes = UINT64_MAX / 8;
    if (TooLong || std::uint64_t(Length) > maxBytes - BitCount / 8) {
        TooLong = true;
        return shaInputTooLong;
    }
    BitCount += std::uint64_t(Length) * 8;
    auto *p = static_cast<const std::uint8_t *>(Data);
    while (Length > 0) {
        const std::size_t n = std::min(Length, sizeof Block - BlockLen);
        std::memcpy(Block + BlockLen, p, n);
        BlockLen += n;
        p += n;
        Length -= n;
        if (BlockLen == sizeof Block)
            ProcessBlock();
    }
    return shaSuccess;
}

TSha1Status TSha1Context::Result(TDigest &Digest) {
    if (TooLong)
        return shaInputTooLong;
    if (!Computed) {
        // Pad: a one bit, zeros, then the 64-bit big-endian bit count.
        Block[BlockLen++] = 0x80;
        if (BlockLen > 56) {
            std::memset(Block + BlockLen, 0, sizeof Block - BlockLen);
            ProcessBlock();
        }
        std::memset(Block + BlockLen, 0, 56 - BlockLen);
        for (int i = 0; i < 8; ++i)
            Block[56 + i] = static_cast<std::uint8_t>(BitCount >> (56 - 8 * i));
        ProcessBlock();
        Computed = true;
    }
    for (int i = 0; i < 20; ++i)
        Digest[i] = static_cast<std::uint8_t>(H[i / 4] >> (24 - 8 * (i % 4)));
    return shaSuccess;
}

std::string Sha1Digest(std::string_view Text) {
    TSha1Context ctx;
    TSha1Context::TDigest d{};
    ctx.Input(Text);
    ctx.Result(d);
    return std::string(d.begin(), d.end());
}

} // namespace pv
