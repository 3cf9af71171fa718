// Shared pieces of the SMTP client tests: recording a client's events,
// driving a whole session from OnRequestDone, and the real server they talk
// to (the scripted peer is tests/support/DialogScript.h).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "mail/SmtpCli.h"
#include "tests/support/JsonString.h"
#include "tests/support/PeerProcess.h"

namespace pv::test {

inline const char *kPython = "/usr/bin/python3";

struct DoneEvent {
    TSmtpRequest Rq;
    int Code;
    bool operator==(const DoneEvent &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const DoneEvent &d) {
    return os << "{rq " << static_cast<int>(d.Rq) << ", code " << d.Code << "}";
}

// Records what a client reports. Also checks that OnRequestDone never runs
// inside the call that started a request (InCall is set around such calls).
class Recorder {
  public:
    explicit Recorder(TCustomSmtpClient &c) : client(c) {
        c.OnRequestDone = [this](TObject *sender, TSmtpRequest rq, std::uint16_t code) {
            EXPECT_EQ(sender, &client);
            EXPECT_FALSE(InCall) << "OnRequestDone ran inside the request call";
            done.push_back({rq, code});
            if (then)
                then(rq, code);
        };
        c.OnCommand = [this](TObject *, const std::string &m) { commands.push_back(m); };
        c.OnResponse = [this](TObject *, const std::string &m) {
            responses.push_back(m);
            if (onResponse)
                onResponse(m);
        };
        c.OnDisplay = [this](TObject *, const std::string &m) { display.push_back(m); };
        c.OnSessionClosed = [this](TObject *, std::uint16_t e) {
            closedAt.push_back(done.size());
            closedCodes.push_back(e);
        };
        c.OnSessionConnected = [this](TObject *, std::uint16_t e) { connected.push_back(e); };
    }

    // Runs a request and checks it returned before reporting.
    template <typename Fn> void Call(Fn fn) {
        InCall = true;
        const auto before = done.size();
        fn();
        EXPECT_EQ(done.size(), before) << "a request reported before it returned";
        InCall = false;
    }

    bool WaitDone(std::size_t count, int ms = 10000) {
        return RunLoopUntil([&] { return done.size() >= count; }, ms);
    }

    TCustomSmtpClient &client;
    bool InCall = false;
    std::vector<DoneEvent> done;
    std::vector<std::string> commands, responses, display;
    std::vector<std::size_t> closedAt; // number of requests done when the close came
    std::vector<int> closedCodes, connected;
    std::function<void(TSmtpRequest, int)> then;
    std::function<void(const std::string &)> onResponse;
};

// Drives a session the way the job engine does: Connect, HELO or EHLO and
// AUTH, MAIL FROM, RCPT TO, DATA for each message, QUIT; a failure leads to
// QUIT while connected. Finished once QUIT completes or nothing is left.
class SessionDriver {
  public:
    SessionDriver(TCustomSmtpClient &c, Recorder &r, bool auth, int messages = 1)
        : client(c), rec(r), useAuth(auth), left(messages) {
        rec.then = [this](TSmtpRequest rq, int code) { Next(rq, code); };
    }

    void Start() {
        rec.Call([&] { client.Connect(); });
    }

    bool Run(int ms = 20000) {
        Start();
        return RunLoopUntil([&] { return finished; }, ms);
    }

    std::function<void()> beforeData; // changes the message between mails

    TCustomSmtpClient &client;
    Recorder &rec;
    bool useAuth;
    int left;
    bool finished = false;
    std::vector<std::string> errors; // ErrorMessage at each failure

  private:
    void Next(TSmtpRequest rq, int code) {
        if (code != 0) {
            errors.push_back(client.ErrorMessage());
            if (rq != smtpQuit && client.Connected()) {
                client.Quit();
                return;
            }
            finished = true;
            return;
        }
        if (!client.Connected() && rq != smtpQuit) {
            finished = true;
            return;
        }
        switch (rq) {
        case smtpConnect:
            if (useAuth)
                client.Ehlo();
            else
                client.Helo();
            break;
        case smtpEhlo:
            client.Auth();
            break;
        case smtpHelo:
        case smtpAuth:
            client.MailFrom();
            break;
        case smtpMailFrom:
            client.RcptTo();
            break;
        case smtpRcptTo:
            if (beforeData)
                beforeData();
            client.Data();
            break;
        case smtpData:
            if (--left > 0)
                client.MailFrom();
            else
                client.Quit();
            break;
        default:
            finished = true;
            break;
        }
    }
};

// The real server (aiosmtpd) storing each message in a spool directory.
class RealSmtpPeer {
  public:
    explicit RealSmtpPeer(std::vector<std::string> options = {}) {
        std::vector<std::string> argv = {kPython, SupportPath("smtp_server.py"), "--spool",
                                         dir / "spool"};
        argv.insert(argv.end(), options.begin(), options.end());
        started = peer.Start(argv);
    }
    std::string Port() const { return std::to_string(peer.Port()); }
    std::string Message(int n) const {
        char name[16];
        std::snprintf(name, sizeof name, "/%04d.eml", n);
        return ReadFileText(dir / "spool" + name);
    }
    std::string Envelope(int n) const {
        char name[16];
        std::snprintf(name, sizeof name, "/%04d.json", n);
        return ReadFileText(dir / "spool" + name);
    }
    std::string MessagePath(int n) const {
        char name[16];
        std::snprintf(name, sizeof name, "/%04d.eml", n);
        return dir / "spool" + name;
    }

    // Runs check_mail.py on message n; "OK" or its failure lines.
    std::string Check(int n, const std::string &expectJson) const {
        static int serial = 0;
        const std::string expect = dir / ("expect" + std::to_string(++serial) + ".json");
        WriteFileText(expect, expectJson);
        const std::string out = dir / "check.out";
        const std::string cmd = std::string(kPython) + " '" + SupportPath("check_mail.py") + "' '" +
                                MessagePath(n) + "' '" + expect + "' > '" + out + "' 2>&1";
        const int rc = std::system(cmd.c_str());
        std::string text = ReadFileText(out);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return rc == 0 ? text : "exit " + std::to_string(rc) + ": " + text;
    }

    TempDir dir;
    PeerProcess peer;
    bool started = false;
};

} // namespace pv::test
