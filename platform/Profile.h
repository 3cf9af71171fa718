// Profile (INI) files, read and written straight through on every call.
// Section and key names are case-insensitive, compared without surrounding
// blanks, and the first match wins. A value loses surrounding blanks/tabs and
// one pair of matching quotes ("..." or '...') around the whole of it, so a
// value that would lose them is written inside one more pair of double quotes
// and reads back as written. Lines starting with ';' are comments.
// Writing keeps every other line byte for byte and goes through
// AtomicWriteFile: a temporary file in the same directory, synced and renamed
// over the old one (mode kept; a new file gets mode 0600). Written lines end
// as the file's first line does (a replaced line keeps its own end), CR LF in
// a new file; LF alone is read too.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Object.h"

namespace pv {

// A write that failed; the message names the file.
class EProfileError : public Exception {
  public:
    explicit EProfileError(const std::string &message) : Exception(message) {}
    const char *ClassName() const override { return "EProfileError"; }
};

// A missing file, section or key, or an unreadable file, gives def.
std::string GetPrivateProfileString(const std::string &section, const std::string &key,
                                    const std::string &def, const std::string &file);

// The value as StrToIntDef reads it: decimal, or hexadecimal after "0x"/"$";
// missing or non-numeric gives def.
int GetPrivateProfileInt(const std::string &section, const std::string &key, int def,
                         const std::string &file);

// Every key of the section with its value, in file order (first section of
// that name; a key repeated within it is listed once, its first value).
std::vector<std::pair<std::string, std::string>>
GetPrivateProfileSection(const std::string &section, const std::string &file);

// Replaces the key's line in its section, appends a missing key at the end of
// the section, a missing section at the end of the file. Throws EProfileError
// (the file unchanged) when the file cannot be read or written (read-only file
// or directory, a directory in its place, full disk) or when a name or the
// value holds a line break or NUL, or a name would not read back ('=' in a
// key, ']' in a section, empty names).
void WritePrivateProfileString(const std::string &section, const std::string &key,
                               const std::string &value, const std::string &file);

} // namespace pv
