// Whole jobs of the installed program: a program directory of its own per
// test (installed once per test process with `cmake --install`), an INI file,
// a poll directory, a server on 127.0.0.1, and `postvane` run once with a time
// limit. Then the log, the files and the received mail are checked.
#pragma once

#include "tests/support/JsonString.h"
#include "tests/support/PeerProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace pv::e2e {

using pvtest::TempDir;
using test::JsonString;
using test::PeerProcess;
using test::ReadFileText;
using test::SourcePath;
using test::SupportPath;
using test::WriteFileText;

constexpr const char *kPython = "/usr/bin/python3";

inline std::string Quoted(const std::string &s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline int Shell(const std::string &cmd) {
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

// The program installed once per test process; "" (and a failure) when the
// install does not work.
inline const std::string &InstalledProgram() {
    static TempDir dir;
    static const std::string path = [] {
        const char *bin = std::getenv("PV_BINARY_DIR");
        const std::string build = bin && *bin ? bin : PV_BINARY_DIR_DEFAULT;
        const std::string prefix = dir / "program";
        const int rc =
            Shell(std::string(PV_CMAKE_COMMAND) + " --install " + Quoted(build) + " --prefix " +
                  Quoted(prefix) + " > " + Quoted(dir / "install.log") + " 2>&1");
        if (rc != 0 || access((prefix + "/postvane").c_str(), X_OK) != 0) {
            ADD_FAILURE() << "cmake --install failed: " << ReadFileText(dir / "install.log");
            return std::string();
        }
        return prefix;
    }();
    return path;
}

inline bool IsDigits(const std::string &s, std::size_t pos, std::size_t n) {
    for (std::size_t i = pos; i < pos + n; ++i)
        if (i >= s.size() || s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// A line's text after its 'mm/dd/yyyy hh:nn:ss ' stamp; false without one.
inline bool StripStamp(const std::string &line, std::string &text) {
    if (line.size() < 20 || !IsDigits(line, 0, 2) || line[2] != '/' || !IsDigits(line, 3, 2) ||
        line[5] != '/' || !IsDigits(line, 6, 4) || line[10] != ' ' || !IsDigits(line, 11, 2) ||
        line[13] != ':' || !IsDigits(line, 14, 2) || line[16] != ':' || !IsDigits(line, 17, 2) ||
        line[19] != ' ')
        return false;
    auto num = [&](std::size_t p) { return std::stoi(line.substr(p, 2)); };
    if (num(0) < 1 || num(0) > 12 || num(3) < 1 || num(3) > 31 || num(11) > 23 || num(14) > 59 ||
        num(17) > 59)
        return false;
    text = line.substr(20);
    return true;
}

// The names in a directory, without hidden ones, sorted.
inline std::vector<std::string> Files(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Job : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string &installed = InstalledProgram();
        ASSERT_FALSE(installed.empty());
        ASSERT_EQ(Shell("cp -a " + Quoted(installed) + " " + Quoted(Prog())), 0);
        ASSERT_EQ(mkdir(Poll().c_str(), 0755), 0);
        ini_ = {{"PollDir", Poll()},
                {"Host", "127.0.0.1"},
                {"To", "joe@example.org"},
                {"Cc", ""},
                {"Bcc", ""},
                {"From", "\"Postvane\" <postvane@example.org>"},
                {"Subject", "Nightly files"},
                {"FileSelection", "*.txt"},
                {"TimeUnit", "S"},
                {"PollInterval", "1"},
                {"RunOnceExit", "1"},
                {"VerboseLogging", "0"}};
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    std::string Prog() const { return dir_ / "program"; }
    std::string Poll() const { return dir_ / "poll/"; }
    // Where the current server stores what it accepts.
    std::string Spool() const { return dir_ / spoolName_; }

    // A file in the poll directory, and a copy beside it to compare what
    // was mailed with once the program has deleted the file.
    void Put(const std::string &name, const std::string &data) {
        WriteFileText(Poll() + name, data);
        Keep(name);
    }
    void Keep(const std::string &name) {
        mkdir((dir_ / "orig").c_str(), 0755);
        WriteFileText(Orig(name), ReadFileText(Poll() + name));
    }
    std::string Orig(const std::string &name) const { return dir_ / ("orig/" + name); }
    bool InPoll(const std::string &name) const {
        return access((Poll() + name).c_str(), F_OK) == 0;
    }

    // The aiosmtpd server of this test, with options of e2e_smtp.py.
    // A later server (after server_.Stop()) gets a spool of its own.
    void StartServer(std::vector<std::string> options = {}) {
        if (servers_++ > 0)
            spoolName_ = "spool" + std::to_string(servers_);
        ASSERT_EQ(mkdir(Spool().c_str(), 0755), 0);
        std::vector<std::string> argv = {kPython, SourcePath("tests/e2e/e2e_smtp.py"), "--spool",
                                         Spool()};
        argv.insert(argv.end(), options.begin(), options.end());
        ASSERT_TRUE(server_.Start(argv)) << server_.ErrorLog();
        ini_["HostPort"] = std::to_string(server_.Port());
    }

    void Set(const std::string &key, const std::string &value) { ini_[key] = value; }
    void WriteIni() {
        std::string text = "[SETUP]\r\n";
        for (const auto &[k, v] : ini_)
            text += k + "=" + v + "\r\n";
        text += extraIni_;
        WriteFileText(Prog() + "/postvane.ini", text);
    }

    // Runs the program once; its exit status, or -1 when it was still running
    // after `seconds` (it is then killed).
    int Run(int seconds = 30) { return RunUnder({}, seconds); }
    // The same under another program (argv before the program's path).
    int RunUnder(std::vector<std::string> wrapper, int seconds = 60) {
        WriteIni();
        wrapper.push_back(Prog() + "/postvane");
        std::vector<char *> argv;
        for (std::string &a : wrapper)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir_ / "out.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        return rc != 0 ? -2 : Reap(seconds);
    }
    // The exit status of the running program, or -1 when it was still
    // running after `seconds` (it is then killed).
    int Reap(int seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }
    std::string Output() const { return ReadFileText(dir_ / "out.txt"); }

    // The log: stamped lines as their text, plain lines after a "|".
    std::vector<std::string> Log() const {
        std::vector<std::string> out;
        const std::string data = ReadFileText(Prog() + "/Postvane.log");
        std::size_t start = 0;
        while (start < data.size()) {
            const std::size_t end = data.find("\r\n", start);
            const std::string line =
                data.substr(start, end == std::string::npos ? end : end - start);
            std::string text;
            out.push_back(StripStamp(line, text) ? text : "|" + line);
            if (end == std::string::npos) {
                out.back() += "<no CR LF>";
                break;
            }
            start = end + 2;
        }
        return out;
    }
    // The log lines of one run-once job, from "Timer On" to the empty line.
    std::vector<std::string> JobLog(std::vector<std::string> middle,
                                    const std::string &host = "127.0.0.1") const {
        std::vector<std::string> lines = {"Timer On", ">PVN v1.4.6 - Job started ",
                                          ">Connecting to SMTP host " + host};
        lines.insert(lines.end(), middle.begin(), middle.end());
        lines.push_back(">Job finished");
        lines.push_back("|");
        return lines;
    }

    // The messages the server accepted, in order (NNNN.eml).
    std::vector<std::string> Received() const {
        std::vector<std::string> mails;
        for (const std::string &n : Files(Spool()))
            if (n.size() > 4 && n.substr(n.size() - 4) == ".eml")
                mails.push_back(Spool() + "/" + n);
        return mails;
    }
    // The envelope the server recorded for a message, as JSON text.
    std::string Envelope(const std::string &eml) const {
        return ReadFileText(eml.substr(0, eml.size() - 4) + ".json");
    }
    // The commands the server received (verbs and arguments).
    std::string Commands() const { return ReadFileText(Spool() + "/commands"); }

    // check_mail.py against the expectations (a JSON object): "OK" or why not.
    std::string Check(const std::string &message, const std::string &expect) {
        const std::string file = dir_ / ("expect" + std::to_string(++checks_) + ".json");
        WriteFileText(file, expect);
        const std::string out = dir_ / "check.out";
        const int rc =
            Shell(std::string(kPython) + " " + Quoted(SupportPath("check_mail.py")) + " " +
                  Quoted(message) + " " + Quoted(file) + " > " + Quoted(out) + " 2>&1");
        std::string text = ReadFileText(out);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return rc == 0 ? text : text + " (exit " + std::to_string(rc) + ")";
    }

    TempDir dir_;
    PeerProcess server_;
    std::map<std::string, std::string> ini_;
    std::string extraIni_;
    std::string spoolName_ = "spool";
    int servers_ = 0;
    pid_t pid_ = -1;
    int checks_ = 0;
};

inline std::vector<std::string> Cat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Bytes of every value, the same for the same seed.
inline std::string RandomBytes(std::size_t n, unsigned seed) {
    std::string data(n, '\0');
    for (auto &c : data) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return data;
}

// The name the program greets with.
inline std::string HostName() {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    std::string name = buf;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

// The verbose log of a session with e2e_smtp.py: the greeting and HELO, one
// accepted mail (the server's message number n), and the end.
inline std::vector<std::string> VerboseHelo() {
    return {"<220 postvane.test Python SMTP 1.4.3", ">HELO " + HostName(), "<250 postvane.test"};
}
inline std::vector<std::string> VerboseMail(int n, const std::vector<std::string> &rcpts = {
                                                       "joe@example.org"}) {
    std::vector<std::string> lines = {">MAIL FROM:<postvane@example.org>", "<250 OK"};
    for (const auto &r : rcpts) {
        lines.push_back(">RCPT TO:<" + r + ">");
        lines.push_back("<250 OK");
    }
    char queued[40];
    std::snprintf(queued, sizeof queued, "<250 OK queued as %04d", n);
    for (const char *l :
         {">DATA", "<354 End data with <CR><LF>.<CR><LF>", ">.", static_cast<const char *>(queued)})
        lines.push_back(l);
    return lines;
}
inline std::vector<std::string> VerboseQuit() {
    return {">QUIT", "<221 Bye"};
}

// The body text every mail carries with the default body.txt, the file
// names (when listed) and the trailer.
inline std::string BodyText(const std::vector<std::string> &listed = {}, bool single = false) {
    const std::string rule = std::string(72, '-');
    std::string text = "Sample message text **double click to zoom in**\r\n";
    if (!listed.empty() || single) {
        text += "\r\n\r\n" + rule + "\r\n";
        if (single) {
            text += "File(s) attached: " + (listed.empty() ? "" : listed[0]) + "\r\n";
        } else {
            text += "File(s) attached:\r\n";
            for (const std::string &n : listed)
                text += n + "\r\n";
        }
    }
    text += "\r\n\r\n" + rule +
            "\r\nSent by 'Postvane Freeware V.1.4.6' - "
            "https://postvane.example.org/\r\n";
    return text;
}

} // namespace pv::e2e
