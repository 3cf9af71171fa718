// Proxy bytes through the socket into TWSocket connecting through a SOCKS
// proxy (level 4, 4A or 5, with or without user authentication, the target
// given by address or by name), then the server's bytes through the same
// connection, read as they come or in line mode.
//
// Input: an options byte, then the proxy's pieces separated by 0x1E, each
// sent when the socket waits. Options: bits 0-1 the level (4, 4A, 5, 5),
// bit 2 user authentication, bit 3 the target by name (remote lookup), bit 4
// line mode, bit 5 a short line limit (16 bytes) whose excess is dropped, bit
// 7 a reset instead of a FIN after the last piece.
//
// Findings: anything the sanitizers see; an exception escaping to the loop;
// OnSessionConnected or OnSessionClosed raised twice, or closed without
// connected; a proxy failure reported as a good connection; data delivered
// that the proxy never sent, or lost after a good connection; a socket that
// never reports the end of a closed connection; a window, timer or watch left
// behind.
#include "fuzz/FuzzSupport.h"
#include "net/WSocket.h"

namespace pv::fuzz {
namespace {

const char *const kLevels[] = {"4", "4A", "5", "5"};

class User {
  public:
    explicit User(std::uint8_t options) : clearExcess_(options & 0x20) {
        s_.SetSocksServer("127.0.0.1");
        s_.SetSocksPort(std::to_string(LoopbackPeer::Port()));
        s_.SetSocksLevel(kLevels[options & 3]);
        if (options & 4) {
            s_.SocksAuthentication = socksAuthenticateUsercode;
            s_.SocksUsercode = "user";
            s_.SocksPassword = "secret";
        }
        s_.SocksRemoteLookup = options & 8;
        s_.SetLineMode(options & 0x10);
        if (options & 0x20)
            s_.LineLimit = 16;
        s_.SetProto("tcp");
        s_.SetPort("25");
        s_.OnSocksError = [this](TObject *, int e, const std::string &m) {
            Trace("socks-error " + std::to_string(e) + " " + m);
            Check(e != 0, "OnSocksError with error 0");
            socksError_ = e;
        };
        s_.OnSocksConnected = [](TObject *, std::uint16_t e) {
            Trace("socks-connected " + std::to_string(e));
        };
        s_.OnSessionConnected = [this](TObject *, std::uint16_t e) {
            Trace("connected " + std::to_string(e));
            Check(!connected_, "OnSessionConnected raised twice");
            Check(!closed_, "OnSessionConnected after OnSessionClosed");
            connected_ = true;
            connectError_ = e;
            Check(socksError_ == 0 || e != 0, "a proxy failure reported as a good connection");
        };
        s_.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            Trace("closed " + std::to_string(e));
            Check(!closed_, "OnSessionClosed raised twice");
            closed_ = true;
            closeError_ = e;
        };
        s_.OnDataAvailable = [this](TObject *, std::uint16_t) {
            const std::string d = s_.ReceiveStr();
            Trace("data " + d);
            data_ += d;
            chunks_.push_back(d);
        };
        s_.OnLineLimitExceeded = [this](TObject *, int, bool &clear) {
            Trace("line limit exceeded");
            clear = clearExcess_;
            excess_ = true;
        };
    }

    void Start(bool byName) {
        if (byName) {
            s_.DnsLookup("target.example");
            s_.SetAddr(s_.DnsResult().empty() ? "target.example" : s_.DnsResult());
        } else {
            s_.SetAddr("127.0.0.1");
        }
        s_.Connect();
    }

    TWSocket &Socket() { return s_; }
    bool Closed() const { return closed_; }
    bool Connected() const { return connected_; }
    int ConnectError() const { return connectError_; }
    int CloseError() const { return closeError_; }
    bool Excess() const { return excess_; }
    const std::string &Data() const { return data_; }
    // Each delivery on its own: a cleared excess leaves a gap between two.
    const std::vector<std::string> &Chunks() const { return chunks_; }

  private:
    TWSocket s_;
    bool clearExcess_;
    bool connected_ = false, closed_ = false, excess_ = false;
    int connectError_ = 0, closeError_ = 0, socksError_ = 0;
    std::string data_;
    std::vector<std::string> chunks_;
};

} // namespace
} // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace pv::fuzz;
    const Input input(data, size);
    std::string stream;
    for (const std::string &p : input.Pieces)
        stream += p;
    {
        LoopbackPeer peer(input.Pieces, input.Options & 0x80);
        User user(input.Options);
        peer.Connecting = [&] {
            return user.Socket().State() == pv::wsConnecting ||
                   user.Socket().State() == pv::wsSocksConnected;
        };
        try {
            // By name only where the proxy resolves it: nothing leaves the machine.
            user.Start((input.Options & 8) && (input.Options & 3) != 0);
            if (!RunSession(peer, [&] { return user.Closed(); }))
                Fail("the socket never reports the end of a closed connection");
            RunSession(peer, [] { return false; });
        } catch (const std::exception &e) {
            Fail(std::string("exception escaped to the message loop: ") + e.what());
        }
        Check(user.Connected(), "closed without OnSessionConnected");
        // Nothing is made up or reordered; after a good connection that the
        // peer ended in order, nothing is lost (a line limit may drop the
        // excess).
        std::size_t from = 0;
        for (const std::string &chunk : user.Chunks()) {
            const std::size_t at = stream.find(chunk, from);
            Check(at != std::string::npos,
                  [&] { return "data delivered that the proxy never sent: " + Shown(chunk); });
            from = at + chunk.size();
        }
        if (user.ConnectError() == 0 && user.CloseError() == 0 && !user.Excess() &&
            !(input.Options & 0x80) && !(input.Options & 0x10))
            Check(stream.size() >= user.Data().size() &&
                      stream.compare(stream.size() - user.Data().size(), std::string::npos,
                                     user.Data()) == 0,
                  "data lost after a good connection");
    }
    CheckLoopClean("socks");
    return 0;
}
