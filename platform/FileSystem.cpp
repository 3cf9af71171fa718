#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Text.h"

namespace pv {

// ---- program location and path pieces ----

std::string ExeName() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string AppDir() {
    std::string dir = ExtractFilePath(ExeName());
    return dir.empty() ? "./" : dir;
}

std::string ExtractFilePath(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFileExt(const std::string &path) {
    std::string name = ExtractFileName(path);
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : name.substr(dot);
}

std::string ChangeFileExt(const std::string &path, const std::string &ext) {
    std::size_t nameStart = path.size() - ExtractFileName(path).size();
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart)
        return path + ext;
    return path.substr(0, dot) + ext;
}

// ---- errors ----

namespace {
thread_local int tLastError = 0;

bool Fail(int code) {
    tLastError = code;
    return false;
}
} // namespace

int GetLastError() {
    return tLastError;
}
void SetLastError(int code) {
    tLastError = code;
}

std::string SysErrorMessage(int code) {
    if (code == ERROR_SHARING_VIOLATION)
        return "The process cannot access the file because it is being used by another process.";
    char buf[256];
    // GNU strerror_r returns the text, possibly not in buf.
    return strerror_r(code, buf, sizeof buf);
}

std::string LastErrorText() {
    return SysErrorMessage(tLastError);
}

// ---- archive records ----

namespace {

constexpr const char *kArchiveXattr = "user.postvane.archived";

std::string gStateFile;
bool gForceStateFile = false;

std::string StateFile() {
    return gStateFile.empty() ? AppDir() + "archive.state" : gStateFile;
}

std::int64_t MTimeNs(const struct stat &st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::string RecordText(std::int64_t size, std::int64_t mtimeNs) {
    return std::to_string(size) + ":" + std::to_string(mtimeNs);
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
        return !create && errno == ENOENT ? true : Fail(errno);
    flock(fd, LOCK_EX);
    std::string data;
    if (!ReadFd(fd, data)) {
        int e = errno;
        ::close(fd);
        return Fail(e);
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
    return ok ? true : Fail(e);
}

bool NoUserXattrs(int e) {
    return e == ENOTSUP || e == EOPNOTSUPP || e == EPERM || e == EACCES || e == EROFS;
}

bool ArchiveBitSet(const std::string &path, const struct stat &st) {
    if (!S_ISREG(st.st_mode))
        return false;
    const std::string current = RecordText(st.st_size, MTimeNs(st));
    if (!gForceStateFile) {
        char buf[128];
        ssize_t n = getxattr(path.c_str(), kArchiveXattr, buf, sizeof buf);
        if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == current)
            return false;
    }
    return StateLookup(path, st) != current;
}

bool WriteRecord(const std::string &path, const struct stat &st) {
    const std::string record = RecordText(st.st_size, MTimeNs(st));
    if (!gForceStateFile) {
        if (setxattr(path.c_str(), kArchiveXattr, record.data(), record.size(), 0) == 0) {
            StateUpdate(path, st, "", false); // a stale fallback record must not linger
            return true;
        }
        if (!NoUserXattrs(errno))
            return Fail(errno);
    }
    return StateUpdate(path, st, record, true);
}

bool StatPath(const std::string &path, struct stat &st) {
    if (path.empty())
        return Fail(ENOENT);
    if (stat(path.c_str(), &st) != 0)
        return Fail(errno);
    return true;
}

std::string LastComponent(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return ExtractFileName(p);
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
    if (ArchiveBitSet(path, st))
        a |= FILE_ATTRIBUTE_ARCHIVE;
    return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

} // namespace

void SetArchiveStateFile(const std::string &path, bool forceStateFile) {
    gStateFile = path;
    gForceStateFile = forceStateFile;
}

bool GetFileStamp(const std::string &path, TFileStamp &stamp) {
    struct stat st;
    if (!StatPath(path, st))
        return false;
    stamp.Size = st.st_size;
    stamp.MTimeNs = MTimeNs(st);
    return true;
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
            return Fail(errno);
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
        return Fail(EISDIR);
    return WriteRecord(path, st);
}

bool ClearArchiveBit(const std::string &path, const TFileStamp &stamp) {
    struct stat st;
    if (!StatPath(path, st))
        return false;
    if (!S_ISREG(st.st_mode))
        return Fail(EISDIR);
    if (st.st_size != stamp.Size || MTimeNs(st) != stamp.MTimeNs)
        return true; // changed since: it is due again
    return WriteRecord(path, st);
}

bool SetArchiveBit(const std::string &path) {
    struct stat st;
    if (!StatPath(path, st))
        return false;
    if (!S_ISREG(st.st_mode))
        return true;
    if (!gForceStateFile && removexattr(path.c_str(), kArchiveXattr) != 0 && errno != ENODATA &&
        !NoUserXattrs(errno))
        return Fail(errno);
    return StateUpdate(path, st, "", false);
}

// ---- directory search ----

bool MatchesMask(const std::string &pattern, const std::string &name) {
    return pattern == "*.*" || MatchesWildcard(pattern, name);
}

bool MatchesWildcard(const std::string &pattern, const std::string &name) {
    if (pattern.empty())
        return true;
    auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || up(pattern[p]) == up(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::vector<TSearchRec> FindFiles(const std::string &dir, const std::string &pattern, bool *ok) {
    std::vector<TSearchRec> out;
    if (ok)
        *ok = false;
    std::string base = dir.empty() ? "./" : dir;
    if (base.back() != '/')
        base += '/';
    DIR *d = opendir(base.c_str());
    if (!d) {
        Fail(errno);
        return out;
    }
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (!MatchesMask(pattern, name))
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        TSearchRec r;
        r.Name = name;
        r.Attr = AttributesOf(base + name, name, st);
        r.Size = st.st_size;
        r.MTimeNs = MTimeNs(st);
        out.push_back(std::move(r));
    }
    closedir(d);
    std::sort(out.begin(), out.end(),
              [](const TSearchRec &a, const TSearchRec &b) { return a.Name < b.Name; });
    if (ok)
        *ok = true;
    return out;
}

// ---- opening with a sharing mode ----

int FileOpen(const std::string &path, unsigned mode) {
    const unsigned access = mode & 0x3;
    const unsigned share = mode & 0xF0;
    const bool create = mode & (fmCreate | fmCreateNew);
    const bool writes = create || access != fmOpenRead;
    if (access == 0x3 ||
        (share != fmShareCompat && share != fmShareExclusive && share != fmShareDenyWrite &&
         share != fmShareDenyRead && share != fmShareDenyNone)) {
        Fail(EINVAL);
        return -1;
    }
    int flags = O_CLOEXEC | O_NONBLOCK; // a FIFO must not hang the open
    if (create)
        flags |= O_RDWR | O_CREAT | ((mode & fmCreateNew) ? O_EXCL : 0);
    else
        flags |= access == fmOpenRead ? O_RDONLY : access == fmOpenWrite ? O_WRONLY : O_RDWR;
    if (path.empty()) {
        Fail(ENOENT);
        return -1;
    }
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        Fail(errno);
        return -1;
    }
    auto bail = [&](int e) {
        ::close(fd);
        Fail(e);
        return -1;
    };
    struct stat st;
    if (fstat(fd, &st) != 0)
        return bail(errno);
    if (S_ISDIR(st.st_mode))
        return bail(EISDIR);
    if (writes && !(st.st_mode & S_IWUSR) && S_ISREG(st.st_mode))
        return bail(EACCES);
    int lock = 0;
    if (share == fmShareExclusive || share == fmShareDenyRead)
        lock = LOCK_EX;
    else if (share == fmShareDenyWrite || share == fmShareCompat)
        lock = writes ? LOCK_EX : LOCK_SH;
    if (lock && flock(fd, lock | LOCK_NB) != 0)
        return bail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : errno);
    // Truncate only once the lock is ours.
    if ((mode & fmCreate) && !(mode & fmCreateNew) && ftruncate(fd, 0) != 0)
        return bail(errno);
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

void FileClose(int handle) {
    if (handle >= 0)
        ::close(handle);
}

namespace {
constexpr std::size_t kReadAhead = 65536;
}

TFileStream::TFileStream(const std::string &path, unsigned mode) : path_(path) {
    fd_ = FileOpen(path, mode);
    if (fd_ < 0) {
        if (mode & (fmCreate | fmCreateNew))
            throw EFCreateError("Cannot create file \"" + path + "\". " + LastErrorText());
        throw EFOpenError("Cannot open file \"" + path + "\". " + LastErrorText());
    }
}

TFileStream::~TFileStream() {
    FileClose(fd_);
}

void TFileStream::DropReadBuffer() {
    rbuf_.clear();
    rbufPos_ = 0;
}

std::size_t TFileStream::Read(void *buffer, std::size_t count) {
    char *dst = static_cast<char *>(buffer);
    std::size_t total = 0;
    while (count > 0) {
        const std::int64_t bufEnd = rbufPos_ + static_cast<std::int64_t>(rbuf_.size());
        if (!rbuf_.empty() && pos_ >= rbufPos_ && pos_ < bufEnd) {
            std::size_t off = static_cast<std::size_t>(pos_ - rbufPos_);
            std::size_t n = std::min(count, rbuf_.size() - off);
            std::memcpy(dst, rbuf_.data() + off, n);
            dst += n;
            total += n;
            count -= n;
            pos_ += static_cast<std::int64_t>(n);
            continue;
        }
        const bool direct = count >= kReadAhead;
        char *into = dst;
        std::size_t want = count;
        if (!direct) {
            rbuf_.resize(kReadAhead);
            into = rbuf_.data();
            want = kReadAhead;
        }
        ssize_t n = pread(fd_, into, want, pos_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            DropReadBuffer();
            SetLastError(e);
            throw EReadError("Cannot read file \"" + path_ + "\". " + SysErrorMessage(e));
        }
        if (direct) {
            if (n == 0)
                break;
            dst += n;
            total += static_cast<std::size_t>(n);
            count -= static_cast<std::size_t>(n);
            pos_ += n;
        } else {
            rbuf_.resize(static_cast<std::size_t>(n));
            rbufPos_ = pos_;
            if (n == 0)
                break;
        }
    }
    return total;
}

void TFileStream::ReadBuffer(void *buffer, std::size_t count) {
    if (Read(buffer, count) != count)
        throw EReadError("Cannot read file \"" + path_ + "\". Unexpected end of file");
}

void TFileStream::Write(const void *buffer, std::size_t count) {
    DropReadBuffer();
    const char *src = static_cast<const char *>(buffer);
    while (count > 0) {
        ssize_t n = pwrite(fd_, src, count, pos_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int e = n < 0 ? errno : ENOSPC;
            SetLastError(e);
            throw EWriteError("Cannot write to file \"" + path_ + "\". " + SysErrorMessage(e));
        }
        src += n;
        count -= static_cast<std::size_t>(n);
        pos_ += n;
    }
}

std::int64_t TFileStream::Seek(std::int64_t offset, int origin) {
    std::int64_t base = origin == soFromCurrent ? pos_ : origin == soFromEnd ? Size() : 0;
    if (origin < soFromBeginning || origin > soFromEnd || base + offset < 0)
        return -1;
    pos_ = base + offset;
    return pos_;
}

std::int64_t TFileStream::Position() const {
    return pos_;
}

std::int64_t TFileStream::Size() const {
    struct stat st;
    return fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

void TFileStream::SetSize(std::int64_t size) {
    DropReadBuffer();
    if (ftruncate(fd_, size) != 0) {
        SetLastError(errno);
        throw EWriteError("Cannot write to file \"" + path_ + "\". " + LastErrorText());
    }
    if (pos_ > size)
        pos_ = size;
}

// ---- files and directories ----

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
            return Fail(errno);
        if (n == 0)
            return true;
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(n)) {
            ssize_t w = ::write(to, buf.data() + done, static_cast<std::size_t>(n) - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return Fail(w < 0 ? errno : ENOSPC);
            done += static_cast<std::size_t>(w);
        }
    }
}

bool FinishCopy(int to, const struct stat &src) {
    if (fchmod(to, src.st_mode & 0777) != 0)
        return Fail(errno);
    struct timespec times[2] = {src.st_atim, src.st_mtim};
    if (futimens(to, times) != 0)
        return Fail(errno);
    return true;
}

} // namespace

bool CopyFile(const std::string &source, const std::string &target, bool failIfExists) {
    if (source.empty() || target.empty())
        return Fail(ENOENT);
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0)
        return Fail(errno);
    struct stat src;
    if (fstat(in, &src) != 0 || !S_ISREG(src.st_mode)) {
        int e = S_ISDIR(src.st_mode) ? EISDIR : errno ? errno : EINVAL;
        ::close(in);
        return Fail(e);
    }
    fcntl(in, F_SETFL, fcntl(in, F_GETFL) & ~O_NONBLOCK);

    // Copies into out and closes both files; false with the error in e.
    auto Fill = [&](int out, int &e) {
        bool ok = CopyData(in, out) && FinishCopy(out, src);
        e = tLastError;
        if (::close(out) != 0 && ok) {
            ok = false;
            e = errno;
        }
        ::close(in);
        return ok;
    };

    if (failIfExists) {
        int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0) {
            int e = errno;
            ::close(in);
            return Fail(e);
        }
        int e = 0;
        bool ok = Fill(out, e);
        if (!ok) {
            ::unlink(target.c_str());
            return Fail(e);
        }
        return true;
    }

    struct stat dst;
    if (stat(target.c_str(), &dst) == 0) {
        int e = S_ISDIR(dst.st_mode) ? EISDIR : !(dst.st_mode & S_IWUSR) ? EACCES : 0;
        if (e) {
            ::close(in);
            return Fail(e);
        }
    }
    std::string dir = ExtractFilePath(target);
    std::string tmpl =
        (dir.empty() ? std::string("./") : dir) + "." + ExtractFileName(target) + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int out = mkstemp(name.data());
    if (out < 0) {
        int e = errno;
        ::close(in);
        return Fail(e);
    }
    int e = 0;
    bool ok = Fill(out, e);
    if (ok && rename(name.data(), target.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        ::unlink(name.data());
        return Fail(e);
    }
    return true;
}

bool DeleteFile(const std::string &path) {
    struct stat st;
    if (path.empty())
        return Fail(ENOENT);
    if (lstat(path.c_str(), &st) != 0)
        return Fail(errno);
    if (S_ISDIR(st.st_mode))
        return Fail(EISDIR);
    if (S_ISREG(st.st_mode)) {
        if (!(st.st_mode & S_IWUSR))
            return Fail(EACCES);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0) {
            bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            ::close(fd);
            if (held)
                return Fail(ERROR_SHARING_VIOLATION);
        }
    }
    if (::unlink(path.c_str()) != 0)
        return Fail(errno);
    return true;
}

bool CreateDirectory(const std::string &path) {
    if (path.empty())
        return Fail(ENOENT);
    return mkdir(path.c_str(), 0777) == 0 ? true : Fail(errno);
}

bool RemoveDirectory(const std::string &path) {
    if (path.empty())
        return Fail(ENOENT);
    return rmdir(path.c_str()) == 0 ? true : Fail(errno);
}

bool RenameFile(const std::string &from, const std::string &to) {
    if (from.empty() || to.empty())
        return Fail(ENOENT);
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return Fail(errno);
    struct stat st;
    if (lstat(to.c_str(), &st) == 0)
        return Fail(EEXIST);
    return rename(from.c_str(), to.c_str()) == 0 ? true : Fail(errno);
}

std::string TempDirectory() {
    const char *t = std::getenv("TMPDIR");
    std::string dir = (t && *t) ? t : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return dir;
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
        Fail(errno);
        return "";
    }
    ::close(fd);
    return name.data();
}

} // namespace pv
