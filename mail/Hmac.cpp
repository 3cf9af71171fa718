#include "mail/Hmac.h"

#include "mail/Md5.h"
#include "mail/Sha1.h"

namespace pv {

namespace {

constexpr std::size_t BlockSize = 64;

template <typename DigestFn>
std::string Hmac(std::string_view Text, std::string_view Key, DigestFn Digest) {
    std::string key = Key.size() > BlockSize ? Digest(Key) : std::string(Key);
    key.resize(BlockSize, '\0');
    std::string inner(BlockSize, '\0'), outer(BlockSize, '\0');
    for (std::size_t i = 0; i < BlockSize; ++i) {
        inner[i] = static_cast<char>(key[i] ^ 0x36);
        outer[i] = static_cast<char>(key[i] ^ 0x5C);
    }
    inner.append(Text);
    outer += Digest(inner);
    return Digest(outer);
}

} // namespace

std::string HmacMd5(std::string_view Text, std::string_view Key) {
    return Hmac(Text, Key, MD5Digest);
}

std::string HmacSha1(std::string_view Text, std::string_view Key) {
    return Hmac(Text, Key, Sha1Digest);
}

} // namespace pv
