// Server bytes through the socket into TPop3Cli running a whole session on
// the loop: Connect, USER and PASS (or APOP, or Open), a script of mailbox
// requests, and QUIT; a failure leads to QUIT while connected.
//
// Input: an options byte, then pieces separated by 0x1E. The first piece is
// the script: one request per byte (STAT, LIST, UIDL, RETR, TOP, DELE, NOOP,
// RSET, LAST; a message number from the byte's high bits). The others are the
// server's reply pieces, each sent when the client waits. Options: bit 0 APOP,
// bit 1 Open instead of Connect, USER and PASS, bit 7 a reset instead of a FIN
// after the last piece.
//
// Findings: anything the sanitizers see; an exception other than the
// component's own escaping to the loop; a request that ends twice, never, or
// inside the call that started it; QUIT ending with an error or before the
// connection closed; a session that never ends; a line sent to the server
// holding a bare CR or LF; a window, timer or watch left behind.
#include "fuzz/FuzzSupport.h"
#include "mail/Pop3Cli.h"

namespace pv::fuzz {
namespace {

class Session {
  public:
    Session(std::uint8_t options, std::string script)
        : apop_(options & 1), open_(options & 2), script_(std::move(script)) {
        client_.Host = "127.0.0.1";
        client_.Port = std::to_string(LoopbackPeer::Port());
        client_.UserName = "user";
        client_.PassWord = "secret";
        client_.OnRequestDone = [this](TObject *, TPop3Request rq, std::uint16_t code) {
            Trace("done " + std::to_string(rq) + " " + std::to_string(code));
            Done(rq, code);
        };
        if (Tracing())
            client_.OnDisplay = [](TObject *, const std::string &m) { Trace(m); };
        // Every handler the multi-line answers raise, so that each runs.
        auto line = [this](TObject *) { lines_ += client_.LastResponse().size(); };
        client_.OnMessageLine = client_.OnListLine = client_.OnUidlLine = line;
        client_.OnHeaderEnd = [this](TObject *) {
            lines_ += client_.HeaderFrom().size() + client_.HeaderSubject().size();
        };
    }

    void Start() {
        Call([&] {
            if (open_ && !apop_)
                client_.Open();
            else
                client_.Connect();
        });
    }

    bool Finished() const { return finished_; }
    bool Abandoned() const { return abandoned_; }
    int Started() const { return started_; }
    int Ended() const { return ended_; }
    TPop3Cli &Client() { return client_; }

  private:
    void Call(const std::function<void()> &request) {
        inCall_ = true;
        const int before = ended_;
        try {
            request();
            ++started_;
        } catch (const Exception &) {
            // As the POP3 logon of the job engine ends it.
            client_.OnRequestDone = nullptr;
            client_.Abort();
            finished_ = abandoned_ = true;
        }
        inCall_ = false;
        Check(ended_ == before, "OnRequestDone ran inside the call that started the request");
    }

    void Done(TPop3Request rq, int code) {
        Check(!inCall_, "OnRequestDone ran inside a request call");
        ++ended_;
        Check(ended_ <= started_,
              [&] { return "a request ended twice (request " + std::to_string(rq) + ")"; });
        if (rq == pop3Quit) {
            Check(code == 0, [&] { return "QUIT ended with " + std::to_string(code); });
            Check(!client_.Connected(), "QUIT ended before the connection closed");
        }
        if (finished_)
            return;
        const bool usable = client_.Connected();
        if (code != 0 || rq == pop3Quit || !usable) {
            if (usable && rq != pop3Quit) {
                Call([&] { client_.Quit(); });
                return;
            }
            finished_ = true;
            return;
        }
        Call([&] {
            switch (rq) {
            case pop3Connect:
                if (apop_)
                    client_.APop();
                else
                    client_.User();
                break;
            case pop3User:
                client_.Pass();
                break;
            default:
                NextRequest();
                break;
            }
        });
    }

    void NextRequest() {
        if (next_ >= script_.size()) {
            client_.Quit();
            return;
        }
        const auto op = static_cast<unsigned char>(script_[next_++]);
        client_.MsgNum = op >> 4;
        client_.MsgLines = op >> 6;
        switch (op % 9) {
        case 0:
            client_.Stat();
            break;
        case 1:
            client_.List();
            break;
        case 2:
            client_.Uidl();
            break;
        case 3:
            client_.Retr();
            break;
        case 4:
            client_.Top();
            break;
        case 5:
            client_.Dele();
            break;
        case 6:
            client_.Noop();
            break;
        case 7:
            client_.RSet();
            break;
        default:
            client_.Last();
            break;
        }
    }

    TPop3Cli client_;
    bool apop_, open_;
    std::string script_;
    std::size_t next_ = 0;
    bool inCall_ = false;
    bool finished_ = false;
    bool abandoned_ = false; // aborted after a refused call: no more events
    int started_ = 0;
    int ended_ = 0;
    std::size_t lines_ = 0;
};

void CheckClientStream(const std::string &sent) {
    std::size_t start = 0;
    while (start < sent.size()) {
        const std::size_t end = sent.find("\r\n", start);
        if (end == std::string::npos) {
            Fail("a command without its CR LF: " + Shown(sent.substr(start)));
        }
        const std::string_view line(sent.data() + start, end - start);
        Check(line.find_first_of("\r\n") == std::string_view::npos,
              [&] { return "a bare CR or LF sent to the server: " + Shown(line); });
        start = end + 2;
    }
}

} // namespace
} // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace pv::fuzz;
    const Input input(data, size);
    std::vector<std::string> replies;
    if (input.Pieces.size() > 1)
        replies.assign(input.Pieces.begin() + 1, input.Pieces.end());
    {
        LoopbackPeer peer(replies, input.Options & 0x80);
        Session session(input.Options, input.Piece(0));
        peer.Connecting = [&] { return session.Client().Socket().State() == pv::wsConnecting; };
        try {
            session.Start();
            if (!RunSession(peer, [&] { return session.Finished(); }))
                Fail("the session never ends: the client waits on a closed connection");
            RunSession(peer, [] { return false; });
        } catch (const pv::Pop3Exception &e) {
            Fail(std::string("Pop3Exception escaped to the message loop: ") + e.what());
        } catch (const std::exception &e) {
            Fail(std::string("exception escaped to the message loop: ") + e.what());
        }
        Check(session.Abandoned() || session.Ended() == session.Started(), "a request never ended");
        CheckClientStream(peer.Received());
    }
    CheckLoopClean("pop3");
    return 0;
}
