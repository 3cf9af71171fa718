// The SMTP client's own pieces that need no server: mailbox parsing, the
// address headers, the Date text, misuse and the requests that end locally.
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "mail/SmtpCli.h"
#include "net/Winsock.h"
#include "platform/FileSystem.h"
#include "tests/mail/SmtpTestSupport.h"
#include "tests/support/LoopGuard.h"

namespace pv::test {
namespace {

std::pair<std::string, std::string> Split(const std::string &text) {
    std::pair<std::string, std::string> r;
    SplitAddress(text, r.first, r.second);
    return r;
}

using NA = std::pair<std::string, std::string>;

TEST(SmtpAddresses, SplitAddress) {
    EXPECT_EQ(Split("Joe Bloggs <joe@x.org>"), (NA{"Joe Bloggs", "joe@x.org"}));
    EXPECT_EQ(Split("  \"Bloggs, Joe\" <joe@x.org>"), (NA{"Bloggs, Joe", "joe@x.org"}));
    EXPECT_EQ(Split("'Joe' joe@x.org"), (NA{"Joe", "joe@x.org"}));
    EXPECT_EQ(Split("joe@x.org"), (NA{"", "joe@x.org"}));
    EXPECT_EQ(Split("<joe@x.org"), (NA{"", "joe@x.org"}));
    EXPECT_EQ(Split("joe@x.org Joe"), (NA{"joe@x.org", "Joe"}));
    EXPECT_EQ(Split("   "), (NA{"", ""}));
    EXPECT_EQ(Split("\"unclosed <a@b>"), (NA{"unclosed <a@b>", "a@b"}));
    EXPECT_EQ(Split("\"x<y\" z@w"), (NA{"x<y", ""})); // "<" only inside the quotes
}

TEST(SmtpAddresses, AddRecipientsSplitsOutsideQuotes) {
    TSmtpCli client;
    client.RcptName = {"kept@x"};
    client.AddRecipients("a@x, \"Doe, Jane\" <jane@x>", "", "  bcc@x ;");
    EXPECT_EQ(client.RcptName,
              (std::vector<std::string>{"kept@x", "a@x", "\"Doe, Jane\" <jane@x>", "bcc@x"}));
}

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

TEST(SmtpValues, PropertiesWithSetters) {
    TSmtpCli client;
    EXPECT_EQ(client.ShareMode(), smtpShareDenyWrite);
    client.SetShareMode(smtpShareDenyNone);
    EXPECT_EQ(client.ShareMode(), smtpShareDenyNone);
    client.SetShareMode(smtpShareCompat);
    EXPECT_EQ(client.ShareMode(), smtpShareCompat);
    EXPECT_EQ(client.ContentType(), smtpPlainText);

    TempDir dir;
    std::ofstream(dir / "a.txt") << "a";
    try {
        client.SetEmailFiles({" " + (dir / "a.txt") + " ", "", dir / "missing.txt", dir / "a.txt"});
        ADD_FAILURE() << "no exception";
    } catch (const SmtpException &e) {
        EXPECT_EQ(e.Message(), "File not found '" + (dir / "missing.txt") + "'");
    }
    EXPECT_EQ(client.EmailFiles(), std::vector<std::string>{dir / "a.txt"});
    const std::string id = client.NewMessageId();
    EXPECT_EQ(id.front(), '<');
    EXPECT_EQ(id.find('_'), 9u);
    EXPECT_EQ(id.find('@'), 18u);
}

class SmtpLocal : public ::testing::Test {
  protected:
    LoopGuard guard{20};
    TSmtpCli client;
    Recorder rec{client};

    std::string Refusal(const std::function<void()> &request) {
        try {
            request();
        } catch (const SmtpException &e) {
            return e.Message();
        }
        return "no exception";
    }
};

TEST_F(SmtpLocal, MisuseRaisesBeforeAnythingHappens) {
    EXPECT_EQ(Refusal([&] { client.Helo(); }), "SMTP component not connected");
    EXPECT_EQ(Refusal([&] { client.Data(); }), "SMTP component not connected");
    EXPECT_EQ(Refusal([&] { client.Mail(); }), "SMTP component not connected");
    EXPECT_EQ(Refusal([&] { client.RcptTo(); }), "RcptName list is empty");
    client.Host = "localhost"; // looked up on a worker thread
    client.Port = "1";
    rec.Call([&] { client.Connect(); });
    EXPECT_EQ(Refusal([&] { client.Connect(); }), "SMTP component not ready");
    EXPECT_EQ(Refusal([&] { client.Quit(); }), "SMTP component not ready");
    // Aborting while the host is being looked up still ends the request.
    client.Abort();
    ASSERT_TRUE(rec.WaitDone(1));
    EXPECT_EQ(rec.done[0], (DoneEvent{smtpConnect, 10004}));
    EXPECT_EQ(client.State(), smtpReady);
    RunLoopFor(200);
    EXPECT_EQ(rec.done.size(), 1u);
    EXPECT_TRUE(rec.commands.empty());
}

TEST_F(SmtpLocal, RequestsThatEndWithoutAServer) {
    // Quit without a connection reports at once, but still posted.
    rec.Call([&] { client.Quit(); });
    ASSERT_TRUE(rec.WaitDone(1));
    EXPECT_EQ(rec.done[0], (DoneEvent{smtpQuit, 0}));

    // Nothing listens on this port.
    client.Host = "127.0.0.1";
    client.Port = "9"; // discard: not served here
    rec.Call([&] { client.Connect(); });
    ASSERT_TRUE(rec.WaitDone(2));
    EXPECT_EQ(rec.done[1], (DoneEvent{smtpConnect, 10061}));
    EXPECT_EQ(client.ErrorMessage(), "500 " + SocketErrorDesc(10061) + " (Winsock error #10061)");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.State(), smtpReady);

    // Open reports the failed step with its own request type.
    rec.Call([&] { client.Open(); });
    ASSERT_TRUE(rec.WaitDone(3));
    EXPECT_EQ(rec.done[2], (DoneEvent{smtpOpen, 10061}));
}

} // namespace
} // namespace pv::test
