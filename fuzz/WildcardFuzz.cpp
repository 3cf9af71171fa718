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

// Matches pattern[p..] against name[n..], each pair decided once.
class Reference {
  public:
    Reference(const std::string &pattern, const std::string &name)
        : pattern_(pattern), name_(name),
          memo_((pattern.size() + 1) * (name.size() + 1), kUnknown) {}

    bool Match() { return pattern_.empty() || At(0, 0); }

  private:
    static constexpr signed char kUnknown = -1;

    bool At(std::size_t p, std::size_t n) {
        signed char &m = memo_[p * (name_.size() + 1) + n];
        if (m == kUnknown)
            m = Decide(p, n);
        return m;
    }

    bool Decide(std::size_t p, std::size_t n) {
        if (p == pattern_.size())
            return n == name_.size();
        if (pattern_[p] == '*') {
            // The rest of the pattern from here, one position later, and so on.
            for (std::size_t k = n; k <= name_.size(); ++k)
                if (At(p + 1, k))
                    return true;
            return false;
        }
        if (n == name_.size())
            return false;
        if (pattern_[p] != '?' && Upper(pattern_[p]) != Upper(name_[n]))
            return false;
        return At(p + 1, n + 1);
    }

    const std::string &pattern_;
    const std::string &name_;
    std::vector<signed char> memo_;
};

} // namespace
} // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace pv::fuzz;
    const Input input(data, size);
    const std::string pattern = input.Piece(0), name = input.Piece(1);
    const bool expected = Reference(pattern, name).Match();
    Check(pv::MatchesWildcard(pattern, name) == expected, "MatchesWildcard(" + Shown(pattern) +
                                                              ", " + Shown(name) + ") is not " +
                                                              (expected ? "true" : "false"));
    Check(pv::MatchesMask(pattern, name) == (expected || pattern == "*.*"),
          "MatchesMask differs from MatchesWildcard other than for *.*");
    return 0;
}
