// File attributes in the terms the components use: read-only from the owner's
// write permission, hidden from a leading ".", and the emulated archive bit.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace pv {

constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x01; // owner lacks write permission
constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;   // name begins with "."
constexpr std::uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;   // never set
constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20; // emulated, see below
constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;  // a file with no other attribute
constexpr std::uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// Size and modification time: what the archive record remembers.
struct TFileStamp {
    std::int64_t Size = 0;
    std::int64_t MTimeNs = 0; // nanoseconds since the epoch
    friend bool operator==(const TFileStamp &, const TFileStamp &) = default;
};

TFileStamp StampOf(const struct stat &st);
bool GetFileStamp(const std::string &path, TFileStamp &stamp);

// INVALID_FILE_ATTRIBUTES when the path does not exist (last error set).
// Symbolic links are followed. The archive bit of a regular file is set
// unless its record (extended attribute user.postvane.archived, or the state
// file where the file system has no user extended attributes) holds the
// file's current size and modification time; directories never carry it.
std::uint32_t GetFileAttributes(const std::string &path);
// The same for a file already stat'ed; name is its last path component.
std::uint32_t AttributesOf(const std::string &path, const std::string &name, const struct stat &st);
// Applies READONLY (owner write permission) and ARCHIVE; the others are
// ignored. FILE_ATTRIBUTE_NORMAL alone means writable and not archive.
bool SetFileAttributes(const std::string &path, std::uint32_t attributes);

// Clears the archive bit for the file as it is now.
bool ClearArchiveBit(const std::string &path);
// Clears it only for the file as it was: if the file has changed since stamp
// was taken, nothing is recorded and the bit stays set (returns true).
bool ClearArchiveBit(const std::string &path, const TFileStamp &stamp);
bool SetArchiveBit(const std::string &path);

} // namespace pv
