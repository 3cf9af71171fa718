// The fixture of the TWSocket tests: a loop guard per test, an event
// recorder and a connect helper.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/WSocket.h"
#include "tests/net/NetTest.h"
#include "tests/support/LoopGuard.h"

namespace pv::test {

inline const char *StateName(TSocketState s) {
    static const char *names[] = {"invalid",   "opened",    "bound",     "connecting", "socks",
                                  "connected", "accepting", "listening", "closed"};
    return names[s];
}

// Records every event of a socket as text, in order.
struct Recorder {
    std::vector<std::string> log;
    void Attach(TCustomWSocket &s) {
        s.OnChangeState = [this](TObject *, TSocketState, TSocketState n) {
            log.push_back(std::string("state ") + StateName(n));
        };
        s.OnSessionConnected = [this](TObject *, std::uint16_t e) {
            log.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            log.push_back("closed " + std::to_string(e));
        };
        s.OnDnsLookupDone = [this](TObject *, std::uint16_t e) {
            log.push_back("dns " + std::to_string(e));
        };
    }
    int Count(const std::string &entry) const {
        return static_cast<int>(std::count(log.begin(), log.end(), entry));
    }
    bool Has(const std::string &entry) const { return Count(entry) > 0; }
};

inline std::string ErrorOf(const std::function<void()> &f) {
    try {
        f();
    } catch (const ESocketException &e) {
        return e.Message();
    }
    return "(no exception)";
}

class WSocketTest : public ::testing::Test {
  protected:
    LoopGuard guard{20};

    // Connects s to the listener and returns the accepted peer descriptor.
    int ConnectTo(TWSocket &s, RawListener &l) {
        bool connected = false;
        auto previous = s.OnSessionConnected;
        s.OnSessionConnected = [&, previous](TObject *o, std::uint16_t e) {
            connected = true;
            if (previous)
                previous(o, e);
        };
        s.SetAddr("127.0.0.1");
        s.SetPort(l.Port());
        s.Connect();
        EXPECT_TRUE(PumpUntil([&] { return connected; }));
        s.OnSessionConnected = previous;
        return l.Accept();
    }
};

} // namespace pv::test
