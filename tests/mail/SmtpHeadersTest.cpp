// The header pieces: address headers and the Date text.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "mail/SmtpHeaders.h"
#include "platform/TimeFormat.h"

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

TEST(SmtpHeaders, LineBreaksAllowedInAHeaderLine) {
    struct Case {
        const char *line;
        bool strict, loose; // without and with further fields allowed
    } cases[] = {
        {"Subject: plain", true, true},
        {"", true, true},
        {"Subject: =?utf-8?Q?a?=\r\n\t=?utf-8?Q?b?=", true, true},
        {"X-Mailer: a\r\n second\r\n\tthird", true, true},
        {"Content-Type: text/plain\r\nContent-Transfer-Encoding: 8bit", false, true},
        {"Subject: a\r\n.", false, false},
        {"Subject: a\r\nMAIL FROM:<x@y>", false, false},
        {"Subject: a\r\n:b", false, false},
        {"Subject: a\r\n\r\nbody", false, false},
        {"Subject: a\r\n \t", false, false},
        {"Subject: a\r\n", false, false},
        {"Subject: a\nX-Forged: yes", false, false},
        {"Subject: a\rX-Forged: yes", false, false},
        {"Subject: a\n\r\tb", false, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(IsSendableHeaderLine(c.line, false), c.strict) << ShowControls(c.line);
        EXPECT_EQ(IsSendableHeaderLine(c.line, true), c.loose) << ShowControls(c.line);
    }
    EXPECT_EQ(ShowControls(std::string("a\r\n\tb\x7f\0", 7)), "a\\r\\n\\tb\\x7F\\x00");
}

// The Date text of an instant, by the C library.
std::string GmtText(std::time_t when) {
    std::tm gmt{};
    gmtime_r(&when, &gmt);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %e %b %Y %H:%M:%S GMT", &gmt);
    std::string text = buf;
    if (text[5] == ' ')
        text.erase(5, 1); // the day has no leading blank
    return text;
}

TEST(SmtpValues, MailDateTextIsGmt) {
    // Checked just after a second has begun, when a coarser clock than the
    // one the text is taken from may still show the second before.
    const auto stop = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    const auto msOfSecond = [] { return Now().UnixMs % 1000; };
    while (msOfSecond() < 990 && std::chrono::steady_clock::now() < stop) {
    }
    while (msOfSecond() >= 990 && std::chrono::steady_clock::now() < stop) {
    }
    const char *old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    for (const char *zone : {"America/St_Johns", "Asia/Kolkata", "UTC"}) {
        setenv("TZ", zone, 1);
        tzset();
        // The clock the text is taken from, not time(), which may lag it.
        const std::time_t before = Now().UnixMs / 1000;
        const std::string text = MailDateText();
        const std::time_t after = Now().UnixMs / 1000;
        EXPECT_TRUE(text == GmtText(before) || text == GmtText(after))
            << zone << ": " << text << ", expected " << GmtText(before);
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
} // namespace pv::test
