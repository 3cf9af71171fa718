// Where the program lives and the pieces of a path. Paths use "/".
#pragma once

#include <string>

namespace pv {

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

// $TMPDIR if set and non-empty, else "/tmp"; with a trailing "/".
std::string TempDirectory();

} // namespace pv
