// The installed program on a desktop of the test's own (Xvfb) and headless:
// the display killed while the timer runs and while a job sends a 20 MB file,
// SIGHUP, with and without the service switch; and the libraries a headless
// program maps.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/FrmMain.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/support/Desktop.h"

namespace pv {
namespace {

using e2e::RandomBytes;
using test::Desktop;
using test::Environment;

// The service mode's answer to the session's end comes from the main
// window's service helper; a build whose main window does not own one yet
// cannot keep the program through SIGHUP.
template <class Form> constexpr bool kOwnsServiceHelper = requires(Form &f) {
    f.ServiceHelper1;
};

bool WaitUntil(const std::function<bool()> &done, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The children of a process (from /proc), by name when given.
std::vector<pid_t> ChildrenOf(pid_t parent, const std::string &name = "") {
    std::vector<pid_t> found;
    DIR *d = opendir("/proc");
    if (!d)
        return found;
    while (dirent *e = readdir(d)) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        const std::string stat = test::ReadFileText("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size())
            continue;
        // After the name: " S ppid ..."
        if (std::atoi(stat.c_str() + close + 4) == parent &&
            (name.empty() || stat.substr(open + 1, close - open - 1) == name))
            found.push_back(pid);
    }
    closedir(d);
    return found;
}

bool Maps(pid_t pid, const std::string &library) {
    return test::ReadFileText("/proc/" + std::to_string(pid) + "/maps").find(library) !=
           std::string::npos;
}

const std::string kQt = "libQt6Gui";

class ServiceMode : public e2e::Job {
  protected:
    void SetUp() override {
        Job::SetUp();
        Set("RunOnceExit", "0");
        Set("StartInTimerMode", "1");
        Set("PollInterval", "2");
        Set("Delete", "1");
    }

    // Starts the program in the background with these arguments, on the
    // given display ("" headless: no display and no session bus).
    void Start(const std::vector<std::string> &args, const std::string &display) {
        WriteIni();
        logStart_ = Log().size();
        // Under LeakSanitizer: what Qt leaves in the system's D-Bus library.
        test::WriteFileText(dir_ / "lsan.supp", "leak:libdbus-1.so\n");
        std::vector<std::string> changes = {"LSAN_OPTIONS=suppressions=" + dir_ / "lsan.supp"};
        if (display.empty())
            changes.insert(changes.end(),
                           {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"});
        else
            changes.insert(changes.end(), {"DISPLAY=" + display, "WAYLAND_DISPLAY"});
        const std::vector<std::string> env = Environment(changes);
        std::vector<char *> envp;
        for (const auto &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        std::string prog = Prog() + "/postvane";
        std::vector<std::string> all = {prog};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir_ / "out.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        ASSERT_EQ(posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
    }

    // Never kill(-1, ...): that would reach every process of the user.
    void Signal(int signo) {
        if (pid_ > 0)
            kill(pid_, signo);
    }

    bool Running() {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_)
            return true;
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    // The exit status once the program has ended by itself, -1 if it still runs.
    int Ended(int ms = 15000) {
        WaitUntil([this] { return !Running(); }, ms);
        return Running() ? -1 : status_;
    }

    // The process that shows the desktop once its first window is there:
    // the program itself, or with the switch its desktop child.
    pid_t DesktopProcess(const Desktop &desk, bool service) {
        pid_t shown = -1;
        WaitUntil(
            [&] {
                for (pid_t p : service ? ChildrenOf(pid_) : std::vector<pid_t>{pid_})
                    if (Maps(p, kQt) &&
                        desk.Tool({"xdotool", "search", "--pid", std::to_string(p)}) == 0)
                        shown = p;
                return shown > 0 || !Running();
            },
            30000);
        return shown;
    }

    // Among the lines the current run wrote.
    bool LogHas(const std::string &text) const {
        const std::vector<std::string> lines = Log();
        for (std::size_t i = logStart_; i < lines.size(); ++i)
            if (lines[i] == text)
                return true;
        return false;
    }
    bool WaitForLog(const std::string &text, int ms = 20000) {
        return WaitUntil([&] { return LogHas(text); }, ms);
    }

    // Xvfb, killed as a display goes when its server dies.
    static void KillServer(const Desktop &desk) {
        for (pid_t p : ChildrenOf(getpid(), "Xvfb"))
            kill(p, SIGKILL);
        (void)desk;
    }

    // A 20 MB file held up on its way to the server by a relay, and the
    // moment the first job is in the middle of its DATA.
    void BigFileOnTheWay() {
        Put("big.bin", RandomBytes(20 * 1000 * 1000, 17));
        ASSERT_TRUE(relay_.Start(
            {e2e::kPython, test::SourcePath("tests/host/slow_relay.py"), "--to", ini_["HostPort"]}))
            << relay_.ErrorLog();
        Set("HostPort", std::to_string(relay_.Port()));
        Set("VerboseLogging", "1");
        Set("FileSelection", "*.txt;*.bin");
    }
    bool InTheMiddleOfData() {
        if (!WaitForLog("<354 End data with <CR><LF>.<CR><LF>"))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return Received().empty();
    }

    void Hangups(bool service);

    test::PeerProcess relay_;
    int status_ = -1;
    std::size_t logStart_ = 0;
};

TEST_F(ServiceMode, DisplayKilledWhileTheTimerRunsTheProgramGoesOnHeadlessAndMailsTheNextJob) {
    Desktop desk;
    if (std::string why; !desk.Start(why))
        GTEST_SKIP() << why;
    StartServer();
    Set("PollInterval", "3");
    Start({"-service"}, desk.Display());
    const pid_t child = DesktopProcess(desk, true);
    ASSERT_GT(child, 0) << Output();
    KillServer(desk);

    ASSERT_TRUE(WaitForLog("The display went away: going on headless")) << Output();
    EXPECT_FALSE(LogHas("Job abandoned: its files stay in the poll directory"));
    ASSERT_TRUE(WaitUntil([&] { return ChildrenOf(pid_).empty(); }, 10000));
    EXPECT_TRUE(Running());
    EXPECT_FALSE(Maps(pid_, kQt));
    EXPECT_NE(Output().find("postvane: the display went away: going on headless"),
              std::string::npos);

    Put("report.txt", "disk usage: 42%\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !InPoll("report.txt"); }, 30000)) << Output();
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Check(Received()[0], "{\"attachments\": [{\"path\": " +
                                       test::JsonString(Orig("report.txt")) + "}]}"),
              "OK");
    EXPECT_TRUE(Running());
    Signal(SIGTERM);
    EXPECT_EQ(Ended(), 0);
}

TEST_F(ServiceMode, DisplayKilledWhileAJobSendsA20MBFileTheFileIsMailedByTheNextJobHeadless) {
    Desktop desk;
    if (std::string why; !desk.Start(why))
        GTEST_SKIP() << why;
    StartServer();
    BigFileOnTheWay();
    Set("PollInterval", "1");
    Start({"/service"}, desk.Display());
    ASSERT_TRUE(InTheMiddleOfData()) << Output() << test::ReadFileText(Prog() + "/Postvane.log");
    ASSERT_GT(DesktopProcess(desk, true), 0);
    KillServer(desk);

    ASSERT_TRUE(WaitForLog("The display went away: going on headless")) << Output();
    EXPECT_TRUE(LogHas("Job abandoned: its files stay in the poll directory"));
    EXPECT_TRUE(InPoll("big.bin"));
    EXPECT_TRUE(Running());
    // The next job, headless, sends it again; only then is it deleted.
    ASSERT_TRUE(WaitUntil([&] { return !InPoll("big.bin"); }, 60000)) << Output();
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(
        Check(Received()[0], "{\"attachments\": [{\"path\": " + test::JsonString(Orig("big.bin")) +
                                 ", \"filename\": \"big.bin\"}]}"),
        "OK");
    EXPECT_TRUE(Running());
    Signal(SIGTERM);
    EXPECT_EQ(Ended(), 0);
}

TEST_F(ServiceMode, WithoutTheSwitchTheDisplayKilledWhileTheTimerRunsEndsTheProgram) {
    Desktop desk;
    if (std::string why; !desk.Start(why))
        GTEST_SKIP() << why;
    StartServer();
    Put("report.txt", "disk usage: 42%\r\n");
    Set("PollInterval", "60");
    Start({}, desk.Display());
    ASSERT_GT(DesktopProcess(desk, false), 0) << Output();
    KillServer(desk);

    EXPECT_EQ(Ended(), 0) << Output();
    EXPECT_TRUE(LogHas("The display went away: the program ends"));
    EXPECT_TRUE(InPoll("report.txt"));
    EXPECT_TRUE(Received().empty());
}

TEST_F(ServiceMode, WithoutTheSwitchTheDisplayKilledWhileAJobSendsEndsItAndDeletesNothingUnsent) {
    Desktop desk;
    if (std::string why; !desk.Start(why))
        GTEST_SKIP() << why;
    StartServer();
    BigFileOnTheWay();
    Set("PollInterval", "1");
    Set("RunOnceExit", "1");
    Start({"-servicex"}, desk.Display()); // not the switch
    ASSERT_TRUE(InTheMiddleOfData()) << Output() << test::ReadFileText(Prog() + "/Postvane.log");
    ASSERT_GT(DesktopProcess(desk, false), 0);
    KillServer(desk);

    // Run once, its job not ended: status 1.
    EXPECT_EQ(Ended(), 1) << Output();
    EXPECT_TRUE(LogHas("Job abandoned: its files stay in the poll directory"));
    EXPECT_TRUE(LogHas("The display went away: the program ends"));
    EXPECT_EQ(test::ReadFileText(Poll() + "big.bin"), test::ReadFileText(Orig("big.bin")));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(Received().empty());
}

// SIGHUP, headless and (when Xvfb is there) on the desktop, where the
// surviver passes it on to the desktop child.
void ServiceMode::Hangups(bool service) {
    Desktop desk;
    const bool haveDesktop = [&] {
        std::string why;
        return desk.Start(why);
    }();
    StartServer();
    Set("PollInterval", "1");
    int n = 0;
    for (const bool onDesktop : {false, true}) {
        if (onDesktop && !haveDesktop)
            continue;
        SCOPED_TRACE(onDesktop ? "on the desktop" : "headless");
        Start(service ? std::vector<std::string>{"-SERVICE"} : std::vector<std::string>{},
              onDesktop ? desk.Display() : "");
        if (onDesktop)
            ASSERT_GT(DesktopProcess(desk, service), 0) << Output();
        else
            ASSERT_TRUE(WaitForLog("Timer On"));
        Signal(SIGHUP);
        if (!service) {
            EXPECT_EQ(Ended(), 0) << Output();
            continue;
        }
        // The job cycle goes on: a file put after the hangup is mailed.
        const std::string name = "after" + std::to_string(++n) + ".txt";
        Put(name, "after the hangup\r\n");
        EXPECT_TRUE(WaitUntil([&] { return !InPoll(name); }, 20000)) << Output();
        EXPECT_TRUE(Running());
        Signal(SIGTERM);
        EXPECT_EQ(Ended(), 0);
    }
}

TEST_F(ServiceMode, SighupEndsTheProgramWithoutTheSwitch) {
    Hangups(false);
}

TEST_F(ServiceMode, SighupDoesNotEndTheProgramWithTheSwitch) {
    if (!kOwnsServiceHelper<TfrmMain>)
        GTEST_SKIP() << "the main window owns no service helper in this build";
    Hangups(true);
}

TEST_F(ServiceMode, TheHeadlessProgramNeedsAndMapsNoX11DbusOrQtLibrary) {
    const std::string prog = Prog() + "/postvane";
    const std::string listed = dir_ / "ldd.txt";
    ASSERT_EQ(e2e::Shell("readelf -d " + e2e::Quoted(prog) + " > " + e2e::Quoted(listed) +
                         " && ldd " + e2e::Quoted(prog) + " >> " + e2e::Quoted(listed)),
              0);
    const std::string needed = test::ReadFileText(listed);
    ASSERT_NE(needed.find("libc.so"), std::string::npos) << needed;
    for (const char *library : {"libxcb", "libX11", "libdbus", "libQt", "libGL", "libwayland"})
        EXPECT_EQ(needed.find(library), std::string::npos) << library << " in\n" << needed;

    Start({"-service"}, "");
    ASSERT_TRUE(WaitForLog("Timer On")) << Output();
    const std::string maps = test::ReadFileText("/proc/" + std::to_string(pid_) + "/maps");
    for (const char *library : {"libxcb", "libX11", "libdbus", "libQt", "libpv_qt"})
        EXPECT_EQ(maps.find(library), std::string::npos) << library;
    Signal(SIGTERM);
    EXPECT_EQ(Ended(), 0);
}

} // namespace
} // namespace pv
