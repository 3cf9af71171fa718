// Opening a file with a sharing mode, and the stream the components read and
// write files through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Object.h"

namespace pv {

// Access (low bits) | sharing | creation.
constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmOpenReadWrite = 0x0002;
constexpr unsigned fmShareCompat = 0x0000; // like fmShareDenyWrite
constexpr unsigned fmShareExclusive = 0x0010;
constexpr unsigned fmShareDenyWrite = 0x0020;
constexpr unsigned fmShareDenyRead = 0x0030;
constexpr unsigned fmShareDenyNone = 0x0040;
constexpr unsigned fmCreate = 0x1000;    // create or truncate; implies read+write
constexpr unsigned fmCreateNew = 0x2000; // create, failing when it exists; implies read+write
constexpr unsigned fmNoFollow = 0x4000;  // a symbolic link as the last component fails (ELOOP)

// Sharing maps to flock: an open that writes and denies anything, or that is
// exclusive, takes LOCK_EX; a read that denies writers takes LOCK_SH;
// fmShareDenyNone takes no lock. A refused lock fails with
// ERROR_SHARING_VIOLATION. Writing to a read-only file (owner lacks write
// permission) fails with EACCES even for root. Returns a descriptor or -1.
int FileOpen(const std::string &path, unsigned mode);
void FileClose(int handle);

// Stream errors: "Cannot open file \"<path>\". <reason>",
// "Cannot create file \"<path>\". <reason>", read and write errors with the
// file name and reason.
class EFOpenError : public Exception {
  public:
    explicit EFOpenError(const std::string &m) : Exception(m) {}
    const char *ClassName() const override { return "EFOpenError"; }
};
class EFCreateError : public Exception {
  public:
    explicit EFCreateError(const std::string &m) : Exception(m) {}
    const char *ClassName() const override { return "EFCreateError"; }
};
class EReadError : public Exception {
  public:
    explicit EReadError(const std::string &m) : Exception(m) {}
    const char *ClassName() const override { return "EReadError"; }
};
class EWriteError : public Exception {
  public:
    explicit EWriteError(const std::string &m) : Exception(m) {}
    const char *ClassName() const override { return "EWriteError"; }
};

constexpr int soFromBeginning = 0;
constexpr int soFromCurrent = 1;
constexpr int soFromEnd = 2;

// A file opened with FileOpen's modes. Reads are buffered; every Write goes to
// the file at once (one write call per Write, retried on short writes).
class TFileStream : public TObject {
  public:
    // Throws EFOpenError (or EFCreateError with fmCreate/fmCreateNew).
    TFileStream(const std::string &path, unsigned mode);
    ~TFileStream() override;
    TFileStream(const TFileStream &) = delete;
    TFileStream &operator=(const TFileStream &) = delete;

    // Up to count bytes; 0 at the end. Throws EReadError.
    std::size_t Read(void *buffer, std::size_t count);
    // Reads exactly count bytes or throws EReadError.
    void ReadBuffer(void *buffer, std::size_t count);
    // Throws EWriteError (full disk included); nothing is kept back.
    void Write(const void *buffer, std::size_t count);
    void Write(const std::string &data) { Write(data.data(), data.size()); }

    std::int64_t Seek(std::int64_t offset, int origin);
    std::int64_t Position() const;
    std::int64_t Size() const;
    void SetSize(std::int64_t size);

    int Handle() const { return fd_; }
    const std::string &FileName() const { return path_; }

  private:
    void DropReadBuffer();

    std::string path_;
    int fd_ = -1;
    std::int64_t pos_ = 0; // logical position
    std::string rbuf_;     // bytes read ahead, starting at rbufPos_
    std::int64_t rbufPos_ = 0;
};

} // namespace pv
