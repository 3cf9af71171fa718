#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

using namespace pv;
using pvtest::ReadFile;
using pvtest::WriteFile;

TEST(DirectorySearch, MatchesCaseInsensitivelyWithoutDirectories) {
    pvtest::TempDir dir;
    for (const char *n : {"a.txt", "B.TXT", "b.txte", ".hidden.txt", "img101.bmp", "img10.bmp"})
        WriteFile(dir / n, n);
    ASSERT_EQ(mkdir((dir / "dir.txt").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "pipe.txt").c_str(), 0600), 0);
    ASSERT_EQ(symlink("a.txt", (dir / "link.txt").c_str()), 0);

    auto names = [](const std::vector<TSearchRec> &v) {
        std::vector<std::string> r;
        for (const auto &e : v)
            r.push_back(e.Name);
        return r;
    };
    bool ok = false;
    auto txt = FindFiles(dir.Path(), "*.TXT", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(names(txt), (std::vector<std::string>{".hidden.txt", "B.TXT", "a.txt", "link.txt"}));
    ASSERT_EQ(txt.size(), 4u);
    EXPECT_EQ(txt[0].Attr, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(txt[2].Size, 5);

    EXPECT_EQ(names(FindFiles(dir.Path(), "IMG10?.bmp")), std::vector<std::string>{"img101.bmp"});
    EXPECT_EQ(FindFiles(dir.Path().substr(0, dir.Path().size() - 1), "*.*").size(), 7u);
    EXPECT_TRUE(FindFiles(dir.Path(), "nothing*").empty());

    FindFiles(dir / "missing", "*", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), ENOENT);
}

TEST(DirectorySearch, MaskMatching) {
    EXPECT_TRUE(MatchesMask("*.txt", "a.TXT"));
    EXPECT_FALSE(MatchesMask("*.txt", "b.txte"));
    EXPECT_TRUE(MatchesMask("*.wa?", "x.wav"));
    EXPECT_FALSE(MatchesMask("*.wa?", "x.wa"));
    EXPECT_TRUE(MatchesMask("a*b*c", "aXXbYYbZZc"));
    EXPECT_FALSE(MatchesMask("a*b*c", "aXXbYYbZZ"));
    EXPECT_TRUE(MatchesMask("", "anything"));
    EXPECT_TRUE(MatchesMask("*.*", "Makefile"));
    EXPECT_FALSE(MatchesWildcard("*.*", "Makefile"));
    EXPECT_TRUE(MatchesWildcard("*.*", "a.b"));
    EXPECT_TRUE(MatchesMask("*", ""));
    EXPECT_FALSE(MatchesMask("?", ""));
    // Non-ASCII bytes compare exactly.
    EXPECT_TRUE(MatchesMask("\xc3\xa9*", "\xc3\xa9t\xc3\xa9"));
    EXPECT_FALSE(MatchesMask("\xc3\xa9*", "\xc3\x89t\xc3\xa9"));
    // Many stars against a long name stay fast.
    EXPECT_FALSE(MatchesMask("*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}
