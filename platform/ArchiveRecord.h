// The store behind the emulated archive bit: a file's record of its size and
// modification time when its bit was last cleared, kept in the extended
// attribute user.postvane.archived, or, where the file system has no user
// extended attributes, in a small state file.
#pragma once

#include <sys/stat.h>

#include <string>

namespace pv {

// Where the records go when extended attributes cannot be used (default
// AppDir() + "archive.state"). forceStateFile skips extended attributes
// altogether (for tests).
void SetArchiveStateFile(const std::string &path, bool forceStateFile = false);

// True when the record of the regular file at path (st its stat) matches the
// file as st shows it, i.e. its archive bit is clear.
bool ArchiveRecordMatches(const std::string &path, const struct stat &st);
// Records the file as st shows it. False with the last error set.
bool WriteArchiveRecord(const std::string &path, const struct stat &st);
// Drops the file's record, wherever it is kept. False with the last error set.
bool RemoveArchiveRecord(const std::string &path, const struct stat &st);

} // namespace pv
