#include "platform/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/FileErrors.h"
#include "platform/Paths.h"

namespace pv {

namespace {

constexpr std::size_t kPrefixLength = sizeof kAtomicTempPrefix - 1;

std::string DirectoryOf(const std::string &target) {
    std::string dir = ExtractFilePath(target);
    return dir.empty() ? "./" : dir;
}

// 0 or an errno value. File systems that cannot sync a directory say EINVAL.
int SyncDirectory(const std::string &dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES ? 0 : errno; // a directory we may write but not read
    int e = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    ::close(fd);
    return e;
}

// Gives tmp the target's name unless the name is taken; 0 or an errno value.
int RenameNoReplace(const char *tmp, const std::string &target) {
    if (renameat2(AT_FDCWD, tmp, AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // Where the file system lacks it, a hard link is just as exclusive.
    if (link(tmp, target.c_str()) == 0) {
        ::unlink(tmp);
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != EMLINK)
        return errno;
    struct stat st;
    if (lstat(target.c_str(), &st) == 0)
        return EEXIST;
    return rename(tmp, target.c_str()) == 0 ? 0 : errno;
}

bool WriteAll(int fd, const std::string &data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return FailWith(n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool AtomicWriteFile(const std::string &target, const TAtomicFill &fill, const TAtomicWrite &how) {
    if (target.empty())
        return FailWith(ENOENT);
    struct stat old;
    bool exists = false;
    if ((how.FailIfExists ? lstat(target.c_str(), &old) : stat(target.c_str(), &old)) == 0) {
        if (how.FailIfExists)
            return FailWith(EEXIST);
        if (S_ISDIR(old.st_mode))
            return FailWith(EISDIR);
        if (!(old.st_mode & S_IWUSR))
            return FailWith(EACCES);
        exists = true;
    } else if (errno != ENOENT) {
        return FailWith(errno);
    }

    const std::string dir = DirectoryOf(target);
    std::string tmpl = dir + kAtomicTempPrefix + "XXXXXX";
    std::vector<char> tmp(tmpl.begin(), tmpl.end());
    tmp.push_back('\0');
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return FailWith(errno);
    // Held until the file has its real name: RemoveAtomicLeftovers leaves it be.
    flock(fd, LOCK_EX | LOCK_NB);
    auto abandon = [&](int e) {
        ::close(fd);
        ::unlink(tmp.data());
        return FailWith(e ? e : EIO);
    };

    const bool keep = exists && how.KeepMode;
    if (keep && geteuid() == 0 && fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Ownership is kept where we may; the content matters more.
    }
    const mode_t mode = keep ? old.st_mode & 07777 : static_cast<mode_t>(how.Mode & 07777);
    if (fchmod(fd, mode) != 0)
        return abandon(errno);
    SetLastError(0);
    if (!fill(fd))
        return abandon(GetLastError());
    if (fsync(fd) != 0)
        return abandon(errno);

    if (how.FailIfExists) {
        if (int e = RenameNoReplace(tmp.data(), target))
            return abandon(e);
    } else if (rename(tmp.data(), target.c_str()) != 0) {
        return abandon(errno);
    }
    ::close(fd); // its errors were fsync's to report
    if (int e = SyncDirectory(dir)) {
        // A new file whose name may not survive a crash is not there yet.
        if (how.FailIfExists)
            ::unlink(target.c_str());
        return FailWith(e);
    }
    return true;
}

bool AtomicWriteFile(const std::string &target, const std::string &data, const TAtomicWrite &how) {
    return AtomicWriteFile(
        target, [&data](int fd) { return WriteAll(fd, data); }, how);
}

bool SyncDirectoryEntries(const std::string &dir) {
    const int e = SyncDirectory(dir.empty() ? "./" : dir);
    return e ? FailWith(e) : true;
}

bool IsAtomicTempName(const std::string &name) {
    if (name.size() != kPrefixLength + 6 || name.compare(0, kPrefixLength, kAtomicTempPrefix) != 0)
        return false;
    for (std::size_t i = kPrefixLength; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

int RemoveAtomicLeftovers(const std::string &dir) {
    const std::string base = dir.empty() ? "./" : dir;
    DIR *d = opendir(base.c_str());
    if (!d) {
        FailWith(errno);
        return -1;
    }
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (IsAtomicTempName(e->d_name))
            names.emplace_back(e->d_name);
    const int dfd = dirfd(d);
    int removed = 0;
    for (const std::string &name : names) {
        const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
        int fd = openat(dfd, name.c_str(), O_RDONLY | flags);
        if (fd < 0 && errno == EACCES)
            fd = openat(dfd, name.c_str(), O_WRONLY | flags);
        if (fd < 0)
            continue;
        struct stat held, now;
        // The lock tells a live writer's file apart; the second look makes sure
        // the name still means the file that was locked.
        if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(dfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == held.st_dev && now.st_ino == held.st_ino &&
            unlinkat(dfd, name.c_str(), 0) == 0)
            ++removed;
        ::close(fd);
    }
    closedir(d);
    return removed;
}

} // namespace pv
