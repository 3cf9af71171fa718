// The MIME helpers on arbitrary text: the Base64 decoder, and round trips of
// every encoder through decoders written here from the standards (the
// program itself decodes no quoted-printable), with the limits each output
// must keep: line and encoded-word lengths, no CR or LF where none may be,
// progress on every call.
//
// Input: an options byte, then pieces separated by 0x1E: the text, a piece of
// parameter bytes, and for the line splitter the delimiter, the break and the
// quote characters. Options bits 0-2 choose the helper.
#include <algorithm>
#include <sstream>

#include "fuzz/FuzzSupport.h"
#include "mail/MimeUtils.h"

namespace pv::fuzz {
namespace {

int Param(const std::string &params, std::size_t n, int def) {
    return n < params.size() ? static_cast<unsigned char>(params[n]) : def;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // our encoders write upper-case digits only
}

// Strict quoted-printable decoding of one line: "=" and two upper-case hex
// digits, or "=" as the last character (a soft break, reported in soft).
std::string DecodeQuoted(std::string_view line, bool underscore, bool &soft) {
    std::string out;
    soft = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '=') {
            if (i + 1 == line.size()) {
                soft = true;
                break;
            }
            Check(i + 2 < line.size(),
                  [&] { return "quoted-printable: '=' without two digits in " + Shown(line); });
            const int hi = HexValue(line[i + 1]), lo = HexValue(line[i + 2]);
            Check(hi >= 0 && lo >= 0,
                  [&] { return "quoted-printable: bad escape in " + Shown(line); });
            out += static_cast<char>(hi << 4 | lo);
            i += 2;
        } else if (c == '_' && underscore) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

bool IsBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// Strict Base64: groups of four, padding only at the end.
std::string DecodeBase64(std::string_view text) {
    Check(text.size() % 4 == 0, [&] {
        return "Base64 text of a length that is no multiple of 4: " + std::to_string(text.size());
    });
    const std::size_t pad = text.size() >= 2 && text.substr(text.size() - 2) == "==" ? 2
                            : !text.empty() && text.back() == '='                    ? 1
                                                                                     : 0;
    for (std::size_t i = 0; i < text.size() - pad; ++i)
        Check(IsBase64Char(text[i]), "Base64: a character outside the alphabet");
    // The reference is independent of the program's decoder.
    static const std::string chars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        unsigned v = 0;
        int n = 0;
        for (std::size_t k = i; k < i + 4; ++k) {
            v <<= 6;
            if (text[k] != '=') {
                v |= static_cast<unsigned>(chars.find(text[k]));
                ++n;
            }
        }
        out += static_cast<char>(v >> 16);
        if (n > 2)
            out += static_cast<char>(v >> 8 & 0xff);
        if (n > 3)
            out += static_cast<char>(v & 0xff);
    }
    return out;
}

void CheckBase64(const std::string &text, const std::string &params) {
    // Any text decodes without reading outside it; four characters give at
    // most three bytes.
    const std::string junk = Base64DecodeText(text);
    Check(junk.size() <= (text.size() + 3) / 4 * 3, "Base64DecodeText made up bytes");

    const std::string encoded = Base64EncodeText(text);
    Check(Base64DecodeText(encoded) == text, "Base64 decode(encode(x)) != x");
    Check(DecodeBase64(encoded) == text, "Base64EncodeText is no standard Base64");

    const int maxLen = Param(params, 0, 76) - 8; // negative and zero too
    const std::size_t widest = std::max(4, (maxLen + 3) / 4 * 4);
    std::string joined;
    int position = 1;
    for (int calls = 0; position <= static_cast<int>(text.size()); ++calls) {
        Check(calls <= static_cast<int>(text.size()), "Base64TextLine does not advance");
        const std::string line = Base64TextLine(text, maxLen, position);
        Check(line.size() <= widest && !line.empty(), [&] {
            return "Base64TextLine: a line of " + std::to_string(line.size()) + " for maximum " +
                   std::to_string(maxLen);
        });
        joined += DecodeBase64(line);
    }
    Check(joined == text, "Base64TextLine lines do not decode to the text");

    std::istringstream stream(text);
    joined.clear();
    for (bool more = true; more;) {
        const std::string line = Base64FileLine(stream, more);
        Check(line.size() <= 72, "Base64FileLine: a line longer than 72");
        Check(!more || line.size() == 72, "Base64FileLine: more after a short line");
        joined += DecodeBase64(line);
    }
    Check(joined == text, "Base64FileLine lines do not decode to the text");
}

void CheckQuotedPrintable(const std::string &text, const std::string &params,
                          std::uint8_t options) {
    const bool limit = options & 0x10, underscore = options & 0x20;
    const int maxLen = Param(params, 0, 76) - 4;
    TCharSet specials(params.size() > 1 ? std::string_view(params).substr(1) : "");
    if (underscore)
        specials.Add("_"); // a caller that writes spaces as "_" must encode "_"
    std::string joined;
    int position = 1;
    for (int calls = 0; position <= static_cast<int>(text.size()); ++calls) {
        Check(calls <= static_cast<int>(text.size()), "QuotedPrintableLine does not advance");
        const int before = position;
        const std::string line =
            QuotedPrintableLine(text, maxLen, specials, limit, position, underscore);
        Check(position > before, "QuotedPrintableLine consumed nothing");
        for (char c : line) {
            const auto u = static_cast<unsigned char>(c);
            Check(u >= 32 && u <= 126, "QuotedPrintableLine wrote a control or 8-bit byte");
        }
        bool soft = false;
        joined += DecodeQuoted(line, underscore, soft);
        Check(soft == (position <= static_cast<int>(text.size())),
              "QuotedPrintableLine: a soft break where the text did not go on, or none "
              "where it did");
        if (limit && !underscore)
            Check(static_cast<int>(line.size()) <= std::max(maxLen, 4), [&] {
                return "QuotedPrintableLine: a line of " + std::to_string(line.size()) +
                       " for maximum " + std::to_string(maxLen);
            });
        if (!soft && !line.empty())
            Check(line.back() != ' ' && line.back() != '\t',
                  "QuotedPrintableLine: the last line ends in a blank");
        // What a reader might take for something else must not stay literal.
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '=')
                i += 2; // an escape (checked by the decoding)
            else
                Check((underscore && line[i] == '_') || !specials.Contains(line[i]),
                      "QuotedPrintableLine: a special character left as it is");
        }
    }
    Check(joined == text, "QuotedPrintableLine lines do not decode to the text");
}

const char *const kCharsets[] = {"ISO-8859-1", "ISO-8859-2", "WINDOWS-1252", "KOIR8-R",
                                 "CP-852",     "UTF-8",      "UTF-7",        "Unicode-1-1-UCS-4",
                                 "us-ascii",   "iso-8859-15"};

// The end of every well-formed UTF-8 sequence of more than one byte, so that
// a cut inside one can be told.
std::vector<bool> InsideUtf8(const std::string &text) {
    std::vector<bool> inside(text.size() + 1, false);
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = at(i);
        std::size_t n = 1;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF)
            n = 2;
        else if (b >= 0xE0 && b <= 0xEF)
            n = 3, lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
        else if (b >= 0xF0 && b <= 0xF4)
            n = 4, lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
        bool ok = n > 1 && i + n <= text.size() && at(i + 1) >= lo && at(i + 1) <= hi;
        for (std::size_t k = 2; ok && k < n; ++k)
            ok = (at(i + k) & 0xC0) == 0x80;
        if (!ok) {
            ++i;
            continue;
        }
        for (std::size_t k = 1; k < n; ++k)
            inside[i + k] = true;
        i += n;
    }
    return inside;
}

void CheckEncodedWords(const std::string &text, const std::string &params, std::uint8_t options) {
    const char letter = options & 0x10 ? 'B' : 'Q';
    const bool fold = options & 0x20;
    const int maxCol = Param(params, 0, 76) - 10;
    const std::string charset = kCharsets[Param(params, 1, 0) % std::size(kCharsets)];
    const TCharSet specials(HdrSpecialChars);
    const std::string result = HdrEncodeInLine(text, specials, letter, fold, maxCol, charset);
    if (text.empty() && letter == 'Q') {
        Check(result.empty(), "HdrEncodeInLine: words for an empty text");
        return;
    }
    std::string lower = charset;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    const std::string prefix = "=?" + lower + "?" + letter + "?";
    const std::size_t widest = std::max<std::size_t>(std::max(maxCol, 25), prefix.size() + 14);
    const std::vector<bool> inside = InsideUtf8(text);
    std::string joined;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = result.find("\r\n\t", start);
        const std::string word =
            result.substr(start, end == std::string::npos ? std::string::npos : end - start);
        Check(word.size() <= 75,
              [&] { return "HdrEncodeInLine: a word longer than 75: " + Shown(word); });
        if (fold)
            Check(word.size() <= widest, "HdrEncodeInLine: a word wider than its column");
        Check(word.size() >= prefix.size() + 2 && word.compare(0, prefix.size(), prefix) == 0 &&
                  word.compare(word.size() - 2, 2, "?=") == 0,
              [&] { return "HdrEncodeInLine: not an encoded word: " + Shown(word); });
        const std::string payload = word.substr(prefix.size(), word.size() - prefix.size() - 2);
        if (letter == 'Q') {
            for (char c : payload) {
                const auto u = static_cast<unsigned char>(c);
                Check(u > 32 && u < 127 && c != '?' && (c == '=' || !specials.Contains(c)), [&] {
                    return "HdrEncodeInLine: a character not allowed in a Q word: " + Shown(word);
                });
            }
            bool soft = false;
            joined += DecodeQuoted(payload, true, soft);
            Check(!soft, "HdrEncodeInLine: a Q word ending in '='");
        } else {
            joined += DecodeBase64(payload);
        }
        if (end == std::string::npos)
            break;
        Check(joined.size() <= text.size() && !inside[joined.size()],
              "HdrEncodeInLine: a UTF-8 sequence split between two words");
        start = end + 3;
    }
    Check(joined == text, "HdrEncodeInLine: the words do not decode to the text");
}

bool SameTextAt(const std::string &text, std::size_t at, const std::string &what) {
    if (at + what.size() > text.size())
        return false;
    for (std::size_t i = 0; i < what.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[at + i])) !=
            std::toupper(static_cast<unsigned char>(what[i])))
            return false;
    return true;
}

std::string WithoutBlanks(std::string_view s) {
    std::string out;
    for (char c : s)
        if (static_cast<unsigned char>(c) > 32)
            out += c;
    return out;
}

void CheckWrapping(const std::string &text, const std::string &params, const Input &input) {
    const int maxCol = Param(params, 0, 76) - 4;
    const std::string delimiter = input.Piece(2).substr(0, 4);
    const TCharSet breaks(input.Piece(3)), quotes(input.Piece(4));
    // The lines and the delimiters cut out of them give the text back.
    int position = 1;
    std::size_t index = 0;
    for (int calls = 0; position != EndOfTextPosition; ++calls) {
        Check(calls <= static_cast<int>(text.size()) + 1, "NextWrappedLine does not end");
        Check(position == static_cast<int>(index) + 1, "NextWrappedLine: position lost");
        const std::size_t before = index;
        const std::string line = NextWrappedLine(text, delimiter, breaks, quotes, maxCol, position);
        Check(text.compare(index, line.size(), line) == 0,
              "NextWrappedLine: a line that is not the text's");
        index += line.size();
        if (position == EndOfTextPosition) {
            Check(index >= text.size(), "NextWrappedLine ended before the text did");
            break;
        }
        if (static_cast<std::size_t>(position) - 1 != index) {
            Check(!delimiter.empty() && SameTextAt(text, index, delimiter),
                  "NextWrappedLine: text lost between two lines");
            index += delimiter.size();
        }
        Check(index > before, "NextWrappedLine: no progress");
    }

    // Folding changes blanks only; a text without line breaks gets none but
    // its folds.
    const std::string folded = FoldText(text, breaks, maxCol);
    Check(WithoutBlanks(folded) == WithoutBlanks(text), "FoldText lost or added text");
    std::vector<std::string> lines;
    AddFoldedHeader(lines, text);
    std::string all;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Check(!lines[i].empty() && (i == 0) == (lines[i][0] != '\t'),
              "AddFoldedHeader: a line without its fold, or an empty one");
        all += lines[i];
    }
    Check(WithoutBlanks(all) == WithoutBlanks(text), "AddFoldedHeader lost or added text");
    if (text.find_first_of("\r\n") == std::string::npos) {
        for (std::size_t at = folded.find_first_of("\r\n"); at != std::string::npos;
             at = folded.find_first_of("\r\n", at + 3))
            Check(folded.compare(at, 3, "\r\n\t") == 0, "FoldText: a line break without a fold");
        for (const auto &l : lines)
            Check(l.find_first_of("\r\n") == std::string::npos,
                  "AddFoldedHeader: a line break inside a line");
    }
}

void CheckClassifiers(const std::string &text) {
    bool needs = false, controls = false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        needs |= (u < 32 || u > 126) && c != '\t' && c != '\r' && c != '\n';
        controls |= u < 32 || u == 127;
    }
    Check(RequiresEncoding(text) == needs, "RequiresEncoding differs from its definition");
    Check(HasControlChars(text) == controls, "HasControlChars differs from its definition");
    const std::string type = ContentTypeForFile(text);
    Check(type.find_first_of("\r\n") == std::string::npos && !type.empty(),
          "ContentTypeForFile: not a content type");
}

} // namespace
} // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace pv::fuzz;
    const Input input(data, size);
    const std::string text = input.Piece(0), params = input.Piece(1);
    switch (input.Options & 7) {
    case 0:
    case 1:
        CheckBase64(text, params);
        break;
    case 2:
    case 3:
        CheckQuotedPrintable(text, params, input.Options);
        break;
    case 4:
    case 5:
        CheckEncodedWords(text, params, input.Options);
        break;
    case 6:
        CheckWrapping(text, params, input);
        break;
    default:
        CheckClassifiers(text);
        break;
    }
    return 0;
}
