#include "platform/ArchiveRecord.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/FileAttributes.h"
#include "platform/FileErrors.h"
#include "platform/Paths.h"

namespace pv {

namespace {

constexpr const char *kArchiveXattr = "user.postvane.archived";

std::string gStateFile;
bool gForceStateFile = false;

std::string StateFile() {
    return gStateFile.empty() ? AppDir() + "archive.state" : gStateFile;
}

std::string RecordText(const struct stat &st) {
    const TFileStamp s = StampOf(st);
    return std::to_string(s.Size) + ":" + std::to_string(s.MTimeNs);
}

// The state file: one line per file, "dev ino birth size:mtime path", paths with
// '%' and line breaks escaped. Records of files that are gone are dropped on
// every rewrite.
struct StateRecord {
    unsigned long long dev = 0, ino = 0;
    long long birth = 0; // tells a new file on a reused inode apart
    std::string record;
    std::string path;
};

std::string EscapePath(const std::string &p) {
    std::string r;
    for (char c : p) {
        if (c == '%' || c == '\n' || c == '\r') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
            r += buf;
        } else {
            r += c;
        }
    }
    return r;
}

std::string UnescapePath(const std::string &p) {
    std::string r;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '%' && i + 2 < p.size()) {
            r += static_cast<char>(std::strtol(p.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            r += p[i];
        }
    }
    return r;
}

std::vector<StateRecord> ParseState(const std::string &data) {
    std::vector<StateRecord> out;
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t nl = data.find('\n', pos);
        std::string line = data.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? data.size() : nl + 1;
        StateRecord r;
        char rec[64];
        int used = 0;
        if (std::sscanf(line.c_str(), "%llu %llu %lld %63s %n", &r.dev, &r.ino, &r.birth, rec,
                        &used) >= 4 &&
            used > 0) {
            r.record = rec;
            r.path = UnescapePath(line.substr(static_cast<std::size_t>(used)));
            out.push_back(std::move(r));
        }
    }
    return out;
}

bool ReadFd(int fd, std::string &data) {
    data.clear();
    char buf[8192];
    off_t off = 0;
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, off);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        data.append(buf, static_cast<std::size_t>(n));
        off += n;
    }
}

// Creation time where the file system keeps one, else 0.
long long BirthNs(const std::string &path) {
    struct statx stx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &stx) != 0 || !(stx.stx_mask & STATX_BTIME))
        return 0;
    return static_cast<long long>(stx.stx_btime.tv_sec) * 1000000000 + stx.stx_btime.tv_nsec;
}

bool SameFile(const StateRecord &r, const struct stat &st, long long birth) {
    return r.dev == st.st_dev && r.ino == st.st_ino && r.birth == birth;
}

// The record of the file in the state file, "" when none (or no state file).
std::string StateLookup(const std::string &path, const struct stat &st) {
    int fd = ::open(StateFile().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    flock(fd, LOCK_SH);
    std::string data;
    bool ok = ReadFd(fd, data);
    ::close(fd);
    if (!ok)
        return "";
    const long long birth = BirthNs(path);
    for (const StateRecord &r : ParseState(data))
        if (SameFile(r, st, birth))
            return r.record;
    return "";
}

// Sets (record non-empty) or removes the file's record. create=false leaves a
// missing state file alone.
bool StateUpdate(const std::string &path, const struct stat &st, const std::string &record,
                 bool create) {
    int fd = ::open(StateFile().c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0)
        return !create && errno == ENOENT ? true : FailWith(errno);
    flock(fd, LOCK_EX);
    std::string data;
    if (!ReadFd(fd, data)) {
        int e = errno;
        ::close(fd);
        return FailWith(e);
    }
    std::string out;
    const long long birth = BirthNs(path);
    for (const StateRecord &r : ParseState(data)) {
        if (r.dev == st.st_dev && r.ino == st.st_ino)
            continue;
        struct stat other;
        if (stat(r.path.c_str(), &other) != 0 || !SameFile(r, other, BirthNs(r.path)))
            continue;
        out += std::to_string(r.dev) + " " + std::to_string(r.ino) + " " + std::to_string(r.birth) +
               " " + r.record + " " + EscapePath(r.path) + "\n";
    }
    if (!record.empty()) {
        char *real = realpath(path.c_str(), nullptr);
        std::string abs = real ? real : path;
        std::free(real);
        out += std::to_string(static_cast<unsigned long long>(st.st_dev)) + " " +
               std::to_string(static_cast<unsigned long long>(st.st_ino)) + " " +
               std::to_string(birth) + " " + record + " " + EscapePath(abs) + "\n";
    }
    bool ok = true;
    if (out != data) {
        ok = ftruncate(fd, 0) == 0;
        std::size_t done = 0;
        while (ok && done < out.size()) {
            ssize_t n = pwrite(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += static_cast<std::size_t>(n);
        }
    }
    int e = errno;
    ::close(fd);
    return ok ? true : FailWith(e);
}

bool NoUserXattrs(int e) {
    return e == ENOTSUP || e == EOPNOTSUPP || e == EPERM || e == EACCES || e == EROFS;
}

} // namespace

void SetArchiveStateFile(const std::string &path, bool forceStateFile) {
    gStateFile = path;
    gForceStateFile = forceStateFile;
}

bool ArchiveRecordMatches(const std::string &path, const struct stat &st) {
    const std::string current = RecordText(st);
    if (!gForceStateFile) {
        char buf[128];
        ssize_t n = getxattr(path.c_str(), kArchiveXattr, buf, sizeof buf);
        if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == current)
            return true;
    }
    return StateLookup(path, st) == current;
}

bool WriteArchiveRecord(const std::string &path, const struct stat &st) {
    const std::string record = RecordText(st);
    if (!gForceStateFile) {
        if (setxattr(path.c_str(), kArchiveXattr, record.data(), record.size(), 0) == 0) {
            StateUpdate(path, st, "", false); // a stale fallback record must not linger
            return true;
        }
        if (!NoUserXattrs(errno))
            return FailWith(errno);
    }
    return StateUpdate(path, st, record, true);
}

bool RemoveArchiveRecord(const std::string &path, const struct stat &st) {
    if (!gForceStateFile && removexattr(path.c_str(), kArchiveXattr) != 0 && errno != ENODATA &&
        !NoUserXattrs(errno))
        return FailWith(errno);
    return StateUpdate(path, st, "", false);
}

} // namespace pv
