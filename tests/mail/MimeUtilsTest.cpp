#include "mail/MimeUtils.h"

#include "platform/Object.h"

#include "MimeReference.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

using namespace pv;

namespace {

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

const std::vector<std::size_t> RoundTripSizes = {0, 1, 2, 3, 54, 55, 57, 76, 1000, 100000};

// Every line a caller draws with Next until the position passes the text.
template <typename NextFn> std::vector<std::string> DrawLines(std::size_t TextSize, NextFn Next) {
    std::vector<std::string> lines;
    int position = 1;
    while (static_cast<std::size_t>(position) <= TextSize) {
        const int before = position;
        lines.push_back(Next(position));
        if (position <= before) {
            ADD_FAILURE() << "position stuck at " << before;
            break;
        }
    }
    return lines;
}

std::string JoinCrLf(const std::vector<std::string> &Lines) {
    std::string s;
    for (std::size_t i = 0; i < Lines.size(); ++i)
        s += (i ? "\r\n" : "") + Lines[i];
    return s;
}

std::vector<std::string> Split(const std::string &s, const std::string &sep) {
    std::vector<std::string> out;
    std::size_t start = 0, at;
    while ((at = s.find(sep, start)) != std::string::npos) {
        out.push_back(s.substr(start, at - start));
        start = at + sep.size();
    }
    out.push_back(s.substr(start));
    return out;
}

} // namespace

TEST(MimeUtils, ContentTypeAndRequiresEncoding) {
    EXPECT_EQ(ContentTypeForFile("index.HTML"), "text/html");
    EXPECT_EQ(ContentTypeForFile("a.b.htm"), "text/html");
    EXPECT_EQ(ContentTypeForFile("photo.JpEg"), "image/jpeg");
    EXPECT_EQ(ContentTypeForFile("x.gif"), "image/gif");
    EXPECT_EQ(ContentTypeForFile("x.bmp"), "image/bmp");
    EXPECT_EQ(ContentTypeForFile("readme.txt"), "text/plain");
    EXPECT_EQ(ContentTypeForFile("Makefile"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFile("report."), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFile("archive.txt.zip"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFile("/srv/site.html/data"), "application/octet-stream");

    EXPECT_FALSE(RequiresEncoding(""));
    EXPECT_FALSE(RequiresEncoding("Tab\there, CR\r LF\n and ~ space"));
    EXPECT_TRUE(RequiresEncoding("del\x7f"));
    EXPECT_TRUE(RequiresEncoding("caf\xe9"));
    EXPECT_TRUE(RequiresEncoding(std::string("nul\0", 4)));
    EXPECT_TRUE(RequiresEncoding("bell\x07"));
}

TEST(MimeUtils, Base64KnownValuesAndLenientDecoding) {
    EXPECT_EQ(Base64EncodeText(""), "");
    EXPECT_EQ(Base64EncodeText("abc"), "YWJj");
    EXPECT_EQ(Base64EncodeText("ab"), "YWI=");
    EXPECT_EQ(Base64EncodeText("a"), "YQ==");
    EXPECT_EQ(Base64EncodeText("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64EncodeText("\xff\xfe\xfd"), "//79");
    EXPECT_EQ(Base64DecodeText("Zm9vYmE="), "fooba");
    EXPECT_EQ(Base64DecodeText("Zm9vYg=="), "foob");

    // Noise, missing padding and truncation take what is there, never more.
    EXPECT_EQ(Base64DecodeText("Zm9v\r\nYmFy"), "foobar");
    EXPECT_EQ(Base64DecodeText("Zm9vYg"), "foob");
    EXPECT_EQ(Base64DecodeText("Zm9vY"), "foo");
    EXPECT_EQ(Base64DecodeText("Z"), "");
    EXPECT_EQ(Base64DecodeText("===="), "");
    EXPECT_EQ(Base64DecodeText("YQ==Yg=="), "ab"); // "=" ends a group, not the text
    EXPECT_EQ(Base64DecodeText("!!!*"), "");
    for (std::size_t n = 0; n < 9; ++n) {
        const std::string cut = std::string("Zm9vYmFy").substr(0, n);
        // A heap copy of exactly n bytes lets the sanitizer see any overread.
        std::unique_ptr<char[]> exact(new char[n ? n : 1]);
        std::copy(cut.begin(), cut.end(), exact.get());
        EXPECT_EQ(Base64DecodeText(std::string_view(exact.get(), n)),
                  std::string("foobar").substr(0, n * 3 / 4));
    }

    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (std::size_t n = 0; n < 7; ++n)
        EXPECT_EQ(Base64DecodeText(Base64EncodeText(all.substr(n))), all.substr(n));
}

TEST(MimeUtils, Base64TextLineAndFileLineLayout) {
    const std::string text(58, 'x');
    int pos = 1;
    const std::string first = Base64TextLine(text, 76, pos);
    EXPECT_EQ(first.size(), 76u);
    EXPECT_EQ(pos, 58);
    const std::string second = Base64TextLine(text, 76, pos);
    EXPECT_EQ(second.size(), 4u);
    EXPECT_EQ(second.substr(2), "==");
    EXPECT_GT(pos, 58);
    // A maximum of 0 still moves on.
    pos = 1;
    EXPECT_EQ(Base64TextLine("abcdef", 0, pos), "YWJj");
    EXPECT_EQ(pos, 4);
    // A maximum between groups takes the group that reaches it.
    pos = 1;
    EXPECT_EQ(Base64TextLine("abcdefgh", 5, pos), "YWJjZGVm");
    EXPECT_EQ(pos, 7);

    auto fileLines = [](const std::string &data) {
        std::istringstream in(data);
        std::vector<std::string> lines;
        bool more = true;
        while (more && lines.size() <= data.size() / 54 + 1)
            lines.push_back(Base64FileLine(in, more));
        return lines;
    };
    EXPECT_EQ(fileLines(""), std::vector<std::string>{""});
    EXPECT_EQ(fileLines("ab"), std::vector<std::string>{"YWI="});
    auto l54 = fileLines(std::string(54, 'z'));
    ASSERT_EQ(l54.size(), 2u);
    EXPECT_EQ(l54[0].size(), 72u);
    EXPECT_EQ(l54[1], "");
    auto l55 = fileLines(std::string(55, 'z'));
    ASSERT_EQ(l55.size(), 2u);
    EXPECT_EQ(l55[0].size(), 72u);
    EXPECT_EQ(l55[1], "eg==");
    EXPECT_EQ(fileLines(std::string(108, 'z')).size(), 3u);
}

TEST(MimeUtils, Base64OutputDecodedByPython) {
    if (!pvtest::ReferenceAvailable())
        GTEST_SKIP() << pvtest::Python << " is not installed";
    std::vector<std::string> inputs;
    std::vector<std::vector<std::string>> requests;
    for (std::size_t n : RoundTripSizes) {
        const std::string data = RandomBytes(n, static_cast<unsigned>(n) + 11);
        inputs.push_back(data);
        requests.push_back({"b64", Base64EncodeText(data)});

        auto textLines =
            DrawLines(data.size(), [&](int &p) { return Base64TextLine(data, 76, p); });
        for (const auto &l : textLines)
            EXPECT_LE(l.size(), 76u);
        inputs.push_back(data);
        requests.push_back({"b64", JoinCrLf(textLines)});

        std::istringstream in(data);
        std::vector<std::string> fileLines;
        for (bool more = true; more && fileLines.size() <= n / 54 + 1;) {
            fileLines.push_back(Base64FileLine(in, more));
            EXPECT_LE(fileLines.back().size(), 72u);
        }
        EXPECT_EQ(fileLines.size(), n / 54 + 1) << n;
        inputs.push_back(data);
        requests.push_back({"b64", JoinCrLf(fileLines)});
    }
    const auto answers = pvtest::RunReference(requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (std::size_t i = 0; i < inputs.size(); ++i)
        EXPECT_EQ(answers[i], pvtest::Hex(inputs[i]))
            << "case " << i << ", " << inputs[i].size() << " bytes";
}

TEST(MimeUtils, QuotedPrintableLineLimits) {
    const std::string text(200, 'a');
    int pos = 1;
    const std::string line = QuotedPrintableLine(text, 75, "", true, pos, false);
    EXPECT_EQ(line, std::string(74, 'a') + "=");
    EXPECT_EQ(pos, 75);

    pos = 1;
    EXPECT_EQ(QuotedPrintableLine("a=b\tc\r\n\xe9", 75, "", true, pos, false),
              "a=3Db=09c=0D=0A=E9");
    EXPECT_GT(pos, 8);
    pos = 1;
    EXPECT_EQ(QuotedPrintableLine("a b?c", 75, " ?", true, pos, true), "a_b=3Fc");
    pos = 1;
    EXPECT_EQ(QuotedPrintableLine("end ", 75, "", true, pos, false), "end=20");

    // An encoded character never straddles the limit: "=E9" needs L + 3 < max.
    pos = 1;
    EXPECT_EQ(QuotedPrintableLine("abc\xe9", 6, "", true, pos, false), "abc=");
    EXPECT_EQ(pos, 4);
    EXPECT_EQ(QuotedPrintableLine("abc\xe9", 6, "", true, pos, false), "=E9");

    // Limit off: the maximum is the text's length.
    pos = 1;
    EXPECT_EQ(QuotedPrintableLine("abcd\xe9", 2, "", false, pos, false), "abcd=");

    // A maximum with no room still consumes a character per call.
    for (int max : {-5, 0, 1, 2, 3}) {
        const std::string s = "\xe9x\xe9";
        auto lines = DrawLines(
            s.size(), [&](int &p) { return QuotedPrintableLine(s, max, "", true, p, false); });
        EXPECT_EQ(lines.size(), 3u) << max;
    }
}

TEST(MimeUtils, QuotedPrintableOutputDecodedByPython) {
    if (!pvtest::ReferenceAvailable())
        GTEST_SKIP() << pvtest::Python << " is not installed";
    std::vector<std::string> inputs;
    std::vector<std::vector<std::string>> requests;
    std::vector<std::string> samples;
    for (std::size_t n : RoundTripSizes)
        samples.push_back(RandomBytes(n, static_cast<unsigned>(n) + 5));
    // Mostly text, with the spaces, dots and line ends mail bodies have.
    std::string prose;
    for (int i = 0; i < 300; ++i)
        prose += i % 7 ? "word " : ".\r\n";
    samples.push_back(prose + " ");
    for (const auto &data : samples) {
        auto lines = DrawLines(
            data.size(), [&](int &p) { return QuotedPrintableLine(data, 75, "", true, p, false); });
        for (const auto &l : lines)
            EXPECT_LE(l.size(), 75u);
        inputs.push_back(data);
        requests.push_back({"qp", JoinCrLf(lines)});
    }
    const auto answers = pvtest::RunReference(requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (std::size_t i = 0; i < inputs.size(); ++i)
        EXPECT_EQ(answers[i], pvtest::Hex(inputs[i])) << inputs[i].size() << " bytes";
}

TEST(MimeUtils, HdrEncodeInLineForms) {
    EXPECT_EQ(HdrEncodeInLine("Caf\xe9 au lait", HdrSpecialChars, 'Q', true, 66, "ISO-8859-1"),
              "=?iso-8859-1?Q?Caf=E9_au_lait?=");
    EXPECT_EQ(HdrEncodeInLine("a_b=c?d.\"", HdrSpecialChars, 'Q', true, 66, "iso-8859-1"),
              "=?iso-8859-1?Q?a=5Fb=3Dc=3Fd=2E=22?=");
    EXPECT_EQ(HdrEncodeInLine("", HdrSpecialChars, 'Q', true, 66, "utf-8"), "");
    EXPECT_EQ(HdrEncodeInLine("", HdrSpecialChars, 'B', true, 66, "utf-8"), "=?utf-8?B?"
                                                                            "?=");
    EXPECT_EQ(HdrEncodeInLine("abc", HdrSpecialChars, 'B', false, 0, "utf-8"), "=?utf-8?B?YWJj?=");

    try {
        HdrEncodeInLine("x\xe9", HdrSpecialChars, 'Q', true, 66, "us");
        ADD_FAILURE() << "no exception";
    } catch (const Exception &e) {
        EXPECT_STREQ(e.what(), "Function 'HdrEncodeInLine', invalid CharSet: us");
    }
    try {
        HdrEncodeInLine("x", HdrSpecialChars, 'X', true, 66, "utf-8");
        ADD_FAILURE() << "no exception";
    } catch (const Exception &e) {
        EXPECT_STREQ(e.what(), "Function 'HdrEncodeInLine', invalid EncType: X");
    }

    // Folded words never pass the column, in either form, and a fold-less Q
    // text with encoded characters still splits into several words.
    const std::string text = RandomBytes(300, 9);
    for (char enc : {'Q', 'B'})
        for (int col : {10, 40, 66}) {
            const auto words =
                Split(HdrEncodeInLine(text, HdrSpecialChars, enc, true, col, "utf-8"), "\r\n\t");
            EXPECT_GT(words.size(), 1u);
            for (const auto &w : words)
                EXPECT_LE(w.size(), static_cast<std::size_t>(std::max(col, 25))) << enc << col;
        }
    EXPECT_GT(Split(HdrEncodeInLine("abcd\xe9", HdrSpecialChars, 'Q', false, 66, "utf-8"), "\r\n\t")
                  .size(),
              1u);

    // A charset name too long for any word still ends, one character a word.
    const std::string longName(40, 'x');
    const auto words =
        Split(HdrEncodeInLine("\xe9\xe9\xe9", HdrSpecialChars, 'Q', true, 30, longName), "\r\n\t");
    EXPECT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0], "=?" + longName + "?Q?=E9?=");
    EXPECT_EQ(
        Split(HdrEncodeInLine("abcdef", HdrSpecialChars, 'B', true, 30, longName), "\r\n\t").size(),
        2u);
}

TEST(MimeUtils, EncodedWordsDecodedByPython) {
    if (!pvtest::ReferenceAvailable())
        GTEST_SKIP() << pvtest::Python << " is not installed";
    // Byte texts for a single-byte charset, valid UTF-8 (with characters of
    // two to four bytes that folds may split between words) for "UTF-8".
    std::vector<std::pair<std::string, const char *>> cases;
    for (const std::string &t :
         {std::string("x"), std::string(" "), std::string("Caf\xe9 = 50% _off_? (today)"),
          RandomBytes(1, 2), RandomBytes(57, 3), RandomBytes(500, 4)})
        cases.emplace_back(t, "iso-8859-1");
    std::mt19937 gen(6);
    for (int n : {1, 20, 200}) {
        std::string t;
        for (int i = 0; i < n; ++i) {
            const char *pieces[] = {
                "a", " ", "?", "_", "=", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x93\xa8"};
            t += pieces[gen() % 8];
        }
        cases.emplace_back(t, "UTF-8");
    }
    std::vector<std::string> expected;
    std::vector<std::vector<std::string>> requests;
    for (const auto &[t, cs] : cases)
        for (char enc : {'Q', 'B'})
            for (bool fold : {true, false}) {
                requests.push_back({"hdr", HdrEncodeInLine(t, HdrSpecialChars, enc, fold, 66, cs)});
                expected.push_back(pvtest::Hex(t) + " " + pvtest::Hex(cs[0] == 'U' ? "utf-8" : cs));
            }
    const auto answers = pvtest::RunReference(requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (std::size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(answers[i], expected[i]) << requests[i][1];
}

TEST(MimeUtils, EncodedWordsKeepTheirLengthAndWholeCharacters) {
    if (!pvtest::ReferenceAvailable())
        GTEST_SKIP() << pvtest::Python << " is not installed";
    // Blanks after a non-ASCII character (each an "_"), long texts without
    // folding and wide columns: no encoded word beyond 75 characters, and in
    // UTF-8 every word holds whole characters, so each decodes on its own.
    struct Case {
        std::string text;
        const char *charset;
    };
    std::vector<Case> cases = {{"\xe9" + std::string(100, ' ') + "x", "iso-8859-1"},
                               {std::string(300, ' '), "iso-8859-1"},
                               {RandomBytes(400, 12), "iso-8859-1"}};
    std::mt19937 gen(13);
    for (int n : {40, 300}) {
        std::string t;
        for (int i = 0; i < n; ++i) {
            const char *pieces[] = {"a", " ", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x93\xa8"};
            t += pieces[gen() % 5];
        }
        cases.push_back({t, "utf-8"});
    }
    std::vector<std::vector<std::string>> requests;
    std::vector<std::string> expected;
    for (const Case &c : cases)
        for (char enc : {'Q', 'B'})
            for (auto [fold, col] :
                 {std::pair{true, 66}, std::pair{true, 200}, std::pair{false, 66}}) {
                const std::string value =
                    HdrEncodeInLine(c.text, HdrSpecialChars, enc, fold, col, c.charset);
                requests.push_back({"hdr", value});
                expected.push_back(pvtest::Hex(c.text) + " " + pvtest::Hex(c.charset));
                for (const std::string &word : Split(value, "\r\n\t")) {
                    EXPECT_LE(word.size(), 75u) << enc << " " << fold << " " << col << ": " << word;
                    if (std::string(c.charset) == "utf-8") {
                        requests.push_back({"hdr", word});
                        expected.push_back("utf8");
                    }
                }
            }
    const auto answers = pvtest::RunReference(requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        if (expected[i] != "utf8") {
            EXPECT_EQ(answers[i], expected[i]) << requests[i][1];
            continue;
        }
        // One word alone: its bytes must be complete UTF-8.
        const std::string hex = answers[i].substr(0, answers[i].find(' '));
        std::string bytes;
        for (std::size_t k = 0; k + 1 < hex.size(); k += 2)
            bytes += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
        int follow = 0;
        bool whole = answers[i].rfind("ERR", 0) != 0;
        for (unsigned char b : bytes) {
            if (follow > 0) {
                whole = whole && (b & 0xC0) == 0x80;
                --follow;
            } else {
                whole = whole && (b < 0x80 || b >= 0xC0);
                follow = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
            }
        }
        EXPECT_TRUE(whole && follow == 0) << "a character split between words: " << requests[i][1];
    }
}

TEST(MimeUtils, NextWrappedLineCuts) {
    const TCharSet none;
    int pos = 1;
    const std::string longWord(300, 'w');
    EXPECT_EQ(NextWrappedLine(longWord, "\r\n", " ", none, 76, pos), longWord);
    EXPECT_EQ(pos, EndOfTextPosition);

    // The last break within the column, the break staying at the line's end.
    pos = 1;
    EXPECT_EQ(NextWrappedLine("aaa bbb ccc", "\r\n", " ", none, 9, pos), "aaa bbb ");
    EXPECT_EQ(pos, 9);
    EXPECT_EQ(NextWrappedLine("aaa bbb ccc", "\r\n", " ", none, 9, pos), "ccc");
    // No break within the column: the first one after it.
    pos = 1;
    EXPECT_EQ(NextWrappedLine("abcdefgh ij", "\r\n", " ", none, 4, pos), "abcdefgh ");

    // The delimiter cuts at once, matched regardless of case, and is removed.
    pos = 1;
    EXPECT_EQ(NextWrappedLine("oneXYtwo", "xy", " ", none, 76, pos), "one");
    EXPECT_EQ(NextWrappedLine("oneXYtwo", "xy", " ", none, 76, pos), "two");
    pos = 1;
    const std::string crlf = "first\r\nsecond";
    EXPECT_EQ(NextWrappedLine(crlf, "\r\n", " ", none, 76, pos), "first");
    EXPECT_EQ(pos, 8);

    // Quotes protect breaks and delimiters; an unclosed quote runs to the end.
    pos = 1;
    EXPECT_EQ(NextWrappedLine("\"a, b\" <x@y>, c <z@w>", "\r\n", ",;", "\"'", 1, pos),
              "\"a, b\" <x@y>,");
    pos = 1;
    EXPECT_EQ(NextWrappedLine("O'Brien <o@x>, Ann <a@x>", "\r\n", ",;", "\"'", 1, pos),
              "O'Brien <o@x>, Ann <a@x>");

    // A UTF-8 character is one column: five of them and " a b " fill ten.
    const std::string e = "\xc3\xa9";
    const std::string utf = e + e + e + e + e + " a b c d";
    pos = 1;
    EXPECT_EQ(NextWrappedLine(utf, "\r\n", " ", none, 10, pos), e + e + e + e + e + " a b ");
    // A sequence cut short by the end of the text is read no further.
    const std::string cut = "ab \xe2\x82";
    std::unique_ptr<char[]> exact(new char[cut.size()]);
    std::copy(cut.begin(), cut.end(), exact.get());
    pos = 1;
    EXPECT_EQ(
        NextWrappedLine(std::string_view(exact.get(), cut.size()), "\r\n", " ", none, 76, pos),
        cut);

    // Positions before the text start at its beginning; past it give nothing.
    pos = 0;
    EXPECT_EQ(NextWrappedLine("ab", "\r\n", " ", none, 76, pos), "ab");
    EXPECT_EQ(NextWrappedLine("ab", "\r\n", " ", none, 76, pos), "");
}

TEST(MimeUtils, FoldedHeadersAndText) {
    std::string line(100, 'h');
    line[39] = ' ';
    line[79] = ' ';
    std::vector<std::string> lines;
    AddFoldedHeader(lines, line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], line.substr(0, 39));
    EXPECT_EQ(lines[1], "\t" + line.substr(40));
    EXPECT_EQ(lines[1].size(), 61u);

    lines.clear();
    AddFoldedHeader(lines, "Subject: ");
    AddFoldedHeader(lines, "");
    AddFoldedHeader(lines, "X-A: one\r\n\ttwo");
    EXPECT_EQ(lines, (std::vector<std::string>{"Subject:", "X-A: one", "\ttwo"}));

    // No empty entry, which would end the header block early.
    lines.clear();
    AddFoldedHeader(lines, "X-B: v" + std::string(100, ' '));
    AddFoldedHeader(lines, "   ");
    EXPECT_EQ(lines, std::vector<std::string>{"X-B: v"});

    TCharSet nameBreaks(" ");
    nameBreaks.AddRange('0', '9').AddRange('a', 'z').AddRange('A', 'Z');
    const std::string name = std::string(66, 'n') + ".txt";
    const std::string folded = FoldText(name, nameBreaks, 63);
    EXPECT_EQ(folded, name.substr(0, 63) + "\r\n\t" + name.substr(63));
    EXPECT_EQ(FoldText("short name", nameBreaks, 63), "short name");
}
