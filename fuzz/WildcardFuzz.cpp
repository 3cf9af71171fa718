// The wildcard match of the poll-directory scan against a reference matcher
// written from its definition ('*' any run, '?' exactly one character,
// letters a-z without regard to case, an empty pattern matching every name),
// and the directory search's mask, which differs only for "*.*".
//
// Input: an options byte, then the pattern and the name separated by 0x1E.
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/DirectorySearch.h"

namespace pv::fuzz {
namespace {

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether the pattern from each position matches the name from each
// position, from the pattern's end backwards: the rest of the pattern after a
// '*' may start at the current name position, one later, and so on.
bool ReferenceMatch(const std::string &pattern, const std::string &name) {
    if (pattern.empty())
        return true;
    const std::size_t size = name.size();
    std::vector<char> next(size + 1, 0), row(size + 1, 0);
    next[size] = 1; // the end of the pattern matches only the end of the name
    for (std::size_t p = pattern.size(); p-- > 0;) {
        const char c = pattern[p];
        if (c == '*') {
            row[size] = next[size];
            for (std::size_t n = size; n-- > 0;)
                row[n] = next[n] || row[n + 1];
        } else {
            row[size] = 0;
            for (std::size_t n = 0; n < size; ++n)
                row[n] = (c == '?' || Upper(c) == Upper(name[n])) && next[n + 1];
        }
        std::swap(row, next);
    }
    return next[0];
}

} // namespace
} // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace pv::fuzz;
    const Input input(data, size);
    const std::string pattern = input.Piece(0), name = input.Piece(1);
    const bool expected = ReferenceMatch(pattern, name);
    Check(pv::MatchesWildcard(pattern, name) == expected, [&] {
        return "MatchesWildcard(" + Shown(pattern) + ", " + Shown(name) + ") is not " +
               (expected ? "true" : "false");
    });
    Check(pv::MatchesMask(pattern, name) == (expected || pattern == "*.*"),
          "MatchesMask differs from MatchesWildcard other than for *.*");
    return 0;
}
