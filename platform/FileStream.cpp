#include "platform/FileStream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileErrors.h"

namespace pv {

int FileOpen(const std::string &path, unsigned mode) {
    const unsigned access = mode & 0x3;
    const unsigned share = mode & 0xF0;
    const bool create = mode & (fmCreate | fmCreateNew);
    const bool writes = create || access != fmOpenRead;
    if (access == 0x3 ||
        (share != fmShareCompat && share != fmShareExclusive && share != fmShareDenyWrite &&
         share != fmShareDenyRead && share != fmShareDenyNone)) {
        FailWith(EINVAL);
        return -1;
    }
    int flags = O_CLOEXEC | O_NONBLOCK; // a FIFO must not hang the open
    if (create)
        flags |= O_RDWR | O_CREAT | ((mode & fmCreateNew) ? O_EXCL : 0);
    else
        flags |= access == fmOpenRead ? O_RDONLY : access == fmOpenWrite ? O_WRONLY : O_RDWR;
    if (mode & fmNoFollow)
        flags |= O_NOFOLLOW;
    if (path.empty()) {
        FailWith(ENOENT);
        return -1;
    }
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        FailWith(errno);
        return -1;
    }
    auto bail = [&](int e) {
        ::close(fd);
        FailWith(e);
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

} // namespace pv
