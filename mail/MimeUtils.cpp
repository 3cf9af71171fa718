#include "mail/MimeUtils.h"

#include "platform/Object.h"
#include "platform/Text.h"

#include <algorithm>

namespace pv {

namespace {

constexpr char Base64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char HexDigits[] = "0123456789ABCDEF";

constexpr int Base64Stop = 64;    // "="
constexpr int Base64Invalid = 65; // outside the alphabet

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return c == '=' ? Base64Stop : Base64Invalid;
}

void AppendBase64Group(std::string &Out, std::string_view Text, std::size_t Index) {
    Base64Append(Out, Text.data() + Index, std::min<std::size_t>(3, Text.size() - Index));
}

// Bytes of the UTF-8 sequence that starts at Index (1 when it is not a
// complete multi-byte sequence), so wrapping never cuts a character apart.
std::size_t Utf8Length(std::string_view Text, std::size_t Index) {
    const auto lead = static_cast<unsigned char>(Text[Index]);
    std::size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 1;
    if (Index + n > Text.size())
        return 1;
    for (std::size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(Text[Index + i]) & 0xC0) != 0x80)
            return 1;
    return n;
}

// A 1-based position as an index into Text; positions before the start count
// as the start.
std::size_t IndexOf(int Position) {
    return Position < 1 ? 0 : static_cast<std::size_t>(Position) - 1;
}

int PositionOf(std::size_t Index) {
    return Index >= static_cast<std::size_t>(EndOfTextPosition) ? EndOfTextPosition
                                                                : static_cast<int>(Index + 1);
}

// Splits Text with NextWrappedLine and hands each trimmed piece to Emit.
// Pieces that trim to nothing are left out: an empty one would end a header
// block, a blank continuation line is malformed.
template <typename EmitFn>
void SplitFolded(std::string_view Text, const TCharSet &Breaks, int MaxCol, EmitFn Emit) {
    int position = 1;
    bool first = true;
    while (IndexOf(position) < Text.size()) {
        const std::string piece =
            Trim(NextWrappedLine(Text, "\r\n\t", Breaks, TCharSet(), MaxCol, position));
        if (piece.empty())
            continue;
        Emit(piece, first);
        first = false;
    }
}

} // namespace

TCharSet &TCharSet::Add(std::string_view Chars) {
    for (char c : Chars)
        Bits.set(static_cast<unsigned char>(c));
    return *this;
}

TCharSet &TCharSet::AddRange(unsigned char First, unsigned char Last) {
    for (unsigned c = First; c <= Last; ++c)
        Bits.set(c);
    return *this;
}

std::string ContentTypeForFile(std::string_view FileName) {
    const std::size_t dot = FileName.rfind('.');
    // A dot inside a directory name is no extension.
    if (dot == std::string_view::npos || FileName.find('/', dot) != std::string_view::npos)
        return "application/octet-stream";
    const std::string ext = LowerCase(std::string(FileName.substr(dot + 1)));
    if (ext == "htm" || ext == "html")
        return "text/html";
    if (ext == "gif")
        return "image/gif";
    if (ext == "bmp")
        return "image/bmp";
    if (ext == "jpg" || ext == "jpeg")
        return "image/jpeg";
    if (ext == "txt")
        return "text/plain";
    return "application/octet-stream";
}

bool RequiresEncoding(std::string_view Text) {
    return std::any_of(Text.begin(), Text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < ' ' || u > '~') && u != '\t' && u != '\n' && u != '\r';
    });
}

bool HasControlChars(std::string_view Text) {
    return std::any_of(Text.begin(), Text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < ' ' || u == 0x7f;
    });
}

void Base64Append(std::string &Out, const void *Data, std::size_t Len) {
    const auto *in = static_cast<const unsigned char *>(Data);
    const std::size_t start = Out.size();
    Out.resize(start + (Len + 2) / 3 * 4);
    char *out = Out.data() + start;
    // Whole groups from a table, without a bounds check per character.
    for (; Len >= 3; Len -= 3, in += 3, out += 4) {
        const unsigned v = unsigned(in[0]) << 16 | unsigned(in[1]) << 8 | in[2];
        out[0] = Base64Chars[v >> 18];
        out[1] = Base64Chars[(v >> 12) & 0x3f];
        out[2] = Base64Chars[(v >> 6) & 0x3f];
        out[3] = Base64Chars[v & 0x3f];
    }
    if (Len > 0) {
        const unsigned v = unsigned(in[0]) << 16 | (Len > 1 ? unsigned(in[1]) << 8 : 0u);
        out[0] = Base64Chars[v >> 18];
        out[1] = Base64Chars[(v >> 12) & 0x3f];
        out[2] = Len > 1 ? Base64Chars[(v >> 6) & 0x3f] : '=';
        out[3] = '=';
    }
}

std::string Base64EncodeText(std::string_view Text) {
    std::string out;
    Base64Append(out, Text.data(), Text.size());
    return out;
}

std::string Base64DecodeText(std::string_view Text) {
    std::string out;
    out.reserve(Text.size() / 4 * 3 + 2);
    int group[4];
    int count = 0;
    auto flush = [&] {
        // A group whose first two characters are not both data yields nothing.
        if (count >= 2 && group[0] < 64 && group[1] < 64) {
            out += static_cast<char>(group[0] << 2 | group[1] >> 4);
            if (count >= 3 && group[2] < 64) {
                out += static_cast<char>((group[1] & 0x0f) << 4 | group[2] >> 2);
                if (count >= 4 && group[3] < 64)
                    out += static_cast<char>((group[2] & 0x03) << 6 | group[3]);
            }
        }
        count = 0;
    };
    for (char c : Text) {
        const int v = Base64Value(c);
        if (v == Base64Invalid)
            continue; // line breaks and other noise
        group[count++] = v;
        if (count == 4)
            flush();
    }
    flush();
    return out;
}

std::string Base64TextLine(std::string_view Text, int MaxLen, int &Position) {
    std::string out;
    // Groups until the line holds MaxLen characters, at least one.
    const std::size_t groups = MaxLen > 0 ? (static_cast<std::size_t>(MaxLen) + 3) / 4 : 1;
    const std::size_t index = IndexOf(Position);
    if (index < Text.size()) {
        const std::size_t take = std::min(groups * 3, Text.size() - index);
        Base64Append(out, Text.data() + index, take);
        Position = PositionOf(index + (take + 2) / 3 * 3);
    } else {
        Position = PositionOf(index);
    }
    return out;
}

std::string Base64FileLine(std::istream &Stream, bool &More) {
    // One read of a whole line: the same bytes as 3-byte reads, since a read
    // is short only at the end of the stream.
    char block[Base64FileLineBytes];
    Stream.read(block, sizeof block);
    const auto got = static_cast<std::size_t>(Stream.gcount());
    More = got == sizeof block;
    std::string out;
    Base64Append(out, block, got);
    return out;
}

std::string QuotedPrintableLine(std::string_view Text, int MaxLen, const TCharSet &Specials,
                                bool Limit, int &Position, bool Underscore) {
    const long long max = Limit ? MaxLen : static_cast<long long>(Text.size());
    std::string out;
    std::size_t index = IndexOf(Position);
    for (; index < Text.size(); ++index) {
        const char c = Text[index];
        const auto u = static_cast<unsigned char>(c);
        const long long len = static_cast<long long>(out.size());
        // A space that ends the text would end the last line, where
        // transports may strip it: it is encoded. The first character of a
        // line is always written, so a maximum too small for it cannot stall
        // a caller's loop.
        const bool trailingSpace = c == ' ' && index + 1 == Text.size();
        if (u >= ' ' && u <= '~' && c != '=' && !Specials.Contains(c) && !trailingSpace) {
            if (len + 1 >= max && !out.empty())
                break;
            out += c;
        } else if (c == ' ' && Underscore) {
            out += '_';
        } else {
            if (len + 3 >= max && !out.empty())
                break;
            out += '=';
            out += HexDigits[u >> 4];
            out += HexDigits[u & 0x0f];
        }
    }
    Position = PositionOf(index);
    if (index < Text.size())
        out += '='; // soft break
    return out;
}

std::string HdrEncodeInLine(std::string_view Text, const TCharSet &Specials, char EncType,
                            bool Fold, int MaxCol, std::string_view CharSet) {
    if (Fold && MaxCol < 25)
        MaxCol = 25;
    if (CharSet.size() < 4)
        throw Exception("Function 'HdrEncodeInLine', invalid CharSet: " + std::string(CharSet));
    if (EncType != 'B' && EncType != 'Q')
        throw Exception(std::string("Function 'HdrEncodeInLine', invalid EncType: ") + EncType);

    const std::string prefix = "=?" + LowerCase(std::string(CharSet)) + "?" + EncType + "?";
    const long long wordStart = static_cast<long long>(prefix.size()) + 2;

    // A word of at most 75 characters (RFC 2047), of whole characters: a
    // UTF-8 sequence is never split between two words. A limit too small for
    // one character still takes one, rather than none.
    const long long wordMax = 75;
    std::string result;
    if (EncType == 'Q') {
        TCharSet specials = Specials;
        specials.Add(" =?_");
        long long pieceMax =
            Fold ? static_cast<long long>(MaxCol) - wordStart : static_cast<long long>(Text.size());
        // The piece stays below pieceMax, as a quoted-printable line would.
        pieceMax = std::min(pieceMax, wordMax + 1 - wordStart);
        std::size_t index = 0;
        while (index < Text.size()) {
            std::string piece;
            while (index < Text.size()) {
                const std::size_t n = Utf8Length(Text, index);
                std::string unit;
                for (std::size_t k = index; k < index + n; ++k) {
                    const char c = Text[k];
                    const auto u = static_cast<unsigned char>(c);
                    if (n == 1 && u >= ' ' && u <= '~' && !specials.Contains(c)) {
                        unit += c;
                    } else if (n == 1 && c == ' ') {
                        unit += '_';
                    } else {
                        unit += '=';
                        unit += HexDigits[u >> 4];
                        unit += HexDigits[u & 0x0f];
                    }
                }
                if (!piece.empty() &&
                    static_cast<long long>(piece.size() + unit.size()) >= pieceMax)
                    break;
                piece += unit;
                index += n;
            }
            if (!result.empty())
                result += "\r\n\t";
            result += prefix + piece + "?=";
        }
        return result;
    }

    const long long limit = std::min<long long>(Fold ? MaxCol : EndOfTextPosition, wordMax);
    // Bytes per word: whole Base64 groups, at least one.
    const std::size_t wordBytes =
        static_cast<std::size_t>(std::max<long long>((limit - wordStart) / 4, 1)) * 3;
    result = prefix;
    std::size_t index = 0;
    while (index < Text.size()) {
        std::size_t end = index + Utf8Length(Text, index);
        while (end < Text.size() && end - index + Utf8Length(Text, end) <= wordBytes)
            end += Utf8Length(Text, end);
        if (index > 0)
            result += "?=\r\n\t" + prefix;
        for (std::size_t i = index; i < end; i += 3)
            AppendBase64Group(result, Text.substr(0, end), i);
        index = end;
    }
    return result + "?=";
}

std::string NextWrappedLine(std::string_view Text, std::string_view Delimiter,
                            const TCharSet &BreakChars, const TCharSet &QuoteChars, int MaxCol,
                            int &Position) {
    const std::string delimiter(Delimiter);
    const std::size_t start = IndexOf(Position);
    std::size_t index = start;
    long long column = 1;
    std::size_t lastBreak = std::string_view::npos; // index of the last cut point
    char openQuote = 0;
    bool quoteOpen = false;
    bool delimiterFound = false;
    for (;;) {
        if (index >= Text.size()) {
            Position = EndOfTextPosition;
            return start < Text.size() ? std::string(Text.substr(start)) : std::string();
        }
        const char c = Text[index];
        const std::size_t charLen = Utf8Length(Text, index);
        if (charLen == 1) {
            if (!quoteOpen && !delimiter.empty() && Text.size() - index >= delimiter.size() &&
                SameText(std::string(Text.substr(index, delimiter.size())), delimiter)) {
                delimiterFound = true;
                index += delimiter.size() - 1;
                lastBreak = index;
            } else if (!quoteOpen && BreakChars.Contains(c)) {
                lastBreak = index;
            } else if (QuoteChars.Contains(c)) {
                if (quoteOpen && c == openQuote) {
                    quoteOpen = false;
                } else if (!quoteOpen) {
                    quoteOpen = true;
                    openQuote = c;
                }
            }
        }
        index += charLen;
        ++column;
        if (quoteOpen)
            continue;
        if (delimiterFound || (column > MaxCol && lastBreak != std::string_view::npos))
            break;
    }
    std::string line(Text.substr(start, lastBreak + 1 - start));
    if (delimiterFound)
        line.resize(line.size() - Delimiter.size());
    Position = PositionOf(lastBreak + 1);
    return line;
}

void AddFoldedHeader(std::vector<std::string> &Lines, std::string_view Line) {
    if (Line.empty())
        return;
    SplitFolded(Line, "\t ,;>]", 76, [&](std::string_view piece, bool first) {
        Lines.push_back(first ? std::string(piece) : "\t" + std::string(piece));
    });
}

std::string FoldText(std::string_view Text, const TCharSet &BreakChars, int MaxCol) {
    std::string result;
    SplitFolded(Text, BreakChars, MaxCol, [&](std::string_view piece, bool first) {
        if (!first)
            result += "\r\n\t";
        result += piece;
    });
    return result;
}

} // namespace pv
