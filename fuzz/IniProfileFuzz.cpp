// The profile reader and writer on arbitrary file content: every read
// survives; a write is refused only for a name or value the format cannot
// hold; a value written reads back as written; and no line of the file other
// than the key's changes (a missing key adds one line, a missing section its
// header and the key's line at the end).
//
// Input: an options byte, then pieces separated by 0x1E: the file content,
// the section, the key and the value.
#include <fstream>
#include <iterator>

#include "fuzz/FuzzSupport.h"
#include "platform/Profile.h"

namespace pv::fuzz {
namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// The file's lines without their ends ("\n", or "\r\n").
std::vector<std::string> Lines(const std::string &data) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t nl = data.find('\n', start);
        std::size_t end = nl == std::string::npos ? data.size() : nl;
        std::size_t content = end > start && data[end - 1] == '\r' ? end - 1 : end;
        lines.push_back(data.substr(start, content - start));
        start = nl == std::string::npos ? data.size() : nl + 1;
    }
    return lines;
}

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

std::string TrimBlanks(const std::string &s) {
    std::size_t b = 0, e = s.size();
    while (b < e && Blank(s[b]))
        ++b;
    while (e > b && Blank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// What the format can hold: no line break or NUL anywhere, a section name
// without "]", a key without "=" that does not read as a header or comment.
bool Writable(const std::string &section, const std::string &key, const std::string &value) {
    for (const std::string *s : {&section, &key, &value})
        if (s->find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            return false;
    const std::string k = TrimBlanks(key);
    return !TrimBlanks(section).empty() && section.find(']') == std::string::npos && !k.empty() &&
           key.find('=') == std::string::npos && k[0] != '[' && k[0] != ';';
}

} // namespace
} // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace pv::fuzz;
    const Input input(data, size);
    const std::string content = input.Piece(0), section = input.Piece(1), key = input.Piece(2),
                      value = input.Piece(3);
    static const std::string file = ScratchDir() + "profile.ini";
    const bool fresh = input.Options & 1; // no file yet
    if (fresh)
        std::remove(file.c_str());
    else
        WriteFile(file, content);
    const std::string before = fresh ? std::string() : content;

    // Reading survives anything.
    pv::GetPrivateProfileString(section, key, "", file);
    pv::GetPrivateProfileInt(section, key, 7, file);
    pv::GetPrivateProfileSection(section, file);

    const bool writable = Writable(section, key, value);
    try {
        pv::WritePrivateProfileString(section, key, value, file);
        Check(writable, [&] {
            return "a write the format cannot hold was taken: section " + Shown(section) +
                   ", key " + Shown(key) + ", value " + Shown(value);
        });
    } catch (const pv::EProfileError &e) {
        Check(!writable, [&] { return std::string("a valid write was refused: ") + e.what(); });
        Check(ReadFile(file) == before, "a refused write changed the file");
        return 0;
    }

    const std::string back = pv::GetPrivateProfileString(section, key, "\x01missing", file);
    Check(back == value,
          [&] { return "the value written " + Shown(value) + " reads back as " + Shown(back); });

    // Only the key's line is new or changed.
    const std::vector<std::string> old = Lines(before), now = Lines(ReadFile(file));
    std::size_t head = 0;
    while (head < old.size() && head < now.size() && old[head] == now[head])
        ++head;
    std::size_t tail = 0;
    while (tail < old.size() - head && tail < now.size() - head &&
           old[old.size() - 1 - tail] == now[now.size() - 1 - tail])
        ++tail;
    const std::size_t removed = old.size() - head - tail, added = now.size() - head - tail;
    const bool replaced = removed == 1 && added == 1;
    const bool inserted = removed == 0 && added == 1;
    const bool appended = removed == 0 && added == 2 && tail == 0;
    Check(replaced || inserted || appended || (removed == 0 && added == 0), [&] {
        return "lines other than the key's changed: " + std::to_string(removed) + " removed, " +
               std::to_string(added) + " added";
    });
    if (appended)
        Check(TrimBlanks(now[head]).rfind('[', 0) == 0,
              "a missing section was not added as a header line");
    return 0;
}
