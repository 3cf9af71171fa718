// The program picks its front end: headless without a display (and then not
// one Qt library is loaded), the Qt one with a display.
#include "GuiFixture.h"

#include <sys/wait.h>

#include "platform/FileSystem.h"

namespace pv::test {
namespace {

struct FrontEndChoice : ::testing::Test {
    LoopGuard guard{60};
    TempDir dir;
    pid_t pid = -1;

    void SetUp() override {
        for (const char *file : {"postvane", kFrontEndModule, "tray0.png", "tray1.png", "logo.png"})
            ASSERT_TRUE(CopyFile(BinaryDir() + "/" + file, dir / file, true))
                << file << " is not built in " << BinaryDir();
        chmod((dir / "postvane").c_str(), 0755);
    }
    void TearDown() override { EndChild(pid); }

    void Launch(std::vector<std::string> env) {
        // A sanitizer build of the program: Qt's D-Bus library keeps memory to the end.
        WriteFileText(dir / "lsan.supp", "leak:libdbus-1.so\n");
        env.push_back("LSAN_OPTIONS=suppressions=" + dir / "lsan.supp");
        pid = Spawn({dir / "postvane"}, Environment(env));
        ASSERT_GT(pid, 0);
        // Started once it has written its settings.
        for (int i = 0; i < 500 && access((dir / "postvane.ini").c_str(), F_OK) != 0; ++i)
            usleep(10000);
    }
    bool QtLoaded() {
        return ReadFileText("/proc/" + std::to_string(pid) + "/maps").find("libQt6") !=
               std::string::npos;
    }
    // Ends it with the signal; its exit status.
    int Terminate(int signo = SIGTERM) {
        kill(pid, signo);
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }
};

TEST_F(FrontEndChoice, WithoutADisplayItRunsHeadlessAndLoadsNoQt) {
    Launch({"DISPLAY", "WAYLAND_DISPLAY"});
    usleep(300000);
    EXPECT_FALSE(QtLoaded());
    EXPECT_EQ(Terminate(), 0);
    // SIGHUP is the end of the session: without the service switch the
    // program ends with it.
    unlink((dir / "postvane.ini").c_str()); // so that Launch waits for the start again
    Launch({"DISPLAY", "WAYLAND_DISPLAY"});
    EXPECT_EQ(Terminate(SIGHUP), 0);
}

TEST_F(FrontEndChoice, WithADisplayItShowsItsWindowsThroughQt) {
    Desktop desk;
    if (std::string why; !desk.Start(why))
        GTEST_SKIP() << why;
    if (!HaveProgram("xdotool"))
        GTEST_SKIP() << "xdotool is not installed (Debian package xdotool)";
    Launch({"DISPLAY=" + desk.Display(), "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
            "XDG_RUNTIME_DIR=" + dir.Path()});
    // The start-up splash.
    EXPECT_EQ(desk.Tool({"xdotool", "search", "--sync", "--onlyvisible", "--name",
                         "^Postvane for Windows$"},
                        nullptr, 20000),
              0);
    EXPECT_TRUE(QtLoaded());
    EXPECT_EQ(Terminate(), 0);
}

} // namespace
} // namespace pv::test
