#include "platform/FileOperations.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/FileErrors.h"
#include "platform/Paths.h"

namespace pv {

bool FileExists(const std::string &path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string &path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

bool CopyData(int from, int to) {
    std::vector<char> buf(65536);
    for (;;) {
        ssize_t n = ::read(from, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FailWith(errno);
        if (n == 0)
            return true;
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(n)) {
            ssize_t w = ::write(to, buf.data() + done, static_cast<std::size_t>(n) - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return FailWith(w < 0 ? errno : ENOSPC);
            done += static_cast<std::size_t>(w);
        }
    }
}

bool CopyTimes(int to, const struct stat &src) {
    struct timespec times[2] = {src.st_atim, src.st_mtim};
    return futimens(to, times) == 0 ? true : FailWith(errno);
}

} // namespace

bool CopyFile(const std::string &source, const std::string &target, bool failIfExists,
              bool followLinks) {
    if (source.empty() || target.empty())
        return FailWith(ENOENT);
    int in =
        ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    if (in < 0)
        return FailWith(errno);
    struct stat src;
    const int e = fstat(in, &src) != 0   ? errno
                  : S_ISDIR(src.st_mode) ? EISDIR
                  : S_ISREG(src.st_mode) ? 0
                                         : EINVAL;
    if (e) {
        ::close(in);
        return FailWith(e);
    }
    fcntl(in, F_SETFL, fcntl(in, F_GETFL) & ~O_NONBLOCK);

    TAtomicWrite how;
    how.Mode = src.st_mode & 0777;
    how.KeepMode = false;
    how.FailIfExists = failIfExists;
    const bool ok = AtomicWriteFile(
        target, [&](int out) { return CopyData(in, out) && CopyTimes(out, src); }, how);
    ::close(in);
    return ok;
}

bool DeleteFile(const std::string &path) {
    struct stat st;
    if (path.empty())
        return FailWith(ENOENT);
    if (lstat(path.c_str(), &st) != 0)
        return FailWith(errno);
    if (S_ISDIR(st.st_mode))
        return FailWith(EISDIR);
    if (S_ISREG(st.st_mode)) {
        if (!(st.st_mode & S_IWUSR))
            return FailWith(EACCES);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0) {
            bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            ::close(fd);
            if (held)
                return FailWith(ERROR_SHARING_VIOLATION);
        }
    }
    if (::unlink(path.c_str()) != 0)
        return FailWith(errno);
    return true;
}

bool CreateDirectory(const std::string &path) {
    if (path.empty())
        return FailWith(ENOENT);
    return mkdir(path.c_str(), 0777) == 0 ? true : FailWith(errno);
}

bool RemoveDirectory(const std::string &path) {
    if (path.empty())
        return FailWith(ENOENT);
    return rmdir(path.c_str()) == 0 ? true : FailWith(errno);
}

bool RenameFile(const std::string &from, const std::string &to) {
    if (from.empty() || to.empty())
        return FailWith(ENOENT);
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return FailWith(errno);
    struct stat st;
    if (lstat(to.c_str(), &st) == 0)
        return FailWith(EEXIST);
    return rename(from.c_str(), to.c_str()) == 0 ? true : FailWith(errno);
}

std::string CreateTempFile(const std::string &prefix, const std::string &dir) {
    std::string d = dir.empty() ? TempDirectory() : dir;
    if (d.back() != '/')
        d += '/';
    std::string tmpl = d + prefix + "XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        FailWith(errno);
        return "";
    }
    ::close(fd);
    return name.data();
}

} // namespace pv
