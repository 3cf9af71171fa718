// Keyed digests (RFC 2104) over MD5 and SHA-1; results are the raw digest
// bytes. A key longer than the 64-byte block is first replaced by its digest.
#pragma once

#include <string>
#include <string_view>

namespace pv {

std::string HmacMd5(std::string_view Text, std::string_view Key);  // 16 bytes
std::string HmacSha1(std::string_view Text, std::string_view Key); // 20 bytes

} // namespace pv
