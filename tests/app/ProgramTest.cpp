// The installed program as a user starts it: a program directory of its own.
#include "AppFixture.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace pv::test {
namespace {

class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *bin = std::getenv("PV_BINARY_DIR");
        const std::string program = bin ? std::string(bin) + "/postvane" : PV_POSTVANE_PROGRAM;
        ASSERT_TRUE(CopyFile(program, dir_ + "postvane", true))
            << "the postvane program is not built: " << program;
        ASSERT_TRUE(CreateDirectory(dir_ + "poll"));
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    void Ini(const std::string &body) {
        WriteFile(dir_ + "postvane.ini", "[SETUP]\r\nPollDir=" + dir_ + "poll/\r\n" + body);
    }
    void Launch() {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir_ + "out.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        std::string prog = dir_ + "postvane";
        char *argv[] = {prog.data(), nullptr};
        ASSERT_EQ(posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&fa);
    }
    // The exit status, or -1 when the program is still running after `seconds`.
    int Wait(int seconds) {
        for (int i = 0; i < seconds * 20; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    std::vector<std::string> LogTexts() {
        std::vector<std::string> out;
        for (const std::string &l : CrLfLines(ReadFile(dir_ + "Postvane.log")))
            out.push_back(l.empty() ? "" : Unstamped(l));
        return out;
    }

    pvtest::TempDir tmp_;
    std::string dir_ = tmp_.Path();
    pid_t pid_ = -1;
};

TEST_F(Program, RunOnceEndsByItselfAfterOneJob) {
    Ini("TimeUnit=S\r\nPollInterval=1\r\nRunOnceExit=1\r\n");
    const auto started = std::chrono::steady_clock::now();
    Launch();
    EXPECT_EQ(Wait(30), 0) << ReadFile(dir_ + "out.txt");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"Timer On", ">PVN v1.4.6 - Job started ",
                                                    "Nothing to do", ">Job finished", ""}));
    EXPECT_EQ(GetPrivateProfileString("SETUP", "VerboseLogging", "", dir_ + "postvane.ini"), "0");
    EXPECT_TRUE(FileExists(dir_ + "body.txt"));
}

TEST_F(Program, SigtermClosesLikeTheCloseBox) {
    Ini("TimeUnit=H\r\nPollInterval=1\r\nStartInTimerMode=1\r\n");
    Launch();
    for (int i = 0; i < 200 && LogTexts().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(LogTexts(), std::vector<std::string>{"Timer On"});
    // Closing saves the window's settings over this hand edit.
    WritePrivateProfileString("SETUP", "Host", "edited", dir_ + "postvane.ini");
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(20), 0);
    EXPECT_EQ(GetPrivateProfileString("SETUP", "Host", "", dir_ + "postvane.ini"),
              "smtp.example.com");
}

TEST_F(Program, FatalStartErrorIsReportedWithAFailureStatus) {
    Ini("");
    ASSERT_EQ(mkdir((dir_ + "Postvane.log").c_str(), 0700), 0);
    Launch();
    EXPECT_EQ(Wait(20), 2);
    EXPECT_NE(ReadFile(dir_ + "out.txt").find("Application will terminate."), std::string::npos);
}

} // namespace
} // namespace pv::test
