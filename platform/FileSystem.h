// Files and directories in the terms the components use: attributes with an
// emulated archive bit, directory search, opening with a sharing mode, copy,
// delete, create. Paths use "/". Failing calls leave an error code that
// GetLastError/LastErrorText report (errno values, plus
// ERROR_SHARING_VIOLATION), per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Object.h"

namespace pv {

// ---- program location and path pieces ----

// Full path of the running program (/proc/self/exe).
std::string ExeName();
// Directory of the running program, with a trailing "/".
std::string AppDir();
// Up to and including the last "/" (empty when there is none).
std::string ExtractFilePath(const std::string &path);
// After the last "/".
std::string ExtractFileName(const std::string &path);
// The extension of the name part including its dot, "" when there is none.
std::string ExtractFileExt(const std::string &path);
// path with its extension replaced by ext (which includes the dot, or is "").
std::string ChangeFileExt(const std::string &path, const std::string &ext);

// ---- errors ----

// Not an errno value: an open refused by another holder's lock.
constexpr int ERROR_SHARING_VIOLATION = 0x10020;

int GetLastError();
void SetLastError(int code);
// "The process cannot access the file because it is being used by another
// process." for ERROR_SHARING_VIOLATION, else strerror's text.
std::string SysErrorMessage(int code);
std::string LastErrorText(); // SysErrorMessage(GetLastError())

// ---- attributes ----

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

bool GetFileStamp(const std::string &path, TFileStamp &stamp);

// INVALID_FILE_ATTRIBUTES when the path does not exist (last error set).
// Symbolic links are followed. The archive bit of a regular file is set
// unless its record (extended attribute user.postvane.archived, or the state
// file where the file system has no user extended attributes) holds the
// file's current size and modification time; directories never carry it.
std::uint32_t GetFileAttributes(const std::string &path);
// Applies READONLY (owner write permission) and ARCHIVE; the others are
// ignored. FILE_ATTRIBUTE_NORMAL alone means writable and not archive.
bool SetFileAttributes(const std::string &path, std::uint32_t attributes);

// Clears the archive bit for the file as it is now.
bool ClearArchiveBit(const std::string &path);
// Clears it only for the file as it was: if the file has changed since stamp
// was taken, nothing is recorded and the bit stays set (returns true).
bool ClearArchiveBit(const std::string &path, const TFileStamp &stamp);
bool SetArchiveBit(const std::string &path);

// Where the archive records go when extended attributes cannot be used
// (default AppDir() + "archive.state"). forceStateFile skips extended
// attributes altogether (for tests).
void SetArchiveStateFile(const std::string &path, bool forceStateFile = false);

// ---- directory search ----

struct TSearchRec {
    std::string Name; // name only
    std::uint32_t Attr = 0;
    std::int64_t Size = 0;
    std::int64_t MTimeNs = 0;
};

// True when name matches pattern: '*' any run, '?' exactly one character,
// ASCII letters compared case-insensitively; "" matches every name.
bool MatchesWildcard(const std::string &pattern, const std::string &name);
// The directory search's mask: as MatchesWildcard, but "*.*" also matches
// names without a dot, as the search on the original platform did.
bool MatchesMask(const std::string &pattern, const std::string &name);

// The files of dir (with or without trailing "/") whose names match pattern,
// hidden ones included; directories, "." and ".." and anything that is not a
// regular file (after following links) left out. Sorted by name. An
// unreadable or missing directory gives an empty list and sets the last error
// (ok, when given, tells the two empties apart).
std::vector<TSearchRec> FindFiles(const std::string &dir, const std::string &pattern,
                                  bool *ok = nullptr);

// ---- opening with a sharing mode ----

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

// ---- files and directories ----

bool FileExists(const std::string &path);      // exists and is not a directory
bool DirectoryExists(const std::string &path); // exists and is a directory

// Copies contents, mode bits and modification time. failIfExists creates the
// target exclusively (fails with EEXIST); otherwise the target is replaced
// through a temporary file (a read-only target fails with EACCES). A failed
// copy (full disk included) leaves no partial target behind.
bool CopyFile(const std::string &source, const std::string &target, bool failIfExists);
// Fails on directories, on read-only files (EACCES) and on files another open
// holds locked (ERROR_SHARING_VIOLATION), as deleting would on the design's
// platform.
bool DeleteFile(const std::string &path);
bool CreateDirectory(const std::string &path);
bool RemoveDirectory(const std::string &path);
bool RenameFile(const std::string &from, const std::string &to);

// $TMPDIR if set and non-empty, else "/tmp"; with a trailing "/".
std::string TempDirectory();
// Creates an empty file with a unique name in dir (default TempDirectory())
// via mkstemp, mode 0600; returns its path, "" on failure.
std::string CreateTempFile(const std::string &prefix = "pv", const std::string &dir = "");

} // namespace pv
