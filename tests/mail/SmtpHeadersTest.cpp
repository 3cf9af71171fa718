// The header pieces: address headers and the Date text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "mail/SmtpHeaders.h"

namespace pv::test {
namespace {

TEST(SmtpAddresses, AddressHeaders) {
    const auto header = [](const std::string &value, bool fold = true, bool allow8 = false) {
        std::vector<std::string> lines;
        AddAddressHeader(lines, "To:", value, fold, allow8, "iso-8859-1", 'Q');
        return lines;
    };
    using L = std::vector<std::string>;
    EXPECT_EQ(header("a@x; Joe \"Q\" Public <q@x>"), (L{"To: a@x,\"Joe \\\"Q\\\" Public\" <q@x>"}));
    // An apostrophe opens a quote that never closes: one item only.
    EXPECT_EQ(header("O'Brien <ob@x>, Joe <joe@x>"), (L{"To: \"O'Brien\" <ob@x>"}));
    EXPECT_EQ(header("J\xFCrgen <j@x>"), (L{"To: =?iso-8859-1?Q?J=FCrgen?= <j@x>"}));
    EXPECT_EQ(header("J\xFCrgen <j@x>", true, true), (L{"To: \"J\xFCrgen\" <j@x>"}));
    const L folded = header(
        "Alpha Person Longname <alpha@example.org>, Beta Person Longname <beta@example.org>");
    ASSERT_EQ(folded.size(), 2u);
    EXPECT_EQ(folded[0],
              "To: \"Alpha Person Longname\" <alpha@example.org>,\"Beta Person Longname\"");
    EXPECT_EQ(folded[1], "\t<beta@example.org>");
}

TEST(SmtpValues, MailDateTextIsGmt) {
    const char *old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    for (const char *zone : {"America/St_Johns", "Asia/Kolkata", "UTC"}) {
        setenv("TZ", zone, 1);
        tzset();
        std::string text;
        std::string expect;
        for (int tries = 0; tries < 3; ++tries) { // may straddle a second
            const std::time_t now = std::time(nullptr);
            text = MailDateText();
            std::tm gmt{};
            gmtime_r(&now, &gmt);
            char buf[64];
            std::strftime(buf, sizeof buf, "%a, %e %b %Y %H:%M:%S GMT", &gmt);
            expect = buf;
            if (expect[5] == ' ')
                expect.erase(5, 1); // the day has no leading blank
            if (text == expect)
                break;
        }
        EXPECT_EQ(text, expect) << zone;
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
} // namespace pv::test
