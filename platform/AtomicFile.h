// Files that must never be seen half-written: the content goes to a temporary
// file beside the target, is synced and renamed into place, and the directory
// is synced after. A process killed on the way leaves at most a temporary
// file of one recognisable pattern, which RemoveAtomicLeftovers clears.
#pragma once

#include <functional>
#include <string>

namespace pv {

// Temporary files are named kAtomicTempPrefix followed by mkstemp's six
// letters or digits, in the target's directory.
inline constexpr char kAtomicTempPrefix[] = ".postvane-tmp-";

struct TAtomicWrite {
    // The mode of a new file, and of a replaced one when KeepMode is false.
    unsigned Mode = 0600;
    // A replaced file keeps its mode (and, for root, its owner and group).
    bool KeepMode = true;
    // Never replace: fails with EEXIST when the target exists, or appears
    // while the content is being written.
    bool FailIfExists = false;
};

// Writes the whole content into fd; false with the last error set.
using TAtomicFill = std::function<bool(int fd)>;

// Writes target whole or not at all. An existing target that is a directory
// fails with EISDIR, one that is read-only (the owner lacks write permission)
// with EACCES, whoever asks. On failure the result is false, the last error
// holds the errno value whose text (LastErrorText) is the reason, the target
// is as it was and no temporary file is left. Symbolic links are not
// followed: a link under the target's name is replaced.
bool AtomicWriteFile(const std::string &target, const TAtomicFill &fill,
                     const TAtomicWrite &how = {});
bool AtomicWriteFile(const std::string &target, const std::string &data,
                     const TAtomicWrite &how = {});

// Makes the entries of dir (a file created or removed in it) survive a crash.
// File systems that cannot sync a directory count as success.
bool SyncDirectoryEntries(const std::string &dir);

// True when name (without directory) has the temporary files' pattern.
bool IsAtomicTempName(const std::string &name);

// Removes from dir the temporary files that killed writers left behind:
// regular files of the pattern that no live writer holds (a writer keeps an
// exclusive flock on its temporary file until it has its real name). Returns
// how many were removed; -1 when dir cannot be read (last error set).
int RemoveAtomicLeftovers(const std::string &dir);

} // namespace pv
