// Whole-file operations: existence, copy, delete, rename, directories and
// temporary files. Failing calls return false and leave the reason in the
// last error (FileErrors.h).
#pragma once

#include <string>

namespace pv {

bool FileExists(const std::string &path);      // exists and is not a directory
bool DirectoryExists(const std::string &path); // exists and is a directory

// Copies contents, mode bits and modification time through AtomicWriteFile:
// the target's name appears only with the whole copy, synced; a failed copy
// (full disk included) leaves the target as it was and no temporary file,
// with the reason in the last error. failIfExists never replaces a file
// (EEXIST), not even one that appears during the copy; otherwise a read-only
// target fails with EACCES. Without followLinks a source that is a symbolic
// link fails with ELOOP.
bool CopyFile(const std::string &source, const std::string &target, bool failIfExists,
              bool followLinks = true);
// Fails on directories, on read-only files (EACCES) and on files another open
// holds locked (ERROR_SHARING_VIOLATION), as deleting would on the design's
// platform.
bool DeleteFile(const std::string &path);
bool CreateDirectory(const std::string &path);
bool RemoveDirectory(const std::string &path);
bool RenameFile(const std::string &from, const std::string &to);

// Creates an empty file with a unique name in dir (default TempDirectory())
// via mkstemp, mode 0600; returns its path, "" on failure.
std::string CreateTempFile(const std::string &prefix = "pv", const std::string &dir = "");

} // namespace pv
