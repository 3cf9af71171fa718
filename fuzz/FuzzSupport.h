// What the fuzz targets share: the input split into an options byte and
// pieces, the report of a finding, a scratch directory in memory, and the
// server side of a fuzzed session on 127.0.0.1 with the loop that drives it.
#pragma once

#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/MessageLoop.h"

namespace pv::fuzz {

// A finding: libFuzzer keeps the input that led here.
[[noreturn]] inline void Fail(const std::string &what) {
    std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void Check(bool ok, const char *what) {
    if (!ok)
        Fail(what);
}

// The report is made only for a finding: checks sit in the targets' hot loops,
// where building every message cost a third of the time.
template <std::invocable Report> void Check(bool ok, Report &&report) {
    if (!ok)
        Fail(report());
}

// Bytes made visible in a report.
inline std::string Shown(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127 && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// With PV_FUZZ_TRACE set, a target shows its session on stderr (to check
// what a seed does: run the target on that one file).
inline bool Tracing() {
    static const bool on = std::getenv("PV_FUZZ_TRACE") != nullptr;
    return on;
}

inline void Trace(const std::string &line) {
    if (Tracing())
        std::fprintf(stderr, "%s\n", Shown(line).c_str());
}

// The separator of pieces in an input (ASCII record separator): seeds stay
// readable, and every other byte, NUL included, can reach the code under test.
constexpr char kSeparator = '\x1e';

// The first byte chooses options; the rest are pieces split at kSeparator.
struct Input {
    std::uint8_t Options = 0;
    std::vector<std::string> Pieces;

    Input(const std::uint8_t *data, std::size_t size) {
        if (size == 0)
            return;
        Options = data[0];
        std::string piece;
        for (std::size_t i = 1; i < size; ++i) {
            if (data[i] == static_cast<std::uint8_t>(kSeparator)) {
                Pieces.push_back(piece);
                piece.clear();
            } else {
                piece += static_cast<char>(data[i]);
            }
        }
        Pieces.push_back(piece);
    }
    // Piece n, or "" when the input has fewer.
    std::string Piece(std::size_t n) const { return n < Pieces.size() ? Pieces[n] : std::string(); }
};

// A directory of this process under /dev/shm (no disk wear, no fsync cost).
inline const std::string &ScratchDir() {
    // Never destroyed: the clean-up at exit still needs it.
    static const std::string *dir = [] {
        std::string d = "/dev/shm/pvfuzz." + std::to_string(getpid());
        if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST)
            d = "/tmp/pvfuzz." + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        std::atexit([] { std::system(("rm -rf '" + ScratchDir() + "'").c_str()); });
        return new std::string(d + "/");
    }();
    return *dir;
}

// Every window, timer and watch a session made is gone once its objects are.
inline void CheckLoopClean(const char *target) {
    Check(LiveWindowCount() == 0,
          [&] { return std::string(target) + ": a window outlived its component"; });
    Check(LiveTimerCount() == 0,
          [&] { return std::string(target) + ": a timer outlived its component"; });
    Check(LiveFdWatchCount() == 0,
          [&] { return std::string(target) + ": an fd watch outlived its component"; });
    MSG msg;
    while (PeekMessage(msg, true)) {
    }
}

// The server side of one session. The listening socket is made once per
// process; each session accepts one connection and hands the client the
// reply pieces one at a time, each when the client has nothing left to do
// (so a piece answers whatever the client sent last), taking in what the
// client sends. With no piece left it closes: with a FIN, or a reset when
// asked. Closing with a reset leaves no TIME_WAIT behind, which millions of
// sessions would otherwise pile up.
class LoopbackPeer {
  public:
    LoopbackPeer(std::vector<std::string> pieces, bool resetAtEnd)
        : pieces_(std::move(pieces)), reset_(resetAtEnd) {}
    ~LoopbackPeer() { End(); }
    LoopbackPeer(const LoopbackPeer &) = delete;
    LoopbackPeer &operator=(const LoopbackPeer &) = delete;

    // True while the client's connect has not completed.
    std::function<bool()> Connecting;

    static int Port() {
        Listener();
        return port_;
    }

    // One step while the client waits. False when there is nothing left to
    // do: all pieces sent, the connection closed and nothing more came.
    bool Step() {
        if (fd_ < 0 && !closed_) {
            fd_ = accept4(Listener(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            // A connection on loopback is normally waiting by now; one whose
            // SYN met an old TIME_WAIT may come a little later.
            pollfd p{Listener(), POLLIN, 0};
            if (fd_ < 0 && Connecting && Connecting() && poll(&p, 1, 3000) == 1)
                fd_ = accept4(Listener(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd_ < 0)
                return false; // the client never connected
            const int one = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        if (Drain())
            return true;
        if (closed_)
            return false;
        if (next_ < pieces_.size()) {
            const std::string &p = pieces_[next_++];
            std::size_t done = 0;
            while (done < p.size()) {
                const ssize_t n = send(fd_, p.data() + done, p.size() - done, MSG_NOSIGNAL);
                if (n <= 0)
                    break; // the client is gone, or its buffer is full: drop the rest
                done += static_cast<std::size_t>(n);
            }
            return true;
        }
        if (reset_) {
            Close(true);
        } else if (!shut_) {
            shutdown(fd_, SHUT_WR);
            shut_ = true;
        } else {
            return false;
        }
        return true;
    }

    // Everything the client sent so far.
    const std::string &Received() {
        Drain();
        return received_;
    }

    // Closes the connection and drops any connection still waiting.
    void End() {
        Close(true);
        for (int fd; (fd = accept4(Listener(), nullptr, nullptr, SOCK_NONBLOCK)) >= 0;)
            Reset(fd);
    }

  private:
    static int Listener() {
        static const int fd = [] {
            const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
                listen(s, 64) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
                Fail("cannot listen on 127.0.0.1");
            port_ = ntohs(a.sin_port);
            return s;
        }();
        return fd;
    }

    static void Reset(int fd) {
        const linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd);
    }

    // True when anything came.
    bool Drain() {
        if (fd_ < 0)
            return false;
        bool got = false;
        char buf[16384];
        for (;;) {
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return got;
            received_.append(buf, static_cast<std::size_t>(n));
            got = true;
        }
    }

    void Close(bool reset) {
        if (fd_ < 0)
            return;
        Drain();
        if (reset)
            Reset(fd_);
        else
            close(fd_);
        fd_ = -1;
        closed_ = true;
    }

    std::vector<std::string> pieces_;
    bool reset_;
    std::size_t next_ = 0;
    int fd_ = -1;
    bool shut_ = false;
    bool closed_ = false;
    std::string received_;
    static inline int port_ = 0;
};

// Runs the thread's loop until done() holds. Whenever nothing is due the peer
// takes a step; false when the peer has nothing left either and done() still
// does not hold: the client waits for something that never comes.
inline bool RunSession(LoopbackPeer &peer, const std::function<bool()> &done) {
    for (long spins = 0; !done(); ++spins) {
        if (spins > 2000000)
            Fail("the loop spins without an end");
        MSG msg;
        if (PeekMessage(msg, true)) {
            DispatchMessage(msg);
            continue;
        }
        if (WaitMessageTimeout(0))
            continue;
        if (!peer.Step())
            return done();
    }
    return true;
}

} // namespace pv::fuzz
