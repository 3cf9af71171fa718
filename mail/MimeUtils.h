// Stateless helpers over 8-bit texts for building Internet messages: content
// types, Base64, quoted-printable, encoded words and line folding. Texts are
// bytes in the sender's character set; positions are 1-based byte positions,
// so a caller can draw one line per call from a long text.
#pragma once

#include <bitset>
#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace pv {

// A set of 8-bit character codes. Converts from the list of its members, so a
// caller may pass "\t ,;" wherever a set is expected.
class TCharSet {
  public:
    TCharSet() = default;
    TCharSet(std::string_view Chars) { Add(Chars); }
    TCharSet(const char *Chars) : TCharSet(std::string_view(Chars)) {}

    TCharSet &Add(std::string_view Chars);
    TCharSet &AddRange(unsigned char First, unsigned char Last);
    bool Contains(char Ch) const { return Bits[static_cast<unsigned char>(Ch)]; }
    bool Empty() const { return Bits.none(); }

  private:
    std::bitset<256> Bits;
};

// The characters that must not appear unencoded inside an encoded header word.
inline constexpr std::string_view HdrSpecialChars = "\"(),.:;<>@[\\]";

// The position NextWrappedLine leaves behind when it reached the end.
inline constexpr int EndOfTextPosition = 2147483647;

// "text/html", "image/gif", ... by the extension (any case); else
// "application/octet-stream".
std::string ContentTypeForFile(std::string_view FileName);

// True when the text holds anything but TAB, LF, CR and the codes 32..126.
bool RequiresEncoding(std::string_view Text);

// True when the text holds a byte below 32 (TAB, CR and LF included) or 127:
// such a text never goes into a header or a command line as it is.
bool HasControlChars(std::string_view Text);

// One padded Base64 line without line breaks.
std::string Base64EncodeText(std::string_view Text);
// Appends the padded Base64 form of Len bytes to Out.
void Base64Append(std::string &Out, const void *Data, std::size_t Len);
// Lenient: characters outside the alphabet are skipped, "=" ends a group of
// four, a short last group yields the bytes it holds.
std::string Base64DecodeText(std::string_view Text);

// Encodes 3-byte groups from Position (advanced by 3 per group) until the line
// holds at least MaxLen characters or the text ends. At least one group is
// encoded per call while text remains, so a loop on it always advances.
std::string Base64TextLine(std::string_view Text, int MaxLen, int &Position);

// The bytes of a full attachment line (72 characters).
inline constexpr std::size_t Base64FileLineBytes = 54;

// Reads up to 54 bytes and returns them as one line of at most 72
// characters. More is true when the line is full; a stream whose size is a
// multiple of 54 therefore ends with an empty line.
std::string Base64FileLine(std::istream &Stream, bool &More);

// The next quoted-printable line from Position. Specials are encoded as well
// as "=" and anything outside 32..126 (CR, LF and TAB included). A line cut
// short ends with the soft break "=" and is then at most MaxLen long (one
// more after an unchecked "_"). With Limit false MaxLen is the text's length.
// With Underscore a space becomes "_". Every call consumes at least one
// character while text remains, even when MaxLen leaves no room for it.
std::string QuotedPrintableLine(std::string_view Text, int MaxLen, const TCharSet &Specials,
                                bool Limit, int &Position, bool Underscore);

// RFC 2047 encoded words ("=?charset?Q?...?=", EncType 'B' or 'Q') joined by
// CR LF TAB; with Fold on each fits within MaxCol (at least 25). A word never
// passes 75 characters nor splits a UTF-8 sequence. Raises pv::Exception for
// a CharSet shorter than 4 characters or another EncType.
std::string HdrEncodeInLine(std::string_view Text, const TCharSet &Specials, char EncType,
                            bool Fold, int MaxCol, std::string_view CharSet);

// The next line from Position: cut after the last break character within the
// first MaxCol characters (else after the first one beyond), at once at
// Delimiter (matched ignoring case and removed), never inside quotes. The
// break character stays at the line's end. A UTF-8 sequence is one
// character. Position ends past the line, or EndOfTextPosition at the end.
std::string NextWrappedLine(std::string_view Text, std::string_view Delimiter,
                            const TCharSet &BreakChars, const TCharSet &QuoteChars, int MaxCol,
                            int &Position);

// Appends a header line folded at 76 columns: the first piece, then TAB +
// each further piece (all trimmed). Existing CR LF TAB folds are cut there.
void AddFoldedHeader(std::vector<std::string> &Lines, std::string_view Line);

// The text folded at MaxCol with CR LF TAB between the trimmed pieces.
std::string FoldText(std::string_view Text, const TCharSet &BreakChars, int MaxCol);

} // namespace pv
