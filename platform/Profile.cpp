#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/AtomicFile.h"
#include "platform/FileErrors.h"
#include "platform/Text.h"

namespace pv {

namespace {

struct Line {
    std::size_t start = 0;     // offset in the file's bytes
    std::size_t length = 0;    // without the line end
    std::size_t endLength = 0; // "\n", "\r\n" or 0 on an unterminated last line
    enum Kind { Other, Section, Key } kind = Other;
    std::string name;  // section or key name, trimmed
    std::string value; // Key: blanks and one pair of quotes removed
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string TrimBlanks(const std::string &s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::vector<Line> SplitLines(const std::string &data) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < data.size()) {
        Line l;
        l.start = pos;
        std::size_t nl = data.find('\n', pos);
        std::size_t end = nl == std::string::npos ? data.size() : nl;
        std::size_t contentEnd = end;
        if (contentEnd > pos && data[contentEnd - 1] == '\r')
            --contentEnd;
        l.length = contentEnd - pos;
        l.endLength = nl == std::string::npos ? 0 : nl + 1 - contentEnd;
        pos = nl == std::string::npos ? data.size() : nl + 1;

        std::string t = TrimBlanks(data.substr(l.start, l.length));
        if (!t.empty() && t[0] == '[') {
            std::size_t close = t.find(']');
            l.kind = Line::Section;
            l.name =
                TrimBlanks(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        } else if (!t.empty() && t[0] != ';') {
            std::size_t eq = t.find('=');
            if (eq != std::string::npos) {
                l.kind = Line::Key;
                l.name = TrimBlanks(t.substr(0, eq));
                std::string v = TrimBlanks(t.substr(eq + 1));
                if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
                    v = v.substr(1, v.size() - 2);
                l.value = v;
            }
        }
        lines.push_back(std::move(l));
    }
    return lines;
}

// 0 on success, else an errno value. A missing file is ENOENT.
int ReadWhole(const std::string &path, std::string &data) {
    data.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return e;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            ::close(fd);
            return e;
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return 0;
}

// Index of the key's line: the first line of that key in any section of that
// name. -1 when absent. firstSection receives the first header of the name.
long FindKey(const std::vector<Line> &lines, const std::string &section, const std::string &key,
             long *firstSection = nullptr) {
    bool in = false;
    if (firstSection)
        *firstSection = -1;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line &l = lines[i];
        if (l.kind == Line::Section) {
            in = SameText(l.name, section);
            if (in && firstSection && *firstSection < 0)
                *firstSection = static_cast<long>(i);
        } else if (in && l.kind == Line::Key && SameText(l.name, key)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// The line end the file uses: that of its first line; CR LF for a new file
// or one without any.
std::string LineEndOf(const std::vector<Line> &lines) {
    for (const Line &l : lines)
        if (l.endLength > 0)
            return l.endLength == 2 ? "\r\n" : "\n";
    return "\r\n";
}

[[noreturn]] void Fail(const std::string &file, const std::string &reason) {
    throw EProfileError("Unable to write to " + file + ": " + reason);
}

bool HasLineBreakOrNul(const std::string &s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// A value reads back as written unless blanks around it, or a pair of quotes
// around it, would be taken off: such a value is stored in one more pair.
std::string StoredValue(const std::string &value) {
    if (value.empty())
        return value;
    const bool blanks = IsBlank(value.front()) || IsBlank(value.back());
    const bool quoted =
        value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0];
    return blanks || quoted ? "\"" + value + "\"" : value;
}

} // namespace

std::string GetPrivateProfileString(const std::string &section, const std::string &key,
                                    const std::string &def, const std::string &file) {
    std::string data;
    if (ReadWhole(file, data) != 0)
        return def;
    std::vector<Line> lines = SplitLines(data);
    // Names are compared as the file's are read: without surrounding blanks.
    long i = FindKey(lines, TrimBlanks(section), TrimBlanks(key));
    return i < 0 ? def : lines[static_cast<std::size_t>(i)].value;
}

int GetPrivateProfileInt(const std::string &section, const std::string &key, int def,
                         const std::string &file) {
    return StrToIntDef(GetPrivateProfileString(section, key, "", file), def);
}

std::vector<std::pair<std::string, std::string>>
GetPrivateProfileSection(const std::string &section, const std::string &file) {
    std::vector<std::pair<std::string, std::string>> result;
    std::string data;
    if (ReadWhole(file, data) != 0)
        return result;
    bool found = false, in = false;
    for (const Line &l : SplitLines(data)) {
        if (l.kind == Line::Section) {
            if (in)
                break;
            in = !found && SameText(l.name, TrimBlanks(section));
            found = found || in;
        } else if (in && l.kind == Line::Key) {
            bool dup = false;
            for (const auto &kv : result)
                dup = dup || SameText(kv.first, l.name);
            if (!dup)
                result.emplace_back(l.name, l.value);
        }
    }
    return result;
}

void WritePrivateProfileString(const std::string &sectionName, const std::string &keyName,
                               const std::string &value, const std::string &file) {
    const std::string section = TrimBlanks(sectionName), key = TrimBlanks(keyName);
    if (file.empty())
        throw EProfileError("Unable to write to an INI file without a name");
    if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value))
        Fail(file, "a name or value holds a line break");
    if (section.empty() || section.find(']') != std::string::npos || key.empty() ||
        key.find('=') != std::string::npos || key[0] == '[' || key[0] == ';')
        Fail(file, "invalid section or key name");

    // Write through a symbolic link to the file it names.
    std::string target = file;
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char *real = realpath(file.c_str(), nullptr);
        if (!real)
            Fail(file, std::strerror(errno));
        target = real;
        std::free(real);
    }

    std::string data;
    bool exists = false;
    if (stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            Fail(file, std::strerror(EISDIR));
        if (!S_ISREG(st.st_mode))
            Fail(file, "not a regular file");
        // Read-only means the owner may not write, for root too.
        if (!(st.st_mode & S_IWUSR) || access(target.c_str(), W_OK) != 0)
            Fail(file, std::strerror(EACCES));
        int e = ReadWhole(target, data);
        if (e != 0)
            Fail(file, std::strerror(e));
        exists = true;
    } else if (errno != ENOENT) {
        Fail(file, std::strerror(errno));
    }

    std::vector<Line> lines = SplitLines(data);
    const std::string eol = LineEndOf(lines);
    // An unterminated last line gets its end first, so that nothing written
    // after it can join it (a CR there is half of one).
    const std::string original = data;
    if (!data.empty() && data.back() != '\n') {
        data += data.back() == '\r' ? "\n" : eol;
        lines = SplitLines(data);
    }
    const std::string stored = StoredValue(value);
    long firstSection = -1;
    long at = FindKey(lines, section, key, &firstSection);
    std::string out;
    if (at >= 0) {
        // The replaced line keeps its own line end.
        const Line &l = lines[static_cast<std::size_t>(at)];
        out = data.substr(0, l.start);
        out += l.name + "=" + stored;
        out += l.endLength > 0 ? data.substr(l.start + l.length, l.endLength) : eol;
        out += data.substr(l.start + l.length + l.endLength);
    } else if (firstSection >= 0) {
        // After the section's last non-blank line, so blank separators stay.
        std::size_t last = static_cast<std::size_t>(firstSection);
        for (std::size_t i = last + 1; i < lines.size() && lines[i].kind != Line::Section; ++i)
            if (!TrimBlanks(data.substr(lines[i].start, lines[i].length)).empty())
                last = i;
        const Line &l = lines[last];
        std::size_t cut = l.start + l.length + l.endLength;
        out = data.substr(0, cut);
        if (l.endLength == 0)
            out += eol;
        out += key + "=" + stored + eol;
        out += data.substr(cut);
    } else {
        out = data;
        if (!out.empty() && out.back() != '\n')
            out += eol;
        out += "[" + section + "]" + eol + key + "=" + stored + eol;
    }
    if (exists && (out == original || out == data))
        return; // the value is stored already

    TAtomicWrite how; // a new file holds the scrambled password: 0600
    if (!AtomicWriteFile(target, out, how))
        Fail(file, LastErrorText());
}

} // namespace pv
