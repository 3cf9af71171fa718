// The installed program as an administrator meets it: the exit status that
// cron and systemd read, the options beside the service switch, the
// password set from a pipe or a terminal, and what a terminal shows.
#include "platform/Profile.h"
#include "tests/e2e/E2eSupport.h"

#include <poll.h>

namespace pv::e2e {
namespace {

struct Outcome {
    int Status = -1; // -1: still running at the time limit (then killed)
    std::string Out;
    std::string Err;
};

// The lines of a file, LF or CR LF ended, with their line ends.
std::vector<std::string> RawLines(const std::string &data) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < data.size()) {
        const std::size_t end = data.find('\n', start);
        const std::size_t next = end == std::string::npos ? data.size() : end + 1;
        lines.push_back(data.substr(start, next - start));
        start = next;
    }
    return lines;
}

bool Contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class CommandLine : public Job {
  protected:
    std::string Program() const { return Prog() + "/postvane"; }
    std::string IniPath() const { return Prog() + "/postvane.ini"; }
    std::string StoredPassword() const {
        std::string p = GetPrivateProfileString("SETUP", "Password", "", IniPath());
        for (char &c : p)
            c = static_cast<char>(c ^ 0x80);
        return p;
    }

    // The program's argument vector (pointing into args).
    std::vector<char *> Argv(std::vector<std::string> &args) const {
        args.insert(args.begin(), Program());
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return argv;
    }
    // Starts the program with arguments, standard input from `input`, and
    // standard output and error each to a file of their own.
    void Spawn(std::vector<std::string> args, const std::string &input = "") {
        WriteFileText(dir_ / "stdin", input);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, (dir_ / "stdin").c_str(), O_RDONLY, 0);
        for (int fd : {1, 2})
            posix_spawn_file_actions_addopen(&fa, fd,
                                             (dir_ / (fd == 1 ? "stdout" : "stderr")).c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const std::vector<char *> argv = Argv(args);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    Outcome Start(const std::vector<std::string> &args, const std::string &input = "") {
        Spawn(args, input);
        Outcome o;
        o.Status = pid_ > 0 ? Reap(30) : -2;
        o.Out = ReadFileText(dir_ / "stdout");
        o.Err = ReadFileText(dir_ / "stderr");
        return o;
    }
    // A run-once job with the settings of the fixture.
    Outcome RunJob(const std::vector<std::string> &args = {}) {
        WriteIni();
        return Start(args);
    }
};

// ---- exit status of a run-once program ----

TEST_F(CommandLine, ExitStatusZeroWhenEverythingWasSentOrNothingWasThere) {
    StartServer();
    Outcome o = RunJob();
    EXPECT_EQ(o.Status, 0) << o.Err;
    EXPECT_EQ(o.Err, ""); // no terminal and nothing failed: silent for cron

    Put("a.txt", "one");
    Put("b.txt", "two");
    o = RunJob();
    EXPECT_EQ(o.Status, 0) << o.Err;
    EXPECT_EQ(o.Err, "");
    EXPECT_EQ(Received().size(), 1u);
}

TEST_F(CommandLine, ExitStatusOneWhenTheConnectionFails) {
    Put("a.txt", "one");
    Put("b.txt", "two");
    StartServer();
    server_.Stop(); // nobody listens on its port now
    const Outcome o = RunJob();
    EXPECT_EQ(o.Status, 1);
    // Even without a terminal a failed run-once job says why, for cron's mail.
    const auto lines = RawLines(o.Err);
    ASSERT_EQ(lines.size(), 3u) << o.Err;
    EXPECT_TRUE(Contains(lines[0], " job failed: 0 File(s) sent, 2 File(s) failed.")) << o.Err;
    EXPECT_EQ(lines[1], "\t" + Poll() + "a.txt - Winsock err #10061 Connection refused\n");
    EXPECT_EQ(lines[2], "\t" + Poll() + "b.txt - Winsock err #10061 Connection refused\n");
}

TEST_F(CommandLine, ExitStatusOneWhenAuthFailsWithAHintAboutAClearTextPassword) {
    Put("a.txt", "one");
    StartServer({"--users", "joe:secret", "--auth-required"});
    Set("Authentication", "2");
    Set("UserName", "joe");
    Set("Password", "secret"); // as a newcomer writes it: not scrambled
    const Outcome o = RunJob();
    EXPECT_EQ(o.Status, 1);
    EXPECT_TRUE(Contains(o.Err, "\t" + Poll() + "a.txt - 535 ")) << o.Err;
    EXPECT_TRUE(Contains(o.Err, "looks as if it were written in clear text")) << o.Err;
    EXPECT_TRUE(Contains(o.Err, Program() + " --set-password")) << o.Err;
    EXPECT_TRUE(Received().empty());
    EXPECT_TRUE(InPoll("a.txt"));
}

TEST_F(CommandLine, ExitStatusTwoForAMissingPollDirectory) {
    Set("PollDir", dir_ / "nowhere/");
    const Outcome o = RunJob();
    EXPECT_EQ(o.Status, 2);
    EXPECT_TRUE(Contains(o.Err, "job failed: Poll directory not found: " + (dir_ / "nowhere")))
        << o.Err;
}

TEST_F(CommandLine, ExitStatusOneWhenStoppedBeforeTheJobRan) {
    Set("PollInterval", "60");
    WriteIni();
    Spawn({});
    // Started once the log says the timer is on.
    for (int i = 0; i < 200 && !Contains(ReadFileText(Prog() + "/Postvane.log"), "Timer On"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid_, SIGTERM);
    EXPECT_EQ(Reap(20), 1);
    EXPECT_TRUE(Contains(ReadFileText(dir_ / "stderr"), "job failed: closed before the job ran"));
}

// ---- options ----

TEST_F(CommandLine, HelpAndVersionPrintAndExit) {
    Outcome o = Start({"--help"});
    EXPECT_EQ(o.Status, 0);
    EXPECT_EQ(o.Out.rfind("Usage: postvane [OPTION]\n", 0), 0u) << o.Out;
    for (const std::string &part : {"Settings: " + IniPath() + "\n", std::string("--set-password"),
                                    std::string("-service"), std::string("Exit status")})
        EXPECT_TRUE(Contains(o.Out, part)) << part;
    EXPECT_EQ(o.Err, "");
    // Nothing was started: no settings file, no log.
    EXPECT_FALSE(access(IniPath().c_str(), F_OK) == 0);
    EXPECT_FALSE(access((Prog() + "/Postvane.log").c_str(), F_OK) == 0);

    o = Start({"--version"});
    EXPECT_EQ(o.Status, 0);
    EXPECT_EQ(o.Out, "Postvane 1.4.6\n");
}

TEST_F(CommandLine, WrongArgumentsAreRefusedButTheServiceSwitchRuns) {
    Outcome o = Start({"--verbose"});
    EXPECT_EQ(o.Status, 2);
    EXPECT_EQ(o.Err, "postvane: unknown option '--verbose'\nTry '" + Program() + " --help'.\n");

    StartServer();
    Put("a.txt", "one");
    for (const std::string arg : {"-service", "/SERVICE:x"}) {
        o = RunJob({arg});
        EXPECT_EQ(o.Status, 0) << arg << ": " << o.Err;
    }
    EXPECT_EQ(Received().size(), 2u);
}

TEST_F(CommandLine, SetPasswordThenAuthLoginSucceeds) {
    Put("a.txt", "one");
    StartServer({"--users", "joe:s3cr\xc3\xa9t w", "--auth-required"});
    Set("Authentication", "2");
    Set("UserName", "joe");
    // The first start writes the settings with the defaults.
    ASSERT_EQ(RunJob().Status, 1);
    const std::string before = ReadFileText(IniPath());

    const Outcome o = Start({"--set-password"}, "s3cr\xc3\xa9t w\n");
    EXPECT_EQ(o.Status, 0) << o.Err;
    EXPECT_EQ(o.Out, "Password stored scrambled in " + IniPath() + ".\n");
    const std::string after = ReadFileText(IniPath());
    // Only the Password line is new; every other line is as it was, byte
    // for byte.
    std::vector<std::string> others;
    std::string passwordLine;
    for (const std::string &line : RawLines(after))
        (line.rfind("Password=", 0) == 0 ? passwordLine : others.emplace_back()) = line;
    EXPECT_EQ(others, RawLines(before));
    EXPECT_EQ(passwordLine, "Password=\xf3\xb3\xe3\xf2\x43\x29\xf4\xa0\xf7\r\n");

    const Outcome job = Start({});
    EXPECT_EQ(job.Status, 0) << job.Err;
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_TRUE(Contains(Envelope(mails[0]), R"("login": "joe")")) << Envelope(mails[0]);
    EXPECT_EQ(ReadFileText(IniPath()), after);
}

TEST_F(CommandLine, SetPasswordRefusesWhatItCannotStoreAndTouchesNothing) {
    WriteIni();
    const std::string before = ReadFileText(IniPath());
    for (const std::string &input :
         {std::string(""), std::string("\n"), std::string("ends in \xc3\xa0\n")}) {
        const Outcome o = Start({"--set-password"}, input);
        EXPECT_EQ(o.Status, 2) << input;
        EXPECT_TRUE(Contains(o.Err, "nothing stored")) << o.Err;
        EXPECT_EQ(ReadFileText(IniPath()), before);
    }
    // A program directory the user may not write.
    chmod(Prog().c_str(), 0500);
    const Outcome o = Start({"--set-password"}, "pw\n");
    chmod(Prog().c_str(), 0755);
    if (geteuid() != 0) {
        EXPECT_EQ(o.Status, 2);
        EXPECT_TRUE(Contains(o.Err, IniPath())) << o.Err;
    }
}

// ---- on a terminal ----

// The program on a pseudo terminal: its standard input, output and error.
class Terminal : public CommandLine {
  protected:
    void TearDown() override {
        Close();
        CommandLine::TearDown();
    }
    void Close() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
        screen_.clear();
    }
    bool Open(const std::vector<std::string> &args) {
        Close();
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return false;
        const std::string slave = ptsname(master_);
        std::vector<std::string> all = args;
        const std::vector<char *> argv = Argv(all);
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            const int fd = open(slave.c_str(), O_RDWR); // becomes the controlling terminal
            if (fd < 0)
                _exit(126);
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid_ > 0;
    }
    // Reads until text has appeared (or the terminal closed, or time ran out).
    bool WaitFor(const std::string &text, int seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!Contains(screen_, text) && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[512];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0)
                break; // EIO: the program closed its side
            screen_.append(buf, static_cast<std::size_t>(n));
        }
        return Contains(screen_, text);
    }
    void Type(const std::string &text) {
        ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    int master_ = -1;
    std::string screen_;
};

TEST_F(Terminal, StartLineAndJobResult) {
    Put("a.txt", "one");
    StartServer();
    WriteIni();
    ASSERT_TRUE(Open({}));
    EXPECT_TRUE(WaitFor("job done: 1 File(s) sent.")) << screen_;
    EXPECT_EQ(Reap(20), 0);
    EXPECT_EQ(screen_.rfind("Postvane 1.4.6 runs one job on " + Poll() +
                                " (*.txt) in 1 second(s), then exits; log " + Prog() +
                                "/Postvane.log. Ctrl+C or SIGTERM stops it.\r\n",
                            0),
              0u)
        << screen_;
}

TEST_F(Terminal, TimerOffSaysThatNoJobRuns) {
    Set("RunOnceExit", "0");
    Set("Log", "0");
    WriteIni();
    ASSERT_TRUE(Open({}));
    EXPECT_TRUE(WaitFor("stops it.\r\n")) << screen_;
    EXPECT_TRUE(Contains(screen_, "timer off: no job runs until the timer is started")) << screen_;
    EXPECT_TRUE(Contains(screen_, "; log off.")) << screen_;
    kill(pid_, SIGINT);
    EXPECT_EQ(Reap(20), 0);
}

TEST_F(Terminal, SetPasswordAsksTwiceWithoutEcho) {
    WriteIni();
    ASSERT_TRUE(Open({"--set-password"}));
    ASSERT_TRUE(WaitFor("Password: ")) << screen_;
    Type("kumquat\n");
    ASSERT_TRUE(WaitFor("Password again: ")) << screen_;
    Type("loquat\n");
    EXPECT_TRUE(WaitFor("the two passwords differ; nothing stored")) << screen_;
    EXPECT_EQ(Reap(20), 2);
    EXPECT_FALSE(Contains(screen_, "quat")) << screen_;
    EXPECT_EQ(StoredPassword(), "");

    ASSERT_TRUE(Open({"--set-password"}));
    ASSERT_TRUE(WaitFor("Password: ")) << screen_;
    Type("hidden-word\n");
    ASSERT_TRUE(WaitFor("Password again: ")) << screen_;
    Type("hidden-word\n");
    EXPECT_TRUE(WaitFor("Password stored scrambled")) << screen_;
    EXPECT_EQ(Reap(20), 0);
    EXPECT_FALSE(Contains(screen_, "hidden")) << screen_;
    EXPECT_EQ(StoredPassword(), "hidden-word");
}

} // namespace
} // namespace pv::e2e
