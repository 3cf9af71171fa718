// SOCKS handshakes that no real proxy produces on demand, as dialogue files
// (tests/data/dialogs/socks/, format in the README there): the scripted peer
// plays the proxy, the driver below plays the socket's user.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/WSocket.h"
#include "tests/support/DialogScript.h"
#include "tests/support/LoopGuard.h"

namespace pv {
namespace {

using test::DialogFiles;
using test::DialogPeers;
using test::DialogScript;
using test::DialogStatement;
using test::Escape;
using test::Unescape;

const char *AuthStateName(TSocksAuthState s) {
    switch (s) {
    case socksAuthStart:
        return "start";
    case socksAuthSuccess:
        return "success";
    case socksAuthFailure:
        return "failure";
    default:
        return "not-required";
    }
}

const char *StateText(TSocketState s) {
    static const char *names[] = {"wsInvalidState", "wsOpened",         "wsBound",
                                  "wsConnecting",   "wsSocksConnected", "wsConnected",
                                  "wsAccepting",    "wsListening",      "wsClosed"};
    return names[s];
}

// The socket's user: records every event as a line of a dialogue file's
// event block, and reads whatever arrives.
struct User {
    TWSocket s;
    std::vector<std::string> events;

    User() {
        s.OnSocksConnected = [this](TObject *, std::uint16_t e) {
            events.push_back("socks-connected " + std::to_string(e));
        };
        s.OnSocksAuthState = [this](TObject *, TSocksAuthState a) {
            events.push_back(std::string("socks-auth ") + AuthStateName(a));
        };
        s.OnSocksError = [this](TObject *, int e, const std::string &m) {
            events.push_back("socks-error " + std::to_string(e) + " " + m);
        };
        s.OnSessionConnected = [this](TObject *, std::uint16_t e) {
            events.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            events.push_back("closed " + std::to_string(e));
        };
        s.OnDataSent = [this](TObject *, std::uint16_t e) {
            events.push_back("sent " + std::to_string(e));
        };
        s.OnDataAvailable = [this](TObject *, std::uint16_t) {
            const std::string d = s.ReceiveStr();
            if (!d.empty())
                events.push_back("data " + Escape(d));
        };
    }

    bool Seen(const std::string &prefix, std::size_t from) const {
        for (std::size_t i = from; i < events.size(); ++i)
            if (events[i].rfind(prefix, 0) == 0)
                return true;
        return false;
    }
};

class SocksDialog : public ::testing::TestWithParam<std::string> {};

TEST_P(SocksDialog, Plays) {
    test::LoopGuard guard{40};
    const DialogScript script = DialogScript::Load(GetParam());
    ASSERT_TRUE(script.error.empty()) << script.error;
    DialogPeers peers(script);
    ASSERT_TRUE(peers.Started()) << peers.Errors();
    auto user = std::make_unique<User>();
    TWSocket &s = user->s;
    s.SetAddr("127.0.0.1");
    s.SetPort("25");
    std::size_t seen = 0; // events already compared by an "events" block

    for (const DialogStatement &st : script.statements) {
        SCOPED_TRACE(script.Where(st.line) + ": " + st.word + " " + st.rest);
        const std::string name = st.rest.substr(0, st.rest.find(' '));
        const std::string value =
            st.rest.find(' ') == std::string::npos ? "" : Unescape(st.rest.substr(name.size() + 1));
        if (st.word == "set") {
            if (name == "SocksLevel")
                s.SetSocksLevel(value);
            else if (name == "SocksUsercode")
                s.SocksUsercode = value;
            else if (name == "SocksPassword")
                s.SocksPassword = value;
            else if (name == "SocksAuthentication")
                s.SocksAuthentication = value == "socksAuthenticateUsercode"
                                            ? socksAuthenticateUsercode
                                            : socksNoAuthentication;
            else if (name == "Addr")
                s.SetAddr(value);
            else if (name == "Port")
                s.SetPort(value);
            else if (name == "LineMode")
                s.SetLineMode(value == "true");
            else
                FAIL() << "unknown property " << name;
        } else if (st.word == "connect") {
            s.SetSocksServer("127.0.0.1");
            s.SetSocksPort(peers.Port());
            try {
                s.Connect();
            } catch (const ESocketException &e) {
                user->events.push_back(std::string("error ") + e.Message());
            }
        } else if (st.word == "wait") {
            const std::string prefix = st.rest;
            if (!test::RunLoopUntil([&] { return user->Seen(prefix, seen); }, 10000)) {
                ADD_FAILURE() << "no event \"" << prefix << "\"\n" << peers.Transcript();
                break;
            }
        } else if (st.word == "settle") {
            test::RunLoopUntilIdle();
        } else if (st.word == "events") {
            const std::vector<std::string> got(user->events.begin() + static_cast<long>(seen),
                                               user->events.end());
            EXPECT_EQ(got, st.block) << peers.Transcript();
            seen = user->events.size();
        } else if (st.word == "send") {
            s.SendStr(Unescape(st.rest));
        } else if (st.word == "close") {
            s.Close();
        } else if (st.word == "expect") {
            std::string what, want;
            ASSERT_TRUE(st.Check(what, want)) << "expect NAME = VALUE";
            std::string now;
            if (what == "State")
                now = StateText(s.State());
            else if (what == "SocksBoundAddr")
                now = s.SocksBoundAddr();
            else if (what == "SocksBoundPort")
                now = s.SocksBoundPort();
            else
                FAIL() << "unknown value " << what;
            EXPECT_EQ(now, want);
        } else {
            FAIL() << "unknown statement " << st.word;
        }
    }
    EXPECT_TRUE(peers.Finish()) << peers.Transcript();
    user.reset();
}

INSTANTIATE_TEST_SUITE_P(Files, SocksDialog, ::testing::ValuesIn(DialogFiles("socks")),
                         test::DialogCaseName);

} // namespace
} // namespace pv
