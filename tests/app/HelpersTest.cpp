#include "AppFixture.h"
#include "app/FileList.h"
#include "app/Settings.h"

namespace pv::test {
namespace {

TEST(Mailbox, ParsesTheFormsPeopleType) {
    struct Case {
        const char *text, *name, *address;
    } cases[] = {
        {"  John Doe  <john@x.org> ", "John Doe", "john@x.org"},
        {"john@x.org", "", "john@x.org"},
        {"John john@x.org", "John", "john@x.org"},
        {"John   john@x.org  ", "John", "john@x.org"},
        {"\"Doe, John\" <j@x>", "Doe, John", "j@x"},
        {"'Al' al@x", "Al", "al@x"},
        {"\"Al\" <al@x", "Al", "al@x"},
        {"<a@b>", "", "a@b"},
        {"\"a@b\"", "", "a@b"},
        {"\"unterminated", "unterminated", ""},
        {"\"unclosed <a@b>", "unclosed <a@b>", "a@b"}, // the address is not hidden
        {"\"x<y\" z@w", "x<y", ""}, // a "<" only inside the quotes gives no address
        {"word", "word", ""},
        {"   ", "", ""},
    };
    for (const Case &c : cases) {
        TMailbox m = ParseMailbox(c.text);
        EXPECT_EQ(m.Name, c.name) << c.text;
        EXPECT_EQ(m.Address, c.address) << c.text;
    }
    EXPECT_EQ(NormalizeAddress("Jane Roe <jane@x.org>"), "\"Jane Roe\" <jane@x.org>");
    EXPECT_EQ(NormalizeAddress("\" Jane \" < jane@x.org >"), "\"Jane\" <jane@x.org>");
    EXPECT_EQ(NormalizeAddress("jane@x.org"), "jane@x.org");
    EXPECT_EQ(NormalizeAddress("<jane@x.org>"), "jane@x.org");
    EXPECT_EQ(NormalizeAddress("two words"), "\"two\" <words>");
    EXPECT_EQ(NormalizeAddress("word"), "");
    EXPECT_EQ(NormalizeAddress("\"Jane <jane@x.org>"), "\"Jane <jane@x.org>\" <jane@x.org>");
    EXPECT_EQ(NormalizeAddress(""), "");
}

TEST(Password, ScramblingFlipsBitSevenAndUndoesItself) {
    const std::string pwd = "s3cr\xC3\xA9t ";
    const std::string stored = ScramblePassword(pwd);
    ASSERT_EQ(stored.size(), pwd.size());
    for (std::size_t i = 0; i < pwd.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(stored[i] ^ pwd[i]), 0x80);
    EXPECT_EQ(ScramblePassword(stored), pwd);
}

TEST(Paths, BackslashRoutinesWorkWithSlashes) {
    EXPECT_EQ(AddBackslash(""), "/");
    EXPECT_EQ(AddBackslash("/tmp"), "/tmp/");
    EXPECT_EQ(AddBackslash("/tmp/"), "/tmp/");
    EXPECT_EQ(RemoveBackslash("/tmp/"), "/tmp");
    EXPECT_EQ(RemoveBackslash("/a//"), "/a/");
    EXPECT_EQ(RemoveBackslash("/tmp"), "/tmp");
    EXPECT_EQ(RemoveBackslash("/"), "/");
    EXPECT_EQ(RemoveBackslash(""), "");
}

TEST(Paths, CreateDirPathMakesMissingParents) {
    const std::string dir = MakeTempDir();
    EXPECT_TRUE(CreateDirPath(dir + "a/b/c/"));
    EXPECT_TRUE(IsDirectory(dir + "a/b/c"));
    EXPECT_TRUE(CreateDirPath(dir + "a/b")); // exists
    EXPECT_TRUE(CreateDirPath("/"));
    WriteFile(dir + "file", "x");
    EXPECT_FALSE(IsDirectory(dir + "file"));
    EXPECT_FALSE(IsDirectory(dir + "missing"));
    EXPECT_FALSE(CreateDirPath(dir + "file/sub"));
    EXPECT_FALSE(IsDirectory(dir + "file/sub"));
    try {
        CreateDirPath("");
        ADD_FAILURE() << "an empty path must raise";
    } catch (const Exception &e) {
        EXPECT_STREQ(e.what(), "Unable to create directory");
    }
    RemoveTree(dir);
}

TEST(Wildcards, MatchLikeTheDirectorySearchOfTheDesign) {
    struct Case {
        const char *pattern, *name;
        bool match;
    } cases[] = {
        {"*.TXT", "a.txt", true},
        {"*.TXT", "b.txte", false},
        {"A*", "a.txt", true},
        {"*.*", "README", false},
        {"*.*", "a.b", true},
        {"", "anything", true},
        {"IMG10?.BMP", "img101.bmp", true},
        {"IMG10?.BMP", "img10.bmp", false},
        {"*.WA?", "x.wav", true},
        {"*.WA?", "x.wa", false},
        {"MYLOG.TXT", "MyLog.txt", true},
        {"*", "", true},
        {"?", "", false},
        {"A*B*C", "aXbYc", true},
        {"A*B*C", "aXbYcd", false},
        {"**", "x", true},
        {"*a", "\xC3\xA4", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(MatchWildcard(c.pattern, c.name), c.match) << c.pattern << " / " << c.name;
    // Many stars against a long near-miss must not take exponential time.
    EXPECT_FALSE(MatchWildcard("*A*A*A*A*A*A*A*A*A*A*A*A*A*A*B", std::string(5000, 'a')));
}

} // namespace
} // namespace pv::test
