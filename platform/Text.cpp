#include "platform/Text.h"

#include <iconv.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace pv {

std::string TrimLeft(const std::string &s) {
    std::size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ')
        ++i;
    return s.substr(i);
}

std::string TrimRight(const std::string &s) {
    std::size_t n = s.size();
    while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= ' ')
        --n;
    return s.substr(0, n);
}

std::string Trim(const std::string &s) {
    return TrimLeft(TrimRight(s));
}

std::string UpperCase(const std::string &s) {
    std::string r = s;
    for (char &c : r)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return r;
}

std::string LowerCase(const std::string &s) {
    std::string r = s;
    for (char &c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

bool SameText(const std::string &a, const std::string &b) {
    return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

std::string IntToStr(std::int64_t value) {
    return std::to_string(value);
}

namespace {

// Parses into a magnitude no larger than limit; false on anything else.
bool ParseInteger(const std::string &text, std::uint64_t negLimit, std::uint64_t posLimit,
                  bool &negative, std::uint64_t &magnitude) {
    std::string s = Trim(text);
    std::size_t i = 0;
    negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size())
        return false;
    const std::uint64_t limit = negative ? negLimit : posLimit;
    std::uint64_t v = 0;
    for (; i < s.size(); ++i) {
        int d;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        if (v > (limit - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base))
            return false;
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    magnitude = v;
    return true;
}

} // namespace

bool TryStrToInt(const std::string &s, int &value) {
    bool neg;
    std::uint64_t mag;
    if (!ParseInteger(s, static_cast<std::uint64_t>(INT_MAX) + 1, INT_MAX, neg, mag))
        return false;
    value = neg ? static_cast<int>(-static_cast<std::int64_t>(mag)) : static_cast<int>(mag);
    return true;
}

int StrToIntDef(const std::string &s, int def) {
    int v;
    return TryStrToInt(s, v) ? v : def;
}

std::int64_t StrToInt64Def(const std::string &s, std::int64_t def) {
    bool neg;
    std::uint64_t mag;
    if (!ParseInteger(s, static_cast<std::uint64_t>(INT64_MAX) + 1, INT64_MAX, neg, mag))
        return def;
    if (!neg)
        return static_cast<std::int64_t>(mag);
    return mag == static_cast<std::uint64_t>(INT64_MAX) + 1 ? INT64_MIN
                                                            : -static_cast<std::int64_t>(mag);
}

namespace {

std::string Convert(const std::string &s, const char *to, const char *from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return s;
    const bool fromUtf8 = std::strcmp(from, "UTF-8") == 0;
    std::string out;
    out.reserve(s.size() * 2);
    char *in = const_cast<char *>(s.data());
    std::size_t inLeft = s.size();
    char buf[1024];
    while (inLeft > 0) {
        char *o = buf;
        std::size_t oLeft = sizeof buf;
        std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, static_cast<std::size_t>(o - buf));
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // Unconvertible or broken input: one character becomes '?'.
            out.push_back('?');
            ++in;
            --inLeft;
            if (fromUtf8)
                while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
                    ++in;
                    --inLeft;
                }
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

} // namespace

std::string OemToSystem(const std::string &s) {
    return Convert(s, "UTF-8", "CP437");
}

std::string SystemToOem(const std::string &s) {
    return Convert(s, "CP437", "UTF-8");
}

} // namespace pv
