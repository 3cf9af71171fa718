// Server bytes through the socket into TSmtpCli running a whole session on
// the loop, driven the way the job engine drives it: Connect, HELO or EHLO
// and AUTH, then MAIL FROM, RCPT TO and DATA per message, and QUIT; a failure
// leads to QUIT while connected.
//
// Input: an options byte, then the server's reply pieces separated by 0x1E;
// each piece is sent when the client waits. Options: bits 0-2 the AUTH
// mechanism (0 none: HELO), bits 3-4 the number of messages less one, bit 5
// attachments, bit 6 the compound requests Open and Mail, bit 7 a reset
// instead of a FIN after the last piece.
//
// Findings: anything the sanitizers see; an exception other than the
// component's own escaping to the loop; a request that ends twice, never, or
// inside the call that started it; a session that never ends; a DATA
// reported sent that the server did not receive in full; a line sent to the
// server holding a bare CR or LF or longer than 1000 bytes; a window, timer
// or watch left behind.
#include <fstream>

#include "fuzz/FuzzSupport.h"
#include "mail/SmtpCli.h"

namespace pv::fuzz {
namespace {

const TSmtpAuthType kMechanisms[8] = {smtpAuthNone,       smtpAuthPlain,    smtpAuthLogin,
                                      smtpAuthCramMD5,    smtpAuthCramSha1, smtpAuthAutoSelect,
                                      smtpAuthAutoSelect, smtpAuthLogin};

const std::vector<std::string> &Attachments() {
    static const std::vector<std::string> files = [] {
        std::vector<std::string> names = {ScratchDir() + "small.txt", ScratchDir() + "lines.log"};
        std::ofstream(names[0], std::ios::binary) << "a short file\r\n.\r\nwith a dot line";
        std::ofstream big(names[1], std::ios::binary);
        for (int i = 0; i < 300; ++i)
            big << "line " << i << " of a log that fills several Base64 lines\n";
        return names;
    }();
    return files;
}

class Session {
  public:
    explicit Session(std::uint8_t options)
        : mechanism_(kMechanisms[options & 7]), messages_(1 + ((options >> 3) & 3)),
          compound_(options & 0x40) {
        client_.Host = "127.0.0.1";
        client_.Port = std::to_string(LoopbackPeer::Port());
        client_.SignOn = "fuzz.example";
        client_.Username = "user";
        client_.Password = "secret";
        client_.AuthType = mechanism_;
        client_.FromName = "\"Sender\" <sender@example.org>";
        client_.AddRecipients("joe@example.org", "ann@example.org", "");
        client_.HdrFrom = client_.FromName;
        client_.HdrTo = "joe@example.org";
        client_.HdrSubject = "Fuzzed session \xe9t\xe9";
        client_.MailMessage = {"Text of the message.", ".", "..two dots", ""};
        if (options & 0x20)
            client_.SetEmailFiles(Attachments());
        client_.OnRequestDone = [this](TObject *, TSmtpRequest rq, std::uint16_t code) {
            Trace("done " + std::to_string(rq) + " " + std::to_string(code));
            Done(rq, code);
        };
        if (Tracing())
            client_.OnDisplay = [](TObject *, const std::string &m) { Trace(m); };
    }

    void Start() {
        Call([&] {
            if (compound_)
                client_.Open();
            else
                client_.Connect();
        });
    }

    bool Finished() const { return finished_; }
    bool Abandoned() const { return abandoned_; }
    int Started() const { return started_; }
    int Ended() const { return ended_; }
    int DataSent() const { return dataSent_; }
    TSmtpCli &Client() { return client_; }

  private:
    // A request call: it must not report before it returns. The component's
    // own exception (misuse, as when the server closed meanwhile) ends the
    // session as the job engine ends it.
    void Call(const std::function<void()> &request) {
        inCall_ = true;
        const int before = ended_;
        try {
            request();
            ++started_;
        } catch (const Exception &) {
            client_.OnRequestDone = nullptr;
            client_.Abort();
            finished_ = abandoned_ = true;
        }
        inCall_ = false;
        Check(ended_ == before, "OnRequestDone ran inside the call that started the request");
    }

    void Done(TSmtpRequest rq, int code) {
        Check(!inCall_, "OnRequestDone ran inside a request call");
        ++ended_;
        Check(ended_ <= started_,
              [&] { return "a request ended twice (request " + std::to_string(rq) + ")"; });
        if ((rq == smtpData || rq == smtpMail) && code == 0)
            ++dataSent_;
        if (finished_)
            return;
        const bool usable = client_.Connected();
        if (code != 0 || rq == smtpQuit || !usable) {
            if (usable && rq != smtpQuit) {
                Call([&] { client_.Quit(); });
                return;
            }
            finished_ = true;
            return;
        }
        Call([&] {
            switch (rq) {
            case smtpConnect:
                if (mechanism_ == smtpAuthNone)
                    client_.Helo();
                else
                    client_.Ehlo();
                break;
            case smtpEhlo:
                client_.Auth();
                break;
            case smtpHelo:
            case smtpAuth:
            case smtpOpen:
                NextMail();
                break;
            case smtpMailFrom:
                client_.RcptTo();
                break;
            case smtpRcptTo:
                client_.Data();
                break;
            default: // smtpData, smtpMail
                if (--messages_ > 0)
                    NextMail();
                else
                    client_.Quit();
                break;
            }
        });
    }

    void NextMail() {
        if (compound_)
            client_.Mail();
        else
            client_.MailFrom();
    }

    TSmtpCli client_;
    TSmtpAuthType mechanism_;
    int messages_;
    bool compound_;
    bool inCall_ = false;
    bool finished_ = false;
    bool abandoned_ = false; // aborted after a refused call: no more events
    int started_ = 0;
    int ended_ = 0;
    int dataSent_ = 0;
};

// The lines the client sent: each ends with CR LF, holds no other CR or LF
// and is at most 1000 bytes with its end. Returns the number of complete
// messages (the "." line after DATA) seen.
int CheckClientStream(const std::string &sent) {
    int messages = 0;
    std::size_t start = 0;
    while (start < sent.size()) {
        const std::size_t end = sent.find("\r\n", start);
        if (end == std::string::npos)
            break; // a line cut short by an abandoned message
        const std::string_view line(sent.data() + start, end - start);
        Check(line.find_first_of("\r\n") == std::string_view::npos,
              [&] { return "a bare CR or LF sent to the server: " + Shown(line); });
        Check(line.size() + 2 <= 1000, "a line of more than 1000 bytes sent to the server");
        if (line == ".")
            ++messages;
        start = end + 2;
    }
    return messages;
}

} // namespace
} // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace pv::fuzz;
    const Input input(data, size);
    {
        LoopbackPeer peer(input.Pieces, input.Options & 0x80);
        Session session(input.Options);
        peer.Connecting = [&] { return session.Client().Socket().State() == pv::wsConnecting; };
        try {
            session.Start();
            if (!RunSession(peer, [&] { return session.Finished(); }))
                Fail("the session never ends: the client waits on a closed connection");
            // Whatever is still posted runs, and must not end a request again.
            RunSession(peer, [] { return false; });
        } catch (const pv::SmtpException &) {
            // Raised to the loop by a handler of ours only; the client's own
            // reply handling must not do so.
            Fail("SmtpException escaped to the message loop");
        } catch (const std::exception &e) {
            Fail(std::string("exception escaped to the message loop: ") + e.what());
        }
        Check(session.Abandoned() || session.Ended() == session.Started(), "a request never ended");
        const int complete = CheckClientStream(peer.Received());
        Check(session.DataSent() <= complete,
              "a message reported sent that the server never received in full");
    }
    CheckLoopClean("smtp");
    return 0;
}
