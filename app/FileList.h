// The name matcher and the open test of the poll-directory scan.
#pragma once

#include <string>

namespace pv {

// '*' any run of characters, '?' exactly one; letters a-z compared without
// regard to case. An empty pattern matches every name; "*.*" needs a dot.
bool MatchWildcard(const std::string &pattern, const std::string &name);

// Opens the file for reading and closes it again: "" when that works, else
// the platform's text for the error. A symbolic link is not followed.
std::string CheckFileOpen(const std::string &path);

// True when group or others may write to the directory (like /tmp): there the
// scan selects only files of the user running the program.
bool OthersMayWrite(const std::string &dir);

} // namespace pv
