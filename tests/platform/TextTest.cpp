#include <gtest/gtest.h>

#include "platform/Text.h"

using namespace pv;

TEST(Text, TrimRemovesBlanksAndControlCharacters) {
    EXPECT_EQ(Trim(" \t\r\n\x01 abc def \x1f\x7f "), "abc def \x1f\x7f");
    EXPECT_EQ(TrimLeft("\t x "), "x ");
    EXPECT_EQ(TrimRight(" x \r\n"), " x");
    EXPECT_EQ(Trim(" \t "), "");
    EXPECT_EQ(Trim(""), "");
    // Bytes above 127 (UTF-8, scrambled text) are not blanks.
    EXPECT_EQ(Trim("\xa0x\xa0"), "\xa0x\xa0");
}

TEST(Text, CaseTouchesAsciiOnly) {
    EXPECT_EQ(UpperCase("iso-8859-2 \xc3\xa9"), "ISO-8859-2 \xc3\xa9");
    EXPECT_EQ(LowerCase("UTF-8 \xc3\x89"), "utf-8 \xc3\x89");
    EXPECT_TRUE(SameText("Package.ZIP", "package.zip"));
    EXPECT_FALSE(SameText("a", "ab"));
    EXPECT_FALSE(SameText("\xc3\xa9", "\xc3\x89"));
    EXPECT_EQ(IntToStr(-42), "-42");
    EXPECT_EQ(IntToStr(9000000000LL), "9000000000");
}

TEST(Text, StrToIntDefAcceptsDecimalAndHexOnly) {
    EXPECT_EQ(StrToIntDef("25", -1), 25);
    EXPECT_EQ(StrToIntDef(" +7 ", -1), 7);
    EXPECT_EQ(StrToIntDef("-3", 0), -3);
    EXPECT_EQ(StrToIntDef("0x1f", -1), 31);
    EXPECT_EQ(StrToIntDef("$FF", -1), 255);
    EXPECT_EQ(StrToIntDef("-0x10", 0), -16);
    EXPECT_EQ(StrToIntDef("2147483647", 0), 2147483647);
    EXPECT_EQ(StrToIntDef("-2147483648", 0), -2147483647 - 1);
    EXPECT_EQ(StrToIntDef("0x7FFFFFFF", 0), 2147483647);
    for (const char *bad : {"2147483648", "-2147483649", "0x80000000", "99999999999999999999", "",
                            " ", "12abc", "0x", "$", "-", "1 2", "0xg", "1e3", "--1"})
        EXPECT_EQ(StrToIntDef(bad, -99), -99) << bad;
    int v = 5;
    EXPECT_FALSE(TryStrToInt("x", v));
    EXPECT_EQ(v, 5);
    EXPECT_EQ(StrToInt64Def("-9223372036854775808", 0), INT64_MIN);
    EXPECT_EQ(StrToInt64Def("9223372036854775808", 1), 1);
    EXPECT_EQ(StrToInt64Def("0x7fffffffffffffff", 0), INT64_MAX);
}

TEST(Text, OemConversion) {
    // CP437 0x81 is u with diaeresis, 0xC9 a box corner.
    EXPECT_EQ(OemToSystem("M\x81nchen \xc9"), "M\xc3\xbc"
                                              "nchen \xe2\x95\x94");
    EXPECT_EQ(SystemToOem("M\xc3\xbc"
                          "nchen"),
              "M\x81nchen");
    // No CP437 form: one '?' per character; a broken sequence does not stop the rest.
    EXPECT_EQ(SystemToOem("a\xe2\x82\xac"
                          "b\xff"
                          "c"),
              "a?b?c");
}
