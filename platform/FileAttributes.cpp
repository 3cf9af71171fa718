#include "platform/FileAttributes.h"

#include <cerrno>

#include "platform/ArchiveRecord.h"
#include "platform/FileErrors.h"
#include "platform/Paths.h"

namespace pv {

namespace {

bool StatPath(const std::string &path, struct stat &st) {
    if (path.empty())
        return FailWith(ENOENT);
    if (stat(path.c_str(), &st) != 0)
        return FailWith(errno);
    return true;
}

std::string LastComponent(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return ExtractFileName(p);
}

} // namespace

TFileStamp StampOf(const struct stat &st) {
    TFileStamp s;
    s.Size = st.st_size;
    s.MTimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

bool GetFileStamp(const std::string &path, TFileStamp &stamp) {
    struct stat st;
    if (!StatPath(path, st))
        return false;
    stamp = StampOf(st);
    return true;
}

std::uint32_t AttributesOf(const std::string &path, const std::string &name,
                           const struct stat &st) {
    std::uint32_t a = 0;
    if (S_ISDIR(st.st_mode))
        a |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(st.st_mode & S_IWUSR))
        a |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..")
        a |= FILE_ATTRIBUTE_HIDDEN;
    if (S_ISREG(st.st_mode) && !ArchiveRecordMatches(path, st))
        a |= FILE_ATTRIBUTE_ARCHIVE;
    return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

std::uint32_t GetFileAttributes(const std::string &path) {
    struct stat st;
    if (!StatPath(path, st))
        return INVALID_FILE_ATTRIBUTES;
    return AttributesOf(path, LastComponent(path), st);
}

bool SetFileAttributes(const std::string &path, std::uint32_t attributes) {
    struct stat st;
    if (!StatPath(path, st))
        return false;
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly != !(st.st_mode & S_IWUSR)) {
        mode_t m = st.st_mode & 07777;
        m = readOnly ? (m & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) : (m | S_IWUSR);
        if (chmod(path.c_str(), m) != 0)
            return FailWith(errno);
    }
    if (!S_ISREG(st.st_mode))
        return true;
    return (attributes & FILE_ATTRIBUTE_ARCHIVE) ? SetArchiveBit(path) : ClearArchiveBit(path);
}

bool ClearArchiveBit(const std::string &path) {
    struct stat st;
    if (!StatPath(path, st))
        return false;
    if (!S_ISREG(st.st_mode))
        return FailWith(EISDIR);
    return WriteArchiveRecord(path, st);
}

bool ClearArchiveBit(const std::string &path, const TFileStamp &stamp) {
    struct stat st;
    if (!StatPath(path, st))
        return false;
    if (!S_ISREG(st.st_mode))
        return FailWith(EISDIR);
    if (StampOf(st) != stamp)
        return true; // changed since: it is due again
    return WriteArchiveRecord(path, st);
}

bool SetArchiveBit(const std::string &path) {
    struct stat st;
    if (!StatPath(path, st))
        return false;
    if (!S_ISREG(st.st_mode))
        return true;
    return RemoveArchiveRecord(path, st);
}

} // namespace pv
