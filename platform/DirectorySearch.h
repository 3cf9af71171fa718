// Directory search: the regular files of a directory whose names match a
// mask, hidden ones included.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pv {

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

} // namespace pv
