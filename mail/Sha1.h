// SHA-1 message digest (FIPS 180-1, RFC 3174).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pv {

enum TSha1Status { shaSuccess, shaNull, shaInputTooLong, shaStateError };

class TSha1Context {
  public:
    static constexpr std::size_t DigestSize = 20;
    using TDigest = std::array<std::uint8_t, DigestSize>;

    TSha1Context() { Reset(); }
    void Reset();
    // shaStateError once Result has been taken; shaNull for a null pointer
    // with a length; shaInputTooLong past 2^64 - 1 bits. Nothing is added then.
    TSha1Status Input(const void *Data, std::size_t Length);
    TSha1Status Input(std::string_view Bytes) { return Input(Bytes.data(), Bytes.size()); }
    // May be taken again; gives the same digest.
    TSha1Status Result(TDigest &Digest);

  private:
    std::uint32_t H[5];
    std::uint64_t BitCount;
    std::uint8_t Block[64];
    std::size_t BlockLen;
    bool Computed;
    bool TooLong;

    void ProcessBlock();
};

// The 20 digest bytes of the text.
std::string Sha1Digest(std::string_view Text);

} // namespace pv
