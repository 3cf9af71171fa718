// The SMTP client against a real server (aiosmtpd on loopback); what arrived
// is read back with Python's email package (tests/support/check_mail.py).
#include <algorithm>
#include <fstream>
#include <random>

#include "tests/mail/SmtpTestSupport.h"
#include "tests/support/LoopGuard.h"

namespace pv::test {
namespace {

const std::string kDateRe = "^(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\\\\d? "
                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\\\d{4} "
                            "\\\\d\\\\d:\\\\d\\\\d:\\\\d\\\\d GMT$";

void WriteBytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

// The main window's settings of the client.
void LikeTheProgram(TSmtpCli &c, const std::string &port) {
    c.Host = "127.0.0.1";
    c.Port = port;
    c.Allow8bitChars = false;
    c.FoldHeaders = true;
    c.WrapMessageText = true;
}

class SmtpReal : public ::testing::Test {
  protected:
    LoopGuard guard{55};
    TSmtpCli client;
    Recorder rec{client};
};

TEST_F(SmtpReal, MessageWithAttachments) {
    RealSmtpPeer server;
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    TempDir files;
    const std::string longName = std::string(63, 'n') + "\"q\".txt"; // 70 characters
    const std::string utf8Name = "Gr\xC3\xBC\xC3\x9F"
                                 "e \xC3\xB1.txt";
    WriteBytes(files / "empty.bin", "");
    WriteBytes(files / "b54.bin", RandomBytes(54, 1));
    WriteBytes(files / "c55.dat", RandomBytes(55, 2));
    WriteBytes(files / "big.bin", RandomBytes(10 * 1024 * 1024, 3));
    WriteBytes(files / utf8Name, "non-ASCII name\r\n");
    WriteBytes(files / longName, "long name");

    LikeTheProgram(client, server.Port());
    client.CharSet = "utf-8";
    client.FromName = "sender@example.org";
    client.HdrFrom = "Sender Name <sender@example.org>";
    client.HdrTo = "Joe <joe@example.org>; \"Doe, Jane\" <jane@example.org>";
    client.HdrCc = "cc@example.org";
    client.HdrSubject = "Files from Postvane";
    client.AddRecipients(client.HdrTo, client.HdrCc, "bcc@example.org");
    client.MailMessage = {"Hello,",
                          "",
                          ".",
                          ".. two dots",
                          ".leading dot",
                          [] {
                              std::string s;
                              for (int i = 0; i < 15; ++i)
                                  s += "abcd ";
                              return s + "tail end";
                          }(),
                          "   indented line   "};
    client.SetEmailFiles({files / "empty.bin", files / "b54.bin", " " + files / "c55.dat" + " ", "",
                          files / "big.bin", files / utf8Name, files / longName});
    ASSERT_EQ(client.EmailFiles().size(), 6u);

    SessionDriver session(client, rec, false);
    ASSERT_TRUE(session.Run(40000));
    EXPECT_TRUE(session.errors.empty()) << session.errors[0];
    EXPECT_EQ(server.Envelope(1), "{\"mail_from\": \"sender@example.org\", \"rcpt_tos\": "
                                  "[\"joe@example.org\", \"jane@example.org\", "
                                  "\"cc@example.org\", \"bcc@example.org\"], \"login\": null}");

    std::string abcd;
    for (int i = 0; i < 15; ++i)
        abcd += i ? " abcd" : "abcd";
    const std::string text = "Hello,\r\n\r\n.\r\n.. two dots\r\n.leading dot\r\n" + abcd +
                             "\r\ntail end\r\nindented line\r\n";
    const auto att = [&](const std::string &name, const std::string &type) {
        return "{\"path\": " + JsonString(files / name) + ", \"filename\": " + JsonString(name) +
               ", \"content_type\": " + JsonString(type) + "}";
    };
    EXPECT_EQ(server.Check(1, R"({
        "raw_headers": {"From": "\"Sender Name\" <sender@example.org>",
                        "To": "\"Joe\" <joe@example.org>,\"Doe, Jane\" <jane@example.org>",
                        "Cc": "cc@example.org", "Subject": "Files from Postvane",
                        "Sender": "\"Sender Name\" <sender@example.org>",
                        "Mime-Version": "1.0", "X-Mailer": "Quillon SMTP Component V2.38"},
        "header_re": {"Content-Type":
                        "^multipart/mixed;\\tboundary=\"= Multipart Boundary \\d{10}\"$",
                      "Date": ")" +
                                  kDateRe + R"("},
        "absent_headers": ["Bcc", "Message-ID", "X-Priority", "Content-Transfer-Encoding",
                           "Reply-To", "Return-Path"],
        "header_order": ["From", "To", "Cc", "Subject", "Sender", "Mime-Version",
                         "Content-Type", "Date", "X-Mailer"],
        "multipart": true, "preamble": "This is a multipart MIME message.",
        "text": {"content": )" + JsonString(text) +
                                  R"(, "cte": "7bit", "content_type": "text/plain",
                 "charset": "utf-8"},
        "attachments": [)" + att("empty.bin", "application/octet-stream") +
                                  "," + att("b54.bin", "application/octet-stream") + "," +
                                  att("c55.dat", "application/octet-stream") + "," +
                                  att("big.bin", "application/octet-stream") + "," +
                                  att(utf8Name, "text/plain") + "," + att(longName, "text/plain") +
                                  R"(],
        "raw_contains": ["=?utf-8?Q?Gr=C3=BC=C3=9Fe_=C3=B1=2Etxt?=", "\r\n\r\n--= Multipart"],
        "max_line": 84})"),
              "OK");
}

TEST_F(SmtpReal, TextEncodingsHeadersAndEvents) {
    RealSmtpPeer server;
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    TempDir files;
    WriteBytes(files / "skipped.txt", "skipped");
    WriteBytes(files / "renamed.htm", RandomBytes(1000, 4));
    WriteBytes(files / "vanishes.txt", "gone before sending");

    LikeTheProgram(client, server.Port());
    client.FromName = "f@example.org";
    client.RcptName = {"r@example.org"};
    std::vector<std::string> openErrors;
    int mail = 0;
    SessionDriver session(client, rec, false, 4);
    session.beforeData = [&] {
        switch (++mail) {
        case 1: // text that needs encoding goes quoted-printable
            client.HdrTo = "J\xFCrgen <j@example.org>";
            client.HdrSubject = "Gr\xFC\xDF"
                                "e";
            client.MailMessage = {"Caf\xE9 au lait", "trailing spaces   ", ".dot",
                                  std::string(200, 'q')};
            break;
        case 2: // Base64 text, verbatim headers, priority and receipt request
            client.Allow8bitChars = true;
            client.FoldHeaders = false;
            client.DefaultEncoding = smtpEncBase64;
            client.SetContentType(smtpHtml);
            client.HdrPriority = smtpPriorityHigh;
            client.ConfirmReceipt = true;
            client.HdrFrom = "  Me <f@example.org>  ";
            client.HdrSubject = "";
            client.MailMessage = {"<p>Caf\xE9</p>", ".", ""};
            break;
        case 3: // the text brings its own header
            client.DefaultEncoding = smtpEnc7bit;
            client.SetContentType(smtpPlainText);
            client.HdrPriority = smtpPriorityNone;
            client.ConfirmReceipt = false;
            client.OwnHeaders = true;
            client.MailMessage = {"Subject: own header", "From: f@example.org", "", "body",
                                  ".dotted"};
            break;
        case 4: // the events of the message builder
            client.OwnHeaders = false;
            client.Allow8bitChars = false;
            client.FoldHeaders = true;
            client.HdrSubject = "events";
            client.MailMessage = {"text"};
            client.SetEmailFiles(
                {files / "skipped.txt", files / "renamed.htm", files / "vanishes.txt"});
            unlink((files / "vanishes.txt").c_str());
            client.OnProcessHeader = [](TObject *, std::vector<std::string> &lines) {
                lines.push_back("X-Extra: yes");
            };
            client.OnHeaderLine = [](TObject *, char *line, int size) {
                if (std::string(line).rfind("X-Mailer:", 0) == 0)
                    std::snprintf(line, static_cast<std::size_t>(size), "%s",
                                  "X-Mailer: Postvane\r\n\tsecond line");
            };
            client.OnGetData = [](TObject *, int n, char *line, int max, bool &more) {
                more = n <= 2;
                if (more)
                    std::snprintf(line, static_cast<std::size_t>(max) + 1, ".extra %d", n);
            };
            client.OnBeforeFileOpen = [](TObject *, int idx, const std::string &,
                                         TSmtpBeforeOpenFileAction &action) {
                if (idx == 0)
                    action = smtpBeforeOpenFileNext;
            };
            client.OnAfterFileOpen = [&](TObject *, int idx, const std::string &,
                                         const Exception *e, TSmtpAfterOpenFileAction &action) {
                if (e) {
                    openErrors.push_back(std::to_string(idx) + " " + e->Message());
                    action = smtpAfterOpenFileNext;
                }
            };
            client.OnAttachContentType = [](TObject *, int, std::string &name, std::string &type) {
                EXPECT_EQ(type, "text/html");
                name = "shown.bin";
                type = "application/x-test";
            };
            client.OnAttachHeader = [](TObject *, int, const std::string &name,
                                       std::vector<std::string> &lines) {
                EXPECT_EQ(name, "shown.bin");
                lines.push_back("Content-Description: test");
            };
            break;
        }
    };
    ASSERT_TRUE(session.Run(30000));
    EXPECT_TRUE(session.errors.empty()) << session.errors[0];

    EXPECT_EQ(server.Check(1, R"({
        "raw_headers": {"Content-Type": "text/plain; charset=\"iso-8859-1\"",
                        "Content-Transfer-Encoding": "quoted-printable",
                        "To": "=?iso-8859-1?Q?J=FCrgen?= <j@example.org>"},
        "headers": {"Subject": "Gr\u00fc\u00dfe", "To": "J\u00fcrgen <j@example.org>"},
        "header_order": ["Content-Type", "Content-Transfer-Encoding", "Date"],
        "multipart": false,
        "text": {"content": )" +
                                  JsonString("Caf\xE9 au lait\r\ntrailing spaces   \r\n.dot\r\n" +
                                             std::string(200, 'q') + "\r\n\r\n") +
                                  R"(},
        "max_line": 75})"),
              "OK");
    EXPECT_EQ(server.Check(2, R"({
        "raw_headers": {"Content-Type": "text/html; charset=\"iso-8859-1\"",
                        "Content-Transfer-Encoding": "base64", "Subject": "",
                        "From": "Me <f@example.org>",
                        "Disposition-Notification-To": "Me <f@example.org>",
                        "X-Priority": "2", "Priority": "urgent", "X-MSMail-Priority": "High"},
        "header_re": {"Message-ID": "^<[0-9A-F]{8}_[0-9A-F]{8}@[^>]+>$"},
        "text": {"content": )" + JsonString("<p>Caf\xE9</p>\r\n.\r\n\r\n") +
                                  R"(}})"),
              "OK");
    const std::string own = server.Message(3);
    EXPECT_EQ(own, "Subject: own header\r\nFrom: f@example.org\r\n\r\nbody\r\n.dotted\r\n");
    EXPECT_EQ(server.Check(4, R"({
        "raw_headers": {"X-Extra": "yes", "X-Mailer": "Postvane\tsecond line"},
        "text": {"content": "text\r\n.extra 1\r\n.extra 2\r\n\r\n"},
        "attachments": [{"path": )" +
                                  JsonString(files / "renamed.htm") +
                                  R"(, "filename": "shown.bin",
                         "content_type": "application/x-test"}],
        "raw_contains": ["Content-Description: test\r\n\r\n"],
        "raw_lacks": ["skipped"]})"),
              "OK");
    ASSERT_EQ(openErrors.size(), 1u);
    EXPECT_EQ(openErrors[0].rfind("2 Cannot open file", 0), 0u) << openErrors[0];
}

TEST_F(SmtpReal, AuthMechanisms) {
    RealSmtpPeer server({"--auth-required", "--users", "joe:s3cr\xC3\xA9t,other:x"});
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    LikeTheProgram(client, server.Port());
    client.Username = "joe";
    client.Password = "s3cr\xC3\xA9t";
    client.FromName = "joe@example.org";
    client.RcptName = {"r@example.org"};
    client.MailMessage = {"logged on"};
    int stored = 0;
    for (TSmtpAuthType type :
         {smtpAuthLogin, smtpAuthPlain, smtpAuthCramMD5, smtpAuthCramSha1, smtpAuthAutoSelect}) {
        SCOPED_TRACE(static_cast<int>(type));
        client.AuthType = type;
        rec.done.clear();
        SessionDriver session(client, rec, true);
        ASSERT_TRUE(session.Run());
        EXPECT_TRUE(session.errors.empty()) << session.errors[0];
        ASSERT_EQ(rec.done.size(), 7u);
        EXPECT_EQ(rec.done[2], (DoneEvent{smtpAuth, 0}));
        ++stored;
        EXPECT_NE(server.Envelope(stored).find("\"login\": \"joe\""), std::string::npos);
    }
    EXPECT_EQ(client.OfferedMechanisms(),
              (std::vector<std::string>{"", "CRAM-MD5", "CRAM-SHA1", "LOGIN", "PLAIN"}));

    // A wrong password is refused; without AUTH the server wants a logon.
    client.Password = "wrong";
    client.AuthType = smtpAuthLogin;
    rec.done.clear();
    SessionDriver refused(client, rec, true);
    ASSERT_TRUE(refused.Run());
    EXPECT_EQ(rec.done, (std::vector<DoneEvent>{
                            {smtpConnect, 0}, {smtpEhlo, 0}, {smtpAuth, 535}, {smtpQuit, 0}}));
    EXPECT_EQ(client.ErrorMessage().substr(0, 4), "535 ");
    rec.done.clear();
    SessionDriver none(client, rec, false);
    ASSERT_TRUE(none.Run());
    EXPECT_EQ(rec.done[2], (DoneEvent{smtpMailFrom, 530}));
}

TEST_F(SmtpReal, AbortFromAHandlerLeavesTheClientReady) {
    // The program's watchdog may abort while a handler of the client runs
    // (its display handler waits in a nested loop now and then). Whatever
    // was being handled, the request ends once with 10004 and the client
    // serves the next session.
    RealSmtpPeer server({"--users", "joe:pw"});
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    LikeTheProgram(client, server.Port());
    client.Username = "joe";
    client.Password = "pw";
    client.AuthType = smtpAuthLogin;
    client.FromName = "joe@example.org";
    client.RcptName = {"r@example.org"};
    client.MailMessage = {"after the abort"};
    struct Case {
        const char *where;
        TSmtpRequest request;
    } cases[] = {{"display < 220", smtpConnect},
                 {"response 220", smtpConnect},
                 {"connected", smtpConnect},
                 {"display < 334", smtpAuth},
                 {"nested display < 334", smtpAuth}};
    int stored = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.where);
        const std::string where = c.where;
        bool aborted = false;
        const auto abortOnce = [&](const std::string &event, const std::string &msg,
                                   const std::string &reply) {
            if (aborted || where.rfind(event, 0) != 0 || msg.rfind(reply, 0) != 0)
                return;
            aborted = true;
            if (event == "nested display") {
                // Aborted by a message handled while the handler waits.
                HWND w = CreateWindow([&](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
                    if (m == WM_USER)
                        client.Abort();
                    return DefWindowProc(h, m, wp, lp);
                });
                PostMessage(w, WM_USER, 0, 0);
                RunLoopFor(300);
                DestroyWindow(w);
            } else {
                client.Abort();
            }
        };
        // The reply the abort waits for: what follows the event's name.
        const std::size_t at = where.find_first_of("<2");
        const std::string wanted = at == std::string::npos ? "" : where.substr(at);
        client.OnDisplay = [&](TObject *, const std::string &m) {
            abortOnce("display", m, wanted);
            abortOnce("nested display", m, wanted);
        };
        rec.onResponse = [&](const std::string &m) { abortOnce("response", m, "220"); };
        client.OnSessionConnected = [&](TObject *, std::uint16_t) {
            abortOnce("connected", "", "");
        };
        rec.done.clear();
        SessionDriver session(client, rec, true);
        ASSERT_TRUE(session.Run());
        ASSERT_TRUE(aborted);
        RunLoopFor(100);
        ASSERT_FALSE(rec.done.empty());
        EXPECT_EQ(rec.done.back(), (DoneEvent{c.request, 10004}));
        ASSERT_EQ(static_cast<int>(client.State()), static_cast<int>(smtpReady));
        EXPECT_FALSE(client.Connected());

        // The next session runs as if nothing had happened.
        aborted = true;
        rec.done.clear();
        SessionDriver next(client, rec, true);
        ASSERT_TRUE(next.Run());
        EXPECT_TRUE(next.errors.empty()) << next.errors[0];
        EXPECT_EQ(rec.done.size(), 7u);
        ++stored;
        EXPECT_NE(server.Envelope(stored), "");
    }
}

TEST_F(SmtpReal, RefusalsAndCompoundRequests) {
    RealSmtpPeer server({"--refuse-rcpt", "bad@example.org", "--refuse-data", "late@example.org",
                         "--refuse-mail", "spammer@example.org"});
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    LikeTheProgram(client, server.Port());
    client.FromName = "f@example.org";
    client.MailMessage = {"compound"};

    // Open, then Mail with a refused recipient in the middle: the others get
    // the message.
    client.RcptName = {"a@example.org", "bad@example.org", "c@example.org"};
    rec.Call([&] { client.Open(); });
    ASSERT_TRUE(rec.WaitDone(1));
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpOpen, 0}));
    rec.Call([&] { client.Mail(); });
    ASSERT_TRUE(rec.WaitDone(2));
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpMail, 0}));
    EXPECT_EQ(client.ErrorMessage(), "550 5.1.1 <bad@example.org>: Recipient address rejected");
    EXPECT_NE(server.Envelope(1).find("[\"a@example.org\", \"c@example.org\"]"), std::string::npos);

    // The message refused after its end, then the sender refused.
    client.RcptName = {"late@example.org"};
    rec.Call([&] { client.Mail(); });
    ASSERT_TRUE(rec.WaitDone(3));
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpMail, 554}));
    EXPECT_EQ(client.ErrorMessage(), "554 5.6.0 Message refused");
    client.FromName = "spammer@example.org";
    rec.Call([&] { client.Mail(); });
    ASSERT_TRUE(rec.WaitDone(4));
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpMail, 553}));
    EXPECT_TRUE(client.Connected()) << "a refusal does not close the connection";
    rec.Call([&] { client.Quit(); });
    ASSERT_TRUE(rec.WaitDone(5));
    EXPECT_EQ(rec.done.back(), (DoneEvent{smtpQuit, 0}));
}

TEST_F(SmtpReal, AttachmentThatCannotBeReadFailsTheMessage) {
    // A part cut short must not be accepted as if it were the whole file.
    RealSmtpPeer server;
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    LikeTheProgram(client, server.Port());
    client.FromName = "f@example.org";
    client.RcptName = {"r@example.org"};
    client.MailMessage = {"text"};
    client.EmailFiles().push_back("/proc/self/mem"); // opens, but reading fails
    SessionDriver session(client, rec, false);
    ASSERT_TRUE(session.Run());
    ASSERT_GE(rec.done.size(), 5u);
    EXPECT_EQ(rec.done[4], (DoneEvent{smtpData, 500}));
    EXPECT_EQ(client.ErrorMessage().rfind("500 EReadError: ", 0), 0u) << client.ErrorMessage();
    EXPECT_FALSE(client.Connected());
    RunLoopFor(300);
    EXPECT_EQ(server.Message(1), "") << "the server kept a damaged message";
}

TEST_F(SmtpReal, ControlBytesNeverReachTheWire) {
    // Texts from outside (file names, properties, handlers) that would end
    // the message early, add commands or forge headers: the names travel
    // encoded, everything else fails its request before it is sent; the
    // server gets exactly the mails meant, for exactly their recipients.
    RealSmtpPeer server;
    ASSERT_TRUE(server.started) << server.peer.ErrorLog();
    TempDir files;
    const std::string smuggler = "a\r\n.\r\nMAIL FROM:<x@evil.test>\r\nRCPT TO:<y@elsewhere.test>"
                                 "\r\nDATA\r\nSubject: forged\r\n\r\nforged";
    const std::string forger = "b\nX-Forged: yes.txt";
    const std::string tabbed = "c\td.txt";
    WriteBytes(files / smuggler, "one");
    WriteBytes(files / forger, "two");
    WriteBytes(files / tabbed, "three");
    WriteBytes(files / "plain.txt", "four");
    LikeTheProgram(client, server.Port());
    client.FromName = "f@example.org";
    client.RcptName = {"r@example.org"};
    client.MailMessage = {"text"};
    const auto run = [&](const std::function<void()> &setup) {
        client.SignOn = "tester";
        client.FromName = "f@example.org";
        client.HdrSubject = "names";
        client.RcptName = {"r@example.org"};
        client.EmailFiles().clear();
        client.OnHeaderLine = nullptr;
        client.OnGetData = nullptr;
        setup();
        rec.done.clear();
        SessionDriver session(client, rec, false);
        EXPECT_TRUE(session.Run());
        return rec.done;
    };
    const std::vector<DoneEvent> sent = {{smtpConnect, 0}, {smtpHelo, 0}, {smtpMailFrom, 0},
                                         {smtpRcptTo, 0},  {smtpData, 0}, {smtpQuit, 0}};
    const std::string envelope =
        "{\"mail_from\": \"f@example.org\", \"rcpt_tos\": [\"r@example.org\"], \"login\": null}";
    const auto att = [&](const std::string &name) {
        return "{\"path\": " + JsonString(files / name) + ", \"filename\": " + JsonString(name) +
               "}";
    };
    int stored = 0;

    // File names, 8-bit allowed or not.
    for (bool allow8 : {false, true}) {
        SCOPED_TRACE(allow8);
        client.Allow8bitChars = allow8;
        EXPECT_EQ(run([&] {
                      client.EmailFiles() = {files / smuggler, files / forger, files / tabbed,
                                             files / "plain.txt"};
                  }),
                  sent);
        ++stored;
        EXPECT_EQ(server.Envelope(stored), envelope);
        EXPECT_EQ(
            server.Check(stored, "{\"attachments\": [" + att(smuggler) + "," + att(forger) + "," +
                                     att(tabbed) + "," + att("plain.txt") +
                                     "], \"raw_lacks\": [\"X-Forged: yes\", \"forged\\r\\n\"], "
                                     "\"raw_contains\": [\"name=\\\"plain.txt\\\"\"]}"),
            "OK");
    }
    client.Allow8bitChars = false;

    // Properties and handlers: the request fails with 500 and a clear text.
    struct Refused {
        const char *what;
        TSmtpRequest request;
        const char *text;
        std::function<void()> setup;
    } refused[] = {
        {"subject", smtpData, "500 Line break in header line, not sent: Subject: Hi\\r\\nBcc: ",
         [&] { client.HdrSubject = "Hi\r\nBcc: evil@elsewhere.test"; }},
        {"bare LF in a subject", smtpData, "500 Line break in header line, not sent: Subject: a\\n",
         [&] { client.HdrSubject = "a\nX-Forged: yes"; }},
        {"recipient", smtpRcptTo, "500 Control character in command, not sent: RCPT TO:<r@",
         [&] {
             client.RcptName = {"r@example.org", "<r@example.org\r\nRCPT TO:y@elsewhere.test>"};
         }},
        {"sender", smtpMailFrom, "500 Control character in command, not sent: MAIL FROM:<f@",
         [&] { client.FromName = "<f@example.org\nRCPT TO:y@elsewhere.test>"; }},
        {"HELO name", smtpHelo, "500 Control character in command, not sent: HELO tester\\r\\n",
         [&] { client.SignOn = "tester\r\nMAIL FROM:<x@evil.test>"; }},
        {"header line rewritten", smtpData,
         "500 Line break in header line, not sent: X-Mailer: x\\r\\n.\\r\\n",
         [&] {
             client.OnHeaderLine = [](TObject *, char *line, int size) {
                 if (std::string(line).rfind("X-Mailer:", 0) == 0)
                     std::snprintf(line, static_cast<std::size_t>(size), "%s",
                                   "X-Mailer: x\r\n.\r\nMAIL FROM:<x@evil.test>");
             };
         }},
        {"header line with a bare LF", smtpData,
         "500 Line break in header line, not sent: X-Mailer: x\\nX-Forged: yes",
         [&] {
             client.OnHeaderLine = [](TObject *, char *line, int size) {
                 if (std::string(line).rfind("X-Mailer:", 0) == 0)
                     std::snprintf(line, static_cast<std::size_t>(size), "%s",
                                   "X-Mailer: x\nX-Forged: yes");
             };
         }},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(r.what);
        const auto done = run(r.setup);
        // The last request before QUIT, if the connection was still there.
        const auto last = std::find_if(done.rbegin(), done.rend(),
                                       [](const DoneEvent &d) { return d.Rq != smtpQuit; });
        ASSERT_NE(last, done.rend());
        EXPECT_EQ(*last, (DoneEvent{r.request, 500}));
        EXPECT_EQ(client.ErrorMessage().rfind(r.text, 0), 0u) << client.ErrorMessage();
    }

    // Text lines are the message's own: their line breaks become lines of
    // the message, each dot-stuffed, and nothing leaves the DATA phase.
    EXPECT_EQ(run([&] {
                  client.OnGetData = [](TObject *, int n, char *line, int max, bool &more) {
                      more = n == 1;
                      if (more)
                          std::snprintf(line, static_cast<std::size_t>(max) + 1, "%s",
                                        "x\r\n.\r\nMAIL FROM:<x@evil.test>\n.\rend");
                  };
              }),
              sent);
    ++stored;
    EXPECT_EQ(server.Envelope(stored), envelope);
    EXPECT_EQ(server.Check(stored, "{\"text\": {\"content\": \"text\\r\\nx\\r\\n.\\r\\nMAIL "
                                   "FROM:<x@evil.test>\\r\\n.\\r\\nend\\r\\n\"}}"),
              "OK");

    RunLoopFor(300);
    EXPECT_EQ(server.Message(stored + 1), "") << "a mail nobody sent";
}

} // namespace
} // namespace pv::test
