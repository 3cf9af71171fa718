// MD5 message digest (RFC 1321).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pv {

class TMD5Context {
  public:
    static constexpr std::size_t DigestSize = 16;
    using TDigest = std::array<std::uint8_t, DigestSize>;

    TMD5Context() { Init(); }
    void Init();
    // False (nothing added) once Final has been called; Init starts afresh.
    bool Update(const void *Data, std::size_t Length);
    bool Update(std::string_view Bytes) { return Update(Bytes.data(), Bytes.size()); }
    // Calling it again returns the same digest.
    TDigest Final();

  private:
    std::uint32_t State[4];
    std::uint64_t BitCount;
    std::uint8_t Block[64];
    std::size_t BlockLen;
    bool Finished;
    TDigest Digest;

    void Transform(const std::uint8_t *Chunk);
};

// The 16 digest bytes of the text.
std::string MD5Digest(std::string_view Text);
// The digest as 32 upper-case hexadecimal digits.
std::string MD5HexDigest(std::string_view Text);
// Two hexadecimal digits per byte, high nibble first.
std::string DigestToHex(std::string_view Digest, bool UpperCase);

} // namespace pv
