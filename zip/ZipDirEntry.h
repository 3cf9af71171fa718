// TZipDirEntry: one entry of an archive's central directory as read from
// the file: the fixed header exactly as stored, and its three variable parts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pv {

class TZipDirEntry {
  public:
    static constexpr std::size_t kHeaderSize = 46;
    static constexpr std::uint32_t kSignature = 0x02014B50;

    std::array<std::uint8_t, kHeaderSize> Header{};
    bool Encrypted = false;  // bit 0 of the flags
    std::string FileName;    // "/" given back as "\"; converted from OEM where stored so
    std::string ExtraField;  // raw bytes
    std::string FileComment; // converted from OEM where stored so

    // Fields of the stored header.
    std::uint16_t VersionMadeBy() const { return U16(4); }
    std::uint16_t Flags() const { return U16(8); }
    std::uint16_t CompressionMethod() const { return U16(10); }
    std::uint16_t DosTime() const { return U16(12); }
    std::uint16_t DosDate() const { return U16(14); }
    std::uint32_t Crc32() const { return U32(16); }
    std::uint32_t CompressedSize() const { return U32(20); }
    std::uint32_t UncompressedSize() const { return U32(24); }
    std::uint16_t FileNameLength() const { return U16(28); }
    std::uint16_t ExtraFieldLength() const { return U16(30); }
    std::uint16_t FileCommentLength() const { return U16(32); }
    std::uint16_t DiskNumberStart() const { return U16(34); }
    std::uint32_t ExternalAttributes() const { return U32(38); }
    std::uint32_t LocalHeaderOffset() const { return U32(42); }

    std::uint16_t U16(std::size_t at) const {
        return static_cast<std::uint16_t>(Header[at] | Header[at + 1] << 8);
    }
    std::uint32_t U32(std::size_t at) const {
        return static_cast<std::uint32_t>(U16(at)) | static_cast<std::uint32_t>(U16(at + 2)) << 16;
    }
};

} // namespace pv
