// Shared pieces of the POP3 client tests: the names of its requests and
// states, and a recorder of every event the client raises, in order.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "mail/Pop3Cli.h"
#include "tests/support/PeerProcess.h"

namespace pv::test {

inline const char *const kPop3RequestNames[] = {"Connect", "User", "Pass", "RPop", "Quit",  "Stat",
                                                "List",    "Retr", "Top",  "Dele", "Noop",  "Last",
                                                "RSet",    "Uidl", "APop", "Open", "Custom"};
inline const char *const kPop3StateNames[] = {
    "pop3Ready",         "pop3DnsLookup",     "pop3Connecting",      "pop3Connected",
    "pop3InternalReady", "pop3WaitingBanner", "pop3WaitingResponse", "pop3Abort"};
inline const char *const kPop3ProtocolNames[] = {"pop3Disconnected", "pop3WaitingUser",
                                                 "pop3WaitingPass", "pop3Transaction"};

inline std::string Pop3RequestName(TPop3Request rq) {
    return rq < std::size(kPop3RequestNames) ? kPop3RequestNames[rq] : "?";
}

// Records what a client reports as lines such as "done Stat 0",
// "display > STAT", "line 1 120". Also checks that OnRequestDone never runs
// inside the call that started a request.
class Pop3Recorder {
  public:
    explicit Pop3Recorder(TCustomPop3Cli &c) : client(c) {
        c.OnRequestDone = [this](TObject *sender, TPop3Request rq, std::uint16_t code) {
            EXPECT_EQ(sender, &client);
            EXPECT_FALSE(inCall) << "OnRequestDone ran inside the request call";
            const std::string d = Pop3RequestName(rq) + " " + std::to_string(code);
            done.push_back(d);
            events.push_back("done " + d);
            if (then)
                then(rq, code);
        };
        c.OnDisplay = [this](TObject *, const std::string &m) {
            events.push_back("display " + m);
            if (onDisplay)
                onDisplay(m);
        };
        c.OnSessionConnected = [this](TObject *, std::uint16_t e) {
            events.push_back("connected " + std::to_string(e));
        };
        c.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            events.push_back("closed " + std::to_string(e));
        };
        const auto note = [this](const char *what) {
            return [this, what](TObject *) { events.push_back(what); };
        };
        c.OnListBegin = c.OnUidlBegin = c.OnMessageBegin = note("begin");
        c.OnListEnd = c.OnUidlEnd = c.OnMessageEnd = note("end");
        c.OnHeaderEnd = note("header-end");
        c.OnListLine = [this](TObject *) {
            events.push_back("line " + std::to_string(client.MsgNum) + " " +
                             std::to_string(client.MsgSize()));
        };
        c.OnUidlLine = [this](TObject *) {
            events.push_back("line " + std::to_string(client.MsgNum) + " " + client.MsgUidl());
        };
        c.OnMessageLine = [this](TObject *) { events.push_back("line " + client.LastResponse()); };
    }

    // Starts a request; it must return before it reports.
    template <typename Fn> void Call(Fn fn) {
        inCall = true;
        const auto before = done.size();
        try {
            fn();
        } catch (...) {
            inCall = false;
            throw;
        }
        EXPECT_EQ(done.size(), before) << "a request reported before it returned";
        inCall = false;
    }

    bool WaitDone(std::size_t count, int ms = 10000) {
        return RunLoopUntil([&] { return done.size() >= count; }, ms);
    }

    // Runs a request to its end; its "Name code", or "none" without an end.
    template <typename Fn> std::string Run(Fn fn) {
        const std::size_t before = done.size();
        Call(fn);
        return WaitDone(before + 1) ? done[before] : "none";
    }

    // The events since the last call, and forgets them.
    std::vector<std::string> Take() {
        std::vector<std::string> taken(events.begin() + static_cast<long>(taken_), events.end());
        taken_ = events.size();
        return taken;
    }

    TCustomPop3Cli &client;
    bool inCall = false;
    std::vector<std::string> done, events;
    std::function<void(TPop3Request, int)> then;
    std::function<void(const std::string &)> onDisplay;

  private:
    std::size_t taken_ = 0;
};

// The python3-twisted POP3 server of tests/support, on a port of its own.
inline bool StartPop3Server(PeerProcess &server, std::vector<std::string> options = {}) {
    std::vector<std::string> argv = {"/usr/bin/python3", SupportPath("pop3_server.py")};
    argv.insert(argv.end(), options.begin(), options.end());
    return server.Start(argv);
}

} // namespace pv::test
