#include "platform/DirectorySearch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/FileAttributes.h"
#include "platform/FileErrors.h"

namespace pv {

bool MatchesMask(const std::string &pattern, const std::string &name) {
    return pattern == "*.*" || MatchesWildcard(pattern, name);
}

bool MatchesWildcard(const std::string &pattern, const std::string &name) {
    if (pattern.empty())
        return true;
    auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || up(pattern[p]) == up(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::vector<TSearchRec> FindFiles(const std::string &dir, const std::string &pattern, bool *ok) {
    std::vector<TSearchRec> out;
    if (ok)
        *ok = false;
    std::string base = dir.empty() ? "./" : dir;
    if (base.back() != '/')
        base += '/';
    DIR *d = opendir(base.c_str());
    if (!d) {
        FailWith(errno);
        return out;
    }
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (!MatchesMask(pattern, name))
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        TSearchRec r;
        r.Name = name;
        r.Attr = AttributesOf(base + name, name, st);
        r.Size = st.st_size;
        r.MTimeNs = StampOf(st).MTimeNs;
        out.push_back(std::move(r));
    }
    closedir(d);
    std::sort(out.begin(), out.end(),
              [](const TSearchRec &a, const TSearchRec &b) { return a.Name < b.Name; });
    if (ok)
        *ok = true;
    return out;
}

} // namespace pv
